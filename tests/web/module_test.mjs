// SPDX-License-Identifier: MIT
// The WebAssembly module in Node against the native tool on the same inputs.
//   SITE=build/web/site IMABOX=build/test/imabox FIXTURES=DIR node --test tests/web/module_test.mjs
// FIXTURES holds what make_fixtures.py writes.
import assert from "node:assert/strict";
import { execFileSync, spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { test } from "node:test";
import { pathToFileURL } from "node:url";

const site = resolve(process.env.SITE || "build/web/site");
const native = resolve(process.env.IMABOX || "build/test/imabox");
const fixtures = process.env.FIXTURES;
const work = mkdtempSync(join(tmpdir(), "imabox-web-"));

const { createImabox, ImaboxError } = await import(pathToFileURL(join(site, "imabox.mjs")));
const imabox = await createImabox();
const input = (name) => readFileSync(join(fixtures, name));

// The native tool's output for `args` (an encode or decode command line ending in the input).
function nativeBytes(command, input, args = []) {
  const out = join(work, `native-${command}-${args.join("_")}.wav`);
  execFileSync(native, [command, "--quiet", ...args, input, "-o", out]);
  return readFileSync(out);
}

function sameBytes(actual, expected, what) {
  assert.equal(actual.length, expected.length, `${what}: size`);
  assert.ok(Buffer.compare(Buffer.from(actual), expected) === 0, `${what}: bytes differ`);
}

test("encode gives the native bytes at every quality level, loop aligned", () => {
  for (let quality = 0; quality <= 9; ++quality) {
    const { bytes, report } = imabox.encode(input("tone.wav"), { quality });
    sameBytes(bytes, nativeBytes("encode", join(fixtures, "tone.wav"), ["-q", `${quality}`]),
              `quality ${quality}`);
    assert.match(report.loop, /^loop 1000\.\.40999 -> /);
  }
});

// A 16-bit PCM WAVE file of interleaved samples.
function pcmWave(samples, rate, channels) {
  const out = Buffer.alloc(44 + 2 * samples.length);
  out.write("RIFF", 0);
  out.writeUInt32LE(out.length - 8, 4);
  out.write("WAVEfmt ", 8);
  out.writeUInt32LE(16, 16);
  out.writeUInt16LE(1, 20);
  out.writeUInt16LE(channels, 22);
  out.writeUInt32LE(rate, 24);
  out.writeUInt32LE(rate * channels * 2, 28);
  out.writeUInt16LE(channels * 2, 32);
  out.writeUInt16LE(16, 34);
  out.write("data", 36);
  out.writeUInt32LE(2 * samples.length, 40);
  samples.forEach((v, i) => out.writeInt16LE(v, 44 + 2 * i));
  return out;
}

// The module's encoders have loops of their own (WebAssembly SIMD); they must agree with the
// native tool's on what strains them: silence then a noisy burst, a full-scale square (searched
// states fall so far behind that they are dropped), a last block only partly filled, mono (six
// plain-coded segments: a vector of four lanes and two alone) and stereo (eight lanes).
test("every quality level gives the native bytes on hard audio, mono and stereo", () => {
  let seed = 7;
  const noise = () => ((seed = (seed * 1103515245 + 12345) >>> 0) / 2 ** 31) - 1;
  for (const channels of [1, 2]) {
    const frames = 65 * 48 + 23;
    const samples = new Array(frames * channels);
    for (let i = 0; i < frames; ++i) {
      for (let c = 0; c < channels; ++c) {
        let v = 0;
        if (i >= 700 && i < 1500) v = (9000 + 3000 * c) * Math.sin(i / (5 + c)) + 4000 * noise();
        else if (i >= 1500 && i < 2300) v = Math.floor(i / (6 + c)) % 2 ? 32767 : -32768;
        else if (i >= 2300) v = 20000 * noise() * Math.abs(Math.sin(i / 90));
        samples[i * channels + c] = Math.max(-32768, Math.min(32767, Math.round(v)));
      }
    }
    const file = join(work, `hard-${channels}.wav`);
    writeFileSync(file, pcmWave(samples, 22050, channels));
    for (let quality = 0; quality <= 9; ++quality) {
      sameBytes(imabox.encode(readFileSync(file), { quality }).bytes,
                nativeBytes("encode", file, ["-q", `${quality}`]),
                `${channels} channels, quality ${quality}`);
    }
  }
});

test("loop handling and channel change give the native bytes", () => {
  for (const loopAlign of ["unroll", "off"]) {
    const { bytes } = imabox.encode(input("tone.wav"), { loopAlign, channels: 1 });
    sameBytes(bytes, nativeBytes("encode", join(fixtures, "tone.wav"),
                                 ["--loop-align", loopAlign, "--channels", "1"]),
              `loop ${loopAlign}`);
  }
});

test("a rate change is the native one within rounding", () => {
  const { bytes, report } = imabox.encode(input("plain.wav"), { rate: 22050 });
  assert.equal(report.outputSampleRate, 22050);
  const expected = nativeBytes("encode", join(fixtures, "plain.wav"), ["--rate", "22050"]);
  assert.equal(bytes.length, expected.length);
  // Decoded, the two results differ by far less than the coding error itself.
  const ours = imabox.decode(bytes).bytes;
  const theirs = imabox.decode(expected).bytes;
  const a = new Int16Array(ours.buffer, ours.byteOffset + 44, (ours.length - 44) / 2);
  const b = new Int16Array(theirs.buffer, theirs.byteOffset + 44, (theirs.length - 44) / 2);
  let signal = 0, noise = 0;
  for (let i = 0; i < a.length; ++i) {
    signal += b[i] * b[i];
    noise += (a[i] - b[i]) ** 2;
  }
  const snr = noise === 0 ? Infinity : 10 * Math.log10(signal / noise);
  assert.ok(snr > 60, `SNR of the browser's result against the native one: ${snr} dB`);
});

test("decode and info read what encode wrote", () => {
  const encoded = nativeBytes("encode", join(fixtures, "tone.wav"), ["-q", "0"]);
  const encodedPath = join(work, "encoded.wav");
  writeFileSync(encodedPath, encoded);
  const { bytes, report } = imabox.decode(encoded);
  sameBytes(bytes, nativeBytes("decode", encodedPath), "decode");
  assert.equal(report.output, "16-bit PCM");
  const info = imabox.info(encoded);
  assert.equal(info.formatTag, 0x69);
  assert.equal(info.channels, 2);
  assert.equal(info.loops.length, 1);
  const peaks = imabox.peaks(encoded, 100);
  assert.equal(peaks.min.length, 100);
  assert.ok(peaks.max.some((v) => v > 10000) && peaks.min.some((v) => v < -10000));
});

test("float samples go through the float stage and dither like a float WAVE file", () => {
  // 24-bit samples as float: not exact 16-bit values, so both sides dither.
  const deep = input("deep.wav");
  const frames = (deep.length - 44) / 3;
  const samples = new Float32Array(frames);
  for (let i = 0; i < frames; ++i) samples[i] = deep.readIntLE(44 + 3 * i, 3) / 8388608;
  const floatWave = Buffer.alloc(44 + frames * 4);
  floatWave.write("RIFF", 0);
  floatWave.writeUInt32LE(36 + frames * 4, 4);
  floatWave.write("WAVEfmt ", 8);
  floatWave.writeUInt32LE(16, 16);
  floatWave.writeUInt16LE(3, 20);
  floatWave.writeUInt16LE(1, 22);
  floatWave.writeUInt32LE(32000, 24);
  floatWave.writeUInt32LE(128000, 28);
  floatWave.writeUInt16LE(4, 32);
  floatWave.writeUInt16LE(32, 34);
  floatWave.write("data", 36);
  floatWave.writeUInt32LE(frames * 4, 40);
  Buffer.from(samples.buffer).copy(floatWave, 44);
  const path = join(work, "float.wav");
  writeFileSync(path, floatWave);
  const { bytes, report } = imabox.encodeFloat(samples, 32000, 1, { quality: 2 });
  assert.equal(report.dithered, true);
  sameBytes(bytes, nativeBytes("encode", path, ["-q", "2"]), "float input");
});

test("long inputs leave the module's memory as it was", () => {
  // Inputs stay in JavaScript and reach the WebAssembly memory a piece at a time, which never
  // shrinks once grown: 40 MiB of samples and a 40 MiB WAVE file, over its initial 32 MiB.
  const before = imabox.core.HEAPU8.length;
  const frames = 5 << 20;
  const samples = new Float32Array(2 * frames);
  for (let i = 0; i < samples.length; ++i) samples[i] = Math.sin(i / 40) * 0.5;
  const fromFloats = imabox.encodeFloat(samples, 48000, 2).report;
  assert.equal(fromFloats.inputFrames, frames);
  const wave = Buffer.alloc(44 + frames * 8);
  wave.write("RIFFxxxxWAVEfmt ", 0);
  wave.writeUInt32LE(36 + frames * 8, 4);
  for (const [i, v] of [16, 0x00020001, 44100, 44100 * 4, 0x00100004].entries())
    wave.writeUInt32LE(v, 16 + 4 * i);
  wave.write("data", 36);
  wave.writeUInt32LE(frames * 8, 40);
  const fromWave = imabox.encode(wave).report;
  assert.equal(fromWave.inputFrames, 2 * frames);
  assert.equal(imabox.core.HEAPU8.length, before);
});

test("a damaged file fails with the native tool's message", () => {
  const damaged = join(fixtures, "damaged.wav");
  const run = spawnSync(native, ["encode", "--quiet", damaged, "-o", join(work, "x.wav")]);
  assert.notEqual(run.status, 0);
  const line = run.stderr.toString().split("\n").find((l) => l.includes(damaged));
  const message = line.slice(line.indexOf(damaged) + damaged.length + 2);
  assert.throws(() => imabox.encode(input("damaged.wav")),
                (e) => e instanceof ImaboxError && e.message === message);
  assert.throws(() => imabox.encode(input("tone.wav"), { quality: 12 }), ImaboxError);
  // The instance still works after errors.
  assert.ok(imabox.encode(input("tone.wav")).bytes.length > 0);
});

const nativeHasBanks = spawnSync(native, ["--help"]).stdout.toString().split("\n")
                           .some((line) => line.trim().split(/\s+/)[0] === "bank");

test("a bank entry replaced by the module gives the native bank", { skip: !nativeHasBanks }, () => {
  assert.ok(imabox.bank, "the module has no wave banks but the native tool has");
  const bank = join(work, "bank.xwb");
  execFileSync(native, ["bank", "build", "-o", bank, join(fixtures, "plain.wav"),
                        join(fixtures, "deep.wav")], { stdio: "ignore" });
  const listed = imabox.bank.list(readFileSync(bank)).report;
  assert.deepEqual(listed.entries.map((e) => [e.channels, e.sampleRate]), [[2, 44100], [1, 32000]]);
  const replaced = join(work, "replaced.xwb");
  execFileSync(native, ["bank", "replace", bank, "1", join(fixtures, "tone.wav"), "-q", "3",
                        "-o", replaced], { stdio: "ignore" });
  const { bytes, report } =
      imabox.bank.replace(readFileSync(bank), 1, input("tone.wav"), { quality: 3 });
  sameBytes(bytes, readFileSync(replaced), "bank replace");
  assert.equal(report.bank.entries[1].looped, true);
  // The entry extracted again is the entry's coded audio, and an entry past the end is refused.
  const entry = imabox.bank.extract(bytes, 1);
  assert.equal(imabox.info(entry.bytes).sampleRate, 32000);
  assert.throws(() => imabox.bank.extract(bytes, 2), ImaboxError);
});
