// Rate conversion in front of the detector: tones in the detector's band come out at the right
// time and level, tones that would fold into it are gone, any chunking gives the same samples,
// and identifiers at every common rate are found where and at what frequency they were sent.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Detector, Resampler, detect } from '../src/index.js';
import { addIdentifier, addNoise, feedChunked, random } from './synth.mjs';

// Common capture rates, one below the detector's, and rates without a short phase period
// (their positions are rounded to 1/1024 of an input sample).
const rates = [4000, 8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000, 44101, 37800.5];

function tone(rate, seconds, hz, phase = 0.3) {
  const x = new Float32Array(Math.round(rate * seconds));
  for (let n = 0; n < x.length; ++n) x[n] = Math.sin((2 * Math.PI * hz * n) / rate + phase);
  return x;
}

function convert(rate, x) {
  const r = new Resampler(rate);
  const a = r.process(x);
  const b = r.flush();
  const out = new Float32Array(a.length + b.length);
  out.set(a);
  out.set(b, a.length);
  return out;
}

test('the band 600 to 2400 Hz comes out unchanged and on time', () => {
  for (const rate of rates) {
    for (const hz of [600, 1500, 2400].filter((f) => f < 0.4 * rate)) {
      const y = convert(rate, tone(rate, 1, hz));
      // Output n is input time n / 6000: compare with the tone itself at that time (away from
      // the edges, where the filter reaches past the input).
      let worst = 0;
      for (let n = 300; n < y.length - 300; ++n)
        worst = Math.max(worst, Math.abs(y[n] - Math.sin((2 * Math.PI * hz * n) / 6000 + 0.3)));
      assert.ok(worst < 1e-3, `${rate}/s, ${hz} Hz: error ${worst}`);
    }
  }
});

test('tones that would fold into the band are removed', () => {
  for (const rate of rates) {
    for (const hz of [3600, 4500, 6000 - 600, 9000, 0.49 * rate].filter((f) => f >= 3600 && f < 0.49 * rate + 1)) {
      const y = convert(rate, tone(rate, 1, hz));
      let power = 0;
      for (let n = 300; n < y.length - 300; ++n) power += y[n] * y[n];
      const db = 10 * Math.log10(power / (y.length - 600) / 0.5 + 1e-30);
      assert.ok(db < -80, `${rate}/s, ${hz} Hz: ${db.toFixed(1)} dB`);
    }
  }
});

test('every input time is covered and the chunking does not matter', () => {
  for (const rate of rates) {
    const x = addNoise(new Float32Array(Math.round(rate * 0.7) + 13), 0.3, 7);
    const whole = convert(rate, x);
    assert.equal(whole.length, Math.floor(((x.length - 1) * 6000) / rate) + 1, `${rate}/s`);
    const r = new Resampler(rate);
    const next = random(rate);
    const parts = [];
    for (let i = 0; i < x.length; ) {
      const n = Math.floor(next() * 700); // empty chunks too
      parts.push(...r.process(x.subarray(i, i + n)));
      i += n;
    }
    parts.push(...r.flush());
    assert.deepEqual(Float32Array.from(parts), whole, `${rate}/s`);
  }
});

test('identifiers at every rate are found once, on time and on frequency', async () => {
  const placed = [
    [0.8, 1500],
    [3.3, 700],
    [3.9, 2100], // overlaps the one before at another frequency
  ];
  for (const rate of rates.filter((r) => r >= 8000)) {
    const x = new Float32Array(Math.round(rate * 7));
    for (const [t, hz] of placed) addIdentifier(x, rate, t, hz, 0.3);
    addNoise(x, 0.02, 11);
    const detector = await Detector.create({ rate });
    const found = feedChunked(detector, x, 5, 4096);
    detector.dispose();
    assert.equal(found.length, placed.length, `${rate}/s: ${JSON.stringify(found)}`);
    const sorted = found.slice().sort((a, b) => a.time_s - b.time_s);
    placed.forEach(([t, hz], i) => {
      const d = sorted[i];
      assert.ok(Math.abs(d.time_s - t) < 0.025, `${rate}/s: start ${d.time_s}, sent ${t}`);
      assert.ok(Math.abs(d.freq_hz - hz) < 3, `${rate}/s: ${d.freq_hz} Hz, sent ${hz}`);
      assert.equal(d.sample, Math.round(d.time_s * rate));
      assert.equal(d.rate, rate);
      assert.equal(d.code, 131);
    });
  }
});

test('bad rates and samples are refused or taken as silence', async () => {
  for (const rate of [0, -6000, NaN, Infinity]) {
    assert.throws(() => new Resampler(rate), RangeError, `Resampler ${rate}`);
    await assert.rejects(Detector.create({ rate }), RangeError, `Detector ${rate}`);
  }
  const junk = new Float32Array(6000 * 5).map((_, i) => [NaN, Infinity, -Infinity, 1e38][i % 4]);
  assert.deepEqual(await detect(junk, 6000), []);
  assert.deepEqual(await detect(new Float32Array(0), 44100), []);
  const detector = await Detector.create();
  detector.dispose();
  assert.throws(() => detector.feed(new Float32Array(10)), /after dispose/);
});
