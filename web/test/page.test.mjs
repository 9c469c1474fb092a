// The page in headless Chromium: identifiers made by the rsid tool, in a chosen file, a dropped
// file and on the microphone, must be listed with their frequency and start and outlined on a
// waterfall that shows the signal.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { launch } from './browser.mjs';
import { rsidTool } from './paths.mjs';
import { serve } from './serve.mjs';

let dir;
let server;
let browser;
const files = {}; // what each test file holds

before(async () => {
  dir = mkdtempSync(join(tmpdir(), 'rsid-page-'));
  const send = (name, args) => {
    execFileSync(rsidTool, ['send', ...args, '-q', '-o', join(dir, name)]);
    return join(dir, name);
  };
  files.chosen = send('chosen.wav', ['-f', '1500', '--lead', '1', '--tail', '2']);
  files.dropped = send('dropped.flac', ['-f', '900', '--lead', '2', '--tail', '1', '-r', '44100']);
  files.microphone = send('microphone.wav', ['-f', '1800', '--lead', '1', '--tail', '2']);
  writeFileSync(join(dir, 'junk.wav'), 'RIFF but not really a sound file');
  server = await serve({
    '/fixtures/dropped.flac': files.dropped,
    '/fixtures/junk.wav': join(dir, 'junk.wav'),
  });
  browser = await launch({ microphone: files.microphone });
});

after(async () => {
  await browser?.close();
  await server?.close();
  rmSync(dir, { recursive: true, force: true });
});

async function open(query = '') {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.setViewport({ width: 900, height: 800 });
  await page.goto(`${server.url}/${query}`);
  return { page, errors };
}

function listed(page) {
  return page.$$eval('#detections li', (items) =>
    items.map((li) => ({
      time_s: Number(li.dataset.timeS),
      freq_hz: Number(li.dataset.freqHz),
      snr_db: Number(li.dataset.snrDb),
    })),
  );
}

// Drops a file fetched from the server on the drop zone, as a user's drag and drop would.
function drop(page, path, name) {
  return page.evaluate(
    async (path, name) => {
      const bytes = await (await fetch(path)).arrayBuffer();
      const transfer = new DataTransfer();
      transfer.items.add(new File([bytes], name));
      document.getElementById('drop').dispatchEvent(
        new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }),
      );
    },
    path,
    name,
  );
}

// Counts the waterfall's pixels in a screenshot (decoded by the page itself): drawn (not the
// black of an empty canvas), strong signal (yellow to white), and detection outline (magenta).
async function pixels(page) {
  const canvas = await page.$('#waterfall');
  const png = await canvas.screenshot({ encoding: 'base64' });
  return page.evaluate(async (png) => {
    const image = new Image();
    image.src = `data:image/png;base64,${png}`;
    await image.decode();
    const c = new OffscreenCanvas(image.width, image.height);
    const g = c.getContext('2d');
    g.drawImage(image, 0, 0);
    const { data } = g.getImageData(0, 0, image.width, image.height);
    const count = { all: image.width * image.height, drawn: 0, strong: 0, mark: 0 };
    for (let i = 0; i < data.length; i += 4) {
      const [r, gr, b] = [data[i], data[i + 1], data[i + 2]];
      if (r + gr + b > 0) ++count.drawn;
      if (r > 230 && gr > 140) ++count.strong;
      if (r > 200 && b > 200 && gr < 80) ++count.mark;
    }
    return count;
  }, png);
}

function near(d, want, what) {
  assert.ok(Math.abs(d.freq_hz - want.freq_hz) < 3, `${what}: ${d.freq_hz} Hz, sent ${want.freq_hz}`);
  if (want.time_s !== undefined)
    assert.ok(Math.abs(d.time_s - want.time_s) < 0.1, `${what}: at ${d.time_s} s, sent ${want.time_s}`);
  assert.ok(d.snr_db > 5, `${what}: SNR ${d.snr_db} dB`);
}

test('a chosen and a dropped file are scanned, a file that is not audio is refused', async () => {
  const rows = [
    { what: 'chosen', give: (page) => page.$('#file').then((h) => h.uploadFile(files.chosen)),
      state: 'done', want: [{ time_s: 1.0, freq_hz: 1500 }] },
    { what: 'dropped', give: (page) => drop(page, '/fixtures/dropped.flac', 'dropped.flac'),
      state: 'done', want: [{ time_s: 2.0, freq_hz: 900 }] },
    { what: 'junk', give: (page) => drop(page, '/fixtures/junk.wav', 'junk.wav'),
      state: 'error', want: [] },
  ];
  for (const row of rows) {
    const { page, errors } = await open();
    await row.give(page);
    await page.waitForFunction(() => ['done', 'error'].includes(document.body.dataset.state),
      { timeout: 20000 });
    assert.equal(await page.$eval('body', (b) => b.dataset.state), row.state, row.what);
    const got = await listed(page);
    assert.equal(got.length, row.want.length, `${row.what}: ${JSON.stringify(got)}`);
    got.forEach((d, i) => near(d, row.want[i], row.what));
    if (row.want.length) {
      const count = await pixels(page);
      assert.ok(count.drawn > 0.95 * count.all, `${row.what}: waterfall drawn ${JSON.stringify(count)}`);
      assert.ok(count.strong > 500, `${row.what}: tones visible ${JSON.stringify(count)}`);
      assert.ok(count.mark > 300, `${row.what}: detection outlined ${JSON.stringify(count)}`);
    }
    assert.deepEqual(errors, [], row.what);
    await page.close();
  }
});

test('?listen=1 finds the identifier on the microphone and marks it on the live waterfall', async () => {
  const { page, errors } = await open('?listen=1');
  await page.waitForSelector('#detections li', { timeout: 30000 });
  const [first] = await listed(page);
  // The fake device plays the file in a loop from when capture starts: its first identifier
  // begins about 1 s in (the lead), give or take the start-up of capture.
  near(first, { freq_hz: 1800 }, 'microphone');
  assert.ok(first.time_s >= 0 && first.time_s < 5, `microphone: at ${first.time_s} s`);
  assert.equal(await page.$eval('body', (b) => b.dataset.state), 'listening');
  const count = await pixels(page);
  assert.ok(count.drawn > 0.05 * count.all, `live waterfall scrolled in ${JSON.stringify(count)}`);
  assert.ok(count.strong > 200, `tones visible ${JSON.stringify(count)}`);
  assert.ok(count.mark > 300, `detection outlined ${JSON.stringify(count)}`);
  assert.deepEqual(errors, []);
  await page.close();
});
