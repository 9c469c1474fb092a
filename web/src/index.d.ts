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

// The declarations need no DOM library: where the program has one (lib "dom"), the browser's
// own types are used (a WebAssembly.Module, an AudioWorkletNode); without it, the minimal shapes
// below stand in for them.

/** The browser's type `Name` when the program has the DOM library, else `Fallback`. */
type Global<Name extends string, Fallback> = typeof globalThis extends Record<Name, { prototype: infer T }>
  ? T
  : Fallback;

/** A compiled WebAssembly module (`WebAssembly.Module` where the program knows it). */
export type WasmModule = typeof globalThis extends { WebAssembly: { Module: { prototype: infer M } } }
  ? M
  : object;

/** A running instance of rsid.wasm. */
export class RsidWasm {
  private constructor();
}

/**
 * Instantiates the module: from a compiled module, its bytes, or a URL; without an argument,
 * the packaged rsid.wasm (one instance shared by every such call).
 */
export function instantiate(
  source?: WasmModule | ArrayBuffer | ArrayBufferView | URL | string | Promise<ArrayBuffer | ArrayBufferView>,
): Promise<RsidWasm>;

/** The bytes of the packaged rsid.wasm, fetched once (for passing to a worker). */
export function wasmBytes(): Promise<ArrayBuffer>;

export interface DetectorOptions {
  /**
   * Input samples/s, 1000 to 1536000 (default 6000; TypeError if not a number, RangeError
   * outside, and below 1519, which carries no identifier). Other rates go through the package's
   * resampler.
   */
  rate?: number;
  /**
   * Told, once, when the rate carries only part of the detector's band (below 4794/s), in the
   * rsid tool's words. Default: console.warn.
   */
  onWarning?: (message: string) => void;
  /** What messages call the input (default 'input'). */
  name?: string;
  /**
   * As the tool's --codes: a code (0 to 4095), codes, or 'all', looked for with soft decisions;
   * Detection.code says which was heard. Default: the tool's default rule, for code 131.
   */
  codes?: number | Iterable<number> | 'all';
  /** As the tool's --exact: the library's own rule, for code 131 only (no codes beside it). */
  exact?: boolean;
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
export function detect(
  samples: Float32Array | ArrayLike<number>,
  rate: number,
  options?: Omit<DetectorOptions, 'rate'>,
): Promise<Detection[]>;

/** An audio file's bytes: an ArrayBuffer, a typed array, or a Blob (a File). */
export type FileData = ArrayBuffer | ArrayBufferView | Blob;

/** Headerless samples, described as for the rsid tool's `-t raw`. */
export interface RawFormat {
  /** Samples/s, 1000 to 1536000. */
  rate: number;
  encoding: 'signed' | 'unsigned' | 'float' | 'mu-law' | 'a-law';
  /** signed 8, 16, 24, 32; unsigned 8, 16; float 32, 64; mu-law and a-law 8 (the default). */
  bits?: number;
  /** Interleaved channels, 1 (the default) to 64; averaged to mono. */
  channels?: number;
  /** Byte order (default little). */
  endian?: 'little' | 'big';
}

export interface FileOptions extends Omit<DetectorOptions, 'rate'> {
  /** The file is headerless samples in this format. */
  raw?: RawFormat;
}

/** Decodes an audio file with the browser's decoder straight to 6000/s, channels mixed to mono. */
export function decodeAudio(data: FileData): Promise<{ samples: Float32Array; rate: 6000; duration: number }>;

/**
 * Every identifier in an audio file, channels averaged to mono: WAV (PCM, float, A-law, mu-law)
 * and raw samples anywhere, other formats where the browser decodes them (Web Audio).
 */
export function detectFile(data: FileData, options?: FileOptions): Promise<Detection[]>;

/** An event of RsidNode: the browser's CustomEvent where the program knows it. */
export type RsidEvent<T> = Omit<Global<'CustomEvent', { readonly type: string }>, 'detail'> & {
  readonly detail: T;
};

export interface RsidNodeEventMap {
  detection: RsidEvent<Detection>;
  samples: RsidEvent<Float32Array>;
  error: RsidEvent<string>;
}

/** What RsidNode needs of a context: a BaseAudioContext has it. */
export interface AudioContextLike {
  readonly sampleRate: number;
  readonly audioWorklet: { addModule(url: string | URL): Promise<void> };
}

export interface RsidNodeOptions {
  /** Also dispatch 'samples' events with the input converted to 6000/s. */
  samples?: boolean;
  /** As for Detector. */
  codes?: DetectorOptions['codes'];
  /** As for Detector. */
  exact?: boolean;
}

/** The node's base: the browser's AudioWorkletNode where the program knows it. */
type NodeBase = Global<
  'AudioWorkletNode',
  {
    connect(destination: object): unknown;
    disconnect(): void;
    addEventListener(type: string, listener: (event: never) => unknown, options?: boolean | object): void;
  }
>;

/**
 * An AudioWorkletNode that runs the detector on its input at the context's rate and dispatches
 * a 'detection' event for each identifier. No outputs.
 */
export type RsidNode = {
  /** Ends the stream: an identifier still open is reported; positions start again at 0. */
  finish(): void;
  addEventListener<K extends keyof RsidNodeEventMap>(
    type: K,
    listener: (this: RsidNode, event: RsidNodeEventMap[K]) => unknown,
    options?: boolean | object,
  ): void;
} & NodeBase; // first: the typed events before the base's string overload
export const RsidNode: {
  /** Registers the processor in the context (once) and loads the module. */
  create(context: AudioContextLike, options?: RsidNodeOptions): Promise<RsidNode>;
  new (context: AudioContextLike, options: RsidNodeOptions & { wasm: ArrayBuffer }): RsidNode;
  readonly prototype: RsidNode;
};
