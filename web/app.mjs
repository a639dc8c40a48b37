// SPDX-License-Identifier: MIT
// The page: picks a file, runs imabox in a worker (worker.mjs), draws waveforms with the loop
// points, plays the input and the result (decoded by imabox) and offers the result for download.
// WAVE files are read by imabox itself; other containers are decoded by the browser into float
// samples at the file's own rate, then go through imabox's float stage (exact 16-bit values kept,
// anything finer dithered).

const $ = (id) => document.getElementById(id);
const ui = {
  file: $("file"), drop: $("drop"), inputInfo: $("input-info"), inputWave: $("input-wave"),
  inputAudio: $("input-audio"), quality: $("quality"), rate: $("rate"), channels: $("channels"),
  loop: $("loop"), encode: $("encode"), decode: $("decode"), progress: $("progress"),
  status: $("status"), error: $("error"), resultInfo: $("result-info"),
  resultWave: $("result-wave"), resultAudio: $("result-audio"), download: $("download"),
  bankSection: $("bank-section"), bankInfo: $("bank-info"), bankRows: $("bank-table").tBodies[0],
  playInput: $("play-input"), playResult: $("play-result"),
  extractAll: $("extract-all"), bankDownload: $("bank-download"), bankAudio: $("bank-audio"),
};

const kAdpcmTags = new Set([0x0069, 0x0011]);

// ---- The worker ---------------------------------------------------------------------------

const worker = new Worker(new URL("worker.mjs", import.meta.url), { type: "module" });
const pending = new Map();
let nextId = 1;

worker.onmessage = (event) => {
  const m = event.data;
  const job = pending.get(m.id);
  if (!job) return;
  if (m.progress !== undefined) {
    job.onProgress?.(m.progress);
    return;
  }
  pending.delete(m.id);
  if (m.samples) job.onSamples?.(m.samples);
  if (m.ok) job.resolve(m);
  else job.reject(new Error(m.error));
};
worker.onerror = (event) => {
  event.preventDefault();
  for (const job of pending.values()) job.reject(new Error("the worker stopped: " + event.message));
  pending.clear();
};

// onSamples: given the float samples transferred to the worker with the message, when it gives
// them back.
function call(message, transfer = [], onProgress = null, onSamples = null) {
  const id = nextId++;
  return new Promise((resolve, reject) => {
    pending.set(id, { resolve, reject, onProgress, onSamples });
    worker.postMessage({ ...message, id }, transfer);
  });
}

// ---- State and status ---------------------------------------------------------------------

const state = {
  file: null,        // the chosen File
  kind: null,        // "wave", "float" or "bank"
  bank: null,        // the bank as it is now (the file, or a Blob after replacements)
  bankUrl: null,
  bankPlayUrl: null,
  entryUrl: null,
  result: null,      // the result as a Blob, and whether it is Xbox ADPCM
  resultAdpcm: false,
  info: null,        // imabox's info of a WAVE input
  float: null,       // { samples, sampleRate, channels } of another container
  resultUrl: null,
  resultPlayUrl: null,
  inputPlayUrl: null,
};

function setBusy(busy, text) {
  document.body.dataset.state = busy ? "busy" : "ready";
  ui.encode.disabled = busy || !(state.kind === "wave" || state.kind === "float");
  ui.decode.disabled = busy || !(state.kind === "wave" && kAdpcmTags.has(state.info?.formatTag));
  ui.status.textContent = text;
  if (busy) ui.progress.removeAttribute("value");
  else if (!ui.progress.hasAttribute("value")) ui.progress.value = 0;
}

// Forgets the previous file's waveforms, players and result.
function clearOutputs() {
  for (const canvas of [ui.inputWave, ui.resultWave]) {
    canvas.getContext("2d").clearRect(0, 0, canvas.width, canvas.height);
    canvas.setAttribute("aria-label", canvas.dataset.label);
  }
  for (const [audio, key] of [[ui.inputAudio, "inputPlayUrl"], [ui.resultAudio, "resultPlayUrl"],
                              [ui.bankAudio, "bankPlayUrl"]]) {
    audio.removeAttribute("src");
    audio.load();
    replaceUrl(key, null);
  }
  ui.inputInfo.textContent = "";
  ui.resultInfo.textContent = "";
  ui.playInput.disabled = true;
  ui.playResult.disabled = true;
  state.result = null;
  ui.download.hidden = true;
  ui.bankDownload.hidden = true;
  ui.bankSection.hidden = true;
}

function showError(message) {
  ui.error.textContent = message;
  document.body.dataset.state = "error";
  ui.status.textContent = "";
  ui.progress.value = 0;
}

function clearError() {
  ui.error.textContent = "";
}

function progress(fraction) {
  ui.progress.value = Math.max(0, Math.min(1, fraction));
}

function replaceUrl(key, blob) {
  if (state[key]) URL.revokeObjectURL(state[key]);
  state[key] = blob ? URL.createObjectURL(blob) : null;
  return state[key];
}

// ---- Reading the input --------------------------------------------------------------------

function isBank(bytes) {
  const tag = String.fromCharCode(...bytes.subarray(0, 4));
  return tag === "WBND" || tag === "DNBW";
}

function isWave(bytes) {
  const tag = String.fromCharCode(...bytes.subarray(0, 4));
  return tag === "RIFF" || tag === "RIFX" || tag === "RF64";
}

// The sample rate a compressed file declares, so the browser decodes it without resampling;
// null when it cannot be told from the first bytes.
export function sniffRate(bytes) {
  const text = (at, n) => String.fromCharCode(...bytes.subarray(at, at + n));
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (bytes.length >= 22 && text(0, 4) === "fLaC")
    return (bytes[18] << 12) | (bytes[19] << 4) | (bytes[20] >> 4);
  if (bytes.length >= 27 && text(0, 4) === "OggS") {
    const body = 27 + bytes[26];
    if (text(body, 7) === "\x01vorbis" && bytes.length >= body + 16)
      return view.getUint32(body + 12, true);
    if (text(body, 8) === "OpusHead") return 48000;
    if (text(body, 5) === "\x7fFLAC" && bytes.length >= body + 30) {
      const info = body + 13 + 8;  // after "\x7fFLAC", versions, header count, "fLaC", block header
      return (bytes[info + 10] << 12) | (bytes[info + 11] << 4) | (bytes[info + 12] >> 4);
    }
    return null;
  }
  let at = 0;
  if (text(0, 3) === "ID3" && bytes.length >= 10)
    at = 10 + ((bytes[6] & 0x7f) << 21 | (bytes[7] & 0x7f) << 14 | (bytes[8] & 0x7f) << 7 |
               (bytes[9] & 0x7f));
  for (const end = Math.min(bytes.length - 4, at + 65536); at < end; ++at) {
    if (bytes[at] !== 0xff || (bytes[at + 1] & 0xe0) !== 0xe0) continue;
    const version = (bytes[at + 1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const layer = (bytes[at + 1] >> 1) & 3;
    const index = (bytes[at + 2] >> 2) & 3;
    if (version === 1 || layer === 0 || index === 3) continue;
    if (layer === 0 && version === 3) continue;
    const base = [44100, 48000, 32000][index];
    return version === 3 ? base : version === 2 ? base / 2 : base / 4;
  }
  return null;
}

// Browsers turn 16-bit samples into floats by x / 32768 or, some of them, by x / 32767 for
// positive x. When every sample is a 16-bit value under one of those, the source was 16-bit: the
// samples become x / 32768 again, which imabox's float stage keeps exactly (no dither), as it
// would the 16-bit file itself. Anything else is left alone.
export function restore16(samples) {
  let positiveScale = 0;  // 32768 or 32767 once a positive sample has told
  for (let i = 0; i < samples.length; ++i) {
    const v = samples[i];
    if (v <= 0) {
      if (v < -1 || (v * 32768) % 1 !== 0) return false;
      continue;
    }
    if (positiveScale === 0) positiveScale = (v * 32768) % 1 === 0 ? 32768 : 32767;
    const x = v * positiveScale;
    if (Math.abs(x - Math.round(x)) > 0.01 || x > 32767.5) return false;
  }
  if (positiveScale === 32767) {
    for (let i = 0; i < samples.length; ++i)
      if (samples[i] > 0) samples[i] = Math.round(samples[i] * 32767) / 32768;
  }
  return true;
}

async function decodeWithBrowser(buffer) {
  const bytes = new Uint8Array(buffer);
  const rate = sniffRate(bytes) || 48000;
  const context = new OfflineAudioContext(1, 1, rate);
  const audio = await context.decodeAudioData(buffer).catch(() => {
    throw new Error("this browser cannot decode the file (not audio, or damaged)");
  });
  const channels = audio.numberOfChannels;
  const frames = audio.length;
  const samples = new Float32Array(frames * channels);
  for (let c = 0; c < channels; ++c) {
    const data = audio.getChannelData(c);
    for (let i = 0, j = c; i < frames; ++i, j += channels) samples[j] = data[i];
  }
  const exact16 = restore16(samples);
  return { samples, sampleRate: audio.sampleRate, channels, exact16 };
}

// A 32-bit float WAVE file of interleaved samples (a bank entry's source decoded by the browser).
function floatWave(samples, sampleRate, channels) {
  const file = new Uint8Array(44 + samples.length * 4);
  const view = new DataView(file.buffer);
  const tag = (at, text) => [...text].forEach((c, i) => view.setUint8(at + i, c.charCodeAt(0)));
  tag(0, "RIFF");
  view.setUint32(4, 36 + samples.length * 4, true);
  tag(8, "WAVEfmt ");
  view.setUint32(16, 16, true);
  view.setUint16(20, 3, true);
  view.setUint16(22, channels, true);
  view.setUint32(24, sampleRate, true);
  view.setUint32(28, sampleRate * channels * 4, true);
  view.setUint16(32, channels * 4, true);
  view.setUint16(34, 32, true);
  tag(36, "data");
  view.setUint32(40, samples.length * 4, true);
  new Float32Array(file.buffer, 44).set(samples);
  return file;
}

function floatPeaks(samples, channels, columns) {
  const frames = samples.length / channels;
  const min = new Int16Array(columns);
  const max = new Int16Array(columns);
  for (let c = 0; c < columns; ++c) {
    const from = Math.floor((c * frames) / columns) * channels;
    const to = Math.floor(((c + 1) * frames) / columns) * channels;
    let lo = 0, hi = 0;
    for (let i = from; i < to; ++i) {
      const v = samples[i];
      if (v < lo) lo = v;
      if (v > hi) hi = v;
    }
    min[c] = Math.max(-32768, Math.round(lo * 32768));
    max[c] = Math.min(32767, Math.round(hi * 32768));
  }
  return { min, max, frames };
}

function drawWave(canvas, peaks, loops = []) {
  const g = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height;
  g.clearRect(0, 0, w, h);
  g.fillStyle = "#06c";
  const columns = peaks.min.length;
  for (let x = 0; x < w; ++x) {
    const c = Math.floor((x * columns) / w);
    const top = h / 2 - (peaks.max[c] / 32768) * (h / 2);
    const bottom = h / 2 - (peaks.min[c] / 32768) * (h / 2);
    g.fillRect(x, top, 1, Math.max(1, bottom - top));
  }
  g.fillStyle = "#d40";
  for (const loop of loops) {
    for (const frame of [loop.start, loop.end + 1]) {
      const x = peaks.frames ? Math.round((frame / peaks.frames) * (w - 1)) : 0;
      g.fillRect(Math.min(x, w - 2), 0, 2, h);
    }
  }
  const loopText = loops.map((l) => `loop ${l.start}..${l.end}`).join(", ");
  canvas.setAttribute("aria-label",
                      `${canvas.dataset.label}: ${peaks.frames} frames${loopText ? ", " + loopText : ""}`);
}

function describeInfo(info) {
  const seconds = info.durationSeconds.toFixed(2);
  const loops = info.loops.map((l) => ` loop ${l.start}..${l.end}`).join(",");
  return `${info.format}, ${info.channels} ch, ${info.sampleRate} Hz, ${info.frames} frames ` +
         `(${seconds} s)${loops}${info.title ? `, "${info.title}"` : ""}`;
}

async function openFile(file) {
  clearError();
  state.file = file;
  state.kind = null;
  state.info = null;
  state.float = null;
  clearOutputs();
  setBusy(true, `Reading ${file.name}…`);
  try {
    const head = new Uint8Array(await file.slice(0, 4096).arrayBuffer());
    if (isBank(head)) {
      await openBank(file);
      state.kind = "bank";
      setBusy(false, `${file.name}: ${state.bankEntries.length} entries.`);
      return;
    }
    if (isWave(head)) {
      // Read by the worker a piece at a time: the page never holds the whole file.
      const reply = await call({ op: "peaks", bytes: file, columns: 2000 });
      state.kind = "wave";
      state.info = reply.report;
      ui.inputInfo.textContent = `${file.name}: ${describeInfo(reply.report)}`;
      drawWave(ui.inputWave, reply.peaks, reply.report.loops);
    } else {
      const decoded = await decodeWithBrowser(await file.arrayBuffer());
      state.kind = "float";
      state.float = decoded;
      const frames = decoded.samples.length / decoded.channels;
      ui.inputInfo.textContent =
          `${file.name}: decoded by the browser, ${decoded.channels} ch, ${decoded.sampleRate} Hz, ` +
          `${frames} frames (${(frames / decoded.sampleRate).toFixed(2)} s)` +
          (decoded.exact16 ? ", 16-bit samples" : ", finer than 16 bits (dithered)");
      drawWave(ui.inputWave, floatPeaks(decoded.samples, decoded.channels, 2000));
    }
    ui.playInput.disabled = false;
    setBusy(false, `${file.name} is ready.`);
  } catch (e) {
    setBusy(false, "");
    showError(`${file.name}: ${e.message}`);
  }
}

// ---- Converting ---------------------------------------------------------------------------

function outputName(direction) {
  const name = state.file.name;
  const dot = name.lastIndexOf(".");
  const base = dot > 0 ? name.slice(0, dot) : name;
  return base + (direction === "encode" ? ".xbox.wav" : ".pcm.wav");
}

function describeReport(report, result) {
  const parts = [
    `${report.input}, ${report.channels} ch, ${report.sampleRate} Hz -> ${report.output}, ` +
        `${report.outputChannels} ch, ${report.outputSampleRate} Hz`,
    `${report.inputFrames} frames, ${report.blocks} blocks, ${result.size} bytes` +
        (report.dithered ? ", dithered" : "") +
        (report.clippedSamples ? `, ${report.clippedSamples} samples clipped` : ""),
  ];
  if (report.loop) parts.push(report.loop);
  for (const w of report.warnings) parts.push(w);
  return parts.join("\n");
}

async function convert(direction) {
  if (!state.kind) return;
  clearError();
  const options = {
    quality: Number(ui.quality.value),
    rate: Number(ui.rate.value),
    channels: Number(ui.channels.value),
    loopAlign: ui.loop.value,
  };
  setBusy(true, direction === "encode" ? "Encoding…" : "Decoding…");
  progress(0);
  const started = performance.now();
  try {
    let reply;
    if (state.kind === "float") {
      const { samples, sampleRate, channels } = state.float;
      // The samples go to the worker and come back (transferred: one copy of them at a time).
      const decoded = state.float;
      reply = await call({ op: "encodeFloat", samples, sampleRate, channels, options, look: 2000 },
                         [samples.buffer], progress, (back) => { decoded.samples = back; });
    } else {
      reply = await call({ op: direction, bytes: state.file, options, look: 2000 }, [], progress);
    }
    const seconds = ((performance.now() - started) / 1000).toFixed(2);
    state.result = new Blob([reply.blob], { type: "audio/wav" });
    state.resultAdpcm = direction === "encode";
    ui.download.href = replaceUrl("resultUrl", state.result);
    ui.download.download = outputName(direction);
    ui.download.textContent = `Download ${ui.download.download}`;
    ui.download.hidden = false;
    ui.resultInfo.textContent = describeReport(reply.report, state.result);
    drawWave(ui.resultWave, reply.peaks, reply.look.loops);
    ui.resultAudio.removeAttribute("src");
    replaceUrl("resultPlayUrl", null);
    ui.playResult.disabled = false;
    progress(1);
    setBusy(false, `Done in ${seconds} s: ${ui.download.download}, ${state.result.size} bytes.`);
    document.body.dataset.state = "done";
  } catch (e) {
    setBusy(false, "");
    showError(`${state.file.name}: ${e.message}`);
  }
}

// ---- Wave banks ---------------------------------------------------------------------------

function entryName(entry, index) {
  return entry.name || `entry ${index}`;
}

function bankBaseName() {
  const name = state.file.name;
  const dot = name.lastIndexOf(".");
  return dot > 0 ? name.slice(0, dot) : name;
}

async function openBank(file) {
  const reply = await call({ op: "bankList", bytes: file });
  state.bank = file;
  showBank(reply.report);
}

function showBank(report) {
  state.bankEntries = report.entries;
  ui.bankInfo.textContent =
      `${state.file.name}: version ${report.version}${report.compact ? ", compact" : ""}` +
      `${report.streaming ? ", streaming" : ""}${report.name ? `, "${report.name}"` : ""}, ` +
      `${report.entries.length} entries` +
      report.warnings.map((w) => `\n${w}`).join("");
  ui.bankRows.replaceChildren();
  report.entries.forEach((entry, index) => {
    const row = ui.bankRows.insertRow();
    const cells = [index, entry.name || "—", entry.codec, `${entry.sampleRate} Hz`, entry.channels,
                   `${entry.durationSeconds.toFixed(2)} s`,
                   entry.looped ? `${entry.loopStart}..${entry.loopEnd}` : "none"];
    for (const text of cells) row.insertCell().textContent = String(text);
    const actions = row.insertCell();
    const play = document.createElement("button");
    play.type = "button";
    play.textContent = "Play";
    play.setAttribute("aria-label", `Play ${entryName(entry, index)}`);
    play.disabled = entry.codec === "WMA";
    play.addEventListener("click", () => playEntry(index));
    const extract = document.createElement("button");
    extract.type = "button";
    extract.textContent = "Extract";
    extract.setAttribute("aria-label", `Extract ${entryName(entry, index)} as a WAVE file`);
    extract.disabled = entry.codec === "WMA";
    extract.addEventListener("click", () => extractEntries([index]));
    const replace = document.createElement("input");
    replace.type = "file";
    replace.accept = "audio/*,.wav";
    replace.dataset.entry = String(index);
    replace.setAttribute("aria-label", `Replace ${entryName(entry, index)} with an audio file`);
    replace.addEventListener("change", () => {
      if (replace.files.length) replaceEntry(index, replace.files[0]);
    });
    actions.append(play, extract, replace);
    row.addEventListener("dragover", (e) => {
      e.preventDefault();
      row.classList.add("over");
    });
    row.addEventListener("dragleave", () => row.classList.remove("over"));
    row.addEventListener("drop", (e) => {
      e.preventDefault();
      e.stopPropagation();
      row.classList.remove("over");
      if (e.dataTransfer.files.length) replaceEntry(index, e.dataTransfer.files[0]);
    });
  });
  ui.bankSection.hidden = false;
}

// The bank as it is now; the worker reads it a piece at a time.
function bankBytes() {
  return state.bank;
}

async function playEntry(index) {
  clearError();
  setBusy(true, `Decoding entry ${index}…`);
  try {
    const reply = await call({ op: "bankExtract", bytes: bankBytes(), index,
                              options: { decode: true } });
    ui.bankAudio.src = replaceUrl("bankPlayUrl", new Blob([reply.blob], { type: "audio/wav" }));
    setBusy(false, `Playing entry ${index}.`);
    await ui.bankAudio.play().catch(() => {});
  } catch (e) {
    setBusy(false, "");
    showError(`${state.file.name}: entry ${index}: ${e.message}`);
  }
}

function save(blob, name) {
  const a = document.createElement("a");
  a.href = replaceUrl("entryUrl", blob);
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
}

async function extractEntries(indices) {
  clearError();
  setBusy(true, "Extracting…");
  try {
    for (const [n, index] of indices.entries()) {
      const entry = state.bankEntries[index];
      if (entry.codec === "WMA") continue;
      const reply = await call({ op: "bankExtract", bytes: bankBytes(), index });
      const name = `${bankBaseName()}.${String(index).padStart(3, "0")}` +
                   `${entry.name ? "." + entry.name.replace(/[^\w.-]+/g, "_") : ""}.wav`;
      save(new Blob([reply.blob], { type: "audio/wav" }), name);
      progress((n + 1) / indices.length);
    }
    setBusy(false, `Extracted ${indices.length === 1 ? "1 entry" : indices.length + " entries"}.`);
  } catch (e) {
    setBusy(false, "");
    showError(`${state.file.name}: ${e.message}`);
  }
}

async function replaceEntry(index, file) {
  clearError();
  setBusy(true, `Replacing entry ${index} with ${file.name}…`);
  try {
    let source = file;
    if (!isWave(new Uint8Array(await file.slice(0, 16).arrayBuffer()))) {
      const decoded = await decodeWithBrowser(await file.arrayBuffer());
      source = floatWave(decoded.samples, decoded.sampleRate, decoded.channels);
    }
    const options = { quality: Number(ui.quality.value) };
    const reply = await call({ op: "bankReplace", bytes: bankBytes(), index, source, options },
                             source instanceof Uint8Array ? [source.buffer] : [], progress);
    state.bank = reply.blob;
    showBank(reply.report.bank);
    ui.bankDownload.href = replaceUrl("bankUrl", state.bank);
    ui.bankDownload.download = `${bankBaseName()}.new${state.file.name.slice(bankBaseName().length)}`;
    ui.bankDownload.textContent = `Download ${ui.bankDownload.download}`;
    ui.bankDownload.hidden = false;
    setBusy(false, `Entry ${index} replaced by ${file.name}: ${reply.report.source}` +
                   (reply.report.loop ? `; ${reply.report.loop}` : ""));
    document.body.dataset.state = "done";
  } catch (e) {
    setBusy(false, "");
    showError(`${file.name}: ${e.message}`);
  }
}

// ---- Playback: prepared when asked for, so that a decoded copy exists only then ----------

async function play(audio, urlKey, prepare) {
  clearError();
  try {
    if (!audio.getAttribute("src")) {
      setBusy(true, "Preparing playback…");
      audio.src = replaceUrl(urlKey, await prepare());
      setBusy(false, "Playing.");
    }
    await audio.play();
  } catch (e) {
    setBusy(false, "");
    showError(`${state.file.name}: ${e.message}`);
  }
}

ui.playInput.addEventListener("click", () => play(ui.inputAudio, "inputPlayUrl", async () => {
  if (state.kind === "wave" && kAdpcmTags.has(state.info.formatTag)) {
    const reply = await call({ op: "decode", bytes: state.file });
    return new Blob([reply.blob], { type: "audio/wav" });
  }
  return state.file;  // the browser plays it from the file itself
}));
ui.playResult.addEventListener("click", () => play(ui.resultAudio, "resultPlayUrl", async () => {
  if (!state.resultAdpcm) return state.result;
  const reply = await call({ op: "decode", bytes: state.result });
  return new Blob([reply.blob], { type: "audio/wav" });
}));

ui.extractAll.addEventListener("click",
                               () => extractEntries(state.bankEntries.map((_, i) => i)));

// ---- Wiring -------------------------------------------------------------------------------

ui.inputWave.dataset.label = "Waveform of the input";
ui.resultWave.dataset.label = "Waveform of the result";
ui.file.addEventListener("change", () => {
  if (ui.file.files.length) openFile(ui.file.files[0]);
});
ui.encode.addEventListener("click", () => convert("encode"));
ui.decode.addEventListener("click", () => convert("decode"));
for (const type of ["dragenter", "dragover"]) {
  ui.drop.addEventListener(type, (e) => {
    e.preventDefault();
    ui.drop.classList.add("over");
  });
}
for (const type of ["dragleave", "drop"]) {
  ui.drop.addEventListener(type, () => ui.drop.classList.remove("over"));
}
ui.drop.addEventListener("drop", (e) => {
  e.preventDefault();
  if (e.dataTransfer.files.length) openFile(e.dataTransfer.files[0]);
});
// The module is loaded with the page, so that a file chosen starts at once.
setBusy(true, "Loading…");
call({ op: "load" }).then(() => setBusy(false, "Choose a file to begin."),
                          (e) => { setBusy(false, ""); showError(e.message); });
