#!/usr/bin/env bash
# Runs the integration tests once under AddressSanitizer + UndefinedBehaviorSanitizer
# (build-asan/, the same build scripts/test.sh uses for the unit tests).
# Leaks are reported for our own frames only: the toolkit libraries keep
# process-long caches that LeakSanitizer would otherwise list (scripts/lsan.supp).
# Every process a test starts writes its reports to build-asan/sanitizer-reports/,
# also the service or program whose output a test keeps in a scratch file; any
# report there fails the run, whether or not its test noticed.
# Ends with "integration: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
dir=build-asan
mkdir -p "$dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELL_SANITIZE=ON -DVELL_BUILD_BENCH=OFF >"$dir.configure.log" 2>&1 &&
  cmake --build "$dir" --target integration_tests -j"$(nproc)" || { echo "integration: 0 passed, 1 failed"; exit 1; }

reports=$PWD/$dir/sanitizer-reports
rm -rf "$reports" && mkdir -p "$reports"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:log_path=$reports/asan
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan
ctest --test-dir "$dir" -L integration --output-on-failure -j2 "$@" 2>&1 | tee "$dir/integration.log"
line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$dir/integration.log" | tail -n 1)
total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
found=("$reports"/*)
[[ -e ${found[0]} ]] || found=()
for report in "${found[@]}"; do
  echo "sanitizer report $(basename "$report"):"
  grep -E 'ERROR|SUMMARY|runtime error|^ +#[0-9]+ ' "$report" | head -n 25
done
echo "sanitizer reports: ${#found[@]}"
echo "integration: $((${total:-1} - ${bad:-1})) passed, ${bad:-1} failed"
[[ ${bad:-1} -eq 0 && ${#found[@]} -eq 0 ]]
