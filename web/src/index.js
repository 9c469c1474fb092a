// index.js - the package's entry: detect() for a buffer, detectFile() for a file, the
// streaming Detector, and RsidNode for live audio in the Web Audio graph.
//
// Rate conversion never drops samples: buffers, WAV and raw files, and live audio at rates
// other than 6000/s go through the package's windowed-sinc resampler; other formats are decoded
// by the browser straight to 6000/s (decodeAudioData resamples to its context's rate with its
// own anti-alias filter).
import { DETECTOR_RATE, Detector, checkRule, wasmBytes } from './core.js';
import { decodePcm, isWav, parseWav } from './pcm.js';
import { checkRate, checkSamples } from './resampler.js';

export { DETECTOR_RATE, Detector, RsidWasm, instantiate, wasmBytes } from './core.js';
export { Resampler } from './resampler.js';

// Every identifier in a whole buffer of mono audio at rate samples/s on the +-1 scale. The rate
// is required: samples at an assumed rate would be found at the wrong times and frequencies.
// options: onWarning and name, as for Detector.
export async function detect(samples, rate, options = {}) {
  checkSamples(samples);
  if (rate === undefined)
    throw new TypeError('rsid: detect(samples, rate) needs the samples\' rate');
  checkRate(rate);
  const detector = await Detector.create({ ...options, rate });
  try {
    const found = detector.feed(samples);
    found.push(...detector.finish());
    return found;
  } finally {
    detector.dispose();
  }
}

// The bytes of an ArrayBuffer, typed array or Blob (a copy only for a Blob).
async function bytesOf(data) {
  if (typeof Blob === 'function' && data instanceof Blob) return new Uint8Array(await data.arrayBuffer());
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  throw new TypeError('rsid: a file must be an ArrayBuffer, a typed array or a Blob');
}

// Decodes an encoded file (ArrayBuffer, typed array or Blob) with the browser's decoder and
// resampler, straight to the detector's rate, and mixes its channels to mono.
export async function decodeAudio(data) {
  if (typeof OfflineAudioContext !== 'function')
    throw new Error('rsid: decodeAudio needs the Web Audio API (a browser)');
  if (typeof Blob === 'function' && data instanceof Blob) data = await data.arrayBuffer();
  else if (ArrayBuffer.isView(data))
    data = data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength);
  else data = data.slice(0); // decodeAudioData detaches what it is given
  const context = new OfflineAudioContext(1, 1, DETECTOR_RATE);
  const buffer = await context.decodeAudioData(data);
  const samples = new Float32Array(buffer.length);
  for (let c = 0; c < buffer.numberOfChannels; ++c) {
    const channel = buffer.getChannelData(c);
    for (let i = 0; i < samples.length; ++i) samples[i] += channel[i] / buffer.numberOfChannels;
  }
  return { samples, rate: DETECTOR_RATE, duration: buffer.duration };
}

// Every identifier in a file: WAV (decoded here, anywhere), headerless samples described by
// options.raw ({ rate, encoding, bits, channels, endian }, decoded here), or any other format
// (WAV in other encodings too) the browser decodes (Web Audio only). Channels are averaged, as the rsid tool does by default.
// options.onWarning and options.name as for Detector (name defaults to a File's name).
export async function detectFile(data, options = {}) {
  const { raw, ...rest } = options;
  const bytes = await bytesOf(data);
  const name = rest.name ?? (typeof data.name === 'string' && data.name ? data.name : 'input');
  const warn = rest.onWarning ?? console.warn;
  const webAudio = typeof OfflineAudioContext === 'function';
  let samples;
  let rate;
  let wav = null;
  if (raw === undefined && isWav(bytes)) {
    try {
      wav = parseWav(bytes);
    } catch (e) {
      if (!(e.unsupported && webAudio)) throw e; // else an encoding for the browser's decoder
    }
  }
  if (raw !== undefined) {
    ({ samples, rate } = decodePcm(bytes, raw));
  } else if (wav) {
    if (wav.warning) warn(`rsid: warning: ${name}: ${wav.warning}`);
    ({ samples, rate } = decodePcm(wav.data, wav.format));
  } else if (webAudio) {
    ({ samples, rate } = await decodeAudio(bytes));
  } else {
    throw new Error(`rsid: ${name}: not a WAV file; without the Web Audio API detectFile reads ` +
      'WAV and raw samples ({ raw: { rate, encoding, bits, channels } }) only. Other formats: ' +
      'decode them in a browser (detectFile or decodeAudio there), or to WAV first');
  }
  return detect(samples, rate, { ...rest, name, onWarning: warn });
}

const registered = new WeakMap(); // context -> Promise of its addModule

const AudioWorkletNodeBase =
  globalThis.AudioWorkletNode ??
  class {
    constructor() {
      throw new Error('rsid: RsidNode needs the Web Audio API (a browser)');
    }
  };

// A Web Audio node that runs a detector on whatever is connected to its input, at the
// context's rate, and dispatches a 'detection' event (CustomEvent, detail: the detection) for
// each identifier. Positions count from the first sample the node received. With
// { samples: true } it also dispatches 'samples' events whose detail is the input converted to
// 6000/s (a Float32Array), for displays. It has no output: nothing needs to be connected to it.
export class RsidNode extends AudioWorkletNodeBase {
  // Loads the processor into the context (once) and the module, then makes the node.
  static async create(context, options = {}) {
    if (!registered.has(context))
      registered.set(context, context.audioWorklet.addModule(new URL('./worklet.js', import.meta.url)));
    const [wasm] = await Promise.all([wasmBytes(), registered.get(context)]);
    return new RsidNode(context, { ...options, wasm });
  }

  // options.wasm: the module's bytes (an ArrayBuffer); create() supplies the packaged ones.
  // options.codes and options.exact choose the detector's rule, as for Detector.
  constructor(context, { wasm, samples = false, codes, exact = false } = {}) {
    const [strict, all, list] = checkRule(codes, exact); // here, where the caller sees errors
    super(context, 'rsid-detector', {
      numberOfInputs: 1,
      numberOfOutputs: 0,
      channelCount: 1, // the graph mixes the input down to mono (speakers rules)
      channelCountMode: 'explicit',
      channelInterpretation: 'speakers',
      processorOptions: { wasm, samples, codes: all ? 'all' : list.length ? list : undefined, exact: strict },
    });
    this.port.onmessage = ({ data }) => {
      if (data.type === 'detection')
        this.dispatchEvent(new CustomEvent('detection', { detail: data.detection }));
      else if (data.type === 'samples')
        this.dispatchEvent(new CustomEvent('samples', { detail: data.samples }));
      else if (data.type === 'error')
        this.dispatchEvent(new CustomEvent('error', { detail: data.message }));
    };
  }

  // Ends the stream: an identifier still open is reported; positions start again at 0.
  finish() {
    this.port.postMessage({ type: 'finish' });
  }
}
