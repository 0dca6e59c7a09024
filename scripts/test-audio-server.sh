#!/usr/bin/env bash
# Starts or stops a headless PulseAudio server with a virtual microphone for tests:
# a null sink "ci_sink" and a source "ci_mic" that records what is played into the sink.
# scripts/test-pipewire-server.sh is its PipeWire twin, used the same way.
#
#   eval "$(scripts/test-audio-server.sh start)"   # exports XDG_RUNTIME_DIR, PULSE_SERVER, QUORVEL_PA_DIR
#   scripts/test-audio-server.sh stop "$QUORVEL_PA_DIR"
set -euo pipefail

case "${1:-}" in
start)
  D=$(mktemp -d /tmp/quorvel-pa.XXXXXX)
  chmod 700 "$D"
  export XDG_RUNTIME_DIR=$D PULSE_SERVER=unix:$D/native
  cat > "$D/ci.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$D/native
load-module module-null-sink sink_name=ci_sink rate=48000 sink_properties=device.description=CI-Sink
load-module module-remap-source source_name=ci_mic master=ci_sink.monitor source_properties=device.description=CI-Mic
set-default-sink ci_sink
set-default-source ci_mic
PA
  HOME=$D pulseaudio -n -F "$D/ci.pa" --daemonize=no --exit-idle-time=-1 --disallow-exit \
    --log-target=file:$D/pa.log </dev/null >/dev/null 2>&1 &
  echo $! > "$D/server.pid"
  for _ in $(seq 1 200); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  pactl info >/dev/null 2>&1 || { echo "test audio server did not start (see $D/pa.log)" >&2; exit 1; }
  # An idle null sink stalls the first capture; keep a silent stream playing into it.
  pacat --playback -d ci_sink --raw --format=s16le --rate=48000 --channels=2 /dev/zero \
    </dev/null >/dev/null 2>&1 &
  echo $! > "$D/silence.pid"
  echo "export XDG_RUNTIME_DIR=$D PULSE_SERVER=unix:$D/native QUORVEL_PA_DIR=$D"
  ;;
stop)
  D=${2:?directory}
  for f in silence.pid server.pid; do
    [ -f "$D/$f" ] && kill "$(cat "$D/$f")" 2>/dev/null || true
  done
  sleep 0.2
  rm -rf "$D"
  ;;
*)
  echo "usage: $0 start | stop DIR" >&2
  exit 2
  ;;
esac
