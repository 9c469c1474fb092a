// Type declarations of the rsid package (written by hand; the code is plain ES modules).

/** One identifier heard: the fields of the rsid tool's JSON records. */
export interface Detection {
  /** Where the identifier starts in the input [s] (sample / rate). */
  time_s: number;
  /** The same instant as a sample index at the input's rate. */
  sample: number;
  /** The input's rate that `sample` counts in [samples/s]. */
  rate: number;
  /** Frequency of tone 0, interpolated between DFT bins [Hz]. */
  freq_hz: number;
  /** Tone 0 against a band's centre [Hz]; always 0 here, where every detector is narrowband. */
  offset_hz: number;
  /** The tones' power against the noise power in 3 kHz [dB]. */
  snr_db: number;
  /** The tones' peak amplitude against full scale (a full-scale sine is 0 dBFS) [dBFS]. */
  level_dbfs: number;
  /** Identifier code heard (131). */
  code: number;
  /** Channel heard, counted from 1; 0 for a mono stream, which every detector here is. */
  channel: number;
  /** Start in detector samples (6000/s) from the start of the stream, fractional. */
  start: number;
  /** DFT bin of tone 0 at 6000 samples/s. */
  bin: number;
  /** Tones of the best match that differ from the codeword: 0 or 1. */
  distance: number;
}

/** The rate the detector works at [samples/s]. */
export const DETECTOR_RATE: 6000;

/** A running instance of rsid.wasm. */
export class RsidWasm {
  private constructor();
}

/**
 * Instantiates the module: from a compiled module, its bytes, or a URL; without an argument,
 * the packaged rsid.wasm (one instance shared by every such call).
 */
export function instantiate(
  source?: WebAssembly.Module | BufferSource | URL | string | Promise<BufferSource>,
): Promise<RsidWasm>;

/** The bytes of the packaged rsid.wasm, fetched once (for passing to a worker). */
export function wasmBytes(): Promise<ArrayBuffer>;

export interface DetectorOptions {
  /**
   * Input samples/s, 1000 to 1536000 (default 6000; TypeError if not a number, RangeError
   * outside). Other rates go through the package's resampler.
   */
  rate?: number;
}

/** A streaming detector: any chunk sizes give the same detections. */
export class Detector {
  constructor(wasm: RsidWasm, options?: DetectorOptions);
  /** A detector on the packaged module. */
  static create(options?: DetectorOptions): Promise<Detector>;
  /** Input samples/s that positions count in. */
  readonly rate: number;
  /** Input samples taken since the stream began. */
  readonly samples: number;
  /** Called with each chunk after conversion to 6000/s (for displays). */
  onconverted: ((samples: Float32Array) => void) | null;
  /** Mono samples on the +-1 scale; returns the identifiers that ended in them. */
  feed(samples: Float32Array | ArrayLike<number>): Detection[];
  /** Ends the stream, reporting an identifier still open; the next feed starts at sample 0. */
  finish(): Detection[];
  /** Frees the detector's memory in the module now. */
  dispose(): void;
}

/** Rate conversion with a windowed-sinc anti-alias filter; output n is at input time n / outRate. */
export class Resampler {
  /** Rates 1000 to 1536000 samples/s (RangeError outside). */
  constructor(inRate: number, outRate?: number);
  process(samples: Float32Array | ArrayLike<number>): Float32Array;
  /** The output up to the last input sample's time; then a new stream starts. */
  flush(): Float32Array;
  reset(): void;
}

/**
 * Every identifier in a whole buffer of mono audio at `rate` samples/s (required, 1000 to
 * 1536000) on the +-1 scale. Samples that are not a typed array or an Array are a TypeError.
 */
export function detect(samples: Float32Array, rate: number): Promise<Detection[]>;

/** Decodes an audio file with the browser's decoder straight to 6000/s, channels mixed to mono. */
export function decodeAudio(
  data: ArrayBuffer | ArrayBufferView | Blob,
): Promise<{ samples: Float32Array; rate: 6000; duration: number }>;

/** Every identifier in an audio file in any format the browser decodes. */
export function detectFile(data: ArrayBuffer | ArrayBufferView | Blob): Promise<Detection[]>;

export interface RsidNodeEventMap extends AudioWorkletNodeEventMap {
  detection: CustomEvent<Detection>;
  samples: CustomEvent<Float32Array>;
  error: CustomEvent<string>;
}

export interface RsidNodeOptions {
  /** Also dispatch 'samples' events with the input converted to 6000/s. */
  samples?: boolean;
}

/**
 * An AudioWorkletNode that runs the detector on its input at the context's rate and dispatches
 * a 'detection' event for each identifier. No outputs.
 */
export class RsidNode extends AudioWorkletNode {
  /** Registers the processor in the context (once) and loads the module. */
  static create(context: BaseAudioContext, options?: RsidNodeOptions): Promise<RsidNode>;
  constructor(context: BaseAudioContext, options: RsidNodeOptions & { wasm: ArrayBuffer });
  /** Ends the stream: an identifier still open is reported; positions start again at 0. */
  finish(): void;
  addEventListener<K extends keyof RsidNodeEventMap>(
    type: K,
    listener: (this: RsidNode, ev: RsidNodeEventMap[K]) => unknown,
    options?: boolean | AddEventListenerOptions,
  ): void;
  addEventListener(
    type: string,
    listener: EventListenerOrEventListenerObject,
    options?: boolean | AddEventListenerOptions,
  ): void;
}
