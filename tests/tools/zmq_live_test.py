"""`rsid scan zmq+tcp://...` against real GNU Radio publishers on loopback, as a live pipe:
a silent or absent publisher is waited for and a stop signal still ends the scan within 1 s; a
publisher that goes away and comes back is read again; a retune moves the scan to the new
centre at the tag's sample, a new rate ends it.

Usage: zmq_live_test.py RSID
"""
import gc
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import pmt
from gnuradio import blocks, gr, zeromq

sys.path.insert(0, os.path.dirname(__file__))
import band_signals  # noqa: E402

TOOL = sys.argv[1]
RATE = 48000


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def records(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


class publisher(gr.top_block):
    """samples out of a GNU Radio sink: pub_sink, or push_sink with push; tags as
    (offset, key, value); None publishes nothing at all (a source that never produces)."""

    def __init__(self, port, samples, push=False, tags=()):
        gr.top_block.__init__(self, "publisher")
        address = "tcp://127.0.0.1:%d" % port
        if samples is None:
            source = zeromq.sub_source(gr.sizeof_gr_complex, 1,
                                       "tcp://127.0.0.1:%d" % free_port(), 100)
            head = source
        else:
            made = [gr.tag_utils.python_to_tag((o, pmt.intern(k), pmt.from_double(v),
                                                pmt.PMT_NIL)) for o, k, v in tags]
            source = blocks.vector_source_c(samples.tolist(), False, 1, made)
            head = blocks.throttle(gr.sizeof_gr_complex, RATE)  # as live as a receiver
            self.connect(source, head)
        make = zeromq.push_sink if push else zeromq.pub_sink
        self.sink = make(gr.sizeof_gr_complex, 1, address, 100, bool(tags), -1)
        self.connect(head, self.sink)


def scanner(url, out, *extra):
    return subprocess.Popen([TOOL, "scan", "-t", "cf32", "-r", str(RATE), "--codes", "all",
                             "--json", *extra, url], stdout=out, stderr=subprocess.PIPE,
                            text=True)


def stop_within(test, proc, sig, limit=1.0):
    """Sends sig and returns the exit status, failing unless the process ends within limit."""
    sent = time.monotonic()
    proc.send_signal(sig)
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        proc.kill()
        test.fail("still running 5 s after the signal")
    took = time.monotonic() - sent
    test.assertLess(took, limit, "ended %.2f s after the signal" % took)
    return proc.returncode


def wait_for(path, count, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if sum(r["type"] == "detection" for r in records(path)) >= count:
            return
        time.sleep(0.1)


class live(unittest.TestCase):
    def test_stop_while_waiting(self):
        # (what is at the other end, signal, exit status)
        cases = [("nothing bound", signal.SIGINT, 130),
                 ("a silent publisher", signal.SIGINT, 130),
                 ("a silent publisher", signal.SIGTERM, 143),
                 ("a silent pusher", signal.SIGTERM, 143)]
        for what, sig, status in cases:
            with self.subTest(what=what, signal=sig), tempfile.TemporaryDirectory() as tmp:
                port = free_port()
                tb = None
                if what != "nothing bound":
                    tb = publisher(port, None, push="pusher" in what)
                    tb.start()
                url = "zmq+tcp://127.0.0.1:%d%s" % (port, "?pull" if "pusher" in what else "")
                out_path = os.path.join(tmp, "out.jsonl")
                with open(out_path, "w") as out:
                    proc = scanner(url, out)
                    time.sleep(1.0)
                    self.assertIsNone(proc.poll(), "did not wait for the publisher")
                    self.assertEqual(stop_within(self, proc, sig), status, proc.stderr.read())
                if tb:
                    tb.stop()
                    tb.wait()
                end = records(out_path)
                self.assertEqual([r["status"] for r in end], ["interrupted"])

    def test_publisher_restart_is_picked_up(self):
        port = free_port()
        # Noise first: a subscriber may miss a publisher's first messages.
        first = band_signals.band(TOOL, RATE, 4.0, [(131, 3000.0, 0.6, 0.2)], seed=2)
        second = band_signals.band(TOOL, RATE, 4.0, [(77, 9000.0, 0.6, 0.2)], seed=3)
        with tempfile.TemporaryDirectory() as tmp:
            out_path = os.path.join(tmp, "out.jsonl")
            with open(out_path, "w") as out:
                proc = scanner("zmq+tcp://127.0.0.1:%d" % port, out, "--center", "1e6")
                time.sleep(0.5)
                for samples, found in ((first, 1), (second, 2)):
                    tb = publisher(port, samples)
                    tb.start()
                    tb.wait()
                    wait_for(out_path, found, 10)
                    tb = None
                    gc.collect()  # the sink's socket goes with the block: the publisher is gone
                    time.sleep(0.5)
                    self.assertIsNone(proc.poll(), "ended when the publisher went away")
                stop_within(self, proc, signal.SIGINT)
            got = sorted((r["code"], round(r["freq_hz"] / 10) * 10) for r in records(out_path)
                         if r["type"] == "detection")  # the scanner's frequencies: within 3 Hz
            self.assertEqual(got, [(77, 1_009_000), (131, 1_003_000)], proc.stderr.read())

    def test_tags_set_the_band_and_retune_it(self):
        samples = band_signals.band(TOOL, RATE, 4.0, [(131, 3000.0, 0.2, 0.2),
                                                      (77, 5000.0, 2.4, 0.2)], seed=4)
        start = [(0, "rx_freq", 7.1e6), (0, "rx_rate", float(RATE))]
        at = int(2.2 * RATE)
        # (tag at 2.2 s, reports as (code, tone 0 [Hz], start [s]), exit status, on stderr):
        # a new centre retunes the scan at the tag's sample, a new rate ends it there.
        cases = [((at, "rx_freq", 7.2e6), [(131, 7_103_000, 0.2), (77, 7_205_000, 2.4)], 0, ""),
                 ((at, "rx_rate", 96000.0), [(131, 7_103_000, 0.2)], 3,
                  "changed its rate from 48000 to 96000 frames/s at sample %d" % at)]
        for tag, reports, status, message in cases:
            with self.subTest(tag=tag[1]):
                port = free_port()
                tb = publisher(port, samples, push=True, tags=start + [tag])
                tb.start()
                try:
                    # -r and --center say otherwise: the tags win.
                    run = subprocess.run([TOOL, "scan", "-t", "cf32", "-r", "96000", "--center",
                                          "0", "--codes", "all", "--json",
                                          "zmq+tcp://127.0.0.1:%d?pull&idle=2" % port],
                                         capture_output=True, text=True, timeout=60)
                finally:
                    tb.stop()
                    tb.wait()
                got = [json.loads(line) for line in run.stdout.splitlines()]
                self.assertEqual([(r["code"], round(r["freq_hz"] / 10) * 10,
                                   round(r["time_s"], 1), r["rate"]) for r in got
                                  if r["type"] == "detection"],
                                 [r + (RATE,) for r in reports], run.stderr)
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertIn(message, run.stderr)

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
