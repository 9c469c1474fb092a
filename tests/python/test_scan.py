"""The band scanner from Python: identifiers synthesised here (not by rsid.send) anywhere in a
band of I/Q or wide real audio, found once each at the right frequency and time; every way of
giving a band (complex, I and Q columns, files, a stream in any chunking); bad arguments."""

import math
import wave

import numpy as np
import pytest

import rsid

CODEWORD = [0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3]  # the tones of code 131
SYMBOL_S = 4456 / 48000  # one tone [s]
SPACING_HZ = 10.7666  # between adjacent tone numbers


def phase(rate, base_hz, n_before, n):
    """Phase of tone 0 at base_hz, continuous across the 15 tones, for an identifier starting
    n_before samples into the block; 0 outside it. Returns (phase, inside)."""
    t = (np.arange(n) - n_before) / rate
    symbol = np.floor(t / SYMBOL_S).astype(int)
    inside = (symbol >= 0) & (symbol < 15)
    freq = base_hz + np.array(CODEWORD)[np.clip(symbol, 0, 14)] * SPACING_HZ
    return 2 * np.pi * np.cumsum(np.where(inside, freq, 0.0)) / rate, inside


def band(rate, n, identifiers, amplitude, noise_sigma, seed, complex_):
    """n samples holding identifiers [(start_s, offset_hz)] of the given amplitude (a complex
    exponential for I/Q, a sine for real audio) in white Gaussian noise."""
    x = np.zeros(n, complex if complex_ else float)
    for start_s, offset_hz in identifiers:
        ph, inside = phase(rate, offset_hz, round(start_s * rate), n)
        x += amplitude * inside * (np.exp(1j * ph) if complex_ else np.sin(ph))
    rng = np.random.default_rng(seed)
    x += rng.normal(0.0, noise_sigma, n)
    if complex_:
        x += 1j * rng.normal(0.0, noise_sigma, n)
    return x


def expect_found(got, want, center, what, amplitude=None):
    """Each identifier of want [(start_s, offset_hz)] found once, within 3 Hz and 50 ms, its
    level within 1 dB of the amplitude's (against full scale); nothing else found."""
    assert len(got) == len(want), (what, got)
    for start_s, offset_hz in want:
        near = [d for d in got if abs(d.offset_hz - offset_hz) < 20.0]
        assert len(near) == 1, (what, offset_hz, got)
        d = near[0]
        assert d.offset_hz == pytest.approx(offset_hz, abs=3.0), what
        assert d.freq_hz == pytest.approx(center + offset_hz, abs=3.0), what
        assert d.time_s == pytest.approx(start_s, abs=0.05), (what, offset_hz)
        assert d.time_s == d.sample / d.rate
        assert (d.code, d.channel) == (131, 0)
        if amplitude is not None:
            assert d.level_dbfs == pytest.approx(20 * math.log10(amplitude), abs=1.0), what
    assert [d.sample for d in got] == sorted(d.sample for d in got)  # in order of start


IQ_CASES = [
    # (what, rate [complex samples/s], centre [Hz], identifiers [(start_s, offset_hz)])
    ("both sides of the centre", 96000, 7.1e6, [(0.3, -21234.5), (0.5, 1500.0), (0.8, 30111.0)]),
    ("the edges", 96000, 14.2e6, [(0.2, -47800.0), (0.6, 47600.0)]),
    ("across the centre", 48000, 0.0, [(0.4, -60.0), (1.0, -9000.0)]),
    ("the first sample, at 48000/s", 48000, 3.5e6, [(0.0, 4321.0), (0.7, -23700.0)]),
]


@pytest.mark.parametrize("what,rate,center,ids", IQ_CASES, ids=[c[0] for c in IQ_CASES])
def test_identifiers_anywhere_in_an_iq_band(what, rate, center, ids):
    # Identifiers 0.05 of full scale in noise of the same power per component: about 11 dB SNR
    # in 3 kHz at 48000/s, 14 dB at 96000/s.
    x = band(rate, round(rate * 2.6), ids, 0.05, 0.05, 3, True)
    got = rsid.scan(x.astype(np.complex64), rate, center=center)
    expect_found(got, ids, center, what, 0.05)
    # complex128, and the same samples as two columns of I and Q in every dtype: the same
    # reports (int16 and int32 on their own full scale).
    assert rsid.scan(x, rate, center=center) == got
    columns = np.stack([x.real, x.imag], axis=1)
    for dtype, scale in ((np.float32, 1.0), (np.float64, 1.0), (np.int16, 32768.0),
                         (np.int32, 2147483648.0)):
        again = rsid.scan((columns * scale).astype(dtype), rate, center=center, iq=True)
        expect_found(again, ids, center, f"{what}, {np.dtype(dtype).name} I and Q", 0.05)


def test_identifiers_across_wide_real_audio():
    rate = 48000
    ids = [(0.3, 2700.0), (0.9, 15000.0)]
    x = band(rate, round(rate * 2.6), ids, 0.1, 0.08, 4, False)
    got = rsid.scan(x, rate)
    expect_found(got, ids, 0.0, "wide audio", 0.1)
    for d in got:
        assert d.freq_hz == d.offset_hz
    # The same audio as int16, and with the dial frequency of a receiver as its 0 Hz.
    pcm = np.clip(np.round(x * 32768.0), -32768, 32767).astype(np.int16)
    expect_found(rsid.scan(pcm, rate, center=7.074e6), ids, 7.074e6, "int16 audio", 0.1)
    # The narrowband detector, an independent path, agrees where it can listen (600-2231 Hz);
    # its offset is its frequency, as for audio scanned from 0 Hz.
    low = band(rate, round(rate * 2.6), [(0.3, 1200.0)], 0.1, 0.02, 5, False)
    heard, scanned = rsid.detect(low, rate), rsid.scan(low, rate)
    assert len(heard) == len(scanned) == 1
    assert heard[0].offset_hz == heard[0].freq_hz
    # Each within its stated 3 Hz of the identifier sent (their grids differ: 5.36 Hz bins
    # of the scanner's transform against the detector's 5.38 Hz).
    assert scanned[0].freq_hz == pytest.approx(1200.0, abs=3.0)
    assert heard[0].freq_hz == pytest.approx(1200.0, abs=3.0)
    assert scanned[0].time_s == pytest.approx(heard[0].time_s, abs=0.03)


def write_wav(path, x, rate):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1 if x.ndim == 1 else x.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.ascontiguousarray(x, dtype="<i2").tobytes())


def test_files_scan_as_the_same_samples(tmp_path):
    rate = 48000
    iq = band(rate, rate * 3, [(0.5, -12000.0), (1.0, 8000.0)], 0.2, 0.1, 6, True)
    columns = np.clip(np.round(np.stack([iq.real, iq.imag], axis=1) * 32768), -32768, 32767)
    columns = columns.astype(np.int16)
    audio = band(rate, rate * 3, [(0.5, 2700.0), (1.0, 15000.0)], 0.2, 0.1, 6, False)
    audio = np.clip(np.round(audio * 32768), -32768, 32767).astype(np.int16)
    write_wav(tmp_path / "iq.wav", columns, rate)
    write_wav(tmp_path / "audio.wav", audio, rate)
    got = rsid.scan_file(tmp_path / "iq.wav", iq=True, center=1e6)
    assert got == rsid.scan(columns, rate, center=1e6, iq=True)
    expect_found(got, [(0.5, -12000.0), (1.0, 8000.0)], 1e6, "I/Q file")
    got = rsid.scan_file(str(tmp_path / "audio.wav"))  # one channel: wide audio from 0 Hz
    assert got == rsid.scan(audio, rate)
    expect_found(got, [(0.5, 2700.0), (1.0, 15000.0)], 0.0, "audio file")
    assert rsid.scan_file(tmp_path / "audio.wav", iq=False, center=None) == got
    slow = tmp_path / "slow.wav"
    write_wav(slow, np.zeros(4000, np.int16), 4000)
    for path, iq, error, words in [
            (tmp_path / "iq.wav", None, ValueError, "2 channels: scan_file takes 1"),
            (tmp_path / "iq.wav", False, ValueError, "iq=True, 2"),
            (tmp_path / "audio.wav", True, ValueError, "1 channel:"),
            (slow, None, ValueError, "needs 6000"),
            (tmp_path / "missing.wav", None, rsid.InputError, "missing.wav")]:
        with pytest.raises(error, match=words):
            rsid.scan_file(path, iq=iq)


def test_chunking_never_changes_a_scan():
    rate = 24000
    ids = [(0.6, -4000.0), (1.1, 7000.0)]
    x = band(rate, rate * 3, ids, 0.1, 0.1, 7, True).astype(np.complex64)
    want = rsid.scan(x, rate, center=5e5)
    expect_found(want, ids, 5e5, "one call")
    columns = np.stack([x.real, x.imag], axis=1)
    for chunk, samples in ((1, x[:round(rate * 2.1)]), (7, x), (4999, x), (100000, x), (13, columns)):
        s = rsid.Scanner(rate, center=5e5)
        got = []
        for i in range(0, len(samples), chunk):
            got += s.feed(samples[i:i + chunk])
        assert s.frames == len(samples)
        got += s.finish()
        expected = want if len(samples) == len(x) else rsid.scan(samples, rate, center=5e5)
        assert expected, chunk
        assert sorted(got, key=lambda d: d.sample) == expected, chunk
    # Real audio, and a finished Scanner starts again from sample 0.
    audio = band(rate, rate * 3, [(0.4, 9000.0)], 0.1, 0.05, 8, False)
    s = rsid.Scanner(rate, complex=False)
    for _ in range(2):
        got = []
        for i in range(0, len(audio), 3333):
            got += s.feed(audio[i:i + 3333])
        got += s.finish()
        assert got == rsid.scan(audio, rate) and len(got) == 1
    assert (s.rate, s.center, s.complex, s.frames) == (rate, 0.0, False, 0)


def test_a_scanner_keeps_its_scale_until_finish():
    s = rsid.Scanner(48000)
    assert s.feed(np.zeros((0, 2), np.int16)) == []  # an empty chunk fixes nothing
    s.feed(np.zeros(100, np.complex64))
    s.feed(np.zeros((100, 2), np.float32))  # full scale 1.0, as complex samples
    with pytest.raises(TypeError, match="complex64.*int16"):
        s.feed(np.zeros((100, 2), np.int16))
    assert s.frames == 200
    s.finish()
    assert s.feed(np.zeros((100, 2), np.int16)) == [] and s.frames == 100


def test_samples_that_are_not_signals():
    rate = 48000
    x = band(rate, rate * 2, [(0.2, 3000.0)], 0.2, 0.0, 9, True)
    holed = x.copy()
    holed[::997] = complex(np.nan, np.nan)  # NaN, infinity and huge values count as silence
    holed[500::1999] = complex(np.inf, 0.0)
    holed[800::2999] = complex(1e300, -1e300)
    assert len(rsid.scan(holed, rate)) == 1
    with np.errstate(over="ignore"):
        narrow = holed.astype(np.complex64)  # 1e300 becomes infinity
    assert rsid.scan(narrow, rate) == rsid.scan(holed, rate)
    assert rsid.scan(np.full(rate, np.nan, np.complex64), rate) == []
    assert rsid.scan(np.zeros(rate, np.complex64) + 0.3 + 0.3j, rate) == []  # DC alone
    assert rsid.scan([], rate) == [] and rsid.scan(np.zeros(0, complex), rate) == []


BAD_CALLS = [
    # (what, call, exception, words in the message)
    ("2-D without iq", lambda: rsid.scan(np.zeros((9, 2)), 48000), ValueError, "iq=True"),
    ("3 columns", lambda: rsid.scan(np.zeros((9, 3)), 48000, iq=True), ValueError, "3 columns"),
    ("1-D real as I/Q", lambda: rsid.scan(np.zeros(9), 48000, iq=True), ValueError, "1-D real"),
    ("complex as audio", lambda: rsid.scan(np.zeros(9, complex), 48000, iq=False), ValueError,
     "iq=False"),
    ("2-D complex", lambda: rsid.scan(np.zeros((9, 2), complex), 48000), ValueError, "2-D"),
    ("3-D", lambda: rsid.scan(np.zeros((4, 2, 2)), 48000, iq=True), ValueError, "3-D"),
    ("int64", lambda: rsid.scan(np.zeros(9, np.int64), 48000), TypeError, "int64.*complex64"),
    ("uint8 I/Q", lambda: rsid.scan(np.zeros((9, 2), np.uint8), 48000, iq=True), TypeError,
     "uint8"),
    ("complex256", lambda: rsid.scan(np.zeros(9, np.clongdouble), 48000), TypeError,
     "complex256"),
    ("text", lambda: rsid.scan("abc", 48000), TypeError, "<U3"),
    ("negative rate", lambda: rsid.scan(np.zeros(9, complex), -48000), ValueError, "-48000"),
    ("rate below the scanner's", lambda: rsid.scan(np.zeros(9), 5999), ValueError,
     "6000 to 20000000"),
    ("rate too high", lambda: rsid.scan(np.zeros(9), 3e7), ValueError, "20000000"),
    ("NaN rate", lambda: rsid.scan(np.zeros(9), math.nan), ValueError, "nan"),
    ("NaN center", lambda: rsid.scan(np.zeros(9), 48000, center=math.nan), ValueError,
     "center.*nan"),
    ("infinite center", lambda: rsid.scan(np.zeros(9), 48000, center=math.inf), ValueError,
     "center"),
    ("center as text", lambda: rsid.scan(np.zeros(9), 48000, center="7.1e6"), TypeError,
     "center"),
    ("iq as int", lambda: rsid.scan(np.zeros((9, 2)), 48000, iq=1), TypeError, "iq"),
    ("scan_file center", lambda: rsid.scan_file("x.wav", center=math.nan), ValueError, "center"),
    ("scan_file path", lambda: rsid.scan_file(3), TypeError, "path"),
    ("Scanner rate", lambda: rsid.Scanner(-1), ValueError, "rate"),
    ("Scanner center", lambda: rsid.Scanner(48000, center=math.nan), ValueError, "center"),
    ("Scanner complex", lambda: rsid.Scanner(48000, complex="yes"), TypeError, "complex"),
    ("Scanner real chunk", lambda: rsid.Scanner(48000).feed(np.zeros(9)), ValueError,
     "complex=True"),
    ("Scanner I/Q chunk", lambda: rsid.Scanner(48000, complex=False).feed(np.zeros((9, 2))),
     ValueError, "complex=True"),
    ("Scanner complex chunk",
     lambda: rsid.Scanner(48000, complex=False).feed(np.zeros(9, complex)), ValueError,
     "complex=False"),
]


@pytest.mark.parametrize("what,call,error,words", BAD_CALLS, ids=[c[0] for c in BAD_CALLS])
def test_bad_arguments_raise_clear_errors(what, call, error, words):
    with pytest.raises(error, match=words):
        call()
