// app.js - the page: a file (dropped or chosen) or the microphone through the detector, the
// spectrogram, and the list of detections. ?listen=1 starts listening at once (for tests).
import { DETECTOR_RATE, RsidNode, decodeAudio, detect } from './src/index.js';
import { Waterfall } from './waterfall.js';

const status = document.getElementById('status');
const list = document.getElementById('detections');
const button = document.getElementById('listen');
const waterfall = new Waterfall(document.getElementById('waterfall'));
let live = null; // { context, stream } while listening

function say(text, state) {
  status.textContent = text;
  document.body.dataset.state = state; // idle, busy, done, listening, error
}

function clock(seconds) {
  const m = Math.floor(seconds / 60);
  return `${String(m).padStart(2, '0')}:${(seconds - 60 * m).toFixed(2).padStart(5, '0')}`;
}

function show(d) {
  const item = document.createElement('li');
  item.dataset.timeS = d.time_s.toFixed(3);
  item.dataset.freqHz = d.freq_hz.toFixed(2);
  item.dataset.snrDb = d.snr_db.toFixed(1);
  item.textContent = `${clock(d.time_s)}  ${d.freq_hz.toFixed(1)} Hz  SNR ${d.snr_db.toFixed(1)} dB`;
  list.append(item);
  waterfall.mark(d);
}

async function scanFile(file) {
  await stopListening();
  list.replaceChildren();
  say(`decoding ${file.name}`, 'busy');
  try {
    const { samples, duration } = await decodeAudio(file);
    // The whole file across the picture.
    waterfall.reset(Math.max(1, Math.ceil(samples.length / waterfall.canvas.width)));
    waterfall.push(samples);
    const found = await detect(samples, DETECTOR_RATE);
    found.forEach(show);
    say(`${file.name}: ${duration.toFixed(1)} s, ${found.length} identifier${found.length === 1 ? '' : 's'}`, 'done');
  } catch (error) {
    say(`${file.name}: ${error.message ?? error}`, 'error');
  }
}

async function startListening() {
  list.replaceChildren();
  waterfall.reset(150); // 40 columns per second: 20 s across the picture
  say('asking for the microphone', 'busy');
  try {
    // Processing meant for speech would change the tones; ask for the plain signal.
    const stream = await navigator.mediaDevices.getUserMedia({
      audio: { echoCancellation: false, noiseSuppression: false, autoGainControl: false },
    });
    const context = new AudioContext();
    live = { context, stream };
    const node = await RsidNode.create(context, { samples: true });
    node.addEventListener('samples', (e) => waterfall.push(e.detail));
    node.addEventListener('detection', (e) => show(e.detail));
    node.addEventListener('error', (e) => say(`detector: ${e.detail}`, 'error'));
    context.createMediaStreamSource(stream).connect(node);
    await context.resume();
    button.textContent = 'Stop';
    say(`listening at ${context.sampleRate} samples/s`, 'listening');
  } catch (error) {
    await stopListening();
    say(`microphone: ${error.message ?? error}`, 'error');
  }
}

async function stopListening() {
  if (!live) return;
  const { context, stream } = live;
  live = null;
  stream.getTracks().forEach((t) => t.stop());
  await context.close();
  button.textContent = 'Listen';
  say('stopped', 'idle');
}

button.addEventListener('click', () => (live ? stopListening() : startListening()));
document.getElementById('file').addEventListener('change', (e) => {
  if (e.target.files.length) scanFile(e.target.files[0]);
});
const drop = document.getElementById('drop');
drop.addEventListener('dragover', (e) => {
  e.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => {
  e.preventDefault();
  drop.classList.remove('over');
  if (e.dataTransfer.files.length) scanFile(e.dataTransfer.files[0]);
});

say('', 'idle');
if (new URLSearchParams(location.search).get('listen') === '1') startListening();
