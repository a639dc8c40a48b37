#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Replacing one entry of a 1 GiB streaming wave bank, against its two parts measured in the same
# run: copying the bank (cp) and encoding the new entry (imabox encode to the entry's format).
#
#   bench/bank_replace.sh [runs] [GiB]     (default 5 runs, a 1 GiB bank)
#
# Builds a version 3 streaming bank of Xbox ADPCM entries (44.1 kHz stereo, one minute each) up
# to the size asked, then times round-robin, each run on the files in the page cache:
#   copy     cp BANK COPY
#   encode   imabox encode --rate 44100 --channels 2 NEW.wav (48 kHz mono, 30 s)
#   replace  imabox bank replace BANK 7 NEW.wav -o OUT
# and the same encode and replace with a 29.6 s source, whose entry moves every later entry by
# half a memory page rather than whole pages, each command after a sync, and prints every
# time, then the medians and the fastest times with replace / (copy + encode), and replace's
# peak resident memory
# (/usr/bin/time -v; goal: at most 64 MiB, and the ratio at most 1). Then checks that the
# replaced bank keeps every other entry byte for byte, and that extracting every entry and
# putting it back gives the same bank. Set IMABOX to use an imabox binary already built. A manual
# script, not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
gib=${2:-1}

for tool in sox awk cmp; do
  command -v $tool >/dev/null || { echo "needs $tool (apt-get install sox gawk)" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }

if [ -z "${IMABOX:-}" ]; then
  cmake -S . -B build/compare -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMABOX_BUILD_TESTS=OFF \
    -DIMABOX_BUILD_BENCH=OFF >/dev/null
  cmake --build build/compare -j 2 --target imabox_cli >/dev/null
  IMABOX=build/compare/imabox
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bank=$work/big.xwb
sox -q -n -r 44100 -b 16 -c 2 "$work/minute.wav" synth 60 sine 110-1760 pinknoise vol 0.5
"$IMABOX" encode --quiet "$work/minute.wav" -o "$work/minute.xbox.wav" 2>/dev/null
entry=$(stat -c %s "$work/minute.xbox.wav")
count=$(( (gib << 30) / entry + 1 ))
files=()
for ((i = 0; i < count; i++)); do files+=("$work/minute.xbox.wav"); done
"$IMABOX" bank build --streaming "${files[@]}" -o "$bank" >/dev/null
sox -q -n -r 48000 -b 16 -c 1 "$work/new.wav" synth 30 sine 220-880 vol 0.5
sox -q -n -r 48000 -b 16 -c 1 "$work/half.wav" synth 29.6 sine 220-880 vol 0.5
echo "bank: $(stat -c %s "$bank") bytes, $count entries; new entry: 30 s (or 29.6 s) of 48 kHz mono"

declare -A times
mem=0
measure() {  # name command...: wall seconds into times[name], peak KiB of the last into $peak
  local log=$work/time.log
  # Each command starts with nothing left to write back: the 1 GiB the one before wrote would
  # otherwise slow whichever comes next.
  rm -f "$work/copy.xwb" "$work/out.xwb" "$work/enc.wav"
  sync
  /usr/bin/time -v -o "$log" "${@:2}" >/dev/null 2>&1
  local t
  t=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0;
        for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$log")
  times[$1]+="$t "
  peak=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$log")
}
# Each run takes the commands in a rotated order: a command's time depends a little on what ran
# just before it (the page cache the last 1 GiB writer left), so each gets every place in turn.
steps=(copy encode replace encode_half replace_half)
run_step() {
  case $1 in
  copy) measure copy cp "$bank" "$work/copy.xwb" ;;
  encode) measure encode "$IMABOX" encode --quiet --rate 44100 --channels 2 "$work/new.wav" \
    -o "$work/enc.wav" ;;
  replace) measure replace "$IMABOX" bank replace "$bank" 7 "$work/new.wav" -o "$work/out.xwb" ;;
  encode_half) measure encode_half "$IMABOX" encode --quiet --rate 44100 --channels 2 \
    "$work/half.wav" -o "$work/enc.wav" ;;
  replace_half) measure replace_half "$IMABOX" bank replace "$bank" 7 "$work/half.wav" \
    -o "$work/out.xwb" ;;
  esac
  if [[ $1 == replace* ]] && [ "$peak" -gt "$mem" ]; then mem=$peak; fi
}
for ((r = 0; r < runs; r++)); do
  cat "$bank" >/dev/null
  for ((i = 0; i < ${#steps[@]}; i++)); do
    run_step "${steps[(i + r) % ${#steps[@]}]}"
  done
done
for step in "${steps[@]}"; do printf '%-13s %s\n' "$step" "${times[$step]}"; done
# The median of each, and the fastest: this machine's noise only ever adds time, so the fastest
# of several runs is the steadier figure of what each command costs.
median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
fastest() { tr ' ' '\n' <<<"$1" | grep . | sort -g | head -1; }
report() {  # label statistic
  local c e r eh rh
  c=$($2 "${times[copy]}") e=$($2 "${times[encode]}") r=$($2 "${times[replace]}")
  eh=$($2 "${times[encode_half]}") rh=$($2 "${times[replace_half]}")
  awk -v l="$1" -v c="$c" -v e="$e" -v r="$r" -v eh="$eh" -v rh="$rh" 'BEGIN {
    printf "%s: copy %.2f s, encode %.2f s, replace %.2f s: replace / (copy + encode) = %.2f (goal <= 1)\n",
      l, c, e, r, r / (c + e)
    printf "%s, later entries moved by half a page: encode %.2f s, replace %.2f s: ratio %.2f\n",
      l, eh, rh, rh / (c + eh) }'
}
report median median
report fastest fastest
awk -v m="$mem" 'BEGIN { printf "replace peak resident memory: %.1f MiB (goal <= 64)\n", m / 1024 }'

# Every other entry kept; extract-all-and-put-back gives the same bank.
"$IMABOX" bank extract "$bank" -d "$work/a" --entry 6 --entry 8 >/dev/null 2>&1
"$IMABOX" bank extract "$work/out.xwb" -d "$work/b" --entry 6 --entry 8 >/dev/null 2>&1
for f in "$work"/a/*; do cmp -s "$f" "$work/b/$(basename "$f")" || { echo "FAILED: $f differs"; exit 1; }; done
"$IMABOX" bank extract "$bank" -d "$work/all" --entry 7 >/dev/null 2>&1
"$IMABOX" bank replace "$work/out.xwb" 7 "$work/all/"*7_*.wav >/dev/null
cmp -s "$bank" "$work/out.xwb" && echo "entry put back: the same bank, byte for byte" ||
  { echo "FAILED: putting the old entry back does not give the old bank"; exit 1; }
