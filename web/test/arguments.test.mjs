// Bad arguments to the package: each call throws a TypeError or RangeError that says what is
// wrong, and leaves no detector allocated in the module. Each runs in a process of its own, with
// a time limit, so that a call that aborts Node or never returns fails only its own case.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { test } from 'node:test';

const index = new URL('../src/index.js', import.meta.url).href;

// [what, code run with `rsid` (the package) and `wasm` (its shared instance), error, message]
const cases = [
  ['samples as a number', 'await rsid.detect(5, 48000)', 'TypeError', /samples/],
  ['samples as text', "await rsid.detect('abc', 48000)", 'TypeError', /samples/],
  ['no samples', 'await rsid.detect(undefined, 48000)', 'TypeError', /samples/],
  ['no rate', 'await rsid.detect(new Float32Array(10))', 'TypeError', /rate/],
  ['rate 1/s', 'await rsid.detect(new Float32Array(1e5), 1)', 'RangeError', /1000 to 1536000/],
  ['NaN rate', 'await rsid.detect(new Float32Array(10), NaN)', 'RangeError', /NaN/],
  ['rate as text', "new rsid.Detector(wasm, { rate: '48000' })", 'TypeError', /rate/],
  ['rate too high', 'await rsid.Detector.create({ rate: 1e9 })', 'RangeError', /1536000/],
  ['feed of null', 'const d = new rsid.Detector(wasm, { rate: 8000 });\n' +
    'try { d.feed(null); } finally { d.dispose(); }', 'TypeError', /samples/],
  ['a NaN length', 'new rsid.Resampler(44100).process({ length: NaN })', 'TypeError', /samples/],
  ['a resampler at 1/s', 'new rsid.Resampler(1)', 'RangeError', /1000 to 1536000/],
  ['code 4096', 'new rsid.Detector(wasm, { codes: [131, 4096] })', 'RangeError', /4096/],
  ['codes by name', "await rsid.detect(new Float32Array(10), 8000, { codes: 'some' })",
    'RangeError', /'all'/],
  ['no codes', 'new rsid.Detector(wasm, { codes: [] })', 'RangeError', /empty/],
  ['a code of 1.5', 'new rsid.Detector(wasm, { codes: 1.5 })', 'TypeError', /1\.5/],
  ['exact beside codes', "await rsid.Detector.create({ exact: true, codes: 'all' })",
    'RangeError', /131 only/],
  ['exact as a number', 'new rsid.Detector(wasm, { exact: 1 })', 'TypeError', /exact/],
];

function run(code) {
  const script = `
    import * as rsid from ${JSON.stringify(index)};
    const wasm = await rsid.instantiate();
    const e = wasm.exports;
    let live = 0; // detectors the module holds
    wasm.exports = { ...e,
      rsid_web_create: (rate) => { const h = e.rsid_web_create(rate); if (h) ++live; return h; },
      rsid_web_destroy: (h) => { --live; e.rsid_web_destroy(h); } };
    let error = null;
    try { ${code}; } catch (x) { error = { name: x.name, message: x.message }; }
    console.log(JSON.stringify({ error, live }));`;
  return JSON.parse(execFileSync('node', ['--input-type=module', '-e', script],
    { encoding: 'utf8', timeout: 30000, stdio: ['ignore', 'pipe', 'pipe'] }));
}

test('bad arguments throw TypeError or RangeError and free what they took', () => {
  for (const [what, code, name, words] of cases) {
    let got;
    try {
      got = run(code);
    } catch (e) {
      assert.fail(`${what}: the process failed (status ${e.status}, signal ${e.signal}): ` +
        `${String(e.stderr).slice(0, 300)}`);
    }
    assert.equal(got.error?.name, name, `${what}: ${JSON.stringify(got.error)}`);
    assert.match(got.error.message, words, what);
    assert.equal(got.live, 0, `${what}: a detector was left in the module`);
  }
});
