// The package as a user gets it: `npm pack`, installed into an empty project, imported by name
// from Node, and its TypeScript declarations checked against a program that uses every export.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, test } from 'node:test';

import { rsidTool } from './paths.mjs';

const web = fileURLToPath(new URL('..', import.meta.url));
let dir;
let packed;

before(() => {
  dir = mkdtempSync(join(tmpdir(), 'rsid-package-'));
  const [info] = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', dir],
    { cwd: web, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] }));
  packed = info;
  writeFileSync(join(dir, 'package.json'), JSON.stringify({ name: 'user', type: 'module', private: true }));
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', join(dir, info.filename)],
    { cwd: dir, stdio: 'ignore' });
});
after(() => rmSync(dir, { recursive: true, force: true }));

test('the tarball holds the modules, the declarations, the module, readme and licence only', () => {
  const names = packed.files.map((f) => f.path).sort();
  assert.deepEqual(names, ['LICENSE', 'README.md', 'package.json', 'src/core.js', 'src/index.d.ts',
    'src/index.js', 'src/pcm.js', 'src/resampler.js', 'src/rsid.wasm', 'src/worklet.js']);
  assert.deepEqual(readdirSync(join(dir, 'node_modules')).filter((n) => !n.startsWith('.')), ['rsid'],
    'no runtime dependencies');
});

test('installed by name, it finds an identifier from Node', () => {
  writeFileSync(join(dir, 'use.mjs'), `
    import { detect } from 'rsid';
    const cw = [0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3];
    const rate = 22050, x = new Float32Array(rate * 4);
    let phase = 0;
    for (let n = rate; n < rate + 15 * 4456 * rate / 48000; ++n) {
      phase += 2 * Math.PI * (1200 + 10.7666 * cw[Math.floor((n - rate) / (4456 * rate / 48000))]) / rate;
      x[n] = 0.25 * Math.sin(phase);
    }
    console.log(JSON.stringify(await detect(x, rate)));
  `);
  const [d, ...more] = JSON.parse(execFileSync('node', ['use.mjs'], { cwd: dir, encoding: 'utf8' }));
  assert.equal(more.length, 0);
  assert.ok(Math.abs(d.freq_hz - 1200) < 3 && Math.abs(d.time_s - 1) < 0.025, JSON.stringify(d));
});

// The declarations under tsc --strict in two consumer projects: Node's types without the DOM
// library, and a browser program with it (where RsidNode must be an AudioNode and the typed
// events must reach listeners). Each program uses every export it can.
const common = `
  import { DETECTOR_RATE, Detector, Resampler, RsidNode, detect, detectFile, instantiate,
    wasmBytes, type Detection, type RawFormat } from 'rsid';
  export async function common(bytes: Uint8Array): Promise<number> {
    const all: Detection[] = await detect(new Float32Array(6000), DETECTOR_RATE,
      { onWarning: (m: string) => console.log(m) });
    const d = await Detector.create({ rate: 48000, name: 'mic' });
    d.onconverted = (x: Float32Array) => void x.length;
    const found: Detection[] = [...d.feed(new Float32Array(128)), ...d.finish()];
    d.dispose();
    const own = new Detector(await instantiate(await wasmBytes()));
    own.feed([0, 0.5, -0.5]);
    const raw: RawFormat = { rate: 8000, encoding: 'signed', bits: 16, channels: 2, endian: 'big' };
    const fromFile = await detectFile(bytes, { raw });
    const r = new Resampler(44100);
    const node: RsidNode | null = null;
    return all.length + found.length + fromFile.length + r.process(new Float32Array(10)).length +
      r.flush().length + d.rate + d.samples + (node === null ? 0 : 1);
  }`;
const setups = [
  { what: 'Node, no DOM', lib: ['es2022'], types: ['node'], program: `
    import { readFileSync } from 'node:fs';
    import { detectFile, instantiate } from 'rsid';
    export const n = await detectFile(readFileSync('a.wav'));
    export const w = await instantiate(readFileSync('rsid.wasm'));` },
  { what: 'browser, DOM', lib: ['es2022', 'dom'], types: [], program: `
    import { RsidNode, decodeAudio, detectFile, instantiate, wasmBytes } from 'rsid';
    export async function browser(context: AudioContext, file: File, stream: MediaStream) {
      const { samples, duration } = await decodeAudio(file);
      await detectFile(file, { onWarning: (m) => console.log(m) });
      await instantiate(await WebAssembly.compile(await wasmBytes()));
      const node = await RsidNode.create(context, { samples: true });
      context.createMediaStreamSource(stream).connect(node);
      const base: AudioWorkletNode = node;
      node.addEventListener('detection', (e) => console.log(e.detail.freq_hz, e.detail.snr_db));
      node.addEventListener('samples', (e) => console.log(e.detail.length));
      node.addEventListener('processorerror', (e) => console.log(e.type));
      node.finish();
      return samples.length + duration + base.numberOfInputs;
    }` },
];

test('the declarations type-check under --strict with and without the DOM library', () => {
  const tsc = join(web, 'node_modules', 'typescript', 'bin', 'tsc');
  for (const { what, lib, types, program } of setups) {
    const project = mkdtempSync(join(dir, 'ts-')); // finds 'rsid' in dir/node_modules
    writeFileSync(join(project, 'common.ts'), common);
    writeFileSync(join(project, 'use.ts'), program);
    writeFileSync(join(project, 'tsconfig.json'), JSON.stringify({
      compilerOptions: { noEmit: true, strict: true, target: 'es2022', module: 'nodenext',
        moduleResolution: 'nodenext', lib, types, typeRoots: [join(web, 'node_modules', '@types')] },
      files: ['common.ts', 'use.ts'],
    }));
    writeFileSync(join(project, 'package.json'), JSON.stringify({ type: 'module' }));
    try {
      execFileSync('node', [tsc, '-p', '.'], { cwd: project, encoding: 'utf8', stdio: 'pipe' });
    } catch (e) {
      assert.fail(`${what}: tsc failed:\n${e.stdout}${e.stderr}`);
    }
  }
});

// The README as installed: every export appears in an example, and every example runs as
// printed (those marked browser are only parsed, for want of Web Audio in Node) and prints
// what its `// prints:` lines say. The files they read are the tool's, made as they say.
test('the README shows every export in an example that runs and prints what it says', async () => {
  execFileSync(rsidTool, ['send', '-o', join(dir, 'identifier.wav'), '--lead', '1']);
  execFileSync(rsidTool, ['send', '-t', 'raw', '-r', '8000', '-f', '1000', '--lead', '0.5', '-o',
    join(dir, 'identifier.raw')]);
  const readme = readFileSync(join(dir, 'node_modules', 'rsid', 'README.md'), 'utf8');
  const examples = [...readme.matchAll(/```js( browser)?\n([\s\S]*?)```/g)]
    .map(([, browser, code], i) => ({ browser: Boolean(browser), code, file: join(dir, `example-${i}.mjs`) }));
  const shown = new Set(examples.flatMap(({ code }) =>
    [...code.matchAll(/import \{([^}]*)\} from 'rsid'/g)].flatMap(([, names]) => names.split(',').map((n) => n.trim()))));
  const exported = Object.keys(await import(new URL('../src/index.js', import.meta.url).href));
  assert.deepEqual(exported.filter((name) => !shown.has(name)), [], 'exports without an example');
  for (const { browser, code, file } of examples) {
    writeFileSync(file, code);
    const args = browser ? ['--check', file] : [file];
    let out;
    try {
      out = execFileSync('node', args, { cwd: dir, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
    } catch (e) {
      assert.fail(`${code}\nfailed: ${e.stderr}`);
    }
    const says = [...code.matchAll(/^\/\/ prints: (.*)$/gm)].map(([, line]) => line);
    if (!browser) assert.ok(says.length > 0, `an example that says nothing of its output:\n${code}`);
    assert.deepEqual(out.split('\n').filter(Boolean), says, code);
  }
});
