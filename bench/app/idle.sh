#!/usr/bin/env bash
# What the program costs while it sits there. Signed out, with the setup watch
# running: over 10 s, its main loop's wake-ups and its share of a core. Then,
# signed in through its vell://auth link: PSS (smaps_rollup) of vell and of
# every process it started (WebKit's web and network processes) after 20 s
# idle, then over 10 s the wake-ups per second of its main loop (the times the
# main thread was scheduled) and of all its threads, and the share of a core
# of all its threads. Then it is used: ten dictations (Ctrl+Alt+Space held
# through XTest while a spoken sentence plays into the virtual microphone,
# pasted into a form window) and a fill of that form (a vell://debug/fill
# link), and after 20 s idle the PSS of all its processes again. Starts
# build/bin/vell against vell-service on a free loopback port. Run inside
# scripts/headless-session.sh; prints BENCH lines.
#   [VELL_BIN=build/bin/vell] idle.sh [RUNS] [IDLE_SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=${1:-3} idle=${2:-20} window=10 settle=10
vell=${VELL_BIN:-build/bin/vell}  # another build of the program, for a comparison
[[ "${VELL_SESSION_INNER:-}" == 1 ]] || { echo "run inside scripts/headless-session.sh" >&2; exit 2; }

scratch=$(mktemp -d)
port=$((20000 + RANDOM % 20000))
service_pid=""
vell_pid=""
cleanup() {
  [[ -n "$vell_pid" ]] && kill "$vell_pid" 2>/dev/null && wait "$vell_pid" 2>/dev/null || true
  [[ -n "$service_pid" ]] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

build/bin/vell-service --port "$port" --data-dir "$scratch/service" >"$scratch/service.log" 2>&1 &
service_pid=$!
printf '{"VellAPIBase":"http://127.0.0.1:%s","VellSupabaseURL":"http://127.0.0.1:%s","VellSupabaseAnonKey":"bench"}\n' \
  "$port" "$port" >"$scratch/info.json"
for _ in $(seq 1 100); do (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
email=$(sed -n 's/.*e-mail \([^,]*\),.*/\1/p' "$scratch/service.log")
password=$(sed -n 's/.*password \([^ ]*\) .*/\1/p' "$scratch/service.log")

# Signs in as the web application's "Connect" does: a session from the
# service, handed to the running program through its vell://auth link (a
# second `vell LINK` passes it on and exits).
sign_in() {
  local session link
  session=$(curl -sf -H 'Content-Type: application/json' \
    -d "$(jq -n --arg e "$email" --arg p "$password" '{email: $e, password: $p}')" \
    "http://127.0.0.1:$port/api/v1/auth/signin") || { echo "the service refused the sign-in" >&2; return 1; }
  link=$(jq -r '"vell://auth#access_token=\(.access_token|@uri)&refresh_token=\(.refresh_token|@uri)&expires_at=\(.expires_at)&email=\(.email|@uri)"' <<<"$session")
  VELL_INFO_FILE="$scratch/info.json" "$vell" "$link" >>"$scratch/vell.log" 2>&1
}

# A spoken sentence for the dictations, and the form they and the fill go to.
flite -voice slt -t 'please call me back about the meeting tomorrow morning' -o "$scratch/speech.wav"
form=build/bin/vell_fill_form_fixture
[[ -x $form ]] || cmake --build build --target vell_fill_form_fixture >/dev/null

# Ten dictations into the form, then a fill of it; prints how many of each the
# service answered.
use() {
  local form_pid before i
  rm -f "$scratch/form.in" && mkfifo "$scratch/form.in"
  "$form" --form <"$scratch/form.in" >"$scratch/form.out" 2>>"$scratch/form.log" &
  form_pid=$!
  exec 7>"$scratch/form.in"  # it ends with its input
  for ((i = 0; i < 100; i++)); do grep -q ready "$scratch/form.out" && break; sleep 0.1; done  # it has the focus
  before=$(grep -c 'POST /api/v1/dictate -> 200' "$scratch/service.log" || true)
  for ((i = 0; i < 10; i++)); do
    xdotool keydown ctrl+alt+space
    sleep 0.2
    paplay -d vell_mic_sink "$scratch/speech.wav"
    xdotool keyup ctrl+alt+space
    sleep 2  # the upload, the transcript and its paste
  done
  mkdir -p "$XDG_DATA_HOME/Vell" && touch "$XDG_DATA_HOME/Vell/debug-enabled"
  VELL_INFO_FILE="$scratch/info.json" "$vell" \
    "vell://debug/fill?pid=$form_pid&transcript=Ada%20Lovelace,%20ada@example.com&out=$scratch/fill.json" >>"$scratch/vell.log" 2>&1
  for ((i = 0; i < 100; i++)); do [[ -s "$scratch/fill.json" ]] && break; sleep 0.1; done
  echo "$(($(grep -c 'POST /api/v1/dictate -> 200' "$scratch/service.log") - before)) dictations," \
    "$(jq '[.applied[]? | select(.result == "applied")] | length' "$scratch/fill.json" 2>/dev/null || echo 0) fields filled" >&2
  exec 7>&-
  wait "$form_pid" 2>/dev/null || true
  cp "$scratch/fill.json" "$scratch/fill.last.json" 2>/dev/null || true
  rm -f "$scratch/fill.json"
}

# The process and its descendants, one pid a line.
tree() {
  local all=("$1") frontier=("$1") next p
  while ((${#frontier[@]})); do
    next=()
    for p in "${frontier[@]}"; do
      while read -r c; do [[ -n "$c" ]] && next+=("$c") && all+=("$c"); done < <(pgrep -P "$p" || true)
    done
    frontier=("${next[@]}")
  done
  printf '%s\n' "${all[@]}"
}
pss_kib() { awk '/^Pss:/ {print $2}' "/proc/$1/smaps_rollup" 2>/dev/null || echo 0; }
# PSS shares library pages with every process on the machine that maps them, so
# it moves with what else runs; the private pages (USS) do not.
uss_kib() { awk '/^Private_(Clean|Dirty):/ {n += $2} END {print n + 0}' "/proc/$1/smaps_rollup" 2>/dev/null || echo 0; }
wakeups() { awk '{print $3}' "/proc/$1/task/$1/schedstat"; }  # times the main thread ran
main_cpu_ns() { awk '{print $1}' "/proc/$1/task/$1/schedstat"; }
# "<thread id> <ns on a CPU> <times it ran>" for every thread of the process
# (WebKit's and the libraries' own threads too).
threads() {
  local t
  for t in /proc/"$1"/task/*; do echo "${t##*/} $(awk '{print $1, $3}' "$t/schedstat" 2>/dev/null)"; done
}
# What the threads alive at the end did since the start ("<ns> <times run>"),
# matched by thread id: a thread started in between counts from zero, and one
# that ended takes its counts along (its last moments are lost, never counted
# negative). The number of threads that ended goes to standard error.
thread_delta() {
  awk 'NF < 3 {next}
       FNR == NR {ns[$1] = $2; runs[$1] = $3; next}
       {t += $2 - ns[$1]; r += $3 - runs[$1]; seen[$1] = 1}
       END {for (id in ns) if (!(id in seen)) ended++
            if (ended) printf "%d thread(s) ended in the window\n", ended > "/dev/stderr"
            printf "%d %d\n", t, r}' "$1" "$2"
}

# Over `window` seconds: "<main-loop wake-ups/s> <all threads' wake-ups/s> <% of a core, all threads>
# <% of a core, main thread>".
quiet_window() {
  local s0 m0 s1 m1 before after t a
  before=$(mktemp) after=$(mktemp)
  s0=$(wakeups "$1") m0=$(main_cpu_ns "$1")
  threads "$1" >"$before"
  sleep "$window"
  s1=$(wakeups "$1") m1=$(main_cpu_ns "$1")
  threads "$1" >"$after"
  read -r t a < <(thread_delta "$before" "$after")
  rm -f "$before" "$after"
  awk -v s="$((s1 - s0))" -v a="$a" -v t="$t" -v m="$((m1 - m0))" -v w="$window" \
    'BEGIN {printf "%.1f %.1f %.3f %.3f\n", s / w, a / w, t / 1e9 / w * 100, m / 1e9 / w * 100}'
}

used_all=() used_own=() own=() all=() own_private=() all_private=() wakeups_per_s=() thread_wakeups_per_s=() cpu_share=()
watch_wakeups_per_s=() watch_cpu_share=() main_cpu_share=() watch_main_cpu_share=()
for ((run = 0; run < runs; run++)); do
  rm -rf "$XDG_DATA_HOME/Vell" "$XDG_CACHE_HOME/Vell"
  VELL_INFO_FILE="$scratch/info.json" "$vell" >"$scratch/vell.log" 2>&1 &
  vell_pid=$!
  timeout 20 xdotool search --sync --onlyvisible --pid "$vell_pid" --name Vell >/dev/null ||
    { echo "no window: the program did not start" >&2; cat "$scratch/vell.log" >&2; exit 1; }
  # Signed out, the setup watch measures the checklist every few seconds.
  sleep "$settle"
  read -r main _ cpu main_cpu < <(quiet_window "$vell_pid")
  watch_wakeups_per_s+=("$main") watch_cpu_share+=("$cpu") watch_main_cpu_share+=("$main_cpu")
  sign_in "$vell_pid" || exit 1
  sleep "$idle"
  kill -0 "$vell_pid" 2>/dev/null || { echo "vell exited:" >&2; cat "$scratch/vell.log" >&2; exit 1; }
  total=0 private=0 line=""
  for p in $(tree "$vell_pid"); do
    k=$(pss_kib "$p")
    total=$((total + k)) private=$((private + $(uss_kib "$p")))
    line+=" $(cat /proc/"$p"/comm 2>/dev/null)=$((k / 1024))MiB$(grep -q libLLVM /proc/"$p"/maps 2>/dev/null && echo +llvm || true)"
  done
  echo "run $run:$line" >&2
  own+=("$(pss_kib "$vell_pid")") all+=("$total") own_private+=("$(uss_kib "$vell_pid")") all_private+=("$private")
  read -r main threads cpu main_cpu < <(quiet_window "$vell_pid")
  wakeups_per_s+=("$main") thread_wakeups_per_s+=("$threads") cpu_share+=("$cpu") main_cpu_share+=("$main_cpu")
  echo "run $run: times each thread ran since the start:" >&2
  for t in /proc/"$vell_pid"/task/*; do echo "  $(cat "$t/comm") $(awk '{print $3}' "$t/schedstat")"; done >&2
  use
  sleep "$idle"
  total=0
  for p in $(tree "$vell_pid"); do total=$((total + $(pss_kib "$p"))); done
  used_all+=("$total") used_own+=("$(pss_kib "$vell_pid")")
  kill "$vell_pid"; wait "$vell_pid" 2>/dev/null || true; vell_pid=""
done

# BENCH name median min max unit goal
bench() {
  local name=$1 unit=$2 goal=$3 scale=$4; shift 4
  printf '%s\n' "$@" | sort -g | awk -v n="$name" -v u="$unit" -v g="$goal" -v s="$scale" \
    '{v[NR] = $1 / s} END {printf "BENCH %s %.4g %.4g %.4g %s %s\n", n, v[int((NR + 1) / 2)], v[1], v[NR], u, g}'
}
bench idle.pss.all MiB '<=120' 1024 "${all[@]}"
bench idle.pss.program MiB '<=40' 1024 "${own[@]}"
bench idle.pss.all.after_use MiB '<=120' 1024 "${used_all[@]}"
bench idle.pss.program.after_use MiB '<=40' 1024 "${used_own[@]}"
bench idle.uss.all MiB - 1024 "${all_private[@]}"
bench idle.uss.program MiB - 1024 "${own_private[@]}"
bench idle.wakeups.main_loop /s '<=0' 1 "${wakeups_per_s[@]}"
bench idle.wakeups.threads /s '<=0' 1 "${thread_wakeups_per_s[@]}"
bench idle.cpu.program % '<=0.1' 1 "${cpu_share[@]}"
bench idle.cpu.main_loop % - 1 "${main_cpu_share[@]}"
bench setup_watch.wakeups.main_loop /s - 1 "${watch_wakeups_per_s[@]}"
bench setup_watch.cpu.program % '<=0.1' 1 "${watch_cpu_share[@]}"
bench setup_watch.cpu.main_loop % - 1 "${watch_main_cpu_share[@]}"
