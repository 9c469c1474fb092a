#!/usr/bin/env python3
"""make_inputs.py DIR - writes the consumers' inputs, made without rsid:
DIR/several.wav  22050/s mono 16-bit: identifiers (code 131) at 0.4 s 900 Hz, 0.9 s 2100 Hz
                 (overlapping the first) and 3.1 s 1500 Hz, in light noise;
DIR/band.cf32    48000/s I/Q, centre 7.04 MHz: identifiers at -15000, +3000 and +11000 Hz.
The tones are computed here from the codeword of 131, with continuous phase."""
import cmath
import math
import random
import struct
import sys
import wave

CODEWORD_131 = [0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3]
SYMBOL_S = 4456 / 48000  # one tone
SPACING_HZ = 10.7666


def add(x, rate, start_s, base_hz, amplitude, complex_tone):
    phase = 0.0
    first = math.ceil(start_s * rate)
    for n in range(first, min(len(x), first + int(15 * SYMBOL_S * rate) + 1)):
        into = n / rate - start_s
        if into >= 15 * SYMBOL_S:
            break
        phase += 2 * math.pi * (base_hz + CODEWORD_131[int(into / SYMBOL_S)] * SPACING_HZ) / rate
        x[n] += amplitude * (cmath.exp(1j * phase) if complex_tone else math.sin(phase))


def main(out):
    rng = random.Random(7)
    rate = 22050
    x = [rng.gauss(0.0, 300.0) for _ in range(int(5 * rate))]
    for start, hz in ((0.4, 900.0), (0.9, 2100.0), (3.1, 1500.0)):
        add(x, rate, start, hz, 8000.0, False)
    with wave.open(f"{out}/several.wav", "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(struct.pack(f"<{len(x)}h", *(max(-32768, min(32767, round(v))) for v in x)))
    rate = 48000
    z = [complex(rng.gauss(0.0, 0.01), rng.gauss(0.0, 0.01)) for _ in range(int(4 * rate))]
    for start, hz in ((0.3, -15000.0), (0.6, 3000.0), (2.2, 11000.0)):
        add(z, rate, start, hz, 0.1, True)
    with open(f"{out}/band.cf32", "wb") as f:
        f.write(struct.pack(f"<{2 * len(z)}f", *(c for v in z for c in (v.real, v.imag))))


if __name__ == "__main__":
    main(sys.argv[1])
