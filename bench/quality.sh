#!/usr/bin/env bash
# Measures the Xbox ADPCM encoder levels against ffmpeg's IMA ADPCM trellis encoder, on speech
# (espeak-ng, resampled to 8000 and 22050 Hz) and music-like material (sox synth, 44.1 kHz
# stereo), then plots SNR against speed. A manual script, not part of CI; it installs what it
# needs. Results go to build/quality/quality.tsv and docs/encoder-quality.png.
#
# SNR is measured against the 16-bit input over the whole file. Speed is audio duration over
# processor time on one thread. ffmpeg writes standard IMA ADPCM with 32 bytes per channel per
# block (57 samples): its block size must be a power of two, and this is the closest to the
# 36 bytes (65 samples) of Xbox ADPCM (4.49 against 4.43 bits per sample, 1.4% more for ffmpeg).
# Its streams are decoded by imabox's IMA ADPCM decoder, which libsndfile agrees with.
set -euo pipefail
cd "$(dirname "$0")/.."

# The plot uses Debian's matplotlib, so Debian's interpreter.
py=/usr/bin/python3
need=()
for tool in espeak-ng sox ffmpeg; do
  command -v "$tool" >/dev/null || need+=("$tool")
done
[ -x "$py" ] || need+=(python3)
"$py" -c 'import matplotlib' 2>/dev/null || need+=(python3-matplotlib)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

cmake -S . -B build/quality -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMABOX_BUILD_TESTS=OFF >/dev/null
cmake --build build/quality -j2 --target imabox_quality imabox_cli >/dev/null
quality=build/quality/imabox_quality
imabox=build/quality/imabox
work=build/quality/inputs
mkdir -p "$work"

text="Audio compression lets a game keep many voices in memory at once. \
The quick brown fox jumps over the lazy dog, and then it runs back home again. \
Seven silver swans swam silently seaward; thirty three thirsty thinkers thought."
espeak-ng -w "$work/speech.wav" "$text"
sox "$work/speech.wav" -r 8000 "$work/speech-8k.wav"
sox "$work/speech.wav" -r 22050 "$work/speech-22k.wav"
sox -n -r 44100 -c 2 "$work/chords.wav" synth 8 pluck C3 pluck E3 pluck G3 pluck C4 \
  pluck E4 pluck G4 tremolo 3 40 vol 0.9
sox -n -r 44100 -c 2 "$work/lead.wav" synth 8 sine 220-880 square 110 vol 0.25
sox -m "$work/chords.wav" "$work/lead.wav" "$work/music-44k-stereo.wav"

out=build/quality/quality.tsv
echo -e "input\tencoder\tsnr_db\tspeed_x_realtime" >"$out"
for input in speech-8k speech-22k music-44k-stereo; do
  wav="$work/$input.wav"
  while read -r level snr speed; do
    echo -e "$input\timabox q$level\t$snr\t$speed" >>"$out"
  done < <("$quality" levels "$wav" 0 9 3)
  channels=$(soxi -c "$wav")
  duration=$(soxi -D "$wav")
  for trellis in 0 8; do
    ff="$work/$input.ffmpeg-t$trellis.wav"
    utime=$(ffmpeg -nostdin -hide_banner -benchmark -y -i "$wav" -c:a adpcm_ima_wav \
      -trellis "$trellis" -block_size $((32 * channels)) "$ff" 2>&1 |
      sed -n 's/.*utime=\([0-9.]*\)s.*/\1/p')
    "$imabox" decode --quiet -o "$ff.decoded.wav" "$ff" 2>/dev/null
    snr=$("$quality" compare "$wav" "$ff.decoded.wav")
    speed=$("$py" -c "print(f'{$duration / max($utime, 1e-3):.1f}')")
    echo -e "$input\tffmpeg trellis $trellis\t$snr\t$speed" >>"$out"
  done
done
column -t -s $'\t' "$out"
mkdir -p docs
"$py" bench/plot_quality.py "$out" docs/encoder-quality.png
