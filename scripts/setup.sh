#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and nothing else, then
# fetches the neural recognizer's runtime (scripts/fetch-sherpa.sh).
# Safe to run again: packages already present are skipped without touching apt.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libasio-dev libicu-dev libkissfft-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libpulse-dev pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us pocketsphinx-testdata
  ffmpeg
  python3-onnx python3-numpy
  dpkg-dev file python3
)
if [ "${QUORVEL_SETUP_SANITIZERS:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The neural recognizer's runtime comes from npm into the user's cache (nothing when unreachable).
bash "$(dirname "$0")/fetch-sherpa.sh" >/dev/null
