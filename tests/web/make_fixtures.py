#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Writes the inputs of the web tests into DIR: a 16-bit stereo WAVE with a loop off the block
# grid (tone.wav), the same audio without the loop (plain.wav, for FLAC), 24-bit mono (deep.wav,
# dithered on the way to 16 bits) and a damaged file (damaged.wav: headers, then cut short).
import math
import random
import struct
import sys


def wave(path, rate, channels, bits, frames, sample, loop=None):
    width = bits // 8
    data = bytearray()
    for i in range(frames):
        for c in range(channels):
            v = sample(i, c)
            data += int(v).to_bytes(width, "little", signed=True)
    chunks = struct.pack("<4sIHHIIHH", b"fmt ", 16, 1, channels, rate,
                         rate * channels * width, channels * width, bits)
    chunks += struct.pack("<4sI", b"data", len(data)) + bytes(data)
    if loop:
        smpl = struct.pack("<IIIIIIIII", 0, 0, 1000000000 // rate, 60, 0, 0, 0, 1, 0)
        smpl += struct.pack("<IIIIII", 0, 0, loop[0], loop[1], 0, 0)
        chunks += struct.pack("<4sI", b"smpl", len(smpl)) + smpl
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks)


def main():
    out = sys.argv[1]
    rng = random.Random(7)
    noise = [rng.randint(-900, 900) for _ in range(4096)]

    def music(i, c):
        t = i / 44100
        v = 9000 * math.sin(2 * math.pi * (220 + 110 * c) * t) * (1 + math.sin(t * 3)) / 2
        v += 4000 * math.sin(2 * math.pi * 1375 * t + c) + noise[(i * 7 + c) % 4096]
        return max(-32768, min(32767, round(v)))

    wave(f"{out}/tone.wav", 44100, 2, 16, 44100, music, loop=(1000, 40999))
    wave(f"{out}/plain.wav", 44100, 2, 16, 44100, music)
    wave(f"{out}/deep.wav", 32000, 1, 24, 16000,
         lambda i, c: round(3_000_000 * math.sin(2 * math.pi * 440 * i / 32000)))
    with open(f"{out}/tone.wav", "rb") as f:
        head = f.read(3000)
    with open(f"{out}/damaged.wav", "wb") as f:
        f.write(head)


main()
