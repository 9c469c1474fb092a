// detectFile in Node, where there is no Web Audio API: WAV files in every encoding the rsid tool
// writes, a many-channel WAVE_FORMAT_EXTENSIBLE file and raw samples give the detections that
// `rsid detect --json` gives for the same bytes; malformed, truncated and hostile headers each
// give one clean error.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { detectFile } from '../src/index.js';
import { parseWav } from '../src/pcm.js';
import { rsidTool } from './paths.mjs';

let dir;
before(() => {
  dir = mkdtempSync(join(tmpdir(), 'rsid-files-'));
});
after(() => rmSync(dir, { recursive: true, force: true }));

function send(name, args) {
  const path = join(dir, name);
  execFileSync(rsidTool, ['send', '-q', '-o', path, ...args]);
  return path;
}

// What the tool finds in a file: its JSON records (the last line sums up the input).
function toolDetect(path, args = []) {
  let out;
  try {
    out = execFileSync(rsidTool, ['detect', '--json', ...args, path], { encoding: 'utf8' });
  } catch (e) {
    if (e.status !== 1) throw e; // 1: nothing found
    out = e.stdout;
  }
  return out.trim().split('\n').map((l) => JSON.parse(l)).filter((r) => r.freq_hz !== undefined);
}

// The package's detections against the tool's: the same identifiers at the same places. The
// two convert rates with different filters (soxr, the package's windowed sinc), so they agree
// to a sample and a few hundredths of a dB rather than bit for bit.
function same(got, want, what) {
  assert.equal(got.length, want.length, `${what}: ${JSON.stringify(got)} against ${JSON.stringify(want)}`);
  got.forEach((d, i) => {
    const w = want[i];
    const where = `${what}, detection ${i}: ${JSON.stringify(d)} against ${JSON.stringify(w)}`;
    assert.equal(d.code, w.code, where);
    assert.equal(d.rate, w.rate, where);
    assert.ok(Math.abs(d.sample - w.sample) <= 1, where);
    // The tool's JSON rounds frequencies to 0.0001 Hz and levels to 0.1 dB.
    assert.ok(Math.abs(d.freq_hz - w.freq_hz) < 0.01, where);
    assert.ok(Math.abs(d.snr_db - w.snr_db) < 0.15, where);
    assert.ok(Math.abs(d.level_dbfs - w.level_dbfs) < 0.1, where);
  });
}

const quiet = { onWarning: (m) => assert.fail(`unexpected warning: ${m}`) };

test('WAV files the tool writes give its detections, in every encoding', async () => {
  // [file, rsid send arguments]
  const files = [
    ['s16-6000.wav', ['-r', '6000', '-f', '700', '--lead', '0.25']],
    ['u8-8000.wav', ['-r', '8000', '-e', 'unsigned', '-b', '8', '-f', '1000']],
    ['s24-44100.wav', ['-r', '44100', '-b', '24', '-f', '1500', '--repeat', '2', '--gap', '0.7']],
    ['s32-48000.wav', ['-r', '48000', '-b', '32', '-f', '2000', '--volume', '0.1']],
    ['f32-22050.wav', ['-r', '22050', '-e', 'float', '-b', '32', '-f', '1234.5']],
    ['f64-16000.wav', ['-r', '16000', '-e', 'float', '-b', '64', '-f', '900']],
    ['mulaw-8000.wav', ['-r', '8000', '-e', 'mu-law', '-f', '1100']],
    ['alaw-11025.wav', ['-r', '11025', '-e', 'a-law', '-f', '800', '--lead', '1.3']],
  ];
  for (const [name, args] of files) {
    const path = send(name, ['-t', 'wav', '--tail', '1', ...args]);
    const want = toolDetect(path);
    assert.ok(want.length >= 1, `${name}: the tool finds its own identifier`);
    same(await detectFile(readFileSync(path), quiet), want, name);
  }
});

// Interleaves channels (Float32Arrays on the +-1 scale) as 24-bit or 16-bit integers.
function interleave(channels, bits, little) {
  const frames = Math.max(...channels.map((c) => c.length));
  const step = bits / 8;
  const out = new Uint8Array(frames * channels.length * step);
  for (let n = 0, at = 0; n < frames; ++n) {
    for (const c of channels) {
      let v = Math.round((c[n] ?? 0) * 2 ** (bits - 1));
      v = Math.max(-(2 ** (bits - 1)), Math.min(2 ** (bits - 1) - 1, v));
      for (let k = 0; k < step; ++k) out[at + (little ? k : step - 1 - k)] = (v >> (8 * k)) & 0xff;
      at += step;
    }
  }
  return out;
}

// The samples of a 16-bit mono WAV, on the +-1 scale.
function mono16(path) {
  const { data } = parseWav(readFileSync(path));
  const view = new DataView(data.buffer, data.byteOffset, data.byteLength);
  return Float32Array.from({ length: data.length / 2 }, (_, i) => view.getInt16(2 * i, true) / 32768);
}

test('channels are averaged, as the tool does: extensible WAV and raw samples', async () => {
  // Two identifiers in different channels of three: averaging finds both, one channel one.
  const rate = 8000;
  const a = mono16(send('a.wav', ['-r', String(rate), '-f', '1000', '--lead', '0.5', '--tail', '3']));
  const b = mono16(send('b.wav', ['-r', String(rate), '-f', '1800', '--lead', '2.5', '--tail', '1']));
  const silence = new Float32Array(a.length);
  const channels = [a, silence, b];

  const fmt = new Uint8Array(40); // WAVE_FORMAT_EXTENSIBLE, 24 bits in 3 bytes, PCM sub-format
  const f = new DataView(fmt.buffer);
  [[0, 0xfffe, 2], [2, 3, 2], [4, rate, 4], [8, rate * 9, 4], [12, 9, 2], [14, 24, 2], [16, 22, 2],
    [18, 24, 2], [20, 0x7, 4], [24, 1, 2]].forEach(([at, v, n]) =>
    (n === 2 ? f.setUint16(at, v, true) : f.setUint32(at, v, true)));
  const pcm24 = interleave(channels, 24, true);
  const wav = riff([chunk('LIST', ascii('odd')), chunk('fmt ', fmt), chunk('data', pcm24)]);
  writeFileSync(join(dir, 'three.wav'), wav);
  const raw = interleave(channels, 16, false);
  writeFileSync(join(dir, 'three.raw'), raw);

  // [what, bytes, detectFile options, the tool's arguments, identifiers]
  const rows = [
    ['extensible 24-bit, 3 channels', wav, {}, [], 2],
    ['raw 16-bit big-endian, 3 channels', raw,
      { raw: { rate, encoding: 'signed', bits: 16, channels: 3, endian: 'big' } },
      ['-t', 'raw', '-r', String(rate), '-e', 'signed', '-b', '16', '-c', '3', '--endian', 'big'], 2],
  ];
  for (const [what, bytes, options, args, count] of rows) {
    const want = toolDetect(join(dir, options.raw ? 'three.raw' : 'three.wav'), args);
    assert.equal(want.length, count, `${what}: the tool's detections`);
    same(await detectFile(bytes, { ...quiet, ...options }), want, what);
  }
});

test('codes and exact choose what is looked for, as the tool\'s --codes and --exact', async () => {
  // [code sent, detectFile options, the tool's arguments, identifiers]
  const rows = [
    [1000, {}, [], 0], // the default looks for 131
    [1000, { codes: 1000 }, ['--codes', '1000'], 1],
    [1000, { codes: [7, 1000] }, ['--codes', '7,1000'], 1],
    [4095, { codes: 'all' }, ['--codes', 'all'], 1],
    [131, { exact: true }, ['--exact'], 1],
    [131, { codes: [7] }, ['--codes', '7'], 0],
  ];
  for (const [code, options, args, count] of rows) {
    const what = `code ${code}, ${JSON.stringify(options)}`;
    const path = send(`code-${code}.wav`, ['-r', '8000', '-f', '1200', '--lead', '0.5', '--code',
      String(code)]);
    const want = toolDetect(path, args);
    assert.equal(want.length, count, `${what}: the tool's detections`);
    const got = await detectFile(readFileSync(path), { ...quiet, ...options });
    same(got, want, what);
    got.forEach((d) => assert.equal(d.code, code, what));
  }
});

// Builders of hostile files: chunks with any declared size, a RIFF WAVE around them.
function ascii(text) {
  return Uint8Array.from(text, (c) => c.charCodeAt(0));
}
function u32(v) {
  const b = new Uint8Array(4);
  new DataView(b.buffer).setUint32(0, v, true);
  return b;
}
function concat(...parts) {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  parts.reduce((at, p) => (out.set(p, at), at + p.length), 0);
  return out;
}
function chunk(id, body, size = body.length) {
  return concat(ascii(id), u32(size), body, new Uint8Array(body.length & 1));
}
function riff(chunks, head = 'RIFF') {
  return concat(ascii(head), u32(0), ascii('WAVE'), ...chunks);
}
// A PCM fmt chunk's 16 bytes.
function fmt({ code = 1, channels = 1, rate = 8000, align = 2, bits = 16 } = {}) {
  const b = new Uint8Array(16);
  const v = new DataView(b.buffer);
  v.setUint16(0, code, true);
  v.setUint16(2, channels, true);
  v.setUint32(4, rate, true);
  v.setUint32(8, rate * align, true);
  v.setUint16(12, align, true);
  v.setUint16(14, bits, true);
  return b;
}
const silence = new Uint8Array(16000); // 1 s at 8000/s, 16-bit

test('malformed, truncated and hostile input gives a clean error', async () => {
  const ok = chunk('fmt ', fmt());
  const mp3ext = concat(fmt({ code: 0xfffe }), new Uint8Array([22, 0, 16, 0]), u32(0), new Uint8Array([0x55, 0]),
    new Uint8Array(14));
  // [what, bytes, options, an error's message or the number of identifiers found]
  const cases = [
    ['RIFF WAVE and nothing more', riff([]), {}, /truncated WAV: the header ends before the data/],
    ['a chunk header cut short', concat(riff([ok]), ascii('da')), {}, /truncated WAV/],
    ['a fmt chunk of 10 bytes', riff([chunk('fmt ', new Uint8Array(10))]), {}, /fmt chunk of 10 bytes/],
    ['a fmt chunk longer than the file', riff([chunk('fmt ', fmt(), 4000)]), {}, /truncated WAV/],
    ['a fmt chunk of 2^32-1 bytes', riff([chunk('fmt ', fmt(), 2 ** 32 - 1)]), {}, /fmt {2}chunk of 4294967295/],
    ['a LIST chunk of 2^32-1 bytes', riff([chunk('LIST', ascii('ab'), 2 ** 32 - 1), ok]), {}, /truncated WAV/],
    ['data before its format', riff([chunk('data', silence), ok]), {}, /data before its format/],
    ['data longer than the file', riff([ok, chunk('data', silence, 1e9)]), {},
      /says 1000000000 data bytes, the file holds 16000/],
    ['no channels', riff([chunk('fmt ', fmt({ channels: 0 })), chunk('data', silence)]), {}, /0 channels/],
    ['3-byte frames of 2 channels', riff([chunk('fmt ', fmt({ channels: 2, align: 3 })), chunk('data', silence)]),
      {}, /2 channels in frames of 3 bytes/],
    ['32 valid bits in 16', riff([chunk('fmt ', fmt({ bits: 32 })), chunk('data', silence)]), {}, /32 bits in 16-bit/],
    ['MP3 in WAV', riff([chunk('fmt ', fmt({ code: 0x55 })), chunk('data', silence)]), {}, /0x55 is not supported/],
    ['MP3 in extensible WAV', riff([chunk('fmt ', mp3ext), chunk('data', silence)]), {}, /0x55 is not supported/],
    ['rate 0', riff([chunk('fmt ', fmt({ rate: 0 })), chunk('data', silence)]), {}, /rate must lie in 1000/],
    ['65 channels', riff([chunk('fmt ', fmt({ channels: 65, align: 130 })), chunk('data', silence)]), {},
      /channel count must lie in 1 to 64/],
    ['12 valid bits in 16 (decoded as 16)', riff([chunk('fmt ', fmt({ bits: 12 })), chunk('data', silence)]), {}, 0],
    ['a streamed length, an odd byte after the last frame',
      riff([ok, chunk('data', concat(silence, ascii('x')), 0xffffffff)]), {}, 0],
    ['RF64 whose ds64 says all ones', riff([chunk('ds64', new Uint8Array(28).fill(0xff)), ok,
      chunk('data', silence, 0xffffffff)], 'RF64'), {}, 0],
    ['not audio', ascii('hello, world'), {}, /input: not a WAV file.*Web Audio API.*browser/s],
    ['an empty file', new Uint8Array(0), {}, /not a WAV file/],
    ['a number for a file', 5, {}, /ArrayBuffer, a typed array or a Blob/],
    ['raw without an encoding', silence, { raw: { rate: 8000 } }, /encoding must be one of/],
    ['raw signed 12-bit', silence, { raw: { rate: 8000, encoding: 'signed', bits: 12 } }, /signed 12-bit is not supported/],
    ['raw at 500/s', silence, { raw: { rate: 500, encoding: 'signed', bits: 16 } }, /rate must lie in 1000/],
    ['raw as null', silence, { raw: null }, /needs \{ rate, encoding/],
    ['raw with 0 channels', silence, { raw: { rate: 8000, encoding: 'float', bits: 32, channels: 0 } },
      /channel count/],
  ];
  for (const [what, bytes, options, want] of cases) {
    let got;
    try {
      got = (await detectFile(bytes, { ...quiet, ...options })).length;
    } catch (e) {
      got = e;
    }
    if (typeof want === 'number') assert.equal(got, want, `${what}: ${got?.stack ?? got}`);
    else {
      assert.ok(got instanceof Error, `${what}: no error`);
      assert.match(got.message, want, what);
      assert.match(got.message, /^rsid: /, what);
    }
  }
});
