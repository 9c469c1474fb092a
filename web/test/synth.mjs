// synth.mjs - identifiers made without the library: the codeword of 131 as a literal and
// continuous-phase tones at any rate and start (as tests/support/synth.h makes them natively).
export const codeword_131 = [0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3];
export const symbol_s = 4456 / 48000;

// Adds an identifier of the given peak amplitude with tone 0 at base_hz, start_s into x.
export function addIdentifier(x, rate, start_s, base_hz, amplitude) {
  let phase = 0;
  for (let n = Math.ceil(start_s * rate); n < x.length; ++n) {
    const into = n / rate - start_s;
    if (into >= 15 * symbol_s) break;
    phase += (2 * Math.PI * (base_hz + codeword_131[Math.floor(into / symbol_s)] * 10.7666)) / rate;
    x[n] += amplitude * Math.sin(phase);
  }
  return x;
}

// A seeded generator (mulberry32), printed by the tests that use it.
export function random(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = Math.imul(a ^ (a >>> 15), 1 | a);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// Adds gaussian noise of the given standard deviation.
export function addNoise(x, sigma, seed) {
  const next = random(seed);
  for (let i = 0; i < x.length; i += 2) {
    const r = Math.sqrt(-2 * Math.log(1 - next())) * sigma;
    const a = 2 * Math.PI * next();
    x[i] += r * Math.cos(a);
    if (i + 1 < x.length) x[i + 1] += r * Math.sin(a);
  }
  return x;
}

// Feeds x in chunks of random sizes (1 to max) and returns everything the detector reports.
export function feedChunked(detector, x, seed, max = 5000) {
  const next = random(seed);
  const found = [];
  for (let i = 0; i < x.length; ) {
    const n = 1 + Math.floor(next() * max);
    found.push(...detector.feed(x.subarray(i, i + n)));
    i += n;
  }
  found.push(...detector.finish());
  return found;
}
