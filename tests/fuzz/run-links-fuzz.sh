#!/usr/bin/env bash
# Builds the link readers with libFuzzer, AddressSanitizer and UBSan (clang-14)
# and fuzzes them for a few seconds from the seed corpus.
# Usage: run-links-fuzz.sh [SECONDS] [WORK_DIR]
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-10}
work=${2:-$(mktemp -d /tmp/vell-links-fuzz.XXXXXX)}
mkdir -p "$work/corpus"
clang++-14 -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$source_dir/src" "$source_dir/src/app/Links.cpp" "$source_dir/tests/fuzz/LinksFuzz.cpp" -o "$work/links-fuzz"
cp "$source_dir"/tests/fuzz/corpus/* "$work/corpus/"
cd "$work" && ./links-fuzz -max_total_time="$seconds" -max_len=512 -print_final_stats=1 corpus 2>&1 | tail -4
