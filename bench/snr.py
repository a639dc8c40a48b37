#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""SNR in dB of a 16-bit PCM WAVE file against a reference 16-bit PCM WAVE file.

    snr.py TEST.wav REFERENCE.wav

Compares frame for frame from the first (no offset is searched for) over the reference's length,
and prints "SNR_DB TEST_FRAMES REFERENCE_FRAMES". The test may be longer than the reference by
less than one Xbox ADPCM block (65 frames): encoding pads the last block with silence.
"""
import array
import math
import sys
import wave


def samples(path):
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            sys.exit(f"{path}: not 16-bit PCM")
        data = array.array("h", w.readframes(w.getnframes()))
        if sys.byteorder == "big":
            data.byteswap()
        return data, w.getnchannels(), w.getnframes()


test, test_channels, test_frames = samples(sys.argv[1])
ref, ref_channels, ref_frames = samples(sys.argv[2])
if test_channels != ref_channels:
    sys.exit(f"channel counts differ: {test_channels} and {ref_channels}")
if test_frames < ref_frames:
    sys.exit(f"{sys.argv[1]} is shorter: {test_frames} frames against {ref_frames}")
signal = sum(x * x for x in ref)
noise = sum((a - b) * (a - b) for a, b in zip(test, ref))
print(f"{10 * math.log10(signal / max(noise, 1e-9)):.2f} {test_frames} {ref_frames}")
