#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds imabox (Release) and converts the bundled example to Xbox ADPCM and back.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --build

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMABOX_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" >/dev/null

out=build/demo
mkdir -p "$out"
imabox=build/release/imabox
set -x
"$imabox" info examples/hello.wav
"$imabox" convert examples/hello.wav "$out/hello.xbox.wav"
"$imabox" info "$out/hello.xbox.wav"
"$imabox" convert "$out/hello.xbox.wav" "$out/hello.decoded.wav"
ls -l examples/hello.wav "$out/hello.xbox.wav" "$out/hello.decoded.wav"
