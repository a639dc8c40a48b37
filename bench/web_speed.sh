#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# imabox in the browser against the native tool, side by side in one run (a manual benchmark, not
# part of CI):
# 1. Speed: encoding 10 minutes of 44.1 kHz stereo at --quality 0 and 5, natively (all cores, and
#    one thread) and in headless Chromium (the module on the page's thread); medians of RUNS.
#    Goals: quality 0 at least 1/2 of the native speed, quality 5 at least 1/3.
# 2. Memory: the peak resident memory of Chromium's renderer while the page (its worker) encodes
#    the file, over its memory before the file was chosen; the worst of 5 runs (or RUNS), each in
#    a fresh browser. Goal: at most the file's size + 64 MiB.
# 3. Size: the page's files (HTML, CSS, JS, WASM) gzip -9 compressed. Goal: at most 1.5 MiB.
#   bench/web_speed.sh [RUNS [QUALITIES]]   (default 3 runs of 0,5; 0 runs: memory and size only)
#   IMABOX: a native tool already built.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
scripts/build-web.sh build/web >/dev/null
if [ -z "${IMABOX:-}" ]; then
  scripts/install-deps.sh --build
  cmake -S . -B build/compare -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMABOX_BUILD_TESTS=OFF \
    -DIMABOX_BUILD_BENCH=OFF >/dev/null
  cmake --build build/compare -j "$(nproc)" --target imabox_cli >/dev/null
  IMABOX=build/compare/imabox
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Ten minutes of something like music: two drifting tones, a pulse and pink noise.
sox -n -r 44100 -c 2 -b 16 "$work/ten.wav" synth 600 sine 110-880 sine 300 square 2 pinknoise \
  remix 1,2v0.3,3v0.1,4v0.2 1v0.5,2,3v0.1,4v0.2 norm -3
/usr/bin/python3 bench/web_speed.py build/web/site "$(realpath "$IMABOX")" "$work/ten.wav" "$runs" "${2:-0,5}"
