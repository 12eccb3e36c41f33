#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) in build-fuzz/ and
# runs each for SECONDS (default 60) from its seed corpus in fuzz/corpus/<target>/.
# Inputs a run finds new go to build-fuzz/corpus/<target>/, a crashing input
# to build-fuzz/artifacts/. Prints one line per target with its run count and
# ends with "fuzz: N passed, N failed" (one per target).
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

dir=build-fuzz
mkdir -p "$dir"
if ! { CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELL_FUZZ=ON \
         -DVELL_BUILD_TESTS=OFF -DVELL_BUILD_BENCH=OFF >"$dir.configure.log" 2>&1 &&
       cmake --build "$dir" --target fuzz_targets -j"$(nproc)"; }; then
  cat "$dir.configure.log"
  echo "fuzz: 0 passed, 1 failed"
  exit 1
fi

declare -A seeds  # target -> its seed corpus
for corpus in fuzz/corpus/*; do seeds[$(basename "$corpus")]=$corpus; done
targets=("$@")
((${#targets[@]})) || mapfile -t targets < <(printf '%s\n' "${!seeds[@]}" | sort)
passed=0 failed=0
mkdir -p "$dir/artifacts"
for target in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$target"
  log="$dir/$target.log"
  start=$(date +%s)
  # The service's decoders hold large buffers and leave freeing to their libraries.
  leaks=1 && [[ $target == fuzz_service_* ]] && leaks=0
  ASAN_OPTIONS=detect_leaks=$leaks UBSAN_OPTIONS=print_stacktrace=1 \
    "$dir/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$target-" "$dir/corpus/$target" "${seeds[$target]}" >"$log" 2>&1
  status=$?
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -n 1)
  printf '%-24s %10s runs in %4ss  ' "$target" "${runs:-?}" "$(($(date +%s) - start))"
  if ((status == 0)); then
    echo "clean"
    passed=$((passed + 1))
  else
    echo "FINDING (exit $status), see $log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|broken rule|.*runtime error)' "$log" | head -n 5
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
