#!/usr/bin/env bash
# Live captioning through the whole helper process: word error rate, CPU, memory, latency and
# start-up of quorvel-caption-helper driven over its pipes, next to bare pocketsphinx.
#   bench/helper_session.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/helper_session.sh BUILD_DIR}
tool="$build/bin/quorvel-helper-bench"
if [ ! -x "$tool" ]; then
  echo "skipped: $tool is not built (a build without the recognizer)"
  exit 0
fi
if [ ! -d /usr/share/pocketsphinx/test/data/librivox ]; then
  echo "skipped: the librivox recordings of pocketsphinx-testdata are not installed"
  exit 0
fi
exec "$tool" --helper "$build/bin/quorvel-caption-helper"
