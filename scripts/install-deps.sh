#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages imabox builds and tests with, when any is missing.
#   scripts/install-deps.sh           everything the test suite needs (as .ci/run installs it)
#   scripts/install-deps.sh --build   only what building the library and the tool needs
# Runs as root (or through sudo when it is there).
set -euo pipefail

packages=(build-essential dpkg-dev cmake ninja-build pkg-config libcli11-dev libasound2-dev
  libsndfile1-dev libsoxr-dev)
if [ "${1:-}" != "--build" ]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev
    sox ffmpeg python3
    pulseaudio pulseaudio-utils libasound2-plugins
    clang-format clang-14 libclang-rt-14-dev llvm-14
    g++-mingw-w64-x86-64-posix mingw-w64-tools wine64
    g++-aarch64-linux-gnu qemu-user
    lintian man-db file zsh
    emscripten chromium chromium-driver python3-selenium
    alsa-utils # its recorded voice prompts: the searching encoder's test on real speech
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
