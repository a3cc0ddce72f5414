#!/usr/bin/env bash
# Runs a command inside the test environment: an Xvfb display split into two monitors (for the OpenGL
# and output-window tests) and a private PulseAudio daemon with a null sink (so Qt and ALSA's `pulse`
# device see a real, paced audio device). Both are stopped when the command ends.
set -u
work=$(mktemp -d /tmp/zelvo-testenv.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Display: one 3840x1080 screen, presented as two 1920x1080 monitors.
display=""
if command -v Xvfb >/dev/null; then
  for n in $(seq 90 120); do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then display=":$n"; break; fi
  done
fi
if [ -n "$display" ]; then
  Xvfb "$display" -screen 0 3840x1080x24 -noreset -nolisten tcp +extension GLX >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    DISPLAY=$display xrandr >/dev/null 2>&1 && break
    sleep 0.1
  done
  DISPLAY=$display xrandr --setmonitor ZELVO-LEFT 1920/508x1080/286+0+0 screen >/dev/null 2>&1 || true
  DISPLAY=$display xrandr --setmonitor ZELVO-RIGHT 1920/508x1080/286+1920+0 none >/dev/null 2>&1 || true
  export DISPLAY=$display
  export ZELVO_TEST_DISPLAY=$display
fi

# Sound: a private PulseAudio daemon with a null sink.
if command -v pulseaudio >/dev/null; then
  export XDG_RUNTIME_DIR="$work/runtime"
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
  export HOME_FOR_PULSE="$work/home"
  mkdir -p "$HOME_FOR_PULSE"
  HOME="$HOME_FOR_PULSE" pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n --high-priority=yes --realtime=yes \
    --load="module-native-protocol-unix" \
    --load="module-null-sink sink_name=zelvo_null sink_properties=device.description=ZelvoNullSink" \
    --load="module-always-sink" >"$work/pulse.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  pactl set-default-sink zelvo_null >/dev/null 2>&1 || true
  export ZELVO_TEST_PULSE=1
fi

"$@"
