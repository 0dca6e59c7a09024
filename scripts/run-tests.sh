#!/usr/bin/env bash
# Runs the test suite of a build directory against a private headless sound server, which is
# started first and stopped by pid at the end, whatever the outcome.
#   scripts/run-tests.sh BUILD_DIR [ctest arguments...]
set -euo pipefail
build=${1:-build}
shift || true
here=$(cd "$(dirname "$0")" && pwd)

eval "$("$here/test-audio-server.sh" start)"
trap '"$here/test-audio-server.sh" stop "$QUORVEL_PA_DIR"' EXIT

export QUORVEL_TEST_AUDIO=1
# Each test gets its own model store so that no test sees another's installs.
export XDG_DATA_HOME=$(mktemp -d /tmp/quorvel-data.XXXXXX)
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300 "$@"
