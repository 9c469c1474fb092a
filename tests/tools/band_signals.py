"""Complex bands with identifiers in them, made from `rsid send`'s own audio, for the ZeroMQ
tests: each identifier is turned into its analytic signal, brought to the band's rate and
moved to its frequency, so that tone 0 lands exactly where the test says."""
import os
import subprocess
import tempfile
import wave

import numpy as np

AUDIO_RATE = 48000
BASE_HZ = 1000.0  # tone 0 of the sent audio


def sent_identifier(tool, code):
    """One identifier as `rsid send` writes it: 16-bit samples at 48 kHz, scaled to +-1."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "id.wav")
        subprocess.run([tool, "send", "--code", str(code), "-f", str(BASE_HZ), "-o", path, "-q"],
                       check=True)
        with wave.open(path) as w:
            assert w.getframerate() == AUDIO_RATE and w.getsampwidth() == 2
            frames = w.readframes(w.getnframes())
    return np.frombuffer(frames, "<i2").astype(np.float64) / 32768.0


def analytic_at(x, rate):
    """The analytic signal of real audio at AUDIO_RATE, resampled to rate (an integer multiple)
    by filling the spectrum: positive frequencies doubled, the rest zero."""
    factor = int(round(rate / AUDIO_RATE))
    assert factor * AUDIO_RATE == rate
    n = len(x)
    spectrum = np.fft.fft(x)
    wide = np.zeros(n * factor, complex)
    half = n // 2
    wide[1:half] = 2.0 * spectrum[1:half]
    wide[0] = spectrum[0]
    return np.fft.ifft(wide) * factor


def band(tool, rate, seconds, identifiers, noise=0.003, seed=1):
    """cf32 samples: complex noise plus identifiers given as (code, tone-0 Hz, start s, amplitude)
    relative to the band's centre."""
    rng = np.random.default_rng(seed)
    total = int(seconds * rate)
    out = (rng.normal(0, noise, total) + 1j * rng.normal(0, noise, total)).astype(np.complex128)
    cache = {}
    for code, freq, start, amplitude in identifiers:
        if code not in cache:
            cache[code] = analytic_at(sent_identifier(tool, code), rate)
        sig = cache[code]
        first = int(round(start * rate))
        t = (first + np.arange(len(sig))) / rate
        part = amplitude * sig * np.exp(2j * np.pi * (freq - BASE_HZ) * t)
        out[first:first + len(sig)] += part[:total - first]
    return out.astype(np.complex64)
