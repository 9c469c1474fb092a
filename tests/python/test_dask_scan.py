"""examples/dask_scan.py on a LocalCluster of two worker processes against its serial run and
against rsid.detect_file; a stopped scan resumes where it stopped."""

import json
import pathlib
import subprocess
import sys
import wave

import numpy as np
import pytest

import rsid

pytest.importorskip("distributed")
SCRIPT = pathlib.Path(__file__).parents[2] / "examples" / "dask_scan.py"


def write_wav(path, x, rate):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1 if x.ndim == 1 else x.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.ascontiguousarray(x, dtype="<i2").tobytes())


def scan(args):
    run = subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    return run.stderr


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    top = tmp_path_factory.mktemp("recordings")
    (top / "sub").mkdir()
    for k, rate in enumerate([8000, 11025, 16000, 22050, 44100, 48000]):
        x = np.concatenate([rsid.send(800.0 + 200 * k, rate, lead=0.2 * k, tail=0.5),
                            rsid.send(2000.0 - 100 * k, rate, tail=0.3 * k)])
        if k % 2:
            x = np.stack([np.zeros_like(x), x], axis=1)  # on channel 2 of a stereo file
        write_wav(top / ("sub" if k > 3 else ".") / f"r{k}.wav", x, rate)
    write_wav(top / "silence.wav", np.zeros(30000, np.int16), 8000)
    (top / "broken.wav").write_bytes(b"RIFF....WAVEjunk")
    (top / "notes.txt").write_text("not audio, not scanned")
    return top


def test_two_workers_write_what_one_process_writes(recordings, tmp_path):
    serial, parallel = tmp_path / "serial.jsonl", tmp_path / "dask.jsonl"
    scan([str(recordings), "-o", str(serial), "--serial"])
    scan([str(recordings), "-o", str(parallel), "--workers", "2"])
    assert parallel.read_text() == serial.read_text()

    records = [json.loads(line) for line in serial.read_text().splitlines()]
    inputs = [r["input"] for r in records]
    assert inputs == sorted(inputs) and len(set(inputs)) == 8
    ends = {r["input"]: r for r in records if r["type"] == "end"}
    assert ends[str(recordings / "broken.wav")]["status"] == "error"
    for name, end in ends.items():
        if end["status"] != "ok":
            continue
        want = rsid.detect_file(name)
        got = [r for r in records if r["input"] == name and r["type"] == "detection"]
        assert end["detections"] == len(got) == len(want) == (0 if "silence" in name else 2)
        for r, d in zip(got, want):
            assert r == {"version": 1, "type": "detection", "input": name,
                         "time_s": round(d.time_s, 3), "sample": d.sample, "rate": int(d.rate),
                         "code": 131, "freq_hz": round(d.freq_hz, 4),
                         "snr_db": round(d.snr_db, 2), "level_dbfs": round(d.level_dbfs, 2),
                         "channel": d.channel}


def test_a_stopped_scan_resumes(recordings, tmp_path):
    whole = tmp_path / "whole.jsonl"
    scan([str(recordings), "-o", str(whole), "--serial"])
    lines = whole.read_text().splitlines(keepends=True)
    first_end = next(i for i, line in enumerate(lines) if '"status": "ok"' in line)
    # A run stopped after one input was done and another was half-written, mid-line.
    out = tmp_path / "resumed.jsonl"
    out.write_text("".join(lines[:first_end + 2]) + lines[first_end + 2][:17])
    manifest = tmp_path / "manifest.txt"
    manifest.write_text("".join(json.loads(line)["input"] + "\n" for line in lines
                                if '"type": "end"' in line))
    log = scan(["--manifest", str(manifest), "-o", str(out), "--workers", "2"])
    assert "7 scanned, 1 already done" in log
    assert out.read_text() == whole.read_text()
    log = scan(["--manifest", str(manifest), "-o", str(out), "--serial"])
    assert "1 scanned, 7 already done" in log  # only the broken input is tried again
    assert out.read_text() == whole.read_text()
