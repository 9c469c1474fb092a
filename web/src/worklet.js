// worklet.js - the AudioWorklet processor behind RsidNode: the detector on live audio at the
// context's rate (sampleRate), on the audio rendering thread.
//
// The module arrives as bytes and is instantiated here; until it is ready, input is queued, not
// dropped. Each detection is posted to the node as it is found.
import { Detector, instantiate } from './core.js';

const samples_post = 300; // converted samples per 'samples' message: 50 ms at 6000/s

class RsidProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const { wasm, samples, codes, exact } = options.processorOptions;
    this.queue = []; // input that arrived before the module was ready
    this.detector = null;
    this.converted = samples ? [] : null;
    this.converted_length = 0;
    instantiate(wasm).then(
      (module) => {
        this.detector = new Detector(module, { rate: sampleRate, codes, exact });
        if (this.converted) this.detector.onconverted = (x) => this.forward(x);
        for (const block of this.queue) this.run(block);
        this.queue = null;
      },
      (error) => {
        this.queue = null;
        this.port.postMessage({ type: 'error', message: String(error) });
      },
    );
    this.port.onmessage = ({ data }) => {
      if (data.type === 'finish' && this.detector) this.post(this.detector.finish());
    };
  }

  forward(x) {
    this.converted.push(x);
    this.converted_length += x.length;
    if (this.converted_length < samples_post) return;
    const all = new Float32Array(this.converted_length);
    let at = 0;
    for (const part of this.converted) all.set(part, (at += part.length) - part.length);
    this.converted = [];
    this.converted_length = 0;
    this.port.postMessage({ type: 'samples', samples: all }, [all.buffer]);
  }

  post(found) {
    for (const detection of found) this.port.postMessage({ type: 'detection', detection });
  }

  run(block) {
    this.post(this.detector.feed(block));
  }

  process(inputs) {
    const channel = inputs[0]?.[0]; // mono: the node mixes its input down to one channel
    if (channel) {
      if (this.detector) this.run(channel);
      else this.queue?.push(channel.slice()); // the engine reuses its blocks
    }
    return true; // keep running while the node exists
  }
}

registerProcessor('rsid-detector', RsidProcessor);
