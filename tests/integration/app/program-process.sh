#!/usr/bin/env bash
# Vell as a person starts it, inside a headless session, against the local
# service: later `vell LINK` processes hand their links to the one instance
# byte for byte (a sign-in; debug reports only while the flag file exists);
# the tray menu read over dbusmenu quits it. Then `vell --selftest`.
# Usage (inside headless-session.sh): program-process.sh VELL VELL_SERVICE FORM_FIXTURE TRAY_WATCHER
set -uo pipefail
vell=$1 service=$2 form=$3 watcher=$4
work="$VELL_SESSION_DIR/program-test"
mkdir -p "$work"
failures=0
check() {  # DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}
pids=()
trap 'kill "${pids[@]}" 2>/dev/null' EXIT
wait_for() {  # SECONDS COMMAND...: true once COMMAND succeeds
  local deadline=$((SECONDS + $1))
  until "${@:2}"; do ((SECONDS < deadline)) || return 1; sleep 0.2; done
}
json() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if ($2) else 1)" "$1"; }

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$service" --port "$port" --data-dir "$work/service" >"$work/service.log" 2>&1 & pids+=($!)
wait_for 30 grep -q "/app" "$work/service.log" || { echo "FAIL: the service did not start"; exit 1; }
printf '{"VellAPIBase": "http://127.0.0.1:%s", "VellSupabaseURL": "http://127.0.0.1:%s"}\n' "$port" "$port" \
  >"$work/info.json"
export VELL_INFO_FILE="$work/info.json"

"$watcher" >"$work/watcher.log" 2>&1 & pids+=($!)
wait_for 20 grep -q watching "$work/watcher.log" || { echo "FAIL: no tray host"; exit 1; }

"$vell" 'vell://auth#access_token=a&refresh_token=r&email=first%40example.com' >"$work/vell.log" 2>&1 & pids+=($!)
vell_pid=$!
owned() { gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
            --method org.freedesktop.DBus.NameHasOwner so.vell.Vell 2>/dev/null | grep -q true; }
check "the first start owns the application's name on the bus" wait_for 60 owned

data="$XDG_DATA_HOME/Vell"
first_link_handled() { json "$data/session.json" 'd["email"] == "first@example.com"' 2>/dev/null; }
check "a first start with a link handles it once launched" wait_for 30 first_link_handled
"$vell" "vell://debug/token?out=$work/ignored.json"
check "a second start forwards and exits at once" test $? -eq 0
sleep 3
check "without the flag file a debug link writes nothing" test ! -e "$work/ignored.json"

# "+" stays, "%2B" is decoded once per rule, "=" inside a value, non-ASCII.
"$vell" 'vell://auth#access_token=a.b=c&refresh_token=r+1&expires_at=soon&email=j%C3%B6+x%252B=y%40example.com'
marker_written() { grep -q example.com "$data/session.json" && ! first_link_handled; }
check "an auth link from another process writes the marker" wait_for 20 marker_written
check "the marker is the owner's alone (0600)" test "$(stat -c %a "$data/session.json")" = 600
check "the address arrives byte for byte" json "$data/session.json" 'd["email"] == "jö+x+=y@example.com"'

touch "$data/debug-enabled"
"$vell" "vell://debug/token?out=$work/token.json"
check "the token report is written with the flag file" wait_for 30 test -s "$work/token.json"
check "the token report has its keys and types" json "$work/token.json" \
  'isinstance(d["hasToken"], bool) and isinstance(d["email"], str) and d["webviewURL"].endswith("/app") and isinstance(d["isLoading"], bool) and isinstance(d["page"], str)'

mkfifo "$work/form-in"
"$form" <"$work/form-in" >"$work/form-out" & pids+=($!)
form_pid=$!
exec 5>"$work/form-in"
check "the GTK form starts" wait_for 30 grep -q ready "$work/form-out"
"$vell" "vell://debug/fill?pid=$form_pid&transcript=Ada+Lovelace&out=$work/fill.json"
"$vell" "vell://debug/fill?pid=12a&transcript=x&out=$work/never.json"
check "the fill report is written" wait_for 60 test -s "$work/fill.json"
check "the fill report names the form's fields; the stranger's tokens get an error, not values" json "$work/fill.json" \
  'd["pid"] == '"$form_pid"' and d["axTrusted"] is True and d["diag"]["windowCount"] >= 1 and len(d["fields"]) > 0 and set(d["fields"][0]) == {"id","label","placeholder","type","near"} and "error" in d and "values" not in d'
check "a malformed pid writes nothing" test ! -e "$work/never.json"

check "the tray item registers with the tray host" wait_for 30 grep -q registered "$work/watcher.log"
item=$(sed -n 's/^registered //p' "$work/watcher.log" | head -1)
item=${item%%/*}
menu_call() { gdbus call --session --dest "$item" --object-path /MenuBar --method "com.canonical.dbusmenu.$1" -- "${@:2}"; }
menu_call AboutToShow 0 >/dev/null
layout=$(menu_call GetLayout 0 -1 '[]')
titles=$(python3 -c 'import re,sys; print("|".join(re.findall(r"label.: <.([^>]*).>", sys.argv[1])))' "$layout")
# The fill's token question found no session at the page: signed out again.
check "the menu, read as it opens, offers to sign in" \
  test "$titles" = "Open panel|Open Vell on the web|Sign in…|Quit Vell"
quit_id=$(python3 -c 'import re,sys; print(re.search(r"\((\d+), \{[^}]*Quit Vell", sys.argv[1]).group(1))' "$layout")
menu_call Event "$quit_id" clicked '<0>' 0 >/dev/null
check "Quit Vell in the tray menu ends the program" wait_for 20 bash -c "! kill -0 $vell_pid 2>/dev/null"
wait "$vell_pid" 2>/dev/null
check "it ends with status 0" test $? -eq 0

# The self test as a person runs it, with the tray host there and the hotkey free again, and without a
# deployment file: the built-in defaults.
env -u VELL_INFO_FILE XDG_DATA_HOME="$work/fresh" "$vell" --selftest >"$work/selftest.txt" 2>&1
check "a passing self test exits 0" test $? -eq 0
base="http://127.0.0.1:8765"
check "the self test prints its whole report" diff - "$work/selftest.txt" <<EOF
Vell for Linux — self test

PASS  API base is set  — $base
PASS  Supabase URL is set  — $base
PASS  Supabase anon key is baked in  — present
PASS  status item has a button
PASS  microphone glyph resolves  — icon theme 'audio-input-microphone-symbolic'
PASS  Ctrl+Alt+Space is available  — registered
      microphone: granted
      accessibility: granted for this terminal — the app's own state is in the panel checklist
      input monitoring: not required — the hotkey is registered with the window server
      account: not signed in — open $base/app#/desktop and press Connect

All checks passed.
EOF
((failures == 0)) || { echo "--- vell.log"; cat "$work/vell.log"; exit 1; }
