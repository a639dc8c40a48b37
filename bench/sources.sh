#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# imabox encode/decode on inputs other than WAVE files, with rate and channel changes and pipes,
# against sox and ffmpeg. A manual benchmark, not part of CI; it installs what it needs.
#
#   bench/sources.sh [runs]        (default 5 runs of each timed command)
#
# 1. Lossless FLAC and AIFF sources give the same bytes as the WAVE source, at every quality.
# 2. Ogg Vorbis (written by sox) and MP3 (written by ffmpeg) sources: the Xbox ADPCM result,
#    decoded, against ffmpeg's own decoding of the same file (same length, no offset).
# 3. --rate 22050 from 44.1 kHz against sox's `rate -v`, and --channels 1 against an average
#    downmix: SNR of imabox's result against the reference, and of the reference coded directly.
# 4. Pipes give the bytes of the file-to-file run, also from a WAVE stream of unknown length
#    (as `ffmpeg -f wav -` writes it), for encode and decode.
# 5. Speed and peak memory of `imabox encode --rate 22050 song.flac` against ffmpeg resampling
#    and coding the same file as IMA ADPCM (medians of round-robin runs), and peak memory on a
#    30-minute input.
#
# Set IMABOX to use an imabox binary already built (with libsndfile and libsoxr).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

need=()
command -v sox >/dev/null || need+=(sox)
command -v ffmpeg >/dev/null || need+=(ffmpeg)
command -v python3 >/dev/null || need+=(python3)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
if [ -z "${IMABOX:-}" ]; then
  scripts/install-deps.sh --build
  cmake -S . -B build/compare -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMABOX_BUILD_TESTS=OFF \
    -DIMABOX_BUILD_BENCH=OFF >/dev/null
  cmake --build build/compare -j "$(nproc)" --target imabox_cli >/dev/null
  IMABOX=build/compare/imabox
fi
snr=$PWD/bench/snr.py

if [ -d /dev/shm ] && [ -w /dev/shm ]; then work=$(mktemp -d -p /dev/shm); else work=$(mktemp -d); fi
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
q() { "$IMABOX" "$@" --quiet; }

# Music-like material: a sweep on the left, pink noise on the right, with a tremolo.
music() { sox -q -n -r 44100 -b 16 -c 2 "$2" synth "$1" sine 110-1760 pinknoise tremolo 0.5 60 vol 0.5; }
music 10 short.wav
music 30 src.wav

echo "## 1. Lossless sources against the WAVE source (10 s, 44.1 kHz stereo)"
sox short.wav short.flac
sox short.wav short.aiff
for quality in 0 1 2 3 4 5 6 7 8 9; do
  q encode --quality $quality short.wav -o wave.$quality.wav
  for container in flac aiff; do
    q encode --quality $quality short.$container -o $container.$quality.wav
    cmp -s wave.$quality.wav $container.$quality.wav || fail "$container at quality $quality differs"
  done
done
echo "FLAC and AIFF at qualities 0-9: $( [ $failures -eq 0 ] && echo identical || echo DIFFERENT )"

echo
echo "## 2. Lossy sources against ffmpeg's decoding (30 s)"
sox src.wav src.ogg
ffmpeg -v error -y -i src.wav -c:a libmp3lame src.mp3
for container in ogg mp3; do
  ffmpeg -v error -y -i src.$container -c:a pcm_s16le ref.$container.wav
  q encode src.$container -o x.$container.wav
  q decode x.$container.wav -o back.$container.wav
  read -r db frames refFrames < <(python3 "$snr" back.$container.wav ref.$container.wav)
  echo "$container: SNR $db dB against ffmpeg's decoding; $frames frames decoded (ffmpeg: $refFrames, padding to whole blocks: $(( (refFrames + 64) / 65 * 65 )))"
  [ $(( (refFrames + 64) / 65 * 65 )) -eq "$frames" ] || fail "$container length differs"
  awk -v d="$db" 'BEGIN { exit !(d >= 25) }' || fail "$container SNR below 25 dB"
done

echo
echo "## 3. Rate and channel changes against sox (30 s)"
sox src.wav sox22050.wav rate -v 22050
sox src.wav mono.wav remix 1v0.5,2v0.5
change() {  # change NAME REFERENCE OPTIONS...
  local name=$1 ref=$2
  shift 2
  q encode "$@" src.wav -o c.$name.wav
  q decode c.$name.wav -o c.$name.back.wav
  q encode $ref -o d.$name.wav
  q decode d.$name.wav -o d.$name.back.wav
  read -r ours _ < <(python3 "$snr" c.$name.back.wav $ref)
  read -r direct _ < <(python3 "$snr" d.$name.back.wav $ref)
  echo "$name: imabox $* $ours dB; the reference coded directly $direct dB; difference $(awk -v a="$ours" -v b="$direct" 'BEGIN { printf "%.2f", b - a }') dB"
  awk -v a="$ours" -v b="$direct" 'BEGIN { exit !(b - a <= 1) }' || fail "$name more than 1 dB below"
}
change rate sox22050.wav --rate 22050
change channels mono.wav --channels 1

echo
echo "## 4. Pipes against files (30 s)"
q encode src.wav -o file.wav
q decode file.wav -o file.pcm.wav
cat src.wav | q encode - -o - | cat > pipe.wav
cmp -s file.wav pipe.wav && echo "cat src.wav | imabox encode - -o -: identical" || fail "encode pipe"
sox src.wav src.flac
cat src.flac | q encode - -o - | cat > pipe.flac.wav
cmp -s file.wav pipe.flac.wav && echo "cat src.flac | imabox encode - -o -: identical" || fail "FLAC pipe"
ffmpeg -v error -i src.wav -f wav - | q encode - -o stream.wav
cmp -s file.wav stream.wav && echo "ffmpeg -f wav - | imabox encode - -o FILE: identical" || fail "unknown-length stream to a file"
ffmpeg -v error -i src.wav -f wav - | q encode - -o - | cat > stream.pipe.wav
cmp -s <(tail -c +49 file.wav) <(tail -c +49 stream.pipe.wav) \
  && echo "ffmpeg -f wav - | imabox encode - -o - | cat: identical blocks; RIFF size$(od -An -tx4 -j4 -N4 stream.pipe.wav), data size$(od -An -tx4 -j44 -N4 stream.pipe.wav) (unknown length)" \
  || fail "unknown-length stream to a pipe"
cat file.wav | q decode - -o - | cat > pipe.pcm.wav
cmp -s file.pcm.wav pipe.pcm.wav && echo "cat x.wav | imabox decode - -o -: identical" || fail "decode pipe"
q decode file.wav -o file.flac
sox file.flac -t s16 flac.raw
tail -c +45 file.pcm.wav | cmp -s - flac.raw && echo "imabox decode -o x.flac: the same samples" || fail "decode to FLAC"

echo
echo "## 5. Speed: --rate 22050 from a 3-minute FLAC file, $runs runs"
music 180 song.wav
sox song.wav song.flac
names=("imabox encode --rate 22050" "ffmpeg -ar 22050 -c:a adpcm_ima_wav")
run_command() {
  case $1 in
    imabox*) "$IMABOX" encode --rate 22050 song.flac -o song.xbox.wav --quiet ;;
    ffmpeg*) ffmpeg -v error -y -i song.flac -ar 22050 -c:a adpcm_ima_wav song.ff.wav ;;
  esac
}
declare -A times cpu peak
for ((i = 0; i < runs; i++)); do
  for name in "${names[@]}"; do
    cat song.flac >/dev/null
    t0=$(date +%s%N)
    /usr/bin/time -v -o time.txt bash -c "$(declare -f run_command); IMABOX=$IMABOX; run_command \"\$1\"" _ "$name" >/dev/null 2>&1
    t1=$(date +%s%N)
    times[$name]+="$(( (t1 - t0) / 1000 )) "
    cpu[$name]+="$(awk -F': ' '/User time|System time/ {s += $2} END {printf "%d", s * 1e6}' time.txt) "
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' time.txt)
    [ "$kb" -gt "${peak[$name]:-0}" ] && peak[$name]=$kb
  done
done
median() { printf '%s\n' $1 | sort -n | awk '{v[NR] = $1} END {
  printf "%.3f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / 1e6 }'; }
echo "| Command | Median time (s) | Median processor time (s) | Peak memory (MiB) |"
echo "|---|---:|---:|---:|"
for name in "${names[@]}"; do
  echo "| \`$name\` | $(median "${times[$name]}") | $(median "${cpu[$name]}") | $(( ${peak[$name]} / 1024 )) |"
done
ours=$(median "${times[${names[0]}]}")
theirs=$(median "${times[${names[1]}]}")
echo "imabox takes $(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')x ffmpeg's time" \
  "($(awk -v a="$(median "${cpu[${names[0]}]}")" -v b="$(median "${cpu[${names[1]}]}")" 'BEGIN { printf "%.2f", a / b }')x its processor time); load:$(cut -d" " -f1-3 /proc/loadavg)"
awk -v a="$ours" -v b="$theirs" 'BEGIN { exit !(a <= b) }' || fail "slower than ffmpeg"

music 1800 long.wav
sox long.wav long.flac
rm long.wav
/usr/bin/time -v -o time.txt "$IMABOX" encode --rate 22050 long.flac -o long.xbox.wav --quiet
kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' time.txt)
echo "30 minutes of FLAC, --rate 22050: peak memory $(( kb / 1024 )) MiB"
[ "$kb" -le $((64 * 1024)) ] || fail "more than 64 MiB"

echo
[ $failures -eq 0 ] && echo "All goals met." || { echo "$failures goal(s) missed."; exit 1; }
