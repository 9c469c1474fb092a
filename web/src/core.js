// core.js - the WebAssembly detector and its loader; no DOM, no Node: the page, workers, the
// AudioWorklet processor and Node all use this file.
//
// rsid.wasm is a standalone module (web/src/binding.cpp over the engine's detection core). Its
// only imports are two notices that need no work here.
import { Resampler, checkRate, checkSamples } from './resampler.js';

export const DETECTOR_RATE = 6000; // samples/s the detector works at

const imports = {
  env: { emscripten_notify_memory_growth() {} }, // views are made afresh after every call
  wasi_snapshot_preview1: {
    proc_exit(code) {
      throw new Error(`rsid: the WebAssembly module stopped (status ${code})`);
    },
  },
};

let default_bytes; // Promise<ArrayBuffer> of the packaged rsid.wasm
let default_instance; // Promise<RsidWasm>

// The bytes of the packaged rsid.wasm (beside this file), fetched once: from a web server with
// fetch, from the file system under Node.
export function wasmBytes() {
  if (!default_bytes) {
    const url = new URL('./rsid.wasm', import.meta.url);
    default_bytes =
      url.protocol === 'file:'
        ? import('node:fs/promises').then((fs) => fs.readFile(url)).then((b) =>
            b.buffer.slice(b.byteOffset, b.byteOffset + b.byteLength))
        : fetch(url).then((r) => {
            if (!r.ok) throw new Error(`rsid: ${url}: HTTP ${r.status}`);
            return r.arrayBuffer();
          });
  }
  return default_bytes;
}

// A running module. source: a WebAssembly.Module, the module's bytes, a URL to fetch, or nothing
// for the packaged one (shared by every caller that gives nothing).
export async function instantiate(source) {
  if (source === undefined) {
    default_instance ??= instantiate(wasmBytes());
    return default_instance;
  }
  source = await source;
  // (An AudioWorklet has neither URL nor fetch; it is always given bytes.)
  if (typeof source === 'string' || (typeof URL === 'function' && source instanceof URL)) {
    const r = await fetch(source);
    if (!r.ok) throw new Error(`rsid: ${source}: HTTP ${r.status}`);
    source = await r.arrayBuffer();
  }
  const result = await WebAssembly.instantiate(source, imports);
  const instance = result.instance ?? result; // bytes give {module, instance}; a Module, instance
  return new RsidWasm(instance);
}

// The exports of one instance, with typed views that follow the memory when it grows.
export class RsidWasm {
  constructor(instance) {
    this.exports = instance.exports;
    this.exports._initialize();
    this.capacity = this.exports.rsid_web_capacity();
    this.fields = this.exports.rsid_web_fields();
  }
  f32(ptr, count) {
    return new Float32Array(this.exports.memory.buffer, ptr, count);
  }
  f64(ptr, count) {
    return new Float64Array(this.exports.memory.buffer, ptr, count);
  }
  i32(ptr, count) {
    return new Int32Array(this.exports.memory.buffer, ptr, count);
  }
}

const registry =
  typeof FinalizationRegistry === 'function'
    ? new FinalizationRegistry(({ wasm, handle }) => wasm.exports.rsid_web_destroy(handle))
    : null;

// One detection row of the binding as the object every host reports (the tool's JSON fields).
function detection(row, rate) {
  return {
    time_s: row[0],
    sample: row[1],
    rate,
    freq_hz: row[2],
    offset_hz: 0, // a band scan's offset from its centre; the browser runs detectors only
    snr_db: row[3],
    level_dbfs: row[4],
    code: row[5],
    channel: 0, // mono: a detector hears one stream
    start: row[6], // detector samples (6000/s) from the start of the stream, fractional
    bin: row[7],
    distance: row[8],
  };
}

// %g of C's printf for the rates the band check names (below 10^6: no exponent).
function g(x) {
  return String(Number(x.toPrecision(6)));
}

// The rsid tool's check of an input rate against the detector's band, in its words
// (io/input/reach.cpp, reach_at): a rate that carries no identifier below half of it is a
// RangeError; one that carries only some gives a warning, passed to warn.
export function checkBand(wasm, rate, name, warn) {
  const [lowest, top, above, highestHeard] = [0, 1, 2, 3].map((i) => wasm.exports.rsid_web_band(i));
  if (rate >= 2 * top) return;
  // The highest tone 0 whose tone 15 fits, and that the detector looks at [Hz].
  const highest = Math.min(highestHeard, rate / 2 - above);
  const why = `the detector's band reaches ${top.toFixed(0)} Hz, which needs ` +
    `${Math.ceil(2 * top)}/s or more`;
  if (highest <= lowest)
    throw new RangeError(`rsid: ${name}: ${g(rate)}/s is too low for any identifier (${why})`);
  warn(`rsid: warning: ${name}: at ${g(rate)}/s only identifiers with tone 0 below ` +
    `${highest.toFixed(0)} Hz can be found (${why})`);
}

// The detector's rule from the options codes and exact, as the tool's --codes and --exact:
// [exact, all, codes] for rsid_web_rule. codes: a code (0 to 4095), an array (or any iterable)
// of codes, or 'all', looked for with soft decisions; exact: the library's rule, for 131 only.
export function checkRule(codes, exact) {
  if (typeof exact !== 'boolean')
    throw new TypeError(`rsid: exact must be true or false, not ${typeof exact}`);
  if (codes === undefined || codes === null) return [exact, false, []];
  let all = false;
  let list = [];
  if (codes === 'all') all = true;
  else if (typeof codes === 'string')
    throw new RangeError(`rsid: codes must be 'all', a code or an array of codes, not '${codes}'`);
  else if (typeof codes === 'number') list = [codes];
  else if (typeof codes?.[Symbol.iterator] === 'function') list = [...new Set(codes)];
  else throw new TypeError(`rsid: codes must be 'all', a code or an array of codes, not ${typeof codes}`);
  for (const c of list) {
    if (typeof c !== 'number' || !Number.isInteger(c))
      throw new TypeError(`rsid: codes are whole numbers from 0 to 4095, not ${String(c)}`);
    if (c < 0 || c > 4095) throw new RangeError(`rsid: codes run from 0 to 4095, not ${c}`);
  }
  if (!all && list.length === 0)
    throw new RangeError("rsid: codes is empty: give 'all', a code or an array of codes");
  if (exact && (all || list.length !== 1 || list[0] !== 131))
    throw new RangeError('rsid: exact looks for code 131 only: leave out codes');
  return exact ? [true, false, []] : [false, all, list];
}

// A streaming detector: audio in chunks of any size at the given rate on the +-1 scale, every
// identifier reported once with its start in the input's own samples and seconds.
export class Detector {
  // wasm: from instantiate(); rate: input samples/s, 1000 to 1536000 (TypeError if not a
  // number, RangeError outside, and below 1519/s, which carries no identifier). Other rates
  // than 6000 go through the package's anti-alias resampler (resampler.js) first. A rate below
  // 4794/s carries only part of the band: onWarning (default console.warn) is told so, and
  // name is what the message calls the input. codes and exact choose the rule (checkRule); by
  // default, the tool's default rule, for code 131; Detection.code says which code was heard.
  constructor(wasm, {
    rate = DETECTOR_RATE, onWarning = console.warn, name = 'input', codes, exact = false,
  } = {}) {
    if (!(wasm instanceof RsidWasm)) throw new TypeError('rsid: Detector needs instantiate()');
    checkRate(rate);
    if (typeof onWarning !== 'function')
      throw new TypeError('rsid: onWarning must be a function');
    checkBand(wasm, rate, name, onWarning);
    const [strict, all, list] = checkRule(codes, exact);
    // Everything that can throw comes before the module's memory is taken.
    this.resampler = rate === DETECTOR_RATE ? null : new Resampler(rate, DETECTOR_RATE);
    const handle = wasm.exports.rsid_web_create(rate);
    if (!handle) throw new RangeError(`rsid: the module refused rate ${rate}`);
    wasm.f32(wasm.exports.rsid_web_input(handle), list.length).set(list);
    if (wasm.exports.rsid_web_rule(handle, strict ? 1 : 0, all ? 1 : 0, list.length) !== 0) {
      wasm.exports.rsid_web_destroy(handle);
      throw new RangeError(`rsid: the module refused codes ${list.join(',')}`);
    }
    this.wasm = wasm;
    this.handle = handle;
    this.rate = rate;
    this.taken = 0;
    // Called with each chunk of audio after conversion to 6000/s (for displays); optional.
    this.onconverted = null;
    this.token = {};
    registry?.register(this, { wasm, handle }, this.token);
  }

  // The packaged module's detector.
  static async create(options) {
    return new Detector(await instantiate(), options);
  }

  get samples() {
    return this.taken; // input samples taken since the stream began
  }

  // Takes samples (Float32Array or any array of numbers) and returns the identifiers that ended
  // in them. Non-finite samples count as silence.
  feed(samples) {
    this.check();
    checkSamples(samples);
    this.taken += samples.length;
    const converted = this.resampler ? this.resampler.process(samples) : samples;
    return this.push(converted);
  }

  // Ends the stream (an identifier in its last samples is still reported); the detector then
  // starts a new stream at sample 0.
  finish() {
    this.check();
    const found = this.resampler ? this.push(this.resampler.flush()) : [];
    found.push(...this.collect(this.wasm.exports.rsid_web_finish(this.handle)));
    this.taken = 0;
    return found;
  }

  // Frees the module's memory now, rather than when the detector is collected.
  dispose() {
    if (!this.handle) return;
    registry?.unregister(this.token);
    this.wasm.exports.rsid_web_destroy(this.handle);
    this.handle = 0;
  }

  check() {
    if (!this.handle) throw new Error('rsid: detector used after dispose()');
  }

  push(samples) {
    if (this.onconverted && samples.length > 0) this.onconverted(samples);
    const { exports, capacity } = this.wasm;
    let held = 0;
    for (let i = 0; i < samples.length; i += capacity) {
      const n = Math.min(capacity, samples.length - i);
      const chunk = samples.subarray ? samples.subarray(i, i + n) : samples.slice(i, i + n);
      this.wasm.f32(exports.rsid_web_input(this.handle), n).set(chunk);
      held = exports.rsid_web_feed(this.handle, n);
    }
    return this.collect(held);
  }

  // Reads and clears the count detections the module holds.
  collect(count) {
    const { exports, fields } = this.wasm;
    if (count === 0) return [];
    const rows = this.wasm.f64(exports.rsid_web_rows(this.handle), count * fields);
    const found = [];
    for (let i = 0; i < count; ++i)
      found.push(detection(rows.subarray(i * fields, (i + 1) * fields), this.rate));
    exports.rsid_web_clear(this.handle);
    return found;
  }
}
