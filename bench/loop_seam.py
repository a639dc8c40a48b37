#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Loop alignment on a real recording, measured across the loop's seam.

loop_seam.py IMABOX SOURCE.wav START END WORKDIR

Gives SOURCE a smpl loop START..END (END inclusive) and a LIST/INFO title, encodes it with
`imabox encode` (loops aligned on blocks), decodes it back with `imabox decode`, and checks:
  - the encoded file's loop starts and ends on block boundaries (multiples of 65 frames) and its
    length differs from the source loop's by less than 1 %;
  - the decoded file carries the same loop and the title;
  - played with its loop, the decoded audio matches the source played with its own loop
    (resampled by sox by the same ratio): the SNR in a window across the seam is compared with
    the SNR over the whole first pass.
For contrast it also encodes with `--loop-align off` and loops that file at the source's points
rounded to the nearest block, the way a player that needs whole blocks would.
Prints one line per figure; exits non-zero when a check fails.
"""
import array
import math
import os
import struct
import subprocess
import sys
import wave

BLOCK = 65
SEAM_WINDOW = 2048  # frames on each side of the seam
PASSES = 3


def chunks(data):
    pos = 12
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack_from('<I', data, pos + 4)[0]
        yield cid, data[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)


def read_pcm(path):
    with wave.open(path) as w:
        assert w.getsampwidth() == 2
        return w.getnchannels(), w.getframerate(), array.array('h', w.readframes(w.getnframes()))


def loops_of(path):
    with open(path, 'rb') as f:
        data = f.read()
    for cid, body in chunks(data):
        if cid == b'smpl':
            count = struct.unpack_from('<I', body, 28)[0]
            return [struct.unpack_from('<6I', body, 36 + 24 * i)[2:4] for i in range(count)]
    return []


def title_of(path):
    with open(path, 'rb') as f:
        data = f.read()
    for cid, body in chunks(data):
        if cid == b'LIST' and body[:4] == b'INFO':
            pos = 4
            while pos + 8 <= len(body):
                iid, size = body[pos:pos + 4], struct.unpack_from('<I', body, pos + 4)[0]
                if iid == b'INAM':
                    return body[pos + 8:pos + 8 + size].split(b'\0')[0].decode()
                pos += 8 + size + (size & 1)
    return None


def with_chunk(cid, body):
    return cid + struct.pack('<I', len(body)) + body + (b'\0' if len(body) & 1 else b'')


def write_source(path, channels, rate, samples, start, end, title):
    data = samples.tobytes()
    fmt = struct.pack('<HHIIHH', 1, channels, rate, rate * 2 * channels, 2 * channels, 16)
    smpl = struct.pack('<9I', 0, 0, round(1e9 / rate), 60, 0, 0, 0, 1, 0)
    smpl += struct.pack('<6I', 1, 0, start, end, 0, 0)
    info = b'INFO' + with_chunk(b'INAM', title.encode() + b'\0')
    body = (b'WAVE' + with_chunk(b'fmt ', fmt) + with_chunk(b'LIST', info) +
            with_chunk(b'data', data) + with_chunk(b'smpl', smpl))
    with open(path, 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', len(body)) + body)


def looped(samples, channels, start, end, frames):
    """The first `frames` frames of `samples` played with the loop [start, end] forever."""
    out = array.array(samples.typecode)
    pos = 0
    while len(out) < frames * channels:
        stop = end + 1
        out.extend(samples[pos * channels:stop * channels])
        pos = start
    del out[frames * channels:]
    return out


def resample(samples, channels, rate, ratio, workdir):
    """`samples` resampled by `ratio` (output frames per input frame) with sox, as floats."""
    raw_in, raw_out = os.path.join(workdir, 'ref_in.raw'), os.path.join(workdir, 'ref_out.raw')
    with open(raw_in, 'wb') as f:
        f.write(samples.tobytes())
    subprocess.run(['sox', '-D', '-t', 'raw', '-r', str(rate), '-e', 'signed', '-b', '16', '-c',
                    str(channels), raw_in, '-t', 'raw', '-e', 'floating-point', '-b', '32', '-r',
                    '%.6f' % (rate * ratio), raw_out, 'rate', '-v'], check=True)
    out = array.array('f')
    with open(raw_out, 'rb') as f:
        out.frombytes(f.read())
    return array.array('f', (x * 32768 for x in out))


def snr(reference, test, ranges, channels):
    signal = noise = 0.0
    for first, last in ranges:
        for i in range(first * channels, last * channels):
            signal += reference[i] * reference[i]
            noise += (reference[i] - test[i]) ** 2
    return 10 * math.log10(signal / noise) if noise > 0 else float('inf')


def seam_figures(reference, played, start, end, channels):
    """SNR over the first pass; across the seam (the loop's last and first frames, played
    one after the other); and over those same frames where they first play, without the seam."""
    w = SEAM_WINDOW
    return (snr(reference, played, [(0, end + 1)], channels),
            snr(reference, played, [(end + 1 - w, end + 1 + w)], channels),
            snr(reference, played, [(end + 1 - w, end + 1), (start, start + w)], channels))


def main():
    imabox, source, start, end, workdir = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(
        sys.argv[4]), sys.argv[5]
    os.makedirs(workdir, exist_ok=True)
    channels, rate, samples = read_pcm(source)
    frames = len(samples) // channels
    title = 'Loop seam test'
    src = os.path.join(workdir, 'source.wav')
    write_source(src, channels, rate, samples, start, end, title)
    enc, dec = os.path.join(workdir, 'encoded.wav'), os.path.join(workdir, 'decoded.wav')
    run = subprocess.run([imabox, 'encode', src, '-o', enc], check=True, capture_output=True,
                         text=True)
    print('encode: ' + (run.stdout + run.stderr).strip().replace('\n', '\n        '))
    subprocess.run([imabox, 'decode', enc, '-o', dec, '--quiet'], check=True)
    failures = []

    loops = loops_of(enc)
    if len(loops) != 1:
        sys.exit('encoded file carries %d loops' % len(loops))
    new_start, new_end = loops[0]
    length, new_length = end + 1 - start, new_end + 1 - new_start
    change = 100.0 * (new_length - length) / length
    print('source loop %d..%d (%d frames); encoded loop %d..%d (%d frames = %d blocks, start '
          'block %d), length change %+.3f %%' % (start, end, length, new_start, new_end,
                                                   new_length, new_length // BLOCK,
                                                   new_start // BLOCK, change))
    if new_start % BLOCK or new_length % BLOCK:
        failures.append('loop not on block boundaries')
    if abs(change) >= 1:
        failures.append('loop length changed by 1 % or more')
    if loops_of(dec) != loops:
        failures.append('decoded file carries %s, not the encoded loop' % loops_of(dec))
    if title_of(dec) != title:
        failures.append('decoded title is %r' % title_of(dec))
    else:
        print('title after encode and decode: %r' % title_of(dec))

    # The decoded file played with its loop against the source played with its own loop,
    # resampled by the same ratio.
    ratio = new_length / length
    _, _, decoded = read_pcm(dec)
    span = new_end + 1 + (PASSES - 1) * new_length
    played = looped(decoded, channels, new_start, new_end, span)
    source_frames = math.ceil(span / ratio) + 64
    reference = resample(looped(samples, channels, start, end, source_frames), channels, rate,
                         ratio, workdir)
    overall, seam, unlooped = seam_figures(reference, played, new_start, new_end, channels)
    print('aligned: SNR over the first pass %.2f dB; across the seam (+-%d frames) %.2f dB; the '
          'same frames without the seam %.2f dB' % (overall, SEAM_WINDOW, seam, unlooped))
    if overall - seam > 3 or unlooped - seam > 1:
        failures.append('the seam costs SNR')

    # Contrast: the source's points rounded to the nearest block, nothing else done.
    plain = os.path.join(workdir, 'plain.wav')
    subprocess.run([imabox, 'encode', src, '-o', plain, '--quiet', '--loop-align', 'off'],
                   check=True, capture_output=True)
    plain_dec = os.path.join(workdir, 'plain_decoded.wav')
    subprocess.run([imabox, 'decode', plain, '-o', plain_dec, '--quiet'], check=True)
    _, _, plain_samples = read_pcm(plain_dec)
    rs, re_ = round(start / BLOCK) * BLOCK, round((end + 1) / BLOCK) * BLOCK - 1
    span = re_ + 1 + (PASSES - 1) * (re_ + 1 - rs)
    plain_played = looped(plain_samples, channels, rs, re_, span)
    reference = looped(samples, channels, start, end, span)
    print('rounded points, no alignment (loop %d..%d): SNR over the first pass %.2f dB; across '
          'the seam %.2f dB; the same frames without the seam %.2f dB' %
          ((rs, re_) + seam_figures(reference, plain_played, rs, re_, channels)))
    for failure in failures:
        print('FAILED: ' + failure)
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
