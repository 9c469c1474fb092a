// rtf.mjs - real-time factor of the detector: native (bench/detector_speed), WebAssembly in
// Node, and WebAssembly in headless Chromium, on the same samples at 6000/s; and of the
// resampler that converts a live capture.
//
//   node bench/rtf.mjs [MINUTES] [NATIVE_PROGRAM]
// MINUTES of noise with an identifier every 20 s (default 10); NATIVE_PROGRAM defaults to the
// Release build's build/bench/bench/detector_speed. Needs src/rsid.wasm (./run.sh web).
import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

import { Detector, Resampler } from '../src/index.js';
import { launch } from '../test/browser.mjs';
import { serve } from '../test/serve.mjs';
import { addIdentifier, addNoise } from '../test/synth.mjs';

const minutes = Number(process.argv[2] ?? 10);
const native = process.argv[3] ??
  fileURLToPath(new URL('../../build/bench/bench/detector_speed', import.meta.url));

const x = new Float32Array(minutes * 60 * 6000);
for (let t = 5; t < minutes * 60 - 2; t += 20) addIdentifier(x, 6000, t, 600 + ((t * 37) % 1600), 0.1);
addNoise(x, 0.05, 1);
const dir = mkdtempSync(join(tmpdir(), 'rsid-bench-'));
const file = join(dir, 'samples.f32');
writeFileSync(file, new Uint8Array(x.buffer));

function row(where, seconds, detections) {
  const audio = x.length / 6000;
  console.log(`${where.padEnd(24)} ${seconds.toFixed(3).padStart(8)} s  ${(audio / seconds).toFixed(0).padStart(6)}x real time  ${detections} detections`);
  return audio / seconds;
}

console.log(`${minutes} min of audio at 6000/s`);
const [, nativeSeconds, nativeFound] = execFileSync(native, [file], { encoding: 'utf8' }).trim().split(' ').map(Number);
const nativeRtf = row('native', nativeSeconds, nativeFound);

// Node: a warm-up run first, so that the module is compiled by the optimising tier.
const warm = await Detector.create();
warm.feed(x.subarray(0, 6000 * 30));
warm.dispose();
const detector = await Detector.create();
const begin = performance.now();
const found = [...detector.feed(x), ...detector.finish()];
const nodeRtf = row('WebAssembly, Node', (performance.now() - begin) / 1000, found.length);

// The live path's other cost: converting a 48000/s capture to 6000/s (one minute of it).
const capture = addNoise(new Float32Array(48000 * 60), 0.1, 2);
const resampler = new Resampler(48000);
const start = performance.now();
for (let i = 0; i < capture.length; i += 128) resampler.process(capture.subarray(i, i + 128));
const resampled = (performance.now() - start) / 1000;
console.log(`${'resampler 48000/s, Node'.padEnd(24)} ${resampled.toFixed(3).padStart(8)} s  ${(60 / resampled).toFixed(0).padStart(6)}x real time  (blocks of 128)`);

const server = await serve({ '/bench/samples.f32': file });
const browser = await launch();
try {
  const page = await browser.newPage();
  await page.goto(`${server.url}/index.html`);
  const [seconds, count] = await page.evaluate(async () => {
    const { Detector } = await import('/src/index.js');
    const x = new Float32Array(await (await fetch('/bench/samples.f32')).arrayBuffer());
    const warm = await Detector.create();
    warm.feed(x.subarray(0, 6000 * 30));
    warm.dispose();
    const detector = await Detector.create();
    const begin = performance.now();
    const found = [...detector.feed(x), ...detector.finish()];
    return [(performance.now() - begin) / 1000, found.length];
  });
  const browserRtf = row('WebAssembly, Chromium', seconds, count);
  console.log(`WebAssembly against native: ${(nodeRtf / nativeRtf).toFixed(2)} (Node), ${(browserRtf / nativeRtf).toFixed(2)} (Chromium)`);
} finally {
  await browser.close();
  await server.close();
  rmSync(dir, { recursive: true, force: true });
}
