#!/usr/bin/env bash
# Builds the benchmarks in an optimised build and runs them all, printing their figures.
#   scripts/bench.sh BUILD_DIR
set -euo pipefail
build=${1:-build-bench}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

cmake -S "$root" -B "$build" $(command -v ninja >/dev/null && echo -G Ninja) \
  -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_BENCH=ON -DQUORVEL_BUILD_TESTS=OFF
cmake --build "$build"

eval "$("$here/test-audio-server.sh" start)"
trap '"$here/test-audio-server.sh" stop "$QUORVEL_PA_DIR"' EXIT
export XDG_DATA_HOME=$(mktemp -d /tmp/quorvel-bench-data.XXXXXX)
export QUORVEL_BUILD_DIR=$(cd "$build" && pwd)

for b in "$build"/bin/bench/*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true
done
for s in "$root"/bench/*.sh; do
  [ -f "$s" ] || continue
  echo "== $(basename "$s")"
  bash "$s" "$build"
done
