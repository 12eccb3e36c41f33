#!/usr/bin/env bash
# Builds the service's fuzz targets with clang (libFuzzer, ASan, UBSan) in
# build-fuzz/ and runs each for SECONDS (default 10) from the seed corpus.
# New inputs go to a scratch folder, not into the repository.
#   tests/fuzz/service/run.sh [SECONDS] [TARGET...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
seconds="${1:-10}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fill routes audio)

build="$root/build-fuzz"
if [ ! -f "$build/build.ninja" ]; then
  flags="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
  CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELL_FUZZ=ON -DVELL_BUILD_TESTS=OFF -DVELL_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
fi
cmake --build "$build" --target $(printf 'service_%s_fuzz ' "${targets[@]}") -j2

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
  mkdir -p "$scratch/$target"
  echo "== service_${target}_fuzz for ${seconds}s"
  status=0
  ASAN_OPTIONS=detect_leaks=0 "$build/bin/service_${target}_fuzz" -max_total_time="$seconds" -rss_limit_mb=4096 \
    -max_len=4096 -print_final_stats=1 "$scratch/$target" "$here/corpus/$target" >"$scratch/$target.log" 2>&1 ||
    status=$?
  grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|Done)|ERROR|SUMMARY" "$scratch/$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$scratch/$target.log"
    echo "service_${target}_fuzz found a fault"
    exit 1
  fi
done
