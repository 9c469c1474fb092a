"""A wide band split by GNU Radio into four slices, published on ZeroMQ by the example flowgraph
(examples/zmq_band_split.py, pfb.channelizer_ccf and push_sink with tags), scanned by two
`rsid scan` processes of two slices each and joined by `rsid merge`, against one `rsid scan` of
the whole recording: the same identifiers, at the same frequencies and times, none twice.

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
# (code, tone 0 against the centre [Hz], start [s], amplitude): two on slice boundaries (150 kHz
# and -150 kHz, whole in both neighbours), the same code at once on two slices, and others
# inside slices. The edge slice (centred on +600 kHz) holds both ends of the band and reports
# what lies in its transition band (within 225 kHz of its centre, that is beyond +-375 kHz) at
# aliased frequencies, so nothing is put there.
IDENTIFIERS = [
    (131, 40_000.0, 0.3, 0.05),
    (131, -250_000.0, 0.3, 0.05),
    (7, 150_000.0, 0.8, 0.05),
    (300, -150_003.0, 1.6, 0.03),
    (2000, 310_000.0, 2.0, 0.05),
    (55, -340_000.0, 2.6, 0.05),
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
            try:
                # Slices 0, 1 and 3, 2; -r is the rate the tags repeat, --center is left to them.
                scanners = []
                for group in ((0, 1), (3, 2)):
                    urls = ["zmq+tcp://127.0.0.1:%d?pull&idle=2" % (port + k) for k in group]
                    out = open(os.path.join(tmp, "scan%d.jsonl" % group[0]), "w+")
                    outputs.append(out)
                    scanners.append(subprocess.Popen(
                        [TOOL, "scan", "-t", "cf32", "-r", str(2 * RATE // SLICES), "-j", "2",
                         "--codes", "all", "--json"] + urls, stdout=out,
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
            got = detections(merged.stdout)
            pieces = sum(len(detections(open(o.name).read())) for o in outputs)
            self.assertGreater(pieces, len(got), "the boundaries gave no duplicates to merge")
            self.assertEqual(len(got), len(expected), merged.stdout)
            for e in expected:
                close = [g for g in got if g["code"] == e["code"] and
                         abs(g["freq_hz"] - e["freq_hz"]) <= 3.0 and
                         abs(g["time_s"] - e["time_s"]) <= 0.05]
                self.assertEqual(len(close), 1, "%s in %s" % (e, merged.stdout))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
