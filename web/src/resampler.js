// resampler.js - rate conversion to the detector's 6000 samples/s for audio at any other rate
// (a live capture at the AudioContext's rate, samples handed to detect()).
//
// A windowed-sinc low-pass evaluated at each output instant: output n is the input filtered and
// read at input position n * inRate / outRate, so output sample n stands for exactly the same
// time as input position n * inRate / outRate (no delay to correct; the filter only makes
// outputs wait for the input they need). Every input sample is used; nothing is dropped, which
// would fold the whole input band into the detector's.
//
// The detector looks at 598 to 2391 Hz (DFT bins 111 to 444). Input above 3609 Hz would land
// there after conversion to 6000/s (6000 - 2391), so the filter passes up to 2450 Hz and stops
// from 3550 Hz: a Kaiser-windowed sinc cut at 3000 Hz with 90 dB of stop-band attenuation.
// Below an input rate of 6000/s the same design is scaled down with the rate.
//
// The fractional position of output n repeats with period outRate / gcd(inRate, outRate); the
// weights of each phase are computed once. For rates that would need more than max_phases
// phases, the position is rounded to 1/max_phases of an input sample (at most 10 ns of timing
// error at 48000/s).

// Input rates a detector takes, as in every other host (the engine's converter): below 1000/s
// one input sample would make over six outputs, and a stray rate of 1 would make millions.
export const MIN_RATE = 1000;    // samples/s
export const MAX_RATE = 1536000; // samples/s

// Checks a rate argument: TypeError unless a number, RangeError outside MIN_RATE..MAX_RATE.
export function checkRate(rate, what = 'rate') {
  if (typeof rate !== 'number')
    throw new TypeError(`rsid: ${what} must be a number of samples/s, not ${typeof rate}`);
  if (!(rate >= MIN_RATE && rate <= MAX_RATE))
    throw new RangeError(`rsid: ${what} must lie in ${MIN_RATE} to ${MAX_RATE} samples/s, not ${rate}`);
}

// Checks a samples argument: a typed array of numbers or an Array (NaN and infinities are
// taken as silence later); anything else, whose length means nothing, is a TypeError.
export function checkSamples(samples) {
  const typed = ArrayBuffer.isView(samples) && !(samples instanceof DataView);
  if (!typed && !Array.isArray(samples))
    throw new TypeError('rsid: samples must be a Float32Array, another typed array or an ' +
      `Array of numbers, not ${samples === null ? 'null' : typeof samples}`);
}

const stop_db = 90;
const cutoff_hz = 3000;   // centre of the transition band
const half_band_hz = 550; // transition band: cutoff_hz +- half_band_hz
const max_phases = 1024;

// The modified Bessel function of order 0, for the Kaiser window (converges in ~30 terms).
function bessel_i0(x) {
  let sum = 1;
  let term = 1;
  const q = (x * x) / 4;
  for (let k = 1; k < 200 && term > sum * 1e-17; ++k) {
    term *= q / (k * k);
    sum += term;
  }
  return sum;
}

function gcd(a, b) {
  while (b) [a, b] = [b, a % b];
  return a;
}

export class Resampler {
  // inRate: input samples/s; outRate: output samples/s (the detector's); each MIN_RATE to
  // MAX_RATE.
  constructor(inRate, outRate = 6000) {
    checkRate(inRate, 'the input rate');
    checkRate(outRate, 'the output rate');
    this.inRate = inRate;
    this.outRate = outRate;
    const scale = Math.min(1, inRate / outRate);
    const fc = (cutoff_hz * scale) / inRate;          // cut-off [cycles per input sample]
    const band = (2 * half_band_hz * scale) / inRate; // transition width [cycles per sample]
    const beta = 0.1102 * (stop_db - 8.7);
    // Kaiser's estimate of the length for this attenuation and transition width.
    const reach = (stop_db - 7.95) / (2.285 * 2 * Math.PI * band) / 2; // half-length [samples]
    this.half = Math.ceil(reach);                                        // taps either side
    const integral = Number.isInteger(inRate) && Number.isInteger(outRate);
    this.phases = integral ? outRate / gcd(inRate, outRate) : max_phases;
    this.exact = integral && this.phases <= max_phases;
    if (!this.exact) this.phases = max_phases;

    // weights[q * taps + j]: tap j (input position k0 - half + 1 + j) for output position
    // k0 + q / phases.
    const taps = 2 * this.half;
    this.taps = taps;
    this.weights = new Float64Array(this.phases * taps);
    const i0_beta = bessel_i0(beta);
    for (let q = 0; q < this.phases; ++q) {
      for (let j = 0; j < taps; ++j) {
        const d = j - this.half + 1 - q / this.phases; // input samples from the output position
        const x = d / reach;
        if (Math.abs(x) >= 1) continue;
        const arg = 2 * Math.PI * fc * d;
        const sinc = d === 0 ? 1 : Math.sin(arg) / arg;
        const window = bessel_i0(beta * Math.sqrt(1 - x * x)) / i0_beta;
        this.weights[q * taps + j] = 2 * fc * sinc * window;
      }
    }
    this.reset();
  }

  // Starts a new stream: the next input sample is position 0 again.
  reset() {
    this.buffer = new Float64Array(4096);
    this.first = -this.half; // input position of buffer[0]; before 0 the input is silence
    this.length = this.half; // valid entries of buffer (the silence before position 0)
    this.taken = 0;          // input samples taken
    this.produced = 0;       // output samples made
  }

  // Input position of output n: whole part k0 and phase q (fraction q / phases).
  position(n) {
    if (this.exact) {
      const num = n * this.inRate; // exact in double up to 2^53
      const k0 = Math.floor(num / this.outRate);
      const rem = num - k0 * this.outRate;
      return [k0, (rem * this.phases) / this.outRate];
    }
    const p = (n * this.inRate) / this.outRate;
    let k0 = Math.floor(p);
    let q = Math.round((p - k0) * this.phases);
    if (q === this.phases) (k0 += 1), (q = 0);
    return [k0, q];
  }

  append(samples) {
    if (this.length + samples.length > this.buffer.length) {
      const bigger = new Float64Array(Math.max(2 * this.buffer.length, this.length + samples.length));
      bigger.set(this.buffer.subarray(0, this.length));
      this.buffer = bigger;
    }
    this.buffer.set(samples, this.length);
    this.length += samples.length;
  }

  // Makes every output whose taps lie in the buffer and, if limit is given, whose position is
  // at most limit. Returns them as a Float32Array.
  run(limit) {
    const out = [];
    const { taps, weights, half } = this;
    for (;;) {
      const [k0, q] = this.position(this.produced);
      if (limit !== undefined && k0 + q / this.phases > limit) break;
      const start = k0 - half + 1 - this.first; // buffer index of tap 0
      if (!(start + taps <= this.length)) break; // (a NaN ends it too, rather than loop)
      let sum = 0;
      const w = q * taps;
      for (let j = 0; j < taps; ++j) sum += weights[w + j] * this.buffer[start + j];
      out.push(sum);
      ++this.produced;
    }
    // Keep only what the next output still needs.
    const [k0] = this.position(this.produced);
    const drop = Math.min(this.length, Math.max(0, k0 - half + 1 - this.first));
    if (drop > 0) {
      this.buffer.copyWithin(0, drop, this.length);
      this.length -= drop;
      this.first += drop;
    }
    return Float32Array.from(out);
  }

  // Converts a chunk of input; returns the output it completes. Any chunking gives the same
  // output, sample for sample.
  process(samples) {
    checkSamples(samples);
    this.append(samples);
    this.taken += samples.length;
    return this.run();
  }

  // Ends the stream: the outputs up to the time of the last input sample, the input after it
  // taken as silence. Then starts a new stream.
  flush() {
    const last = this.taken - 1;
    this.append(new Float64Array(2 * this.half));
    const out = this.run(last);
    this.reset();
    return out;
  }
}
