#!/usr/bin/env bash
# The soak (bench/soak): DICTATIONS dictations on the real recorder against a
# service that fails every way it can, then INSERTS inserts over the real X
# clipboard, inside a private headless session. Prints the soak's summary and
# ends with "soak: passed" or "soak: FAILED" (non-zero on any loss or leak).
# Usage: scripts/soak.sh [DICTATIONS=1000] [INSERTS=500] [COPIES=0.3]   (after building vell_soak in build/)
# COPIES: the share of inserts during which the person copies something.
set -uo pipefail
cd "$(dirname "$0")/.."
soak=build/bin/vell_soak
[[ -x $soak ]] || cmake --build build --target vell_soak >/dev/null || { echo "soak: FAILED (no build)"; exit 1; }
scripts/headless-session.sh "$soak" "${1:-1000}" "${2:-500}" "${3:-0.3}" 2> >(grep -v -e '^dbus-daemon' -e SpiRegistry >&2)
