#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/.

Usage: fuzz/make_corpus.py PATH/TO/imabox   (the tool converts the PCM seeds to Xbox ADPCM)

Seeds: valid mono, stereo and 6-channel files of both encodings, and one file for each header
fault. Regression inputs found by fuzzing are added by hand as corpus/<target>/regress-*.
"""
import math
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def wave(tag, channels, rate, bits, payload, data_size=None, extra=b"", middle=b"",
         fmt_size=None, data_id=b"data"):
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * channels * 2,
                       channels * 2, bits) + extra
    fmt = b"fmt " + struct.pack("<I", fmt_size if fmt_size is not None else len(body)) + body
    data = data_id + struct.pack("<I", len(payload) if data_size is None else data_size) + payload
    rest = b"WAVE" + fmt + middle + data
    return b"RIFF" + struct.pack("<I", len(rest)) + rest


def pcm(channels, frames, rate=8000):
    samples = []
    for f in range(frames):
        for c in range(channels):
            samples.append(int(12000 * math.sin(0.05 * (c + 1) * f)) + (f * 37 % 500) - 250)
    return struct.pack("<%dh" % len(samples), *samples)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    tool = sys.argv[1]
    files = {
        "pcm-mono-100": wave(1, 1, 8000, 16, pcm(1, 100)),
        "pcm-stereo-65": wave(1, 2, 22050, 16, pcm(2, 65)),
        "pcm-6ch-130": wave(1, 6, 48000, 16, pcm(6, 130)),
        "pcm-empty": wave(1, 1, 8000, 16, b""),
        "pcm-fact": wave(1, 1, 8000, 16, pcm(1, 20), middle=b"fact" + struct.pack("<I", 3) + b"abc"),
        "pcm-declares-more": wave(1, 2, 8000, 16, pcm(2, 10), data_size=4000),
        "pcm-declares-less": wave(1, 1, 8000, 16, pcm(1, 70), data_size=51),
        "fault-riff": b"RIFX" + wave(1, 1, 8000, 16, pcm(1, 8))[4:],
        "fault-wave": wave(1, 1, 8000, 16, pcm(1, 8))[:8] + b"AVI " + wave(1, 1, 8000, 16, pcm(1, 8))[12:],
        "fault-fmt": wave(1, 1, 8000, 16, pcm(1, 8))[:12] + b"LIST" + wave(1, 1, 8000, 16, pcm(1, 8))[16:],
        "fault-format": wave(0x11, 1, 8000, 4, pcm(1, 8)),
        "fault-bps": wave(1, 1, 8000, 8, bytes(range(64))),
        "fault-fmt18": wave(1, 1, 8000, 16, pcm(1, 8), extra=b"\0\0"),
        "fault-list": wave(1, 1, 8000, 16, pcm(1, 8), middle=b"LIST" + struct.pack("<I", 4) + b"INFO"),
        "fault-fact-then-list": wave(1, 1, 8000, 16, pcm(1, 8), middle=b"fact" + struct.pack("<I", 4) + b"\0\0\0\0", data_id=b"LIST"),
        "fault-channels0": wave(1, 0, 8000, 16, pcm(1, 8)),
        "fault-riff-only": b"RIFF\x04\0\0\0WAVE",
        "fault-empty": b"",
    }
    for name, data in files.items():
        write("convert", name, data)
        write("header", name, data)
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("pcm-mono-100", "pcm-stereo-65", "pcm-6ch-130"):
            src, dst = os.path.join(tmp, name), os.path.join(tmp, name + ".xbox")
            with open(src, "wb") as f:
                f.write(files[name])
            subprocess.run([tool, "convert", src, dst], check=True, stdout=subprocess.DEVNULL)
            with open(dst, "rb") as f:
                adpcm = f.read()
            xname = name.replace("pcm-", "xbox-")
            write("convert", xname, adpcm)
            write("header", xname, adpcm)
            channels = {"pcm-mono-100": 1, "pcm-stereo-65": 2, "pcm-6ch-130": 6}[name]
            # decode_blocks: channel byte, frame count, output size, then the blocks.
            payload = adpcm[48:]
            frames = len(payload) // (36 * channels) * 65
            write("decode_blocks", xname, bytes([channels - 1]) +
                  struct.pack("<HH", frames, frames * channels) + payload)
            if name == "pcm-mono-100":
                # Xbox ADPCM with 28 bytes after the last whole block and a step index above 88.
                odd = bytearray(adpcm + bytes(range(28)))
                struct.pack_into("<I", odd, 4, len(odd) - 8)
                struct.pack_into("<I", odd, 44, len(odd) - 48)
                odd[48 + 2] = 200
                write("convert", "xbox-mono-trailing", bytes(odd))
    for name, channels in (("pcm-mono-100", 1), ("pcm-stereo-65", 2), ("pcm-6ch-130", 6)):
        write("roundtrip", name, bytes([channels - 1]) + files[name][44:])
        write("roundtrip", name + "-high", bytes([0x80 | (channels - 1)]) + files[name][44:45 + 2 * 33])
    # search: channel byte, stride, keep, width, radius, merge bits, trimmed frames, then PCM.
    for name, channels, params in (("pcm-mono-100", 1, (4, 3, 12, 0, 1, 0)),
                                   ("pcm-stereo-65", 2, (8, 1, 32, 1, 4, 9)),
                                   ("pcm-6ch-130", 6, (1, 8, 6, 7, 8, 70))):
        write("search", name, bytes([channels - 1, *params]) + files[name][44:])
    write("decode_blocks", "step-index-200", bytes([0, 65, 0, 65, 0]) + bytes([0x10, 0x20, 200, 0]) + bytes(range(32)))
    write("decode_blocks", "short-output", bytes([1, 130, 0, 100, 0]) + bytes(range(144)))
    # fast_coders: channel byte, kernel, segment blocks, guessed index (>88: guess), cut, then PCM.
    for name, channels, params in (("pcm-mono-100", 1, (1, 0, 200, 1)),
                                   ("pcm-stereo-65", 2, (0, 1, 40, 0)),
                                   ("pcm-6ch-130", 6, (1, 3, 88, 2))):
        write("fast_coders", name, bytes([channels - 1, *params]) + files[name][44:])
    # encode_decode: direction (bit 0: encode), piece size, then a WAVE file: the converter's
    # layouts, and the ones only the general reader takes (24-bit, float, IMA ADPCM, LIST first).
    for name in ("pcm-mono-100", "pcm-stereo-65", "pcm-6ch-130"):
        write("encode_decode", name, bytes([1, 3]) + files[name])
    def general(tag, channels, align, bits, payload, extra=b"", first=b""):
        body = struct.pack("<HHIIHH", tag, channels, 8000, 8000 * align, align, bits) + extra
        rest = (b"WAVE" + first + b"fmt " + struct.pack("<I", len(body)) + body + b"data" +
                struct.pack("<I", len(payload)) + payload)
        return b"RIFF" + struct.pack("<I", len(rest)) + rest
    write("encode_decode", "pcm24-list", bytes([1, 0]) + general(
        1, 1, 3, 24, bytes(range(210)), first=b"LIST" + struct.pack("<I", 4) + b"INFO"))
    write("encode_decode", "float32-stereo", bytes([1, 200]) + general(
        3, 2, 8, 32, struct.pack("<40f", *[i / 50 for i in range(40)])))
    write("encode_decode", "ima-mono", bytes([0, 2]) + general(
        0x11, 1, 36, 4, bytes(range(72)), extra=struct.pack("<HH", 2, 65)))


if __name__ == "__main__":
    main()
