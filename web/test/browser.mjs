// browser.mjs - Debian's Chromium, headless, driven by puppeteer-core (no browser download).
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

export const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';

// A fresh profile; microphone: a WAV file the fake capture device plays (in a loop).
export async function launch({ microphone } = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'rsid-chromium-'));
  const args = [
    '--headless',
    '--no-sandbox', // as root
    '--disable-gpu',
    '--no-first-run',
    '--disable-background-networking', // this machine has no network: no lookups at start
    '--disable-component-update',
    '--disable-sync',
    `--user-data-dir=${profile}`,
    '--autoplay-policy=no-user-gesture-required',
  ];
  if (microphone)
    args.push(
      '--use-fake-ui-for-media-stream',
      '--use-fake-device-for-media-stream',
      `--use-file-for-fake-audio-capture=${microphone}`,
    );
  const browser = await puppeteer.launch({ executablePath: chromium, headless: true, args });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}
