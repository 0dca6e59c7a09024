#!/usr/bin/env bash
# The demo: live captions of real read speech (the librivox recordings that come with
# pocketsphinx-testdata), played at real-time pace.
#   1. a short host conversation with the helper over its pipes (hello, status, inputs, refusals);
#   2. a recording captioned live through the helper's wire protocol;
#   3. the terminal captioner on all the recordings joined, writing SubRip subtitles as it goes.
# First it says which sound server this machine runs (PulseAudio and PipeWire are supported).
# Usage: scripts/demo.sh BUILD_DIR
set -euo pipefail

build=${1:-build}
bin="$build/bin"
helper="$bin/quorvel-caption-helper"
for b in quorvel-caption-helper quorvel-wire-demo quorvel-caption; do
  [ -x "$bin/$b" ] || { echo "demo: $bin/$b is missing; run make build" >&2; exit 1; }
done
librivox=/usr/share/pocketsphinx/test/data/librivox
[ -d "$librivox" ] || { echo "demo: $librivox is missing (package pocketsphinx-testdata)" >&2; exit 1; }

work="$build/demo"
mkdir -p "$work"
joined="$work/librivox-joined.wav"
if [ ! -s "$joined" ]; then
  # The five recordings one after another, with a second of silence between them.
  inputs=() filters=""
  n=0
  for f in "$librivox"/*.wav; do
    inputs+=(-i "$f")
    filters+="[$n:a]apad=pad_dur=1[a$n];"
    n=$((n + 1))
  done
  concat=""
  for i in $(seq 0 $((n - 1))); do concat+="[a$i]"; done
  ffmpeg -loglevel error -y "${inputs[@]}" \
    -filter_complex "${filters}${concat}concat=n=$n:v=0:a=1[out]" -map "[out]" "$joined"
fi

bold=$(tput bold 2>/dev/null || true)
plain=$(tput sgr0 2>/dev/null || true)
section() { printf '\n%s== %s%s\n' "$bold" "$1" "$plain"; }

# Live capture works with either sound server the helper supports; both are tested (make test).
# Asking which one runs must not start one: no autospawn.
noautospawn=$(mktemp)
echo "autospawn = no" > "$noautospawn"
server=$(PULSE_CLIENTCONFIG=$noautospawn pactl info 2>/dev/null | sed -n 's/^Server Name: //p' || true)
rm -f "$noautospawn"
section "Sound servers: PulseAudio and PipeWire (through pipewire-pulse) are supported and tested"
printf '  this machine: %s\n' "${server:-no sound server running (the inputs list below is empty)}"

section "1. A host talks to the helper (one JSON object per line each way)"
errlog=$(mktemp)
trap 'rm -f "$errlog"' EXIT
coproc HELPER { exec "$helper" 2>"$errlog"; }
helper_pid=$HELPER_PID
to_helper=${HELPER[1]}
from_helper=${HELPER[0]}
IFS= read -r -t 10 line <&"$from_helper" || { echo "demo: no hello from the helper" >&2; exit 1; }
printf '  helper > %s\n' "$line"
for cmd in \
  '{"id":"1","op":"captionsStatus"}' \
  '{"id":"2","op":"captionsAudioInputs"}' \
  '{"id":"3","op":"captionsStart","args":{"sessionId":"demo","source":{"kind":"default"}}}' \
  '{"id":"4","op":"captionsRecord"}'; do
  id=$(sed -E 's/^\{"id":"([^"]*)".*/\1/' <<<"$cmd")
  printf '  host   > %s\n' "$cmd"
  printf '%s\n' "$cmd" >&"$to_helper"
  while IFS= read -r -t 10 line <&"$from_helper"; do
    printf '  helper > %s\n' "$line"
    case "$line" in *"\"id\":\"$id\""*) break ;; esac
  done
done
exec {to_helper}>&-
wait "$helper_pid" || true
sed 's/^/  stderr > /' "$errlog"

first=$(ls "$librivox"/*.wav | head -n 1)
section "2. Live captions through the helper: $(basename "$first"), at real-time pace"
"$bin/quorvel-wire-demo" "$helper" "$first"

section "3. The terminal captioner on all five recordings ($(basename "$joined")), writing $work/librivox.srt"
"$bin/quorvel-caption" --srt "$work/librivox.srt" "$joined"
section "Subtitles written"
cat "$work/librivox.srt"
