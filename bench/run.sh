#!/usr/bin/env bash
# Builds the benchmarks (only them), runs each inside its own headless session
# and prints one table: figure, goal, median of the runs with min–max, and the
# ratio to a baseline measured in the same run where one is named. Ends with one
# line per goal missed. Full output of every program goes to build/bench.log.
#   bench/run.sh [PATTERN]   runs only the benchmarks whose line matches PATTERN
# A benchmark plugs in with a line below and by printing, on standard output,
#   BENCH <figure> <median> <min> <max> <unit> <goal> [baseline=<figure>]
# (goal "<=N", ">=N" or "-"; C++ programs use bench/support/BenchLine.h).
set -uo pipefail
cd "$(dirname "$0")/.."

# session options | command
benchmarks=(
  "--no-sound | build/bin/hotkey_latency"
  "--no-sound | build/bin/dictation_desktop_bench"
  "           | build/bin/dictation_main_loop_stall_probe"
  "           | build/bin/dictation_hotkey_to_paste"
  "           | build/bin/paste_benchmark"
  "           | build/bin/audio_recorder_bench"
  "--no-sound | build/bin/fill_enumerate_bench"
  "--wm       | build/bin/panel_bench"
  "--no-sound | build/bin/service_bench"
  "--no-sound | build/bin/service_load_bench"
  "--no-sound | build/bin/session_web_view_memory"
  "           | bench/app/idle.sh"
)

[[ -f build/build.ninja ]] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target benchmarks -j2 >build/bench-build.log 2>&1 || {
  tail -30 build/bench-build.log >&2
  exit 1
}

log=build/bench.log results=build/bench.results
: >"$log"
: >"$results"
failed=()
for entry in "${benchmarks[@]}"; do
  [[ -n "${1:-}" && "$entry" != *"$1"* ]] && continue
  read -r -a options <<<"${entry%%|*}"
  read -r -a command <<<"${entry#*|}"
  echo "== ${command[*]}" >>"$log"
  echo "running ${command[*]}" >&2
  scripts/headless-session.sh "${options[@]}" "${command[@]}" >"$results.one" 2>>"$log"
  status=$?
  cat "$results.one" >>"$log"
  grep '^BENCH ' "$results.one" >>"$results"
  ((status == 0)) || failed+=("${command[*]} (exit $status)")
done
rm -f "$results.one"

awk -v failures="$(printf '%s\n' "${failed[@]}")" '
  function met(value, goal) {
    if (goal ~ /^<=/) return value <= substr(goal, 3) + 0
    if (goal ~ /^>=/) return value >= substr(goal, 3) + 0
    return 1
  }
  {
    name = $2; median[name] = $3; low[name] = $4; high[name] = $5; unit[name] = $6; goal[name] = $7
    base[name] = ""
    if ($8 ~ /^baseline=/) base[name] = substr($8, 10)
    order[++n] = name
  }
  END {
    line = "-------------------------------------------------------------------------------------------------"
    printf "%-36s %-9s %12s %23s  %-6s %s\n", "figure", "goal", "median", "min–max", "unit", "vs baseline"
    print line
    for (i = 1; i <= n; i++) {
      k = order[i]; ratio = ""
      if (base[k] != "" && (base[k] in median) && median[k] > 0)
        ratio = sprintf("%.1fx faster than %s", median[base[k]] / median[k], base[k])
      printf "%-36s %-9s %12.4g %11.4g–%-11.4g  %-6s %s\n", k, goal[k], median[k], low[k], high[k], unit[k], ratio
    }
    print line
    missed = 0
    for (i = 1; i <= n; i++) {
      k = order[i]
      if (!met(median[k], goal[k])) {
        printf "MISSED %s: %g %s, goal %s\n", k, median[k], unit[k], goal[k]; missed++
      }
    }
    split(failures, f, "\n")
    for (j in f) if (f[j] != "") { printf "FAILED %s (see build/bench.log)\n", f[j]; missed++ }
    if (!missed) print "every goal met"
  }' "$results"
