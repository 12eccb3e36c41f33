#!/usr/bin/env bash
# Runs a command inside a private headless desktop session and tears it down:
#   - HOME and the XDG folders in a scratch directory (no real user's files touched)
#   - Xvfb on a free display (optionally with the openbox window manager)
#   - a D-Bus session bus (the accessibility bus starts on demand)
#   - a private PulseAudio with a virtual microphone: whatever is played into
#     the sink "vell_mic_sink" (paplay -d vell_mic_sink file.wav) is what the
#     default source "vell_mic" hears
# Usage: headless-session.sh [--wm] [--no-sound] COMMAND [ARGS...]
# Inside, VELL_SESSION_DIR names the scratch directory; it is removed afterwards
# unless VELL_KEEP_SESSION=1.
set -euo pipefail

wm=0 sound=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    --wm) wm=1; shift ;;
    --no-sound) sound=0; shift ;;
    --inner) shift; break ;;
    *) break ;;
  esac
done
[[ $# -gt 0 ]] || { echo "usage: $0 [--wm] [--no-sound] COMMAND [ARGS...]" >&2; exit 2; }

if [[ "${VELL_SESSION_INNER:-}" != 1 ]]; then
  session_dir=$(mktemp -d /tmp/vell-session.XXXXXX)
  mkdir -p "$session_dir"/{home,config,data,cache,runtime,tmp}
  chmod 700 "$session_dir/runtime"
  cleanup() {
    # The sound server daemonised out of our process group: a Ctrl-C never
    # reaches it, so it is stopped by its pid file before its folder goes.
    local pulse_pid
    pulse_pid=$(cat "$session_dir/runtime/pulse/pid" 2>/dev/null || true)
    if [[ -n "$pulse_pid" ]] && kill "$pulse_pid" 2>/dev/null; then
      for _ in $(seq 1 40); do kill -0 "$pulse_pid" 2>/dev/null || break; sleep 0.05; done
    fi
    [[ -n "${xvfb_pid:-}" ]] && kill "$xvfb_pid" 2>/dev/null || true
    [[ -n "${xvfb_pid:-}" ]] && wait "$xvfb_pid" 2>/dev/null || true
    [[ "${VELL_KEEP_SESSION:-0}" == 1 ]] || rm -rf "$session_dir"
  }
  trap cleanup EXIT

  Xvfb -displayfd 4 -screen 0 1280x800x24 -nolisten tcp -noreset -auth /dev/null 4>"$session_dir/display" >"$session_dir/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 1 100); do [[ -s "$session_dir/display" ]] && break; sleep 0.05; done
  [[ -s "$session_dir/display" ]] || { echo "headless-session: Xvfb did not start" >&2; cat "$session_dir/xvfb.log" >&2; exit 1; }

  export DISPLAY=":$(tr -d '\n' <"$session_dir/display")"
  export HOME="$session_dir/home" XDG_CONFIG_HOME="$session_dir/config" XDG_DATA_HOME="$session_dir/data" \
         XDG_CACHE_HOME="$session_dir/cache" XDG_RUNTIME_DIR="$session_dir/runtime" TMPDIR="$session_dir/tmp" \
         VELL_SESSION_DIR="$session_dir" VELL_SESSION_INNER=1 NO_AT_BRIDGE=0 GTK_A11Y=atspi
  unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY PULSE_SERVER
  args=()
  ((wm)) && args+=(--wm)
  ((sound)) || args+=(--no-sound)
  set +e
  dbus-run-session -- "$0" "${args[@]}" --inner "$@"
  status=$?
  set -e
  exit $status
fi

# ---- inside the D-Bus session ------------------------------------------------------------
pids=()
stop_all() {
  if [[ -n "${PULSE_RUNTIME_PATH:-}" ]]; then pactl exit >/dev/null 2>&1 || true; fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap stop_all EXIT

if ((wm)); then
  openbox --sm-disable >"$VELL_SESSION_DIR/openbox.log" 2>&1 &
  pids+=($!)
  sleep 0.3
fi

# The accessibility switch: applications expose their trees when it is on.
gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
  --method org.freedesktop.DBus.Properties.Set org.a11y.Status IsEnabled '<true>' >/dev/null 2>&1 || true

if ((sound)); then
  export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
  mkdir -p "$PULSE_RUNTIME_PATH"
  pa_file="$VELL_SESSION_DIR/vell.pa"
  {
    echo "load-module module-native-protocol-unix auth-anonymous=1"
    echo "load-module module-null-sink sink_name=vell_mic_sink rate=16000 channels=1 norewinds=1 sink_properties=device.description=Vell-Test-Sink"
    echo "load-module module-remap-source source_name=vell_mic master=vell_mic_sink.monitor source_properties=device.description=Vell-Virtual-Microphone"
    echo "set-default-source vell_mic"
    echo "set-default-sink vell_mic_sink"
  } >"$pa_file"
  pulseaudio -n -F "$pa_file" --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes \
    --log-target=file:"$VELL_SESSION_DIR/pulse.log" >/dev/null 2>&1 || true
  for _ in $(seq 1 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  pactl info >/dev/null 2>&1 || echo "headless-session: the sound server did not start" >&2
fi

set +e
"$@"
status=$?
set -e
exit $status
