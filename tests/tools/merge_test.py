"""`rsid merge`: which reports are one identifier (a table of pairs from two inputs), that the
output is records of the schema, and that it streams: a report is written once the inputs have
moved a window past it, or a window of wall clock has gone by on a live input, and a duplicate
that comes later is dropped rather than written twice.

Usage: merge_test.py RSID SCHEMA
"""
import json
import os
import select
import subprocess
import sys
import tempfile
import time
import unittest

import jsonschema

TOOL, SCHEMA = sys.argv[1], sys.argv[2]


def record(input_name, time_s, code=131, freq=14_101_000.0, snr=None, utc=None):
    r = {"version": 2, "type": "detection", "input": input_name, "time_s": time_s,
         "time": "00:00:%05.2f" % time_s, "sample": int(time_s * 600000), "rate": 600000,
         "code": code, "freq_hz": freq, "offset_hz": freq - 14_100_000.0, "channel": 0}
    if snr is not None:
        r["snr_db"] = snr
    if utc is not None:
        r["utc"] = utc
    return r


def merge(*inputs, extra=()):
    """Runs rsid merge over files holding the given records; returns (status, records, stderr)."""
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i, lines in enumerate(inputs):
            paths.append(os.path.join(tmp, "in%d.jsonl" % i))
            with open(paths[-1], "w") as f:
                for line in lines:
                    f.write((line if isinstance(line, str) else json.dumps(line)) + "\n")
        run = subprocess.run([TOOL, "merge", *extra, *paths], capture_output=True, text=True,
                             timeout=30)
    return run.returncode, [json.loads(line) for line in run.stdout.splitlines()], run.stderr


class merge_records(unittest.TestCase):
    def setUp(self):
        with open(SCHEMA) as f:
            self.validator = jsonschema.Draft202012Validator(json.load(f))

    def test_pairs(self):
        a = record("a", 10.0, snr=12.0)
        # (case, record from the second input, reports written, SNR of the one kept)
        cases = [
            ("same start and frequency", record("b", 10.0, snr=15.0), 1, 15.0),
            ("the worse one second", record("b", 10.0, snr=3.0), 1, 12.0),
            ("no SNR loses to one", record("b", 10.0), 1, 12.0),
            ("start 0.1 s apart", record("b", 10.1, snr=15.0), 1, 15.0),
            ("start 0.15 s apart", record("b", 10.15, snr=15.0), 2, None),
            ("frequency 5 Hz apart", record("b", 10.0, freq=14_101_005.0, snr=15.0), 1, 15.0),
            ("frequency 6 Hz apart", record("b", 10.0, freq=14_101_006.0, snr=15.0), 2, None),
            ("another code", record("b", 10.0, code=7, snr=15.0), 2, None),
        ]
        for name, b, count, snr in cases:
            with self.subTest(name):
                status, out, err = merge([a], [b])
                self.assertEqual(status, 0, err)
                detections = [r for r in out if r["type"] == "detection"]
                self.assertEqual(len(detections), count, out)
                for r in out:
                    self.validator.validate(r)
                if snr is not None:
                    self.assertEqual(detections[0]["snr_db"], snr)
                    kept = a if snr == a["snr_db"] else b
                    self.assertEqual(detections[0], kept)  # the record itself, unchanged

    def test_utc_decides_when_both_have_it(self):
        # Receivers started at different times: time_s differs, the wall clock agrees.
        a = record("a", 3.0, snr=9.0, utc="2026-12-09T18:00:00.000Z")
        b = record("b", 40.0, snr=8.0, utc="2026-12-09T18:00:00.080Z")
        c = record("c", 3.0, snr=8.0, utc="2026-12-09T18:00:05.000Z")
        a["clock"] = c["clock"] = "arrival"  # said where utc came from; kept as it was
        status, out, _ = merge([a], [b], [c])
        self.assertEqual([(r["input"], r["time_s"]) for r in out], [("a", 3.0), ("c", 3.0)])
        self.assertEqual(out[0], a)

    def test_many_slices_in_order_with_end_records(self):
        # Two scanners of two slices each; the boundary identifier is in both of them.
        s1 = [record("s0", 1.0, snr=10.0), record("s0", 5.0, freq=14_250_000.0, snr=20.0),
              record("s1", 5.02, freq=14_250_003.0, snr=25.0), record("s1", 9.0, snr=5.0)]
        s2 = [record("s3", 0.5, code=7), record("s3", 5.0, freq=14_250_001.0, snr=22.0)]
        ends = [{"version": 2, "type": "end", "input": n, "status": "ok", "detections": 2,
                 "duration_s": 10.0} for n in ("s0", "s1")]
        status, out, err = merge(s1 + ends, s2)
        self.assertEqual(status, 0, err)
        got = [(r["type"], r["input"], r.get("time_s")) for r in out]
        self.assertEqual(got, [("detection", "s3", 0.5), ("detection", "s0", 1.0),
                               ("detection", "s1", 5.02), ("detection", "s1", 9.0),
                               ("end", "s0", None), ("end", "s1", None)])

    def test_bad_lines_are_reported_and_skipped(self):
        status, out, err = merge([record("a", 1.0), "not json", '{"version": 1, "type": "x"}',
                                  record("a", 2.0, code=7)])
        self.assertEqual(status, 3)
        self.assertEqual(len(out), 2)
        self.assertEqual(err.count("rsid: "), 2, err)

    def test_streams_within_its_window(self):
        proc = subprocess.Popen([TOOL, "merge", "--window", "1"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, bufsize=1)

        def send(r):
            proc.stdin.write(json.dumps(r) + "\n")
            proc.stdin.flush()

        def next_line(seconds):
            ready, _, _ = select.select([proc.stdout], [], [], seconds)
            return json.loads(proc.stdout.readline()) if ready else None

        try:
            # Settled by the input's progress: a report 1 s later releases the first at once.
            send(record("a", 1.0))
            self.assertIsNone(next_line(0.3))
            send(record("a", 2.05, code=9))
            self.assertEqual(next_line(0.5)["time_s"], 1.0)
            # A duplicate of a written report, arriving late, is dropped.
            send(record("b", 1.05, snr=30.0))
            # Settled by the wall clock: nothing else comes, yet the report is written.
            started = time.monotonic()
            self.assertEqual(next_line(3.0)["code"], 9)
            self.assertGreater(time.monotonic() - started, 0.3)
            proc.stdin.close()
            self.assertEqual(proc.stdout.read(), "")
            self.assertEqual(proc.wait(timeout=5), 0)
        finally:
            proc.kill()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
