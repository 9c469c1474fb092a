// pcm.js - WAV files and headerless PCM decoded by the package itself, so that detectFile works
// where there is no Web Audio API (Node, workers) and gives the rsid tool's samples everywhere.
//
// The rules are the tool's (io/input/stream_header.cpp, raw_input.cpp): RIFF or RF64 WAVE
// with PCM (8-bit unsigned, 16/24/32-bit signed), 32/64-bit float, A-law or mu-law, also inside
// WAVE_FORMAT_EXTENSIBLE; the container width (block align / channels) decides the layout; the
// channels are averaged to mono. Samples come out on the +-1 scale (integer full scale -> +-1).
//
// Hostile input: every offset is checked against the bytes there before it is read, a header
// chunk (fmt, ds64) is at most 4096 bytes, a data chunk longer than the file is an error unless
// its length is one a streaming writer leaves (then the data runs to the end), and a frame cut
// off at the end is dropped. Nothing is sized from a declared length, only from bytes present.
import { MAX_RATE, MIN_RATE } from './resampler.js';

const MAX_CHANNELS = 64; // as the tool
const MAX_HEADER_CHUNK = 4096; // bytes of a fmt or ds64 chunk

// The encodings of headerless input and the widths each takes (the tool's -e and -b).
const WIDTHS = {
  signed: [8, 16, 24, 32],
  unsigned: [8, 16],
  float: [32, 64],
  'mu-law': [8],
  'a-law': [8],
};

// G.711 mu-law to 16-bit linear: the byte is stored inverted; 0x84 is the encoder's bias.
function muLaw(b) {
  const u = ~b & 0xff;
  const t = (((u & 0x0f) << 3) + 0x84) << ((u & 0x70) >> 4);
  return u & 0x80 ? 0x84 - t : t - 0x84;
}

// G.711 A-law to 16-bit linear: even bits are stored inverted; the sign bit set means positive.
function aLaw(b) {
  const a = b ^ 0x55;
  const segment = (a & 0x70) >> 4;
  let t = (a & 0x0f) << 4;
  t = segment === 0 ? t + 8 : (t + 0x108) << (segment - 1);
  return a & 0x80 ? t : -t;
}

// Checks a format ({ rate, encoding, bits, channels, endian }); returns it with defaults filled.
// what names the source in messages.
export function checkFormat(format, what) {
  if (typeof format !== 'object' || format === null)
    throw new TypeError(`rsid: ${what} needs { rate, encoding, bits, channels, endian }`);
  const { rate, encoding, channels = 1, endian = 'little' } = format;
  const bits = format.bits ?? (encoding === 'mu-law' || encoding === 'a-law' ? 8 : undefined);
  if (typeof rate !== 'number' || !(rate >= MIN_RATE && rate <= MAX_RATE))
    throw new RangeError(`rsid: ${what}: sample rate must lie in ${MIN_RATE} to ${MAX_RATE}, not ${rate}`);
  if (!Number.isInteger(channels) || channels < 1 || channels > MAX_CHANNELS)
    throw new RangeError(`rsid: ${what}: channel count must lie in 1 to ${MAX_CHANNELS}, not ${channels}`);
  if (!Object.hasOwn(WIDTHS, encoding))
    throw new RangeError(`rsid: ${what}: encoding must be one of ${Object.keys(WIDTHS).join(', ')}, ` +
      `not ${encoding}`);
  if (!WIDTHS[encoding].includes(bits))
    throw new RangeError(`rsid: ${what}: ${encoding} ${bits}-bit is not supported`);
  if (endian !== 'little' && endian !== 'big')
    throw new RangeError(`rsid: ${what}: endian must be little or big, not ${endian}`);
  return { rate, encoding, bits, channels, endian };
}

// A reader of one sample on the +-1 scale at a byte offset of view.
function sampleReader(view, { encoding, bits, endian }) {
  const little = endian === 'little';
  switch (`${encoding} ${bits}`) {
    case 'signed 8': return (i) => view.getInt8(i) / 128;
    case 'unsigned 8': return (i) => (view.getUint8(i) - 128) / 128;
    case 'signed 16': return (i) => view.getInt16(i, little) / 32768;
    case 'unsigned 16': return (i) => (view.getUint16(i, little) - 32768) / 32768;
    case 'signed 24': return (i) => {
      const [hi, lo] = little ? [view.getInt8(i + 2), view.getUint16(i, true)]
        : [view.getInt8(i), view.getUint16(i + 1, false)];
      return (hi * 65536 + lo) / 8388608;
    };
    case 'signed 32': return (i) => view.getInt32(i, little) / 2147483648;
    case 'float 32': return (i) => view.getFloat32(i, little);
    case 'float 64': return (i) => view.getFloat64(i, little);
    case 'mu-law 8': return (i) => muLaw(view.getUint8(i)) / 32768;
    default: return (i) => aLaw(view.getUint8(i)) / 32768; // a-law 8 (checkFormat allows no more)
  }
}

// The whole frames of bytes (a Uint8Array) in format, channels averaged, as mono on the +-1
// scale. Non-finite values become silence and others are kept within +-32 (2^20 on the 16-bit
// scale), as the tool keeps them.
export function decodePcm(bytes, format) {
  const f = checkFormat(format, 'raw input');
  const step = f.bits / 8;
  const frames = Math.floor(bytes.length / (step * f.channels));
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const read = sampleReader(view, f);
  const samples = new Float32Array(frames);
  for (let n = 0, at = 0; n < frames; ++n) {
    let sum = 0;
    for (let c = 0; c < f.channels; ++c, at += step) {
      const v = read(at);
      sum += Number.isFinite(v) ? Math.min(32, Math.max(-32, v)) : 0;
    }
    samples[n] = sum / f.channels;
  }
  return { samples, rate: f.rate };
}

function tag(bytes, at) {
  return String.fromCharCode(bytes[at], bytes[at + 1], bytes[at + 2], bytes[at + 3]);
}

// Whether bytes start like a WAV file (RIFF or RF64 WAVE).
export function isWav(bytes) {
  return bytes.length >= 12 && ['RIFF', 'RF64'].includes(tag(bytes, 0)) && tag(bytes, 8) === 'WAVE';
}

// Lengths a writer leaves in a header it cannot finish (the tool's list): the data then runs
// to the end of the file.
const STREAMED = [0, 0xffffffff, 0x7ffff000, 0x80000000];

// The fmt chunk's format, or an error naming what is not supported.
function wavFormat(view, at, size) {
  if (size < 16) throw new Error(`rsid: malformed WAV: a fmt chunk of ${size} bytes`);
  let code = view.getUint16(at, true);
  const channels = view.getUint16(at + 2, true);
  const rate = view.getUint32(at + 4, true);
  const align = view.getUint16(at + 12, true);
  const valid = view.getUint16(at + 14, true);
  if (code === 0xfffe && size >= 40) code = view.getUint16(at + 24, true); // sub-format GUID
  if (channels === 0 || align === 0 || align % channels !== 0)
    throw new Error(`rsid: malformed WAV: ${channels} channels in frames of ${align} bytes`);
  const bits = (align / channels) * 8; // the container's width; fewer valid bits decode the same
  if (valid > bits) throw new Error(`rsid: malformed WAV: ${valid} bits in ${bits}-bit samples`);
  const encoding = { 1: bits === 8 ? 'unsigned' : 'signed', 3: 'float', 6: 'a-law', 7: 'mu-law' }[code];
  if (!encoding) {
    const error = new Error(`rsid: WAV encoding 0x${code.toString(16)} is not supported ` +
      '(PCM, float, A-law and mu-law are)');
    error.unsupported = true; // a browser's decoder may know it
    throw error;
  }
  return checkFormat({ rate, encoding, bits, channels }, 'WAV');
}

// A WAV file's format and where its data lies: { format, data, warning } with data a Uint8Array
// of the data chunk's bytes present and warning null or what the tool would warn of. Throws Error for anything malformed, truncated or unsupported.
export function parseWav(bytes) {
  if (!isWav(bytes)) throw new Error('rsid: not a WAV file (no RIFF/RF64 WAVE header)');
  const rf64 = tag(bytes, 0) === 'RF64';
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  let format = null;
  let ds64Data = null; // RF64: the data length, for a data chunk that says 0xFFFFFFFF
  for (let at = 12; ;) {
    if (at + 8 > bytes.length) throw new Error('rsid: truncated WAV: the header ends before the data');
    const id = tag(bytes, at);
    const size = view.getUint32(at + 4, true);
    at += 8;
    if (id === 'data') {
      if (!format) throw new Error('rsid: malformed WAV: data before its format');
      const rest = bytes.length - at;
      let declared = size;
      if (rf64 && size === 0xffffffff && ds64Data !== null)
        declared = ds64Data >= 2 ** 53 ? 0xffffffff : ds64Data; // all ones: unknown
      if (declared > rest && !STREAMED.includes(declared))
        throw new Error(`rsid: truncated WAV: the header says ${declared} data bytes, the file ` +
          `holds ${rest}`);
      const length = declared === 0 || declared > rest ? rest : declared;
      const warning = declared === 0 && rest > 0 ? `the header says 0 data bytes (an unfinished ` +
        `recording?); reading the ${rest} bytes that follow` : null;
      return { format, data: bytes.subarray(at, at + length), warning };
    }
    if (id === 'fmt ' || id === 'ds64') {
      if (size > MAX_HEADER_CHUNK) throw new Error(`rsid: malformed WAV: a ${id} chunk of ${size} bytes`);
      if (at + size > bytes.length) throw new Error('rsid: truncated WAV: the header ends before the data');
      if (id === 'fmt ') format = wavFormat(view, at, size);
      // 64-bit length in two halves; above 2^53 it exceeds any file anyway.
      else if (size >= 16) ds64Data = view.getUint32(at + 8, true) + view.getUint32(at + 12, true) * 2 ** 32;
    }
    at += size + (size & 1); // chunks are padded to an even length
  }
}
