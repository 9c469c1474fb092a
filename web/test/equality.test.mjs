// The WebAssembly build against the native one on the same input: the magnitudes of every
// frame bit for bit, and the same detections from a stream fed in chunks of random sizes.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { Detector, instantiate } from '../src/core.js';
import { testWasm, webReference } from './paths.mjs';
import { feedChunked } from './synth.mjs';

const frame = 1114;
const bins = 334;
let dir;
let wasm;

function read(name, Type) {
  const b = readFileSync(join(dir, name));
  return new Type(b.buffer, b.byteOffset, b.byteLength / Type.BYTES_PER_ELEMENT);
}

// A C hexadecimal float (printf's %a) as the exact double.
function hexFloat(text) {
  const m = /^(-?)0x([01])\.?([0-9a-f]*)p([+-]\d+)$/.exec(text);
  assert.ok(m, `not a hexadecimal float: ${text}`);
  const mantissa = parseInt(m[2] + m[3], 16) / 16 ** m[3].length; // 53 bits: exact
  return (m[1] ? -1 : 1) * mantissa * 2 ** Number(m[4]);
}

before(async () => {
  dir = mkdtempSync(join(tmpdir(), 'rsid-reference-'));
  execFileSync(webReference, [dir]);
  wasm = await instantiate(readFileSync(testWasm));
});
after(() => rmSync(dir, { recursive: true, force: true }));

test('magnitudes of every frame equal the native build bit for bit', () => {
  const frames = read('frames.f64', Float64Array);
  const native = read('magnitudes.i32', Int32Array);
  const count = frames.length / frame;
  assert.ok(count >= 500 && native.length === count * bins);
  const e = wasm.exports;
  let differing = 0;
  let first = '';
  for (let i = 0; i < count; ++i) {
    wasm.f64(e.rsid_web_frame(), frame).set(frames.subarray(i * frame, (i + 1) * frame));
    e.rsid_web_spectrum();
    const got = wasm.i32(e.rsid_web_magnitudes(), bins);
    for (let k = 0; k < bins; ++k) {
      if (got[k] !== native[i * bins + k]) {
        if (!differing++) first = `frame ${i} bin ${111 + k}: ${got[k]} != ${native[i * bins + k]}`;
      }
    }
  }
  assert.equal(differing, 0, `${differing} magnitudes differ, first ${first}`);
});

test('a stream gives the native detections, whatever the chunking', () => {
  const stream = read('stream.f32', Float32Array);
  const native = readFileSync(join(dir, 'detections.txt'), 'utf8').trim().split('\n')
    .map((line) => line.split(' ').map(hexFloat));
  assert.ok(native.length >= 8, 'the reference stream should hold at least 8 detections');
  const fields = ['time_s', 'sample', 'freq_hz', 'snr_db', 'level_dbfs', 'code', 'start', 'bin',
    'distance'];
  for (const seed of [1, 2, 3]) {
    const detector = new Detector(wasm);
    const got = feedChunked(detector, stream, seed);
    detector.dispose();
    assert.equal(got.length, native.length, `seed ${seed}: number of detections`);
    got.forEach((d, i) => {
      fields.forEach((name, k) => {
        const want = native[i][k];
        if (name === 'snr_db' || name === 'level_dbfs') {
          // Both come from log10 of identical values; emscripten's maths library and glibc's
          // may round log10 differently in the last bit.
          assert.ok(Math.abs(d[name] - want) <= 1e-12 * Math.max(1, Math.abs(want)),
            `seed ${seed}, detection ${i}: ${name} ${d[name]} != ${want}`);
        } else {
          assert.equal(d[name], want, `seed ${seed}, detection ${i}: ${name}`);
        }
      });
    });
  }
});
