#!/usr/bin/env bash
# The X server dies under the running program while a take is being
# recorded: the program ends by itself, by exit and not by a signal (no crash,
# no abort, no core), and the recording holding the person's voice is gone.
# Runs its own Xvfb inside the headless session, so killing it leaves the
# session's display alone.
# Usage (inside headless-session.sh): x-server-gone.sh VELL
set -uo pipefail
vell=$1
work="$VELL_SESSION_DIR/x-server-gone"
mkdir -p "$work"
pids=()
trap 'for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done' EXIT
fail() { echo "FAIL: $*"; exit 1; }
wait_for() {  # SECONDS COMMAND...
  local deadline=$((SECONDS + $1))
  until "${@:2}"; do ((SECONDS < deadline)) || return 1; sleep 0.1; done
}

Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp -auth /dev/null 5>"$work/display" >/dev/null 2>&1 &
xvfb=$!
pids+=($xvfb)
wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(tr -d '\n' <"$work/display")"
# Nothing answers here: the take is never sent, only recorded.
echo '{"VellAPIBase": "http://127.0.0.1:9", "VellSupabaseURL": "http://127.0.0.1:9"}' >"$work/info.json"
export VELL_INFO_FILE="$work/info.json"

"$vell" 'vell://auth#access_token=a&refresh_token=r&email=ada%40example.com' >"$work/vell.log" 2>&1 &
program=$!
pids+=($program)
recordings="$XDG_RUNTIME_DIR/vell"
taking() { compgen -G "$recordings/vell-dictation-*" >/dev/null; }
# The grab is in place a moment after start: press until a take begins.
started() { xdotool keydown ctrl+alt+space; sleep 0.5; taking || { xdotool keyup ctrl+alt+space; false; }; }
wait_for 30 started || fail "no take started"

kill -9 "$xvfb"
wait_for 20 test ! -e "/proc/$program" -o -n "$(grep -s '^State:.*Z' "/proc/$program/status")" ||
  fail "the program still runs without its display"
wait "$program"
status=$?
echo "the program ended with status $status: $(tail -n 1 "$work/vell.log")"
((status < 128)) || fail "ended by signal $((status - 128))"
taking && fail "a recording was left on disk: $(ls "$recordings")"
echo "ok: the program ended cleanly and left no recording"
