#!/usr/bin/env bash
# Builds and runs Vell against the local stand-in service (vell-service on
# 127.0.0.1:8765, state in ~/.local/share/vell-service). Without a display it
# runs inside a private headless session.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

if [[ -z "${DISPLAY:-}" && "${VELL_SESSION_INNER:-}" != 1 ]]; then
  echo "No display: running inside a private headless session (Xvfb)."
  exec tests/support/headless-session.sh --wm "$0" "$@"
fi

service_pid=""
if [[ -x build/bin/vell-service ]]; then
  data_dir="${XDG_DATA_HOME:-$HOME/.local/share}/vell-service"
  build/bin/vell-service --port 8765 --data-dir "$data_dir" &
  service_pid=$!
  trap '[[ -n "$service_pid" ]] && kill "$service_pid" 2>/dev/null || true' EXIT
  sleep 0.5
fi

build/bin/vell "$@"
