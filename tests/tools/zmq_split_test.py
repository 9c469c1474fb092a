"""A wide band split by GNU Radio into four slices, published on ZeroMQ by the example flowgraph
(examples/zmq_band_split.py, pfb.channelizer_ccf and push_sink with tags), scanned by two
`rsid scan` processes of two slices each, each slice reporting its share (--span, span=), and
joined by `rsid merge`, against one `rsid scan` of the whole recording: the same identifiers, at
the same frequencies and times, each reported by one slice only.

Usage: zmq_split_test.py RSID EXAMPLES_DIR
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import band_signals  # noqa: E402

TOOL = sys.argv[1]
sys.path.insert(0, sys.argv[2])
import zmq_band_split  # noqa: E402

RATE = 1_200_000
CENTER = 14_100_000.0
SLICES = 4
# (code, tone 0 against the centre [Hz], start [s], amplitude). The slices are centred on -450,
# -150, 150 and 450 kHz, their shares meet at -300, 0 and 300 kHz. Two straddle a seam (whole
# in both neighbours, owned by the one that holds the centre of their tones), the same code
# comes at once on two slices, two lie near the band's ends, where the neighbouring slice holds
# the other end folded in next to its own (reported a band's width off, before shares), and
# others lie inside slices.
IDENTIFIERS = [
    (131, 40_000.0, 0.3, 0.05),
    (131, -250_000.0, 0.3, 0.05),
    (7, 299_980.0, 0.8, 0.05),
    (300, -30.0, 1.6, 0.03),
    (2000, 310_000.0, 2.0, 0.05),
    (55, -340_000.0, 2.6, 0.05),
    (99, -520_000.0, 1.2, 0.05),
    (1234, 540_000.0, 2.9, 0.05),
]
SECONDS = 4.4


def free_ports(n):
    """n consecutive free loopback ports."""
    for base in range(20000 + os.getpid() % 20000, 60000, 17):
        try:
            held = []
            for k in range(n):
                s = socket.socket()
                held.append(s)
                s.bind(("127.0.0.1", base + k))
            return base
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise RuntimeError("no free ports")


def detections(text):
    return [r for r in map(json.loads, text.splitlines()) if r["type"] == "detection"]


class split_scan(unittest.TestCase):
    def test_slices_merged_equal_whole_band(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "band.cf32")
            band_signals.band(TOOL, RATE, SECONDS, IDENTIFIERS).tofile(path)
            whole = subprocess.run(
                [TOOL, "scan", "-t", "cf32", "-r", str(RATE), "--center", str(CENTER),
                 "--codes", "all", "--json", path], capture_output=True, text=True, timeout=120)
            expected = detections(whole.stdout)
            self.assertEqual(sorted(r["code"] for r in expected),
                             sorted(i[0] for i in IDENTIFIERS), whole.stdout + whole.stderr)

            port = free_ports(SLICES)
            tb = zmq_band_split.band_split(path, RATE, CENTER, SLICES, port, push=True)
            tb.start()
            outputs = []
            spacing = RATE // SLICES
            try:
                # Slices 0, 1 with --span and 3, 2 with span=; -r is the rate the tags repeat,
                # --center is left to them.
                scanners = []
                for group, span, key in (((0, 1), ["--span", str(spacing)], ""),
                                         ((3, 2), [], "&span=%d" % spacing)):
                    urls = ["zmq+tcp://127.0.0.1:%d?pull&idle=2%s" % (port + k, key)
                            for k in group]
                    out = open(os.path.join(tmp, "scan%d.jsonl" % group[0]), "w+")
                    outputs.append(out)
                    scanners.append(subprocess.Popen(
                        [TOOL, "scan", "-t", "cf32", "-r", str(2 * spacing), "-j", "2",
                         "--codes", "all", "--json"] + span + urls, stdout=out,
                        stderr=subprocess.PIPE, text=True))
                for s in scanners:
                    _, err = s.communicate(timeout=120)
                    self.assertIn(s.returncode, (0, 1), err)
            finally:
                tb.stop()
                tb.wait()
            merged = subprocess.run([TOOL, "merge"] + [o.name for o in outputs],
                                    capture_output=True, text=True, timeout=60)
            for o in outputs:
                o.close()
            # The slices' own reports, before merging, and merged: each identifier once.
            pieces = [d for o in outputs for d in detections(open(o.name).read())]
            for got in (pieces, detections(merged.stdout)):
                self.assertEqual(len(got), len(expected), got)
                for e in expected:
                    close = [g for g in got if g["code"] == e["code"] and
                             abs(g["freq_hz"] - e["freq_hz"]) <= 3.0 and
                             abs(g["time_s"] - e["time_s"]) <= 0.05]
                    self.assertEqual(len(close), 1, "%s in %s" % (e, got))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
