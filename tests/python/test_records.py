"""Records written by Python through the tool's writer: every line validates against the
schema the tool ships, and for a file they are the lines `rsid detect --json` prints."""

import json
import os
import pathlib
import subprocess
import warnings
import wave

import numpy as np
import pytest

import rsid

jsonschema = pytest.importorskip("jsonschema")
SCHEMA = pathlib.Path(__file__).parents[2] / "io" / "records" / "detection.schema.json"
TOOL = os.environ.get("RSID_TOOL")  # the rsid tool, when the build has one (CTest sets it)


def write_wav(path, x, rate):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1 if x.ndim == 1 else x.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.ascontiguousarray(x, dtype="<i2").tobytes())


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    top = tmp_path_factory.mktemp("records")
    x = rsid.send(900.0, 16000, lead=0.3, tail=0.5)
    write_wav(top / "mono.wav", x, 16000)
    write_wav(top / "stereo.wav", np.stack([np.zeros_like(x), x], axis=1), 16000)
    (top / "junk.wav").write_bytes(b"RIFF....WAVEjunk")
    return top


# What Python writes, one way of writing per row: (name, lines given the fixture's folder).
WRITERS = [
    ("detect_file's records, mixed", lambda f: rsid.file_records(f / "stereo.wav")),
    ("every channel, with a label",
     lambda f: rsid.file_records(f / "stereo.wav", channel="all", label="site 4")),
    ("an unreadable file", lambda f: rsid.file_records(f / "junk.wav")),
    ("a missing file", lambda f: rsid.file_records(f / "missing.wav")),
    ("an array, with its end record",
     lambda f: list(rsid.records(rsid.detect(rsid.send(1200.0, 44100), 44100), "array",
                                 duration_s=1.3925))),
    ("a name that is not UTF-8",
     lambda f: list(rsid.records(rsid.detect(rsid.send(), 48000), b"caf\xe9.wav",
                                 duration_s=1.5, status="interrupted"))),
    ("a band scan, with offset_hz",
     lambda f: [d.to_json("band") for d in rsid.scan(rsid.send(1500.0, 24000), 24000,
                                                       center=7e6)]),
]


@pytest.mark.parametrize("name,write", WRITERS, ids=[w[0] for w in WRITERS])
def test_every_line_python_writes_fits_the_schema(folder, name, write):
    validator = jsonschema.Draft202012Validator(json.loads(SCHEMA.read_text()))
    lines = write(folder)
    assert lines, name
    for line in lines:
        validator.validate(json.loads(line))


@pytest.mark.skipif(not TOOL, reason="RSID_TOOL names no rsid tool")
@pytest.mark.parametrize("args,kwargs", [
    (["mono.wav"], {}),
    (["stereo.wav"], {}),
    (["--channel", "all", "stereo.wav"], {"channel": "all"}),
    (["--channel", "2", "--label", "site 4", "stereo.wav"], {"channel": 2, "label": "site 4"}),
    (["junk.wav"], {}),
])
def test_file_records_are_what_the_tool_prints(folder, args, kwargs):
    run = subprocess.run([TOOL, "detect", "--json", *args], cwd=folder, capture_output=True,
                         text=True, check=False)
    old = os.getcwd()
    os.chdir(folder)
    try:
        lines = rsid.file_records(args[-1], **kwargs)
    finally:
        os.chdir(old)
    assert lines == run.stdout.splitlines()


RATE_WARNINGS = [  # a call, and the warning it gives (None: none)
    (lambda: rsid.detect(np.zeros(4000), 4000), "at 4000/s only identifiers with tone 0 below"),
    (lambda: rsid.detect(np.zeros(1200), 1200), "1200/s is too low for any identifier"),
    (lambda: rsid.Detector(4000), "which needs 4794/s or more"),
    (lambda: rsid.detect(np.zeros(4800), 4800), None),
    (lambda: rsid.send(1500.0, 4000), "at 4000/s only identifiers"),
    (lambda: rsid.send(3000.0), "tone 0 at 3000 Hz lies outside what the detector hears"),
    (lambda: rsid.send(500.0), "tone 0 at 500 Hz lies outside"),
    (lambda: rsid.send(1500.0, 8000), None),
]


@pytest.mark.parametrize("call,words", RATE_WARNINGS)
def test_rates_and_tones_the_detector_cannot_hear_warn(call, words):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    messages = [str(w.message) for w in caught]
    assert any(words in m for m in messages) if words else not messages, messages
