"""The GNU Radio blocks in headless flowgraphs against the tool: the same samples give the same
reports as `rsid detect --json` and `rsid scan --json`, also across retunes; rx_time tags give
utc; the example script runs. RSID_TOOL names the rsid binary, RSID_EXAMPLE the example."""
import datetime
import json
import math
import os
import re
import subprocess
import sys
import time

import numpy as np
import pmt
import pytest
from gnuradio import blocks, gr, rsid

TOOL = os.environ["RSID_TOOL"]
BAND_RATE = 48000
CENTRE = 7.04e6


class collector(gr.basic_block):
    """Keeps every message of its port 'in' as a Python dict."""

    def __init__(self):
        gr.basic_block.__init__(self, "collector", None, None)
        self.got = []
        self.message_port_register_in(pmt.intern("in"))
        self.set_msg_handler(pmt.intern("in"), self.handle)  # a bound method, not a lambda

    def handle(self, message):
        self.got.append(pmt.to_python(message))


def run(source, block, between=None):
    """source -> [between ->] block in a flowgraph run to the end; the reports published."""
    tb, sink = gr.top_block(), collector()
    tb.connect(*[b for b in (source, between, block) if b is not None])
    tb.msg_connect(block, "detections", sink, "in")
    tb.run()
    return sink.got


def rounded(x, scale):
    """As the tool rounds for printing (std::round: halves away from zero)."""
    return math.copysign(math.floor(abs(x) * scale + 0.5), x) / scale


def as_json(report):
    """A block's report with the precision of the tool's JSON record."""
    out = {"code": report["code"], "sample": report["sample"], "channel": report["channel"],
           "time_s": rounded(report["time_s"], 1e3), "freq_hz": rounded(report["freq_hz"], 1e4),
           "snr_db": rounded(report["snr_db"], 10), "level_dbfs": rounded(report["level_dbfs"], 10)}
    if "offset_hz" in report:
        out["offset_hz"] = rounded(report["offset_hz"], 1e4)
    return out


def tool(*args, shift=0, rate=None):
    """The tool's detection records, without the fields the blocks leave out; sample and
    time_s moved on by `shift` samples (a part cut from a longer stream)."""
    lines = subprocess.run([TOOL, *args, "--json"], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    found = []
    for record in map(json.loads, lines):
        if record["type"] != "detection":
            continue
        for key in ("version", "type", "input", "time", "rate"):
            record.pop(key)
        if shift:
            record["sample"] += shift
            record["time_s"] = rounded(record["sample"] / rate, 1e3)
        found.append(record)
    return found


def send(freq, rate, lead, tail=0.0, code=131):
    """`rsid send` as float samples."""
    raw = subprocess.run([TOOL, "send", "-q", "--code", str(code), "-f", str(freq), "-r",
                          str(rate), "--lead",
                          str(lead), "--tail", str(tail), "-t", "raw", "-e", "float", "-b", "32",
                          "-o", "-"], check=True, capture_output=True).stdout
    return np.frombuffer(raw, dtype=np.float32)


# Audio: identifiers one after another, the last at the very end of the input (no tail: the
# end of the flowgraph must flush it), with and without noise; the codes looked for (none: the
# engine's default, 131) and those sent.
AUDIO = [
    (8000, [(1000, 0.3, 131), (2000, 0.5, 131)], 0.0, []),
    (22050, [(600, 0.2, 131), (1500, 0.4, 131), (2200, 0.3, 131)], 0.02, []),
    (48000, [(1200, 1.0, 131)], 0.05, []),
    (16000, [(900, 0.3, 7), (1800, 0.4, 131), (1300, 0.2, 2000)], 0.02, [7, 131, 2000]),
]


@pytest.mark.parametrize("rate,sends,noise,codes", AUDIO)
def test_detector_equals_rsid_detect(tmp_path, rate, sends, noise, codes):
    x = np.concatenate([send(f, rate, lead, code=c) for f, lead, c in sends])
    x = x + np.random.default_rng(rate).normal(0.0, noise, x.size).astype(np.float32)
    path = tmp_path / "audio.f32"
    x.astype(np.float32).tofile(path)
    chosen = ["--codes", ",".join(map(str, codes))] if codes else []
    want = tool("detect", "-t", "raw", "-r", str(rate), "-e", "float", "-b", "32", *chosen,
                str(path))
    assert [r["code"] for r in want] == [c for _, _, c in sends]
    got = run(blocks.file_source(gr.sizeof_float, str(path), False), rsid.detector(rate, codes))
    assert [as_json(r) for r in got] == want
    assert all(r["rate"] == rate and "utc" not in r for r in got)


def make_band(path):
    """4.6 s of I/Q at 48000/s: `rsid send` audio made analytic and moved to tone 0 at -15000
    Hz (0.3 s), +3000 Hz (0.6 s) and +11000 Hz (2.6 s, after the retunes below), in noise."""
    n = int(4.6 * BAND_RATE)
    z = np.random.default_rng(5).normal(0.0, 0.01, (n, 2)).astype(np.float32).view(np.complex64)
    z = z[:, 0].astype(np.complex128)
    for offset, start in ((-15000, 0.3), (3000, 0.6), (11000, 2.6)):
        x = send(1500, BAND_RATE, start, 0.0).astype(np.float64)
        size = 1 << (x.size - 1).bit_length()  # a fast transform; the padding is silence
        spectrum = np.fft.fft(x, size)
        spectrum[size // 2 + 1:] = 0.0  # analytic: the positive frequencies, doubled
        spectrum[1:size // 2] *= 2.0
        t = np.arange(x.size) / BAND_RATE
        analytic = np.fft.ifft(spectrum)[:x.size]
        z[:x.size] += 0.2 * analytic * np.exp(2j * np.pi * (offset - 1500) * t)
    z.astype(np.complex64).tofile(path)
    return z.astype(np.complex64)


@pytest.fixture(scope="module")
def band(tmp_path_factory):
    path = tmp_path_factory.mktemp("band") / "band.cf32"
    return path, make_band(path)


class retune_gate(gr.sync_block):
    """Passes I/Q on; at sample `at` waits until the scanner has taken every sample before it,
    then retunes it, so that the retune falls exactly there. The scanner keeps its newest sample
    back until more come (gnuradio/lib/reports.h): the gate lets one through before waiting."""

    def __init__(self, at, scanner, centre):
        gr.sync_block.__init__(self, "retune_gate", [np.complex64], [np.complex64])
        self.at, self.scanner, self.centre, self.retuned = at, scanner, centre, False

    def work(self, input_items, output_items):
        n = len(output_items[0])
        done = self.nitems_written(0)
        if done <= self.at:
            n = min(n, self.at + 1 - done)
        elif not self.retuned:
            while self.scanner.nitems_read(0) < self.at:
                time.sleep(0.001)
            self.scanner.set_center_freq(self.centre)
            self.retuned = True
        output_items[0][:n] = input_items[0][:n]
        return n


SPLIT = int(2.1 * BAND_RATE)  # where the band is retuned: between the identifiers
NEW_CENTRE = 7.1e6
T0 = (1_700_000_000, 0.2504)  # rx_time at sample 0; the source re-stamps at SPLIT, 5 s later


def tag(offset, key, value):
    t = gr.tag_t()
    t.offset, t.key, t.value = offset, pmt.intern(key), value
    return t


def rx_time(seconds, fraction):
    return pmt.make_tuple(pmt.from_uint64(seconds), pmt.from_double(fraction))


def utc(seconds, fraction, after_s):
    """ISO 8601 with milliseconds truncated, the tool's way, computed with Python's datetime."""
    whole = math.floor(fraction + after_s)
    ms = math.floor((fraction + after_s - whole) * 1000)
    t = datetime.datetime.fromtimestamp(seconds + whole, datetime.timezone.utc)
    return t.strftime("%Y-%m-%dT%H:%M:%S") + f".{ms:03d}Z"


# How the band is retuned at SPLIT: not at all, by set_center_freq() from outside, or by the
# source's rx_freq tag (with rx_time tags, as a UHD source gives them).
@pytest.mark.parametrize("how", ["none", "set_center_freq", "rx_freq"])
def test_band_scanner_equals_rsid_scan(tmp_path, band, how):
    path, z = band
    scan = ["scan", "-t", "cf32", "-r", str(BAND_RATE)]
    if how == "none":
        want = tool(*scan, "--center", str(CENTRE), str(path))
    else:
        z[:SPLIT].tofile(tmp_path / "a.cf32")
        z[SPLIT:].tofile(tmp_path / "b.cf32")
        want = (tool(*scan, "--center", str(CENTRE), str(tmp_path / "a.cf32")) +
                tool(*scan, "--center", str(NEW_CENTRE), str(tmp_path / "b.cf32"), shift=SPLIT,
                     rate=BAND_RATE))
    assert len(want) == 3

    tags, gate = [], None
    scanner = rsid.band_scanner(BAND_RATE, CENTRE if how != "rx_freq" else 0.0)
    if how == "set_center_freq":
        gate = retune_gate(SPLIT, scanner, NEW_CENTRE)
    elif how == "rx_freq":
        restamp = (T0[0] + 5 + SPLIT // BAND_RATE, T0[1] + SPLIT % BAND_RATE / BAND_RATE)
        tags = [tag(0, "rx_freq", pmt.from_double(CENTRE)), tag(0, "rx_time", rx_time(*T0)),
                tag(SPLIT, "rx_freq", pmt.from_double(NEW_CENTRE)),
                tag(SPLIT, "rx_time", rx_time(*restamp))]
    got = run(blocks.vector_source_c(z.tolist(), False, 1, tags), scanner, gate)
    assert [as_json(r) for r in got] == want
    assert scanner.center_freq() == (CENTRE if how == "none" else NEW_CENTRE)
    if how == "rx_freq":
        assert [r["utc"] for r in got] == [
            utc(*T0, r["sample"] / BAND_RATE) if r["sample"] < SPLIT else
            utc(*restamp, (r["sample"] - SPLIT) / BAND_RATE) for r in got]
    else:
        assert all("utc" not in r for r in got)


def test_bad_arguments_are_refused():
    for make in (lambda: rsid.detector(10.0), lambda: rsid.band_scanner(1e9, 0.0),
                 lambda: rsid.detector(48000, [131, 4096]),
                 lambda: rsid.band_scanner(48000, float("nan"))):
        with pytest.raises(ValueError):
            make()


def test_example_script(band):
    path, _ = band
    want = tool("scan", "-t", "cf32", "-r", str(BAND_RATE), "--center", str(CENTRE), str(path))
    out = subprocess.run([sys.executable, os.environ["RSID_EXAMPLE"], "--file", str(path),
                          "--samp-rate", str(BAND_RATE), "--center-freq", str(CENTRE)],
                         check=True, capture_output=True, text=True, timeout=120).stdout
    printed = [float(f) for f in re.findall(r"\(freq_hz \. ([-0-9.e+]+)\)", out)]
    assert len(printed) == len(want)
    for f, record in zip(printed, want):
        assert abs(f - record["freq_hz"]) <= 5.0  # printed to 6 digits: 10 Hz steps at 7 MHz
