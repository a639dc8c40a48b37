#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# encode and decode against convert on 10 minutes of 44.1 kHz stereo, and how fast files that are
# not WAVE are turned away.
#
#   bench/stream_compare.sh [runs]        (default 5 runs of every command)
#
# Times `imabox convert`, `imabox encode` and `imabox decode` (one job) round-robin on the same
# input in the page cache, and prints each command's median wall-clock time, its ratio to
# convert's in the same direction, and its peak resident memory (/usr/bin/time -v). Checks that
# encode and decode write exactly convert's bytes. Then times the rejection of a 1 GiB file that
# is not WAVE and of a 1 GiB file with a bad header, and runs encode and decode on a 2 GiB
# (sparse) input to show that memory does not grow with the input. Set IMABOX to use an imabox
# binary already built. A manual script, not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

for tool in sox awk; do
  command -v $tool >/dev/null || { echo "needs $tool (apt-get install sox gawk)" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }

if [ -z "${IMABOX:-}" ]; then
  cmake -S . -B build/compare -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMABOX_BUILD_TESTS=OFF \
    -DIMABOX_BUILD_BENCH=OFF >/dev/null
  cmake --build build/compare -j "$(nproc)" --target imabox_cli >/dev/null
  IMABOX=build/compare/imabox
fi

if [ -d /dev/shm ] && [ -w /dev/shm ]; then work=$(mktemp -d -p /dev/shm); else work=$(mktemp -d); fi
trap 'rm -rf "$work"' EXIT
in=$work/input.wav
sox -q -n -r 44100 -b 16 -c 2 "$in" synth 600 sine 110-1760 pinknoise tremolo 0.5 60 vol 0.5
"$IMABOX" convert "$in" "$work/ref.xbox.wav" >/dev/null

names=("convert (encode)" "encode" "convert (decode)" "decode")
run_command() {
  case $1 in
    "convert (encode)") "$IMABOX" convert "$in" "$work/c.xbox.wav" ;;
    "encode") "$IMABOX" encode -j 1 --quiet "$in" -o "$work/e.xbox.wav" ;;
    "convert (decode)") "$IMABOX" convert "$work/ref.xbox.wav" "$work/c.pcm.wav" ;;
    "decode") "$IMABOX" decode -j 1 --quiet "$work/ref.xbox.wav" -o "$work/d.pcm.wav" ;;
  esac
}
export -f run_command
export in work IMABOX

# Median wall-clock seconds and peak MiB of a command run $runs times (round-robin with the others).
echo "Input: $(stat -c %s "$in") bytes of PCM; $runs runs each; $(nproc) cores; $(date -u +%FT%TZ); load:$(cut -d" " -f1-3 /proc/loadavg)"
declare -A times peak seconds
for ((i = 0; i < runs; i++)); do
  for name in "${names[@]}"; do
    cat "$in" "$work/ref.xbox.wav" >/dev/null
    t0=$(date +%s%N)
    /usr/bin/time -v -o "$work/time.txt" bash -c 'run_command "$1"' _ "$name" >/dev/null 2>&1
    t1=$(date +%s%N)
    times[$name]+="$(( (t1 - t0) / 1000 )) "
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
    [ "$kb" -gt "${peak[$name]:-0}" ] && peak[$name]=$kb
  done
done
median() { printf '%s\n' $1 | sort -n | awk '{v[NR] = $1} END {
  printf "%.3f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / 1e6 }'; }
for name in "${names[@]}"; do seconds[$name]=$(median "${times[$name]}"); done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

cmp "$work/c.xbox.wav" "$work/e.xbox.wav" && echo "encode writes convert's bytes"
cmp "$work/c.pcm.wav" "$work/d.pcm.wav" && echo "decode writes convert's bytes"
echo
echo "| Command | Median time (s) | Ratio to convert | Peak memory (MiB) |"
echo "|---|---:|---:|---:|"
for name in "${names[@]}"; do
  base=${seconds["convert (encode)"]}
  [[ $name == *decode* ]] && base=${seconds["convert (decode)"]}
  echo "| \`imabox $name\` | ${seconds[$name]} | $(ratio "${seconds[$name]}" "$base") | $(mib "${peak[$name]}") |"
done

# Files that are not WAVE, or whose header is bad, are turned away after their first bytes.
head -c $((1 << 30)) /dev/urandom >"$work/noise.bin" 2>/dev/null || true
{ printf 'RIFF\xff\xff\xff\xffWAVEfmt \x10\x00\x00\x00\x01\x00\x02\x00'; head -c $((1 << 30)) /dev/zero; } >"$work/badheader.wav"
echo
echo "| Rejected input (1 GiB) | Time (s) | Peak memory (MiB) | Message |"
echo "|---|---:|---:|---|"
for f in noise.bin badheader.wav; do
  t0=$(date +%s%N)
  /usr/bin/time -v -o "$work/time.txt" "$IMABOX" encode --quiet "$work/$f" -o "$work/x.wav" \
    >/dev/null 2>"$work/err.txt" && { echo "$f was accepted" >&2; exit 1; }
  t1=$(date +%s%N)
  kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  echo "| $f | $(awk -v n=$((t1 - t0)) 'BEGIN { printf "%.3f", n / 1e9 }') | $(mib "$kb") | $(head -1 "$work/err.txt" | sed "s|$work/||") |"
done
rm -f "$work/noise.bin" "$work/badheader.wav"

# 2 GiB of silence (a sparse file, so it costs no disk): memory stays what it is for 100 MB.
big=$work/big.wav
bigout=$(mktemp -p "${TMPDIR:-/tmp}" imabox-big.XXXXXX.wav)
python3 - "$big" <<'PY'
import struct, sys
data = 2 * 1024**3 - 1024
with open(sys.argv[1], "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", data + 36) + b"WAVEfmt " + struct.pack("<IHHIIHH", 16, 1, 2, 44100, 176400, 4, 16))
    f.write(b"data" + struct.pack("<I", data))
    f.truncate(44 + data)
PY
echo
echo "| 2 GiB input | Time (s) | Peak memory (MiB) |"
echo "|---|---:|---:|"
for cmd in encode; do
  t0=$(date +%s%N)
  /usr/bin/time -v -o "$work/time.txt" "$IMABOX" $cmd -j 1 --quiet "$big" -o "$bigout" >/dev/null 2>&1
  rm -f "$bigout"
  t1=$(date +%s%N)
  kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  echo "| \`imabox $cmd\` | $(awk -v n=$((t1 - t0)) 'BEGIN { printf "%.2f", n / 1e9 }') | $(mib "$kb") |"
done
