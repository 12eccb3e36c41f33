#!/usr/bin/env bash
# Builds and runs Vell against the local stand-in service: vell-service on
# 127.0.0.1:8765 (or a free port when 8765 is taken), Vell in the tray, and
# vell:// links routed to this build. Without a display everything runs in a
# private headless session and a screenshot is written every few seconds.
# Ctrl-C stops all of it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [[ "${VELL_SESSION_INNER:-}" != 1 ]]; then
  bash scripts/install-deps.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  # Only what runs: the program and the service, not the tests and benchmarks.
  cmake --build build --target vell vell-service -j"$(nproc)"
fi

if [[ -z "${DISPLAY:-}" && "${VELL_SESSION_INNER:-}" != 1 ]]; then
  screen="$root/build/run-screen.png"
  echo "No display: running inside a private headless session (Xvfb, its own D-Bus and sound server)."
  echo "To see it, open $screen — it is rewritten every 3 seconds."
  VELL_RUN_SCREEN="$screen" exec scripts/headless-session.sh --wm "$0" "$@"
fi

pids=()
previous_handler=""
stop() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # vell:// goes back to whatever handled it before this run.
  if [[ -n "$previous_handler" && "$previous_handler" != vell-build.desktop ]]; then
    xdg-mime default "$previous_handler" x-scheme-handler/vell 2>/dev/null || true
  fi
}
trap stop EXIT
trap 'exit 130' INT TERM

# The service: on 8765 as the development deployment file says, or on a free
# port with a deployment file of its own. Never a stranger that owns the port.
port=8765
if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mkdir -p build/run
  export VELL_INFO_FILE="$root/build/run/info.json"
  printf '{\n  "VellAPIBase": "http://127.0.0.1:%s",\n  "VellSupabaseURL": "http://127.0.0.1:%s",\n  "VellSupabaseAnonKey": "local-development-key"\n}\n' \
    "$port" "$port" >"$VELL_INFO_FILE"
  echo "Port 8765 is taken by another program; the service runs on $port ($VELL_INFO_FILE)."
fi
data_dir="${XDG_DATA_HOME:-$HOME/.local/share}/vell-service"
build/bin/vell-service --port "$port" --data-dir "$data_dir" &
pids+=($!)
for _ in $(seq 1 100); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
(exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null || { echo "vell-service did not start on port $port" >&2; exit 1; }

# vell:// links open this build while it runs.
apps="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
mkdir -p "$apps"
sed "s|^Exec=vell |Exec=env VELL_INFO_FILE=${VELL_INFO_FILE:-} $root/build/bin/vell |" packaging/vell.desktop \
  | sed 's|^Name=Vell$|Name=Vell (development build)|' >"$apps/vell-build.desktop"
previous_handler=$(xdg-mime query default x-scheme-handler/vell 2>/dev/null || true)
xdg-mime default vell-build.desktop x-scheme-handler/vell 2>/dev/null || true
command -v update-desktop-database >/dev/null && update-desktop-database "$apps" 2>/dev/null || true

if [[ -n "${VELL_RUN_SCREEN:-}" ]]; then
  (while sleep 3; do import -window root "$VELL_RUN_SCREEN.tmp.png" 2>/dev/null && mv "$VELL_RUN_SCREEN.tmp.png" "$VELL_RUN_SCREEN"; done) &
  pids+=($!)
fi

build/bin/vell "$@" &
pids+=($!)
echo "Vell is running (Ctrl-C stops it, the service and everything this command started)."
wait "${pids[-1]}"
