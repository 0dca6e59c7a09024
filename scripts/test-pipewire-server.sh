#!/usr/bin/env bash
# Starts or stops a headless PipeWire server with the same virtual devices as
# test-audio-server.sh: a null sink "ci_sink" and a source "ci_mic" that records what is played
# into the sink, both the defaults. Three daemons make the server: pipewire (the media graph),
# wireplumber (the session manager that links streams to devices) and pipewire-pulse (which
# speaks the PulseAudio protocol that our capture and pactl use).
#
#   eval "$(scripts/test-pipewire-server.sh start)"   # exports XDG_RUNTIME_DIR, PULSE_SERVER, QUORVEL_PA_DIR
#   scripts/test-pipewire-server.sh stop "$QUORVEL_PA_DIR"
#
# Everything the daemons read or write lives in the one private directory: runtime sockets,
# configuration, state (WirePlumber remembers default devices there) and home. There is no
# D-Bus: WirePlumber's portal and hardware monitors are turned off, or it would exit.
set -euo pipefail

case "${1:-}" in
start)
  D=$(mktemp -d /tmp/quorvel-pw.XXXXXX)
  chmod 700 "$D"
  mkdir -p "$D/config/wireplumber/main.lua.d" "$D/config/wireplumber/bluetooth.lua.d" \
    "$D/state" "$D/home"
  cat > "$D/config/wireplumber/main.lua.d/51-headless.lua" <<'LUA'
default_access.properties["enable-flatpak-portal"] = false
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
LUA
  cat > "$D/config/wireplumber/bluetooth.lua.d/51-headless.lua" <<'LUA'
bluez_monitor.enabled = false
LUA
  export XDG_RUNTIME_DIR=$D XDG_CONFIG_HOME=$D/config XDG_STATE_HOME=$D/state \
    XDG_DATA_HOME=$D/home/.local/share HOME=$D/home PULSE_SERVER=unix:$D/pulse/native
  unset DBUS_SESSION_BUS_ADDRESS PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PIPEWIRE_CONFIG_DIR
  failed() {
    echo "test PipeWire server did not start: $1 (logs in $D)" >&2
    for f in pipewire wireplumber pulse; do
      [ -f "$D/$f.pid" ] && kill "$(cat "$D/$f.pid")" 2>/dev/null || true
    done
    exit 1
  }
  pipewire </dev/null >"$D/pipewire.log" 2>&1 &
  echo $! > "$D/pipewire.pid"
  for _ in $(seq 1 200); do
    [ -S "$D/pipewire-0" ] && break
    sleep 0.05
  done
  [ -S "$D/pipewire-0" ] || failed "no pipewire-0 socket"
  wireplumber </dev/null >"$D/wireplumber.log" 2>&1 &
  echo $! > "$D/wireplumber.pid"
  pipewire-pulse </dev/null >"$D/pipewire-pulse.log" 2>&1 &
  echo $! > "$D/pulse.pid"
  for _ in $(seq 1 200); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  pactl info >/dev/null 2>&1 || failed "pipewire-pulse does not answer"
  pactl load-module module-null-sink sink_name=ci_sink rate=48000 \
    sink_properties=device.description=CI-Sink >/dev/null || failed "no ci_sink"
  pactl load-module module-remap-source source_name=ci_mic master=ci_sink.monitor \
    source_properties=device.description=CI-Mic >/dev/null || failed "no ci_mic"
  pactl set-default-sink ci_sink
  pactl set-default-source ci_mic
  # The session manager applies the defaults a moment later: wait until the server names them.
  for _ in $(seq 1 200); do
    info=$(pactl info 2>/dev/null || true)
    grep -q '^Default Source: ci_mic$' <<<"$info" && grep -q '^Default Sink: ci_sink$' <<<"$info" \
      && break
    sleep 0.05
  done
  grep -q '^Default Source: ci_mic$' <<<"$(pactl info)" || failed "ci_mic is not the default"
  # Keep a silent stream playing into the sink, as on the PulseAudio test server.
  pacat --playback -d ci_sink --raw --format=s16le --rate=48000 --channels=2 /dev/zero \
    </dev/null >/dev/null 2>&1 &
  echo $! > "$D/silence.pid"
  echo "export XDG_RUNTIME_DIR=$D PULSE_SERVER=unix:$D/pulse/native QUORVEL_PA_DIR=$D"
  ;;
stop)
  D=${2:?directory}
  # The player first, then the PulseAudio side, the session manager and the graph; each is given
  # up to 2 s to end before the next is asked (an ended one that is not yet reaped counts as ended).
  running() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) && [ "${state#Z}" = "$state" ]
  }
  for f in silence.pid pulse.pid wireplumber.pid pipewire.pid; do
    [ -f "$D/$f" ] || continue
    pid=$(cat "$D/$f")
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 1 40); do
      running "$pid" || break
      sleep 0.05
    done
  done
  rm -rf "$D"
  ;;
*)
  echo "usage: $0 start | stop DIR" >&2
  exit 2
  ;;
esac
