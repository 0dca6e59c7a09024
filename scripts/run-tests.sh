#!/usr/bin/env bash
# Runs the test suite of a build directory against a private headless sound server, which is
# started first and stopped by pid at the end, whatever the outcome.
#   scripts/run-tests.sh BUILD_DIR [ctest arguments...]
# QUORVEL_TEST_SERVER chooses the server: pulseaudio (the default, scripts/test-audio-server.sh)
# or pipewire (scripts/test-pipewire-server.sh, PipeWire with its PulseAudio-protocol server).
set -euo pipefail
build=${1:-build}
shift || true
here=$(cd "$(dirname "$0")" && pwd)

export QUORVEL_TEST_SERVER=${QUORVEL_TEST_SERVER:-pulseaudio}
case "$QUORVEL_TEST_SERVER" in
pulseaudio) server_script=$here/test-audio-server.sh ;;
pipewire) server_script=$here/test-pipewire-server.sh ;;
*)
  echo "QUORVEL_TEST_SERVER must be pulseaudio or pipewire, not $QUORVEL_TEST_SERVER" >&2
  exit 2
  ;;
esac
# The tests' model store is a fresh directory of its own, removed at the end with the server.
data=$(mktemp -d /tmp/quorvel-data.XXXXXX)
eval "$("$server_script" start)"
trap '"$server_script" stop "$QUORVEL_PA_DIR"; rm -rf "$data"' EXIT
echo "== tests against a private $QUORVEL_TEST_SERVER server" >&2

export QUORVEL_TEST_AUDIO=1 XDG_DATA_HOME=$data
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300 "$@"
