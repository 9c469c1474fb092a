// waterfall.js - the page's spectrogram of 0 to 3 kHz: audio at 6000/s in, one column per hop
// drawn at the right edge while the picture scrolls left, detections outlined where they were.

const size = 1024;           // FFT length: 5.86 Hz per bin at 6000/s, bins 0..512 cover 0-3 kHz
const floor_db = -110;       // dB against full scale at the bottom of the colour scale
const range_db = 90;
export const MARK = '#ff00ff'; // outline of a detection (the page's tests look for it)
const identifier_s = 1.3925;   // 15 tones of 4456 samples at 48000/s
const identifier_hz = 15 * 10.7666; // tone 0 to the top of tone 15

// Twiddles and the bit-reversal permutation of the radix-2 FFT.
const cos = new Float64Array(size / 2);
const sin = new Float64Array(size / 2);
for (let i = 0; i < size / 2; ++i) {
  cos[i] = Math.cos((2 * Math.PI * i) / size);
  sin[i] = -Math.sin((2 * Math.PI * i) / size);
}
const reversed = new Uint16Array(size);
for (let i = 0, bits = Math.log2(size); i < size; ++i) {
  let r = 0;
  for (let b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
  reversed[i] = r;
}
const window = new Float64Array(size).map((_, i) => 0.5 - 0.5 * Math.cos((2 * Math.PI * i) / size));
const window_gain = window.reduce((a, b) => a + b) / 2; // a full-scale sine's bin magnitude

function fft(re, im) {
  for (let i = 0; i < size; ++i) {
    const j = reversed[i];
    if (j > i) {
      [re[i], re[j]] = [re[j], re[i]];
      [im[i], im[j]] = [im[j], im[i]];
    }
  }
  for (let half = 1; half < size; half *= 2) {
    const step = size / (2 * half);
    for (let start = 0; start < size; start += 2 * half) {
      for (let k = 0; k < half; ++k) {
        const c = cos[k * step];
        const s = sin[k * step];
        const a = start + k;
        const b = a + half;
        const tr = re[b] * c - im[b] * s;
        const ti = re[b] * s + im[b] * c;
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] += tr;
        im[a] += ti;
      }
    }
  }
}

// Dark blue through red and yellow to white; the darkest still differs from the empty canvas.
function colour(v) {
  const stops = [
    [0, 0, 48],
    [40, 0, 120],
    [200, 0, 60],
    [255, 160, 0],
    [255, 255, 200],
  ];
  const x = Math.min(1, Math.max(0, v)) * (stops.length - 1);
  const i = Math.min(stops.length - 2, Math.floor(x));
  const f = x - i;
  return stops[i].map((c, k) => Math.round(c + f * (stops[i + 1][k] - c)));
}

export class Waterfall {
  constructor(canvas) {
    this.canvas = canvas;
    this.context = canvas.getContext('2d');
    this.reset(150);
  }

  // Clears the picture; hop: samples (at 6000/s) per column.
  reset(hop) {
    this.hop = hop;
    this.pending = new Float32Array(0); // samples not yet in a column
    this.history = new Float32Array(size); // the last size samples, oldest first
    this.columns = 0; // columns drawn since the reset; column c ends at sample (c + 1) * hop
    this.context.fillStyle = '#000';
    this.context.fillRect(0, 0, this.canvas.width, this.canvas.height);
  }

  // Audio at 6000/s, on the +-1 scale.
  push(samples) {
    const all = new Float32Array(this.pending.length + samples.length);
    all.set(this.pending);
    all.set(samples, this.pending.length);
    let at = 0;
    const fresh = [];
    for (; at + this.hop <= all.length; at += this.hop) {
      this.history.copyWithin(0, this.hop);
      this.history.set(all.subarray(at, at + this.hop), size - this.hop);
      fresh.push(this.column());
    }
    this.pending = all.slice(at);
    this.draw(fresh);
  }

  column() {
    const re = new Float64Array(size);
    const im = new Float64Array(size);
    for (let i = 0; i < size; ++i) re[i] = this.history[i] * window[i];
    fft(re, im);
    const levels = new Float32Array(size / 2);
    for (let k = 0; k < size / 2; ++k) {
      const db = 20 * Math.log10(Math.hypot(re[k], im[k]) / window_gain + 1e-12);
      levels[k] = (db - floor_db) / range_db;
    }
    return levels;
  }

  draw(columns) {
    const { canvas, context } = this;
    const n = Math.min(columns.length, canvas.width);
    if (columns.length === 0) return;
    context.drawImage(canvas, -columns.length, 0); // scroll left
    const image = context.createImageData(n, canvas.height);
    for (let c = 0; c < n; ++c) {
      const levels = columns[columns.length - n + c];
      for (let y = 0; y < canvas.height; ++y) {
        const bin = Math.floor(((canvas.height - 1 - y) / canvas.height) * (size / 2));
        const [r, g, b] = colour(levels[bin]);
        const p = 4 * (y * n + c);
        image.data[p] = r;
        image.data[p + 1] = g;
        image.data[p + 2] = b;
        image.data[p + 3] = 255;
      }
    }
    context.putImageData(image, canvas.width - n, 0);
    this.columns += columns.length;
  }

  // Outlines an identifier that starts at time_s (seconds since the reset) with tone 0 at
  // freq_hz, if it is still on the picture.
  mark({ time_s, freq_hz }) {
    const { canvas, context } = this;
    const per_column = this.hop / 6000; // seconds
    // The column whose window is centred on time t ends half a window later.
    const column = (t) => (t * 6000 + size / 2) / this.hop - 1;
    const x0 = canvas.width - (this.columns - column(time_s));
    const x1 = x0 + identifier_s / per_column;
    const y = (hz) => canvas.height * (1 - hz / 3000);
    context.strokeStyle = MARK;
    context.lineWidth = 2;
    context.strokeRect(x0, y(freq_hz + identifier_hz + 20), x1 - x0, y(freq_hz - 20) - y(freq_hz + identifier_hz + 20));
    context.fillStyle = MARK;
    context.font = '12px sans-serif';
    context.fillText(`${freq_hz.toFixed(1)} Hz`, Math.max(2, x0), Math.max(12, y(freq_hz + identifier_hz + 20) - 4));
  }
}
