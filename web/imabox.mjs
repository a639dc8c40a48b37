// SPDX-License-Identifier: MIT
// imabox in JavaScript: Xbox ADPCM encoding and decoding of WAVE files held in memory, in a page,
// a Web Worker or Node, by imabox's own code compiled to WebAssembly (imabox_core.wasm beside
// this file). See docs/web.md.
//
//   import { createImabox } from "./imabox.mjs";
//   const imabox = await createImabox();
//   const { bytes, report } = imabox.encode(wavBytes, { quality: 5, rate: 22050, channels: 1 });
//
// Every call is synchronous once the module is loaded (run it in a worker for long files). Inputs
// are Uint8Array (or ArrayBuffer; in a worker also a Blob or File, read a piece at a time);
// results are { bytes: Uint8Array, report: {...} }, or in a worker with the option
// output: "blob", { blob: Blob, report } (made a piece at a time). Failures
// throw an ImaboxError whose message is the library's one-line message.
import createImaboxCore from "./imabox_core.mjs";

export class ImaboxError extends Error {
  constructor(message) {
    super(message);
    this.name = "ImaboxError";
  }
}

const kLoopAlign = { off: 0, unroll: 1, resample: 2 };
const kMaxQuality = 9;

// A growing byte buffer the WebAssembly side writes its output into, at any position.
class Output {
  constructor() {
    this.buffer = new Uint8Array(0);
    this.size = 0;
  }
  reserve(bytes) {
    if (bytes > this.buffer.length) {
      const grown = new Uint8Array(bytes);
      grown.set(this.buffer.subarray(0, this.size));
      this.buffer = grown;
    }
  }
  write(position, bytes) {
    const end = position + bytes.length;
    if (end > this.buffer.length) this.reserve(Math.max(end, 2 * this.buffer.length, 65536));
    this.buffer.set(bytes, position);
    this.size = Math.max(this.size, end);
  }
  take() {
    return this.size === this.buffer.length ? this.buffer : this.buffer.subarray(0, this.size);
  }
}

// The output as a Blob made a piece at a time (in a worker): each piece goes to the browser's
// blob storage once the output has moved past it, so that JavaScript holds a few pieces whatever
// the output's size. The first piece stays until the end (its header is written last); a write
// into a piece already sent reads that piece back.
const kOutputPiece = 1 << 20;

class BlobOutput {
  constructor() {
    this.sent = [];          // the Blob of each piece sent
    this.held = new Map();   // index -> Uint8Array of the pieces held
    this.size = 0;
  }
  reserve() {}
  piece(index) {
    let bytes = this.held.get(index);
    if (!bytes) {
      bytes = new Uint8Array(kOutputPiece);
      if (this.sent[index]) {
        const back = new FileReaderSync().readAsArrayBuffer(this.sent[index]);
        bytes.set(new Uint8Array(back));
        discard(back);
        this.sent[index] = undefined;
      }
      this.held.set(index, bytes);
    }
    return bytes;
  }
  write(position, bytes) {
    for (let at = 0; at < bytes.length;) {
      const index = Math.floor((position + at) / kOutputPiece);
      const offset = position + at - index * kOutputPiece;
      const n = Math.min(bytes.length - at, kOutputPiece - offset);
      this.piece(index).set(bytes.subarray(at, at + n), offset);
      at += n;
    }
    this.size = Math.max(this.size, position + bytes.length);
    const current = Math.floor((position + bytes.length - 1) / kOutputPiece);
    for (const [index, piece] of this.held) {
      if (index > 0 && index < current) {
        this.sent[index] = new Blob([piece]);
        this.held.delete(index);
        discard(piece.buffer);
      }
    }
  }
  take() {
    const parts = [];
    for (let index = 0; index * kOutputPiece < this.size; ++index) {
      const length = Math.min(kOutputPiece, this.size - index * kOutputPiece);
      const held = this.held.get(index);
      parts.push(held ? held.subarray(0, length) : this.sent[index] ?? new Uint8Array(length));
    }
    const blob = new Blob(parts);
    for (const piece of this.held.values()) discard(piece.buffer);
    this.held.clear();
    this.sent = [];
    return blob;
  }
}

function asBytes(input, what) {
  if (input instanceof Uint8Array) return input;
  if (typeof Blob !== "undefined" && input instanceof Blob && typeof FileReaderSync !== "undefined")
    return new Uint8Array(new FileReaderSync().readAsArrayBuffer(input));
  if (input instanceof ArrayBuffer) return new Uint8Array(input);
  if (ArrayBuffer.isView(input))
    return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  throw new ImaboxError(`${what} must be a Uint8Array or an ArrayBuffer`);
}

// Frees a buffer the browser made (FileReaderSync's result) now rather than at the next garbage
// collection. The browser keeps such a buffer's memory alive until its own wrapper object is
// collected, even once JavaScript has detached it (ArrayBuffer.prototype.transfer); a buffer
// transferred in a message to a closed port is freed with the message, at once.
let discardPort = null;
function discard(buffer) {
  if (buffer.byteLength === 0 || typeof MessageChannel === "undefined") return;
  if (!discardPort) {
    const channel = new MessageChannel();
    channel.port2.close();
    discardPort = channel.port1;
  }
  discardPort.postMessage(null, [buffer]);
}

// A Blob or File read a window at a time (in a worker, where reading can wait), so that a long
// file is never held whole. The core reads it through subarray(start, end), as a Uint8Array.
const kReadWindow = 4 << 20;

class BlobInput {
  constructor(blob) {
    this.blob = blob;
    this.length = blob.size;
    this.reader = new FileReaderSync();
    this.start = 0;
    this.window = new Uint8Array(0);
  }
  subarray(start, end) {
    end = Math.min(end, this.length);
    if (start < this.start || end > this.start + this.window.length) {
      const stop = Math.min(this.length, start + Math.max(end - start, kReadWindow));
      // The last window was copied into the WebAssembly memory already: let it go now.
      discard(this.window.buffer);
      this.window = new Uint8Array(this.reader.readAsArrayBuffer(this.blob.slice(start, stop)));
      this.start = start;
    }
    return this.window.subarray(start - this.start, end - this.start);
  }
}

// A float WAVE file as the core reads it: the header, then the samples' own bytes, so that the
// samples are copied into the WebAssembly memory a piece at a time rather than whole.
class FloatWaveInput {
  constructor(header, samples) {
    this.header = header;
    this.data = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength);
    this.length = header.length + this.data.length;
  }
  subarray(start, end) {
    const h = this.header.length;
    end = Math.min(end, this.length);
    if (start >= h) return this.data.subarray(start - h, end - h);
    const out = new Uint8Array(Math.max(0, end - start));
    out.set(this.header.subarray(start, Math.min(end, h)));
    if (end > h) out.set(this.data.subarray(0, end - h), h - start);
    return out;
  }
}

// Bytes, or in a worker a Blob or File read as it goes.
function asInput(input, what) {
  if (typeof Blob !== "undefined" && input instanceof Blob) {
    if (typeof FileReaderSync === "undefined")
      throw new ImaboxError(`${what}: a Blob is read only in a worker; pass its bytes here`);
    return new BlobInput(input);
  }
  return asBytes(input, what);
}

function checkInteger(value, name, low, high) {
  if (!Number.isInteger(value) || value < low || value > high)
    throw new ImaboxError(`${name} must be a whole number from ${low} to ${high}`);
  return value;
}

// The wasm file's bytes: fetched beside this module in a page or worker, read from disk in Node.
async function loadWasm(url) {
  if (typeof process === "object" && process.versions && process.versions.node &&
      url.protocol === "file:") {
    const { readFile } = await import("node:fs/promises");
    return new Uint8Array(await readFile(url));
  }
  const response = await fetch(url);
  if (!response.ok) throw new ImaboxError(`cannot load ${url.pathname}: HTTP ${response.status}`);
  return new Uint8Array(await response.arrayBuffer());
}

// Loads the module. options.wasmBinary: the wasm file's bytes, when the caller has them already.
export async function createImabox(options = {}) {
  const wasmBinary =
      options.wasmBinary || (await loadWasm(new URL("imabox_core.wasm", import.meta.url)));
  const core = await createImaboxCore({
    wasmBinary,
    print: () => {},
    printErr: () => {},
  });
  return new Imabox(core);
}

class Imabox {
  constructor(core) {
    this.core = core;
    this.broken = null;  // set once the WebAssembly instance has aborted
    // Wave banks, in builds that have them (null otherwise).
    this.bank = core._imabox_wasm_bank_list ? new Banks(this) : null;
  }

  // Runs one call of the core with `input` readable by it and the output collected.
  run(input, call, onProgress, asBlob = false) {
    if (this.broken) throw new ImaboxError(this.broken);
    if (asBlob && typeof FileReaderSync === "undefined")
      throw new ImaboxError("a Blob result is made only in a worker");
    const core = this.core;
    const output = asBlob ? new BlobOutput() : new Output();
    core.imaboxInput = input;
    core.imaboxOutput = output;
    core.onProgress = onProgress || null;
    try {
      const status = call(core);
      const report = JSON.parse(core.UTF8ToString(core._imabox_wasm_report()));
      if (report.error !== undefined) throw new ImaboxError(report.error);
      return { status, report, [asBlob ? "blob" : "bytes"]: output.take() };
    } catch (e) {
      if (e instanceof ImaboxError) throw e;
      // An abort (memory exhausted, a fault): this instance cannot be used again.
      this.broken = /memory/i.test(String(e && e.message))
          ? "out of memory"
          : `internal error: ${e && e.message ? e.message : e}`;
      throw new ImaboxError(this.broken);
    } finally {
      core._imabox_wasm_release();
      core.imaboxInput = null;
      core.imaboxOutput = null;
      core.onProgress = null;
    }
  }

  // Runs a conversion of `input` (bytes in JavaScript) or, with input null, of the file at
  // `pointer` in the WebAssembly memory.
  convert(input, pointer, size, direction, options) {
    const quality = checkInteger(options.quality ?? 0, "quality", 0, kMaxQuality);
    const rate = checkInteger(options.rate ?? 0, "rate", 0, 0xFFFFFFFF);
    const channels = checkInteger(options.channels ?? 0, "channels", 0, 2);
    const loopAlign = kLoopAlign[options.loopAlign ?? "resample"];
    if (loopAlign === undefined) throw new ImaboxError("loopAlign must be off, unroll or resample");
    const cents = options.maxLoopCents ?? 5;
    if (!(cents >= 0)) throw new ImaboxError("maxLoopCents must be 0 or more");
    const { report, bytes, blob } = this.run(input, (core) =>
        core._imabox_wasm_convert(pointer, size, direction, quality, rate, channels, loopAlign,
                                  cents), options.onProgress, options.output === "blob");
    return blob ? { blob, report } : { bytes, report };
  }

  // Any WAVE file imabox reads (PCM 8 to 32 bits, float, IMA ADPCM) to Xbox ADPCM.
  // options: quality 0..9, rate (0: the input's), channels (0: the input's, 1 or 2), loopAlign
  // ("resample", "unroll" or "off"), maxLoopCents (5), onProgress(done, total), output ("blob":
  // the result as a Blob, in a worker).
  encode(bytes, options = {}) {
    const input = asInput(bytes, "the input");
    return this.convert(input, 0, input.length, 1, options);
  }

  // Xbox or IMA ADPCM WAVE to 16-bit PCM WAVE. options: onProgress(done, total), output.
  decode(bytes, options = {}) {
    const input = asInput(bytes, "the input");
    return this.convert(input, 0, input.length, 2,
                        { onProgress: options.onProgress, output: options.output });
  }

  // Interleaved float samples (-1..1) at `sampleRate` with `channels` channels (what a browser's
  // audio decoder gives) to Xbox ADPCM through imabox's float stage: exact 16-bit values kept,
  // anything finer dithered. options as for encode.
  encodeFloat(samples, sampleRate, channels, options = {}) {
    if (!(samples instanceof Float32Array)) throw new ImaboxError("samples must be a Float32Array");
    checkInteger(sampleRate, "sampleRate", 1, 0xFFFFFFFF);
    checkInteger(channels, "channels", 1, 0xFFFF);
    if (samples.length % channels !== 0)
      throw new ImaboxError("the sample count is not a whole number of frames");
    if (this.broken) throw new ImaboxError(this.broken);
    const core = this.core;
    const frames = samples.length / channels;
    const header = core._imabox_wasm_float_wave(frames, channels, sampleRate);
    if (!header) {
      const report = JSON.parse(core.UTF8ToString(core._imabox_wasm_report()));
      throw new ImaboxError(report.error);
    }
    const head = core.HEAPU8.slice(header, header + 44);
    core._free(header);
    const input = new FloatWaveInput(head, samples);
    return this.convert(input, 0, input.length, 1, options);
  }

  // What a WAVE file holds: format, channels, rate, frames, duration, loops, title.
  info(bytes) {
    const input = asInput(bytes, "the input");
    return this.run(input, (core) => core._imabox_wasm_info(0, input.length)).report;
  }

  // A waveform outline: the lowest and highest sample of `columns` equal spans of the file's
  // frames (any channel), as imabox reads them (ADPCM decoded). { min, max, frames }.
  peaks(bytes, columns = 1000) {
    const input = asInput(bytes, "the input");
    checkInteger(columns, "columns", 1, 1 << 20);
    const core = this.core;
    const out = core._malloc(columns * 4);
    if (!out) throw new ImaboxError("out of memory");
    try {
      const { status: frames } =
          this.run(input, (c) => c._imabox_wasm_peaks(0, input.length, out, columns));
      const pairs = core.HEAP16.slice(out >> 1, (out >> 1) + 2 * columns);
      const min = new Int16Array(columns);
      const max = new Int16Array(columns);
      for (let i = 0; i < columns; ++i) {
        min[i] = pairs[2 * i];
        max[i] = pairs[2 * i + 1];
      }
      return { min, max, frames };
    } finally {
      if (!this.broken) core._free(out);
    }
  }
}

// Original-Xbox wave banks held in memory.
class Banks {
  constructor(imabox) {
    this.imabox = imabox;
  }

  // The bank's layout and entries: { report: { version, compact, streaming, name, entries:
  // [{ name, codec, channels, sampleRate, bitsPerSample, bytes, frames, durationSeconds, looped,
  // loopStart, loopEnd }], warnings } }.
  list(bytes) {
    const bank = asInput(bytes, "the bank");
    return { report: this.imabox.run(bank, (c) => c._imabox_wasm_bank_list(bank.length)).report };
  }

  // Entry `index` as a WAVE file (Xbox ADPCM entries as they are; options.decode: 16-bit PCM).
  extract(bytes, index, options = {}) {
    const bank = asInput(bytes, "the bank");
    checkInteger(index, "index", 0, 0xFFFFFFFF);
    const { bytes: out, blob, report } = this.imabox.run(
        bank, (c) => c._imabox_wasm_bank_extract(bank.length, index, options.decode ? 1 : 0), null,
        options.output === "blob");
    return blob ? { blob, report } : { bytes: out, report };
  }

  // The whole bank with entry `index` replaced by the audio file `sourceBytes` (any WAVE file
  // encode reads), converted to the entry's codec, channels and rate, its loop on blocks.
  // options: quality 0..9.
  replace(bytes, index, sourceBytes, options = {}) {
    const bank = asInput(bytes, "the bank");
    const source = asBytes(sourceBytes, "the source");
    checkInteger(index, "index", 0, 0xFFFFFFFF);
    const quality = checkInteger(options.quality ?? 0, "quality", 0, kMaxQuality);
    const im = this.imabox;
    if (im.broken) throw new ImaboxError(im.broken);
    const pointer = im.core._malloc(Math.max(1, source.length));
    if (!pointer) throw new ImaboxError("out of memory");
    try {
      im.core.HEAPU8.set(source, pointer);
      const { bytes: out, blob, report } = im.run(bank, (c) =>
          c._imabox_wasm_bank_replace(bank.length, index, pointer, source.length, quality), null,
          options.output === "blob");
      return blob ? { blob, report } : { bytes: out, report };
    } finally {
      if (!im.broken) im.core._free(pointer);
    }
  }
}
