#!/usr/bin/env bash
# Builds Vell twice and runs every test once: the integration tests in the
# normal build (with the program, benchmarks and fixtures) and a short soak
# (scripts/soak.sh), the unit tests in an ASan + UBSan build and again under
# ThreadSanitizer; then runs each fuzz target for a few seconds
# (scripts/fuzz.sh). Ends with one summary line: "tests: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || { echo "tests: 0 passed, 1 failed"; exit 1; }

jobs=$(nproc)
build() {  # build DIR TARGET CMAKE-ARGS...
  local dir=$1 target=$2; shift 2
  cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" --target "$target" -j"$jobs"
}
mkdir -p build build-asan
build build all -DCMAKE_BUILD_TYPE=RelWithDebInfo || { echo "tests: 0 passed, 1 failed"; exit 1; }
build build-asan unit_tests -DCMAKE_BUILD_TYPE=Debug -DVELL_SANITIZE=ON -DVELL_BUILD_BENCH=OFF \
  || { echo "tests: 0 passed, 1 failed"; exit 1; }
mkdir -p build-tsan
build build-tsan unit_tests -DCMAKE_BUILD_TYPE=Debug -DVELL_TSAN=ON -DVELL_BUILD_BENCH=OFF \
  || { echo "tests: 0 passed, 1 failed"; exit 1; }

passed=0 failed=0
count() {  # adds the counts of a ctest log to the totals
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  if [[ -z "$line" ]]; then failed=$((failed + 1)); return; fi
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
}

echo "== integration and packaging tests (normal build) =="
ctest --test-dir build -LE unit --output-on-failure -j"$jobs" 2>&1 | tee build/ctest.log
count build/ctest.log
echo "== short soak: dictations and inserts in a row, nothing lost or leaked =="
bash scripts/soak.sh 40 20 2>&1 | tee build/soak.log
if grep -q '^soak: passed' build/soak.log; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
echo "== unit tests under ASan + UBSan =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -L unit --output-on-failure -j"$jobs" 2>&1 | tee build-asan/ctest.log
count build-asan/ctest.log
echo "== unit tests under ThreadSanitizer =="
TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp:second_deadlock_stack=1" \
  ctest --test-dir build-tsan -L unit --output-on-failure -j"$jobs" 2>&1 | tee build-tsan/ctest.log
count build-tsan/ctest.log
echo "== fuzz targets, a few seconds each =="
bash scripts/fuzz.sh 3 2>&1 | tee build/fuzz.log
line=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed' build/fuzz.log | tail -n 1)
if [[ -z "$line" ]]; then
  failed=$((failed + 1))
else
  passed=$((passed + $(sed -E 's/fuzz: ([0-9]+) passed.*/\1/' <<<"$line")))
  failed=$((failed + $(sed -E 's/.*passed, ([0-9]+) failed/\1/' <<<"$line")))
fi

echo
echo "tests: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
