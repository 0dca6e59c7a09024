#!/usr/bin/env bash
# Robustness figures of the whole helper over its pipes: a FIFO source, a host that stops
# reading, a microphone that goes away and comes back, memory on long files and across sessions.
#   bench/helper_robustness.sh BUILD_DIR   (scripts/bench.sh runs it with its test sound server)
set -euo pipefail
build=${1:?usage: bench/helper_robustness.sh BUILD_DIR}
helper="$build/bin/quorvel-caption-helper"
if [ ! -d /usr/share/pocketsphinx/test/data/librivox ]; then
  echo "skipped: the librivox recordings of pocketsphinx-testdata are not installed"
  exit 0
fi
exec python3 "$(dirname "$0")/helper_robustness.py" "$helper"
