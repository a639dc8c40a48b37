#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures the Xbox ADPCM encoder levels against a lookahead encoder (the peer xq_xbox, run as a
# black box at depths 1 to 8 in the same framing) and ffmpeg's IMA ADPCM trellis encoder, on real
# recordings from Debian packages made by bench/quality_sources.sh: Czech game dialogue at 8, 16
# and 22.05 kHz, a French telephone voice at 8 kHz, and game music at 22.05 kHz mono, 44.1 kHz
# stereo and 48 kHz stereo (none of it is the material the levels were tuned on). Prints the
# table, the margin of imabox over each peer depth (the best SNR gain of a level at least as fast
# in processor time), the worst margin over all depths and inputs, whether the levels are
# monotone and `--quality 9` is at least depth 8, then wall-clock speeds on every core. A manual
# script, not part of CI; it installs what it needs. Results go to build/quality/quality.tsv and
# docs/encoder-quality.png.
#
#   bench/quality.sh            # everything
#   PEER=/path/to/xq_xbox bench/quality.sh
#   bench/quality_sources.sh build/quality/tuning tuning   # the tuning set, for comparison
#
# SNR is measured against the 16-bit input over the whole file. Speed is audio duration over
# processor time on one thread, the best of three runs, for imabox and the peer alike (the peer
# reports its own encoding time); cpu_s is that processor time. ffmpeg writes standard IMA ADPCM
# with 32 bytes per channel per block (57 samples): its block size must be a power of two, and
# this is the closest to the 36 bytes (65 samples) of Xbox ADPCM (4.49 against 4.43 bits per
# sample, 1.4% more for ffmpeg). Its streams are decoded by imabox's IMA ADPCM decoder, which
# libsndfile agrees with.
set -euo pipefail
cd "$(dirname "$0")/.."

# The plot uses Debian's matplotlib, so Debian's interpreter.
py=/usr/bin/python3
need=()
for tool in sox ffmpeg; do
  command -v "$tool" >/dev/null || need+=("$tool")
done
[ -x "$py" ] || need+=(python3)
"$py" -c 'import matplotlib' 2>/dev/null || need+=(python3-matplotlib)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

peer=${PEER:-}
for candidate in ../shared/peers/xq_xbox ../../shared/peers/xq_xbox; do
  [ -n "$peer" ] || { [ -x "$candidate" ] && peer=$candidate; } || true
done
[ -x "$peer" ] || { echo "quality.sh: the peer xq_xbox was not found; set PEER" >&2; exit 1; }

cmake -S . -B build/quality -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMABOX_BUILD_TESTS=OFF >/dev/null
cmake --build build/quality -j2 --target imabox_quality imabox_cli >/dev/null
quality=build/quality/imabox_quality
imabox=build/quality/imabox
work=build/quality/inputs
mkdir -p "$work"

bench/quality_sources.sh "$work" acceptance 2>/dev/null
inputs=(speech-8k speech-16k speech-22k speech-fr-8k music-22k music-44k-stereo music-48k-stereo)

out=build/quality/quality.tsv
echo -e "input\tencoder\tsnr_db\tspeed_x_realtime\tcpu_s" >"$out"
for input in "${inputs[@]}"; do
  wav="$work/$input.wav"
  channels=$(soxi -c "$wav")
  duration=$(soxi -D "$wav")
  while read -r level snr speed _; do
    cpu=$("$py" -c "print(f'{$duration / $speed:.4f}')")
    echo -e "$input\timabox q$level\t$snr\t$speed\t$cpu" >>"$out"
  done < <("$quality" levels "$wav" 0 9 3 1)
  for depth in 1 2 3 4 5 6 7 8; do
    xq="$work/$input.xq$depth.wav"
    best=""
    for run in 1 2 3; do
      cpu=$("$peer" "$wav" "$xq" "$depth" | sed -n 's/.*cpu_s=\([0-9.]*\).*/\1/p')
      best=$("$py" -c "print(min(float('$cpu'), float('${best:-inf}')))")
    done
    "$imabox" decode --quiet -o "$xq.decoded.wav" "$xq" 2>/dev/null
    snr=$("$quality" compare "$wav" "$xq.decoded.wav")
    speed=$("$py" -c "print(f'{$duration / max($best, 1e-3):.1f}')")
    echo -e "$input\tpeer depth $depth\t$snr\t$speed\t$best" >>"$out"
  done
  for trellis in 0 8; do
    ff="$work/$input.ffmpeg-t$trellis.wav"
    utime=$(ffmpeg -nostdin -hide_banner -benchmark -y -i "$wav" -c:a adpcm_ima_wav \
      -trellis "$trellis" -block_size $((32 * channels)) "$ff" 2>&1 |
      sed -n 's/.*utime=\([0-9.]*\)s.*/\1/p')
    "$imabox" decode --quiet -o "$ff.decoded.wav" "$ff" 2>/dev/null
    snr=$("$quality" compare "$wav" "$ff.decoded.wav")
    speed=$("$py" -c "print(f'{$duration / max($utime, 1e-3):.1f}')")
    echo -e "$input\tffmpeg trellis $trellis\t$snr\t$speed\t$utime" >>"$out"
  done
done
column -t -s $'\t' "$out"
echo
"$py" bench/plot_quality.py "$out" docs/encoder-quality.png --margins

echo
echo "load average during the run: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "wall clock on every core ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)):"
echo "input level snr_db cpu_speed wall_speed"
"$quality" levels "$work/music-44k-stereo.wav" 1 9 3 0 | sed 's/^/music-44k-stereo q/'
