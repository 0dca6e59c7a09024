#!/usr/bin/env bash
# Plays a short host conversation with the caption helper and shows both sides, one line each:
# the hello, a status query, the audio inputs, a caption start and an unknown command.
# Usage: scripts/demo.sh BUILD_DIR
set -euo pipefail

build=${1:-build}
helper="$build/bin/quorvel-caption-helper"
if [ ! -x "$helper" ]; then
  echo "demo: no helper at $helper; build it first (make build)" >&2
  exit 1
fi

errlog=$(mktemp)
trap 'rm -f "$errlog"' EXIT

commands=(
  '{"id":"1","op":"captionsStatus"}'
  '{"id":"2","op":"captionsAudioInputs"}'
  '{"id":"3","op":"captionsStart","args":{"sessionId":"demo","locale":"en-US","source":{"kind":"default"}}}'
  '{"id":"4","op":"captionsRecord"}'
)

coproc HELPER { exec "$helper" 2>"$errlog"; }
helper_pid=$HELPER_PID
to_helper=${HELPER[1]}
from_helper=${HELPER[0]}

show_in() { printf '  helper > %s\n' "$1"; }
show_out() { printf '  host   > %s\n' "$1"; }

echo "== helper starts"
IFS= read -r -t 5 line <&"$from_helper" || { echo "demo: no hello from the helper" >&2; exit 1; }
show_in "$line"

for cmd in "${commands[@]}"; do
  id=$(sed -E 's/^\{"id":"([^"]*)".*/\1/' <<<"$cmd")
  echo
  show_out "$cmd"
  printf '%s\n' "$cmd" >&"$to_helper"
  # Events may come before the reply; print every line up to the one that answers this id.
  while IFS= read -r -t 5 line <&"$from_helper"; do
    show_in "$line"
    case "$line" in *"\"id\":\"$id\""*) break ;; esac
  done
done

echo
echo "== host closes the helper's input"
exec {to_helper}>&-
status=0
wait "$helper_pid" || status=$?
echo "  helper exited with status $status"
echo
echo "== helper diagnostics (standard error)"
sed 's/^/  /' "$errlog"
