#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# imabox against ffmpeg, sox and cp on 10 minutes of 44.1 kHz stereo (made with sox).
#
#   bench/compare.sh [runs]        (default 5 runs of every command)
#
# Times every command several times on the same input, in the page cache, and prints the median
# wall-clock time, the ratios that matter, and the peak resident memory /usr/bin/time -v reports.
# ffmpeg and sox write standard IMA ADPCM WAV (format 0x0011), imabox writes Xbox ADPCM: the same
# coding work per sample, a different framing. Set IMABOX to use an imabox binary already built.
# A manual script, not part of CI; it installs what it needs with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

need=()
command -v sox >/dev/null || need+=(sox)
command -v ffmpeg >/dev/null || need+=(ffmpeg)
[ -x /usr/bin/time ] || need+=(time)
command -v awk >/dev/null || need+=(gawk)
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

# tmpfs when there is one, so that disk write-back does not time the tools instead.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then work=$(mktemp -d -p /dev/shm); else work=$(mktemp -d); fi
trap 'rm -rf "$work"' EXIT
in=$work/input.wav
# Music-like material: a slow sweep on the left, pink noise on the right, both with a tremolo.
sox -q -n -r 44100 -b 16 -c 2 "$in" synth 600 sine 110-1760 pinknoise tremolo 0.5 60 vol 0.5
"$IMABOX" convert "$in" "$work/ref.xbox.wav" >/dev/null
ffmpeg -v error -y -i "$in" -c:a adpcm_ima_wav "$work/ref.ff.wav"
sox -q "$in" -e ima-adpcm "$work/ref.sox.wav"

# The commands, by name. Runs go round-robin (run 1 of every command, then run 2, ...) so that a
# busy spell of the machine hits all of them alike.
names=("cp" "imabox encode" "imabox encode --threads 1" "ffmpeg encode" "sox encode"
       "imabox decode" "imabox decode --threads 1" "ffmpeg decode" "sox decode")
run_command() {
  case $1 in
    "cp") cp "$in" "$work/copy.wav" ;;
    "imabox encode") "$IMABOX" convert "$in" "$work/out.xbox.wav" ;;
    "imabox encode --threads 1") "$IMABOX" convert --threads 1 "$in" "$work/out1.xbox.wav" ;;
    "ffmpeg encode") ffmpeg -v error -y -i "$in" -c:a adpcm_ima_wav "$work/out.ff.wav" ;;
    "sox encode") sox -q "$in" -e ima-adpcm "$work/out.sox.wav" ;;
    "imabox decode") "$IMABOX" convert "$work/ref.xbox.wav" "$work/back.wav" ;;
    "imabox decode --threads 1") "$IMABOX" convert --threads 1 "$work/ref.xbox.wav" "$work/back1.wav" ;;
    "ffmpeg decode") ffmpeg -v error -y -i "$work/ref.ff.wav" -c:a pcm_s16le "$work/back.ff.wav" ;;
    "sox decode") sox -q "$work/ref.sox.wav" -e signed-integer -b 16 "$work/back.sox.wav" ;;
  esac
}
export -f run_command
export in work IMABOX

threads=$(nproc)
echo "Input: $(stat -c %s "$in") bytes of PCM; $runs runs each; $threads cores; $(date -u +%FT%TZ); load:$(cut -d" " -f1-3 /proc/loadavg)" >&2
declare -A times peak seconds memory
for ((i = 0; i < runs; i++)); do
  for name in "${names[@]}"; do
    cat "$in" "$work"/ref.*.wav >/dev/null  # everything in the page cache
    t0=$(date +%s%N)
    /usr/bin/time -v -o "$work/time.txt" bash -c 'run_command "$1"' _ "$name" >/dev/null 2>&1
    t1=$(date +%s%N)
    times[$name]+="$(( (t1 - t0) / 1000 )) "
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
    [ "$kb" -gt "${peak[$name]:-0}" ] && peak[$name]=$kb
  done
done
for name in "${names[@]}"; do
  seconds[$name]=$(printf '%s\n' ${times[$name]} | sort -n | awk '{v[NR] = $1} END {
    printf "%.3f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / 1e6 }')
  memory[$name]=${peak[$name]}
  printf '  %-28s %8s s  %7.1f MiB\n' "$name" "${seconds[$name]}" "$(awk -v k="${peak[$name]}" 'BEGIN {print k / 1024}')" >&2
done
echo "Load at the end:$(cut -d" " -f1-3 /proc/loadavg)" >&2

cmp -s "$work/out.xbox.wav" "$work/out1.xbox.wav" || { echo "thread counts disagree" >&2; exit 1; }
cmp -s "$work/back.wav" "$work/back1.wav" || { echo "thread counts disagree" >&2; exit 1; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.0f", k / 1024 }'; }
pcm=$(stat -c %s "$in")
adpcm=$(stat -c %s "$work/ref.xbox.wav")
budget=$(( (pcm + adpcm) / 1024 + 8192 ))

echo
echo "| Command | Median time (s) | Peak memory (MiB) |"
echo "|---|---:|---:|"
for name in "${names[@]}"; do
  echo "| \`$name\` | ${seconds[$name]} | $(mib "${memory[$name]}") |"
done
echo
echo "Encoding: imabox is $(ratio "${seconds[ffmpeg encode]}" "${seconds[imabox encode]}")x as fast as ffmpeg" \
     "and $(ratio "${seconds[sox encode]}" "${seconds[imabox encode]}")x as fast as sox;" \
     "it takes $(ratio "${seconds[imabox encode]}" "${seconds[cp]}")x the time of cp."
echo "Decoding: imabox is $(ratio "${seconds[ffmpeg decode]}" "${seconds[imabox decode]}")x as fast as ffmpeg" \
     "and $(ratio "${seconds[sox decode]}" "${seconds[imabox decode]}")x as fast as sox."
echo "One thread: encoding $(ratio "${seconds[ffmpeg encode]}" "${seconds[imabox encode --threads 1]}")x," \
     "decoding $(ratio "${seconds[ffmpeg decode]}" "${seconds[imabox decode --threads 1]}")x as fast as ffmpeg."
echo "Peak memory budget (input + output + 8 MiB): $(mib "$budget") MiB;" \
     "imabox used $(mib "${memory[imabox encode]}") MiB encoding and $(mib "${memory[imabox decode]}") MiB decoding."
