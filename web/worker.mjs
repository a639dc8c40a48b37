// SPDX-License-Identifier: MIT
// The page's worker: runs imabox (imabox.mjs) off the page's thread. Messages in:
//   { id, op: "load" | "encode" | "decode" | "info" | "peaks" | "encodeFloat" | "bankList" |
//     "bankExtract" | "bankReplace", bytes, options, ... }
// `bytes` may be a File or Blob, read a piece at a time. With `look: columns`, a conversion also
// sends the waveform and info of its result. Out: { id, progress } while working, then
// { id, ok: true, blob, report, peaks, look } or { id, ok: false, error }. The result goes to the
// page as a Blob, made a piece at a time (its bytes held by the browser, not by the worker).
// `samples` (encodeFloat) are transferred here and back in the reply, { samples, ... }.
import { createImabox } from "./imabox.mjs";

let imabox = null;

// One instance, loaded once even when a message arrives while it loads; loaded again after an
// abort or a failed load.
async function instance() {
  const im = imabox && (await imabox.catch(() => null));
  if (im && !im.broken) return im;
  imabox = createImabox();
  return imabox;
}

// Float samples come transferred, not copied, and go back to the page the same way, whether the
// call worked or not: one copy of them at a time.
function giveBack(message, reply) {
  if (!(message.samples instanceof Float32Array)) return [reply];
  reply.samples = message.samples;
  return [reply, [message.samples.buffer]];
}

function run(im, message) {
  const { id, op, options = {} } = message;
  let lastPost = 0;
  const onProgress = (done, total) => {
    const now = Date.now();
    if (now - lastPost > 100 || done >= total) {
      lastPost = now;
      postMessage({ id, progress: total > 0 ? done / total : 0 });
    }
  };
  const out = { ...options, output: "blob" };  // results as Blobs, made a piece at a time
  switch (op) {
    case "load":  // the module loaded with the page, before any file
      return {};
    case "encode":
      return im.encode(message.bytes, { ...out, onProgress });
    case "decode":
      return im.decode(message.bytes, { onProgress, output: "blob" });
    case "encodeFloat":
      return im.encodeFloat(message.samples, message.sampleRate, message.channels,
                            { ...out, onProgress });
    case "info":
      return { report: im.info(message.bytes) };
    case "peaks":
      return { peaks: im.peaks(message.bytes, message.columns), report: im.info(message.bytes) };
    case "bankList":
      if (!im.bank) throw new Error("this build has no wave banks");
      return im.bank.list(message.bytes);
    case "bankExtract":
      return im.bank.extract(message.bytes, message.index, out);
    case "bankReplace":
      return im.bank.replace(message.bytes, message.index, message.source, out);
    default:
      throw new Error(`unknown operation ${op}`);
  }
}

onmessage = async (event) => {
  const message = event.data;
  try {
    const im = await instance();
    const result = run(im, message);
    const reply = { id: message.id, ok: true, report: result.report };
    // The result's waveform and loops, read back from the result's Blob a piece at a time.
    if (message.look && result.blob) {
      reply.peaks = im.peaks(result.blob, message.look);
      reply.look = im.info(result.blob);
    }
    if (result.blob) reply.blob = result.blob;
    if (result.peaks) reply.peaks = result.peaks;
    postMessage(...giveBack(message, reply));
  } catch (e) {
    const error = e && e.message ? e.message : String(e);
    postMessage(...giveBack(message, { id: message.id, ok: false, error }));
  }
};
