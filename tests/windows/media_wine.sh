#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# imabox.exe under Wine against the Linux build's tool, on the containers it reads through
# libsndfile and with libsoxr's rate change:
#   media_wine.sh WINE IMABOX_EXE LINUX_TOOL WORKDIR
# Inputs are made with sox and ffmpeg. Each encoding must be the same bytes as Linux's, or, where
# the decoders' or the resampler's processor-specific code differs, decode to audio within 60 dB
# SNR of Linux's (the line printed says which). Also: names outside the ANSI code page, standard
# input and output through pipes, and every command of the Linux tool in imabox.exe --help.
set -euo pipefail
wine=$1 exe=$2 linux=$3 work=$4
export LC_ALL=C.UTF-8  # Wine reads the arguments' bytes as UTF-8
rm -rf "$work"
mkdir -p "$work/in" "$work/linux" "$work/windows"
cd "$work"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
win() { "$wine" "$exe" "$@"; }

# 2.5 s of a rising tone over a noise floor, 48 kHz stereo, and the containers made of it.
sox -q -n -r 48000 -c 2 -b 16 in/source.wav synth 2.5 sine 200-3000 synth 2.5 pinknoise mix \
  gain -3 remix 1 1v0.7
sox -q in/source.wav in/song.flac
sox -q in/source.wav in/song.aiff
ffmpeg -v error -i in/source.wav -c:a libvorbis -q:a 4 in/song.ogg
ffmpeg -v error -i in/source.wav -c:a libopus -b:a 96k in/song.opus
ffmpeg -v error -i in/source.wav -c:a libmp3lame -b:a 160k in/song.mp3
sox -q -n -r 22050 -c 1 -b 16 in/like.wav trim 0 0.1
# A WAVE whose smpl loop lies off block boundaries: encode moves it and resamples (libsoxr).
sox -q -n -r 44100 -c 1 -b 16 in/loop.wav synth 1 sine 440 gain -6
python3 - in/loop.wav <<'PY'
import struct, sys
name = sys.argv[1]
data = bytearray(open(name, "rb").read())
smpl = struct.pack("<9I", 0, 0, 22676, 60, 0, 0, 0, 1, 0) + struct.pack("<6I", 0, 0, 1000, 30000, 0, 0)
data += b"smpl" + struct.pack("<I", len(smpl)) + smpl
data[4:8] = struct.pack("<I", len(data) - 8)
open(name, "wb").write(data)
PY

# The signal-to-noise ratio of B against A, two 16-bit PCM WAVE files of the same shape, in dB.
snr() {
  python3 - "$1" "$2" <<'EOF'
import array, math, sys, wave
def samples(name):
    with wave.open(name) as w:
        a = array.array("h", w.readframes(w.getnframes()))
        return (w.getnchannels(), w.getframerate()), a
shape_a, a = samples(sys.argv[1])
shape_b, b = samples(sys.argv[2])
if shape_a != shape_b or len(a) != len(b) or not a:
    print(f"shapes differ: {shape_a} {len(a)} vs {shape_b} {len(b)}")
    sys.exit(1)
signal = sum(x * x for x in a)
noise = sum((x - y) ** 2 for x, y in zip(a, b))
print("inf" if noise == 0 else f"{10 * math.log10(signal / noise):.1f}")
EOF
}

# Encodes IN with OPTIONS on both sides and compares the outputs.
compare() {  # NAME IN [OPTIONS...]
  local name=$1 input=$2
  shift 2
  "$linux" encode --quiet "$input" -o "linux/$name.xbox.wav" "$@" >/dev/null ||
    { fail "$name: the Linux tool failed"; return; }
  win encode --quiet "$input" -o "windows/$name.xbox.wav" "$@" >/dev/null ||
    { fail "$name: imabox.exe failed"; return; }
  if cmp -s "linux/$name.xbox.wav" "windows/$name.xbox.wav"; then
    echo "$name: the same bytes"
    return
  fi
  "$linux" decode --quiet "linux/$name.xbox.wav" -o "linux/$name.pcm.wav" >/dev/null
  "$linux" decode --quiet "windows/$name.xbox.wav" -o "windows/$name.pcm.wav" >/dev/null
  local ratio
  ratio=$(snr "linux/$name.pcm.wav" "windows/$name.pcm.wav") || { fail "$name: $ratio"; return; }
  if [ "$ratio" = inf ] || python3 -c "import sys; sys.exit(float('$ratio') < 60)"; then
    echo "$name: different bytes, the same audio within $ratio dB SNR"
  else
    fail "$name: imabox.exe's output is only $ratio dB from Linux's"
  fi
}

compare flac in/song.flac
compare aiff in/song.aiff
compare ogg-vorbis in/song.ogg
compare opus in/song.opus --channels 1
compare mp3 in/song.mp3 --like in/like.wav
compare rate-22050 in/song.flac --rate 22050
compare loop in/loop.wav
grep -q smpl windows/loop.xbox.wav || fail "loop: no smpl chunk in imabox.exe's output"

# Names outside the ANSI code page, as input and output, by -o and by the default name.
name='Música_日本'
cp in/song.flac "windows/$name.flac"
if win encode --quiet "windows/$name.flac" -o "windows/$name.xbox.wav" >/dev/null &&
  cmp -s "windows/$name.xbox.wav" linux/flac.xbox.wav; then
  echo "non-ASCII name: encoded"
else
  fail "encode windows/$name.flac -o windows/$name.xbox.wav"
fi
"$linux" decode --quiet linux/flac.xbox.wav -o linux/flac.pcm.flac >/dev/null
if win decode --quiet "windows/$name.xbox.wav" --format flac >/dev/null &&
  cmp -s "windows/$name.xbox.pcm.flac" linux/flac.pcm.flac; then
  echo "non-ASCII name: decoded to FLAC, the same bytes as Linux's"
else
  fail "decode windows/$name.xbox.wav --format flac into windows/$name.xbox.pcm.flac"
fi

# A wildcard, which cmd.exe leaves to the program, over a name outside the ANSI code page.
if win encode --quiet -d windows/glob 'windows/Mús*.flac' >/dev/null &&
  cmp -s "windows/glob/$name.wav" linux/flac.xbox.wav; then
  echo "wildcard: windows/Mús*.flac expanded and encoded"
else
  fail "encode -d windows/glob 'windows/Mús*.flac'"
fi

# Standard input and output: pipes on both ends, binary.
if win encode --quiet - <in/song.flac | cat >windows/piped.xbox.wav &&
  cmp -s windows/piped.xbox.wav linux/flac.xbox.wav; then
  echo "pipes: encode - <song.flac | cat, the same bytes as Linux's"
else
  fail "encode from standard input into a pipe"
fi
if win decode --quiet windows/flac.xbox.wav -o - --format flac | cat >windows/piped.flac &&
  "$linux" decode --quiet linux/flac.xbox.wav -o - --format flac | cat >linux/piped.flac &&
  cmp -s windows/piped.flac linux/piped.flac; then
  echo "pipes: decode -o - --format flac | cat, the same bytes as Linux's"
else
  fail "decode to FLAC on standard output into a pipe"
fi

# A wave bank's entry replaced in place (Windows replaces no open file: the bank lets go of its
# own first) and by -o, from a file of another rate and channel count: the Linux tool's bytes.
"$linux" bank build in/like.wav in/loop.wav -o linux/bank.xwb >/dev/null
"$linux" bank replace linux/bank.xwb 1 in/song.flac -o linux/replaced.xwb >/dev/null
cp linux/bank.xwb windows/bank.xwb
if win bank replace windows/bank.xwb 1 in/song.flac -o windows/replaced.xwb >/dev/null &&
  win bank replace windows/bank.xwb 1 in/song.flac >/dev/null &&
  cmp -s windows/replaced.xwb linux/replaced.xwb && cmp -s windows/bank.xwb linux/replaced.xwb; then
  echo "bank replace: in place and by -o, the same bytes as Linux's"
else
  fail "bank replace windows/bank.xwb 1 in/song.flac"
fi

# Every command the Linux tool lists, imabox.exe lists too.
commands() { sed -n '/^Subcommands:/,/^$/p' | awk 'NF > 1 { print $1 }' | sort; }
linux_commands=$("$linux" --help | commands)
windows_commands=$(win --help | tr -d '\r' | commands)
if [ -n "$linux_commands" ] && [ "$linux_commands" = "$windows_commands" ]; then
  echo "--help: the same commands:" $linux_commands
else
  fail "--help lists [$(echo $windows_commands)], the Linux tool [$(echo $linux_commands)]"
fi

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "all media checks passed under Wine"
