#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Loop alignment measured across the seam (see bench/loop_seam.py): a real recording (the
# "Front Center" announcement Debian's alsa-utils package ships, 48 kHz mono) with a loop at
# arbitrary frames and audio after it, and a synthesized 44.1 kHz stereo chord whose loop runs
# to the end of the file. A manual script, not part of CI; it installs sox when missing and takes
# the recording out of the alsa-utils package without installing it. Builds Release into
# build/loops.
set -euo pipefail
cd "$(dirname "$0")/.."

work=build/loops/inputs
mkdir -p "$work"
if ! command -v sox >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends sox >/dev/null
fi
if [ ! -f "$work/Front_Center.wav" ]; then
  (cd "$work" && apt-get download alsa-utils >/dev/null && dpkg-deb -x alsa-utils_*.deb pkg &&
    cp pkg/usr/share/sounds/alsa/Front_Center.wav . && rm -rf pkg alsa-utils_*.deb)
fi
sox -R -D -n -r 44100 -c 2 -b 16 "$work/chord.wav" synth 3 pluck C3 pluck E3 pluck G3 pluck C4 \
  tremolo 3 40 vol 0.9

cmake -S . -B build/loops -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMABOX_BUILD_TESTS=OFF \
  -DIMABOX_BUILD_BENCH=OFF >/dev/null
cmake --build build/loops -j2 --target imabox_cli >/dev/null

status=0
echo "== Front_Center.wav (alsa-utils), 48 kHz mono, loop 5003..57999, 10545 frames after it"
python3 bench/loop_seam.py build/loops/imabox "$work/Front_Center.wav" 5003 57999 \
  build/loops/front || status=1
echo "== sox pluck chord, 44.1 kHz stereo, loop 30011..132299 (to the end)"
python3 bench/loop_seam.py build/loops/imabox "$work/chord.wav" 30011 132299 \
  build/loops/chord || status=1
exit $status
