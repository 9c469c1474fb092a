"""examples/dask_scan.py on a LocalCluster of two worker processes against its serial run and
against the records rsid.file_records writes (the tool's; test_records.py compares them with
`rsid detect --json`), every line valid by the schema; a stopped scan resumes where it
stopped."""

import ctypes
import ctypes.util
import json
import pathlib
import subprocess
import sys
import wave

import numpy as np
import pytest

import rsid

pytest.importorskip("distributed")
jsonschema = pytest.importorskip("jsonschema")
ROOT = pathlib.Path(__file__).parents[2]
SCRIPT = ROOT / "examples" / "dask_scan.py"
SCHEMA = ROOT / "io" / "records" / "detection.schema.json"


def write_wav(path, x, rate):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1 if x.ndim == 1 else x.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.ascontiguousarray(x, dtype="<i2").tobytes())


class SF_INFO(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int),
                ("channels", ctypes.c_int), ("format", ctypes.c_int),
                ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


def write_mp3(path, x, rate):
    """An MP3 file written by libsndfile (MPEG layer III), which Python cannot write itself."""
    sndfile = ctypes.CDLL(ctypes.util.find_library("sndfile"))
    sndfile.sf_open.restype = ctypes.c_void_p
    info = SF_INFO(0, rate, 1, 0x230000 | 0x0082, 0, 0)
    f = sndfile.sf_open(str(path).encode(), 0x20, ctypes.byref(info))  # SFM_WRITE
    assert f, sndfile.sf_strerror(None)
    samples = np.ascontiguousarray(x, np.int16)
    sndfile.sf_write_short(ctypes.c_void_p(f), samples.ctypes.data_as(ctypes.c_void_p),
                           ctypes.c_int64(len(samples)))
    sndfile.sf_close(ctypes.c_void_p(f))


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
    write_mp3(top / "r6.mp3", rsid.send(1300.0, 48000, lead=0.5, tail=0.5), 48000)
    (top / ".hidden.wav").write_bytes(b"")
    (top / "broken.wav").write_bytes(b"RIFF....WAVEjunk")
    (top / "notes.txt").write_text("not audio, not scanned")
    return top


def test_two_workers_write_what_one_process_writes(recordings, tmp_path):
    serial, parallel = tmp_path / "serial.jsonl", tmp_path / "dask.jsonl"
    scan([str(recordings), "-o", str(serial), "--serial"])
    scan([str(recordings), "-o", str(parallel), "--workers", "2"])
    assert parallel.read_text() == serial.read_text()

    lines = serial.read_text().splitlines()
    validator = jsonschema.Draft202012Validator(json.loads(SCHEMA.read_text()))
    for line in lines:
        validator.validate(json.loads(line))
    records = [json.loads(line) for line in lines]
    inputs = [r["input"] for r in records]
    assert inputs == sorted(inputs) and len(set(inputs)) == 10
    ends = {r["input"]: r for r in records if r["type"] == "end"}
    found = {name: end["detections"] for name, end in ends.items()}
    assert found[str(recordings / "r6.mp3")] == 1  # every format the tool reads
    for bad in ("broken.wav", "notes.txt"):  # not audio: an error that says why
        assert ends[str(recordings / bad)]["status"] == "error"
        assert bad in ends[str(recordings / bad)]["error"]
    for name in ends:
        assert [line for line in lines if json.loads(line)["input"] == name] == \
            rsid.file_records(name)
    assert sum(found.values()) == 6 * 2 + 1
    log = scan([str(recordings), "-o", str(serial), "--serial"])
    assert f"skipped {recordings / '.hidden.wav'}: a hidden file" in log


def test_a_stopped_scan_resumes(recordings, tmp_path):
    whole = tmp_path / "whole.jsonl"
    scan([str(recordings), "-o", str(whole), "--serial"])
    lines = whole.read_text().splitlines(keepends=True)
    first_end = next(i for i, line in enumerate(lines) if '"status":"ok"' in line)
    # A run stopped after one input was done and another was half-written, mid-line.
    out = tmp_path / "resumed.jsonl"
    out.write_text("".join(lines[:first_end + 2]) + lines[first_end + 2][:17])
    manifest = tmp_path / "manifest.txt"
    manifest.write_text("".join(json.loads(line)["input"] + "\n" for line in lines
                                if '"type":"end"' in line))
    log = scan(["--manifest", str(manifest), "-o", str(out), "--workers", "2"])
    assert "9 scanned, 1 already done" in log
    assert out.read_text() == whole.read_text()
    log = scan(["--manifest", str(manifest), "-o", str(out), "--serial"])
    assert "2 scanned, 8 already done" in log  # only the inputs that are not audio again
    assert out.read_text() == whole.read_text()
