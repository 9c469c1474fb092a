// Rates too low for the detector's band: the package says what the rsid tool says, in the
// tool's words and at the tool's thresholds (its stderr on the same rate is the reference): a
// RangeError when no identifier fits below half the rate, a warning when only some do.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';

import { Detector, detect, detectFile } from '../src/index.js';
import { rsidTool } from './paths.mjs';

// What the tool writes to stderr for a second of silence at rate, its file named 'input'.
function toolSays(dir, rate) {
  const path = join(dir, 'input');
  writeFileSync(path, new Uint8Array(2 * Math.ceil(rate)));
  const r = spawnSync(rsidTool, ['detect', '-t', 'raw', '-r', String(rate), '-e', 'signed', '-b', '16',
    'input'], { cwd: dir, encoding: 'utf8' });
  return r.stderr.trim();
}

// Every way in: a buffer, a raw file, a streaming detector; each collects its warnings.
const routes = {
  detect: (rate, onWarning) => detect(new Float32Array(rate), rate, { onWarning }),
  detectFile: (rate, onWarning) => detectFile(new Uint8Array(2 * Math.ceil(rate)),
    { raw: { rate, encoding: 'signed', bits: 16 }, onWarning }),
  Detector: async (rate, onWarning) => (await Detector.create({ rate, onWarning })).dispose(),
};

test('a low rate gives the tool\'s warning or error, once, on every route', async () => {
  const dir = mkdtempSync(join(tmpdir(), 'rsid-band-'));
  try {
    // [rate, what the tool does: 'error', 'warning' or nothing]
    const rates = [[1000, 'error'], [1518, 'error'], [1519, 'warning'], [2000, 'warning'],
      [3000.5, 'warning'], [4793, 'warning'], [4794, ''], [8000, '']];
    for (const [rate, kind] of rates) {
      const tool = toolSays(dir, rate);
      assert.equal(kind === 'error' ? /too low for any/.test(tool) : kind === 'warning' ?
        /^rsid: warning: / .test(tool) : tool === '', true, `${rate}/s: the tool says ${tool}`);
      for (const [route, run] of Object.entries(routes)) {
        const said = [];
        try {
          await run(rate, (m) => said.push(m));
        } catch (e) {
          assert.ok(e instanceof RangeError, `${route} at ${rate}/s: ${e}`);
          said.push(e.message);
        }
        assert.deepEqual(said, tool ? [tool] : [], `${route} at ${rate}/s`);
      }
    }
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});

test('without onWarning the warning goes to console.warn', async () => {
  const warn = console.warn;
  const said = [];
  console.warn = (m) => said.push(m);
  try {
    assert.deepEqual(await detect(new Float32Array(2000), 2000), []);
  } finally {
    console.warn = warn;
  }
  assert.equal(said.length, 1);
  assert.match(said[0], /^rsid: warning: input: at 2000\/s only identifiers with tone 0 below 839 Hz/);
});
