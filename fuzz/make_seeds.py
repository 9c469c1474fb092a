#!/usr/bin/env python3
"""make_seeds.py - writes the seed inputs of the fuzz harnesses to corpus/.

exports_fuzz (corpus/exports/): FuzzedDataProvider takes every value from the end of the
input, most significant byte first, so a seed is written as the list of values in the order
the harness consumes them and then reversed. The op numbers and argument recipes follow
exports_fuzz.cpp.

tool_input_fuzz (corpus/tool_input/): four control bytes (how the input is taken, raw format,
channel) and then a short sound file made by sox, or raw samples. Needs sox.
"""
import math
import os
import struct
import subprocess
import tempfile

OPS = {"encode_code": 0, "arm": 1, "get": 2, "init_range": 3, "search": 4, "init": 5,
       "check": 6, "freq": 7, "loopback": 8}
INT_MIN = -(2**31)


class Seed:
    def __init__(self):
        self.stream = bytearray()

    def uint(self, value, nbytes):
        self.stream += value.to_bytes(nbytes, "big")

    def byte(self, v):
        self.uint(v, 1)

    def op(self, name):
        self.byte(OPS[name])

    def int32(self, v):  # ConsumeIntegral<int>: offset from INT_MIN
        self.uint(v - INT_MIN, 4)

    def any_int(self, v):
        self.byte(0)  # not a special: the plain integer follows
        self.int32(v)

    def any_double_bits(self, d):
        self.byte(1)
        self.uint(struct.unpack("<Q", struct.pack("<d", d))[0], 8)

    def probability(self, lo, hi, x):  # ConsumeFloatingPointInRange(lo, hi) giving about x
        self.uint(round((x - lo) / (hi - lo) * (2**64 - 1)), 8)

    def data(self):
        return bytes(reversed(self.stream))


def seeds():
    s = Seed()  # the identifier at 1502.7 Hz through the detector, then its frequency
    s.op("init")
    s.op("loopback")
    s.byte(1)
    s.probability(500.0, 2400.0, 1502.7)
    s.byte(1)  # gain 1
    s.byte(47)  # 48 blocks
    s.op("freq")
    yield "loopback_1502", s.data()

    s = Seed()  # the top of the band, with the search narrowed to the columns around it
    s.op("init")
    s.op("init_range")
    s.any_int(250)
    s.any_int(334)
    s.op("loopback")
    s.byte(1)
    s.probability(500.0, 2400.0, 2231.0)
    s.byte(1)
    s.byte(47)
    s.op("freq")
    yield "loopback_2231", s.data()

    s = Seed()  # out-of-range codes and search ranges, null outputs
    for code in (4096, -1, 2**31 - 1, INT_MIN, 131):
        s.op("encode_code")
        s.any_int(code)
        s.byte(1)  # non-null out
    s.op("encode_code")
    s.any_int(7)
    s.byte(0)  # null out
    s.op("init_range")
    s.any_int(-5)
    s.any_int(1000)
    s.op("search")
    s.byte(2)  # tone row: column (two bytes), tone, magnitude
    s.uint(0, 2)
    s.byte(0)
    s.uint(10, 4)
    s.byte(0)  # no null pointers
    s.op("search")
    s.byte(1)
    s.uint(2**31 - 1, 4)
    s.byte(15)  # all four pointers null
    yield "bad_arguments", s.data()

    s = Seed()  # non-finite and huge numbers on both sides
    for d in (float("nan"), float("inf"), -1e300, 1.7976931348623157e308):
        s.op("arm")
        s.any_double_bits(d)
        s.op("get")
        s.byte(1)
        s.op("init")
        s.op("check")
        s.byte(0)  # one repeated value
        s.any_double_bits(d)
        s.byte(1)  # non-null
    s.op("get")
    s.byte(0)  # null out
    s.op("check")
    s.byte(0)
    s.any_double_bits(0.0)
    s.byte(0)  # null samples
    yield "non_finite", s.data()


def sox_file(suffix, *args):
    """0.05 s of a 1500 Hz tone at 8000/s in the given container, made by sox."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "seed" + suffix)
        subprocess.run(["sox", "-n", "-r", "8000", *args, path, "synth", "0.05", "sine", "1500"],
                       check=True)
        with open(path, "rb") as f:
            return f.read()


def tool_seeds():
    # Control bytes: mode (bit 0 raw, bit 1 through a file), raw rate and encoding, raw bits
    # and channels, channel choice. See tool_input_fuzz.cpp.
    container_memory, raw_memory, container_file, raw_file = 0, 1, 2, 3
    yield "wav16", bytes([container_memory, 0, 0, 0]) + sox_file(".wav", "-b", "16")
    yield "wav_float_stereo", bytes([container_file, 0, 0, 2]) + sox_file(
        ".wav", "-e", "floating-point", "-b", "32", "-c", "2")
    yield "wav_u8", bytes([container_memory, 0, 0, 1]) + sox_file(".wav", "-b", "8")
    yield "flac", bytes([container_memory, 0, 0, 0]) + sox_file(".flac", "-b", "16")
    yield "aiff24", bytes([container_file, 0, 0, 0]) + sox_file(".aiff", "-b", "24")
    yield "au_ulaw", bytes([container_memory, 0, 0, 0]) + sox_file(".au", "-e", "u-law")
    wav = sox_file(".wav", "-b", "16")
    yield "wav_truncated", bytes([container_memory, 0, 0, 0]) + wav[: len(wav) // 2]
    # Raw signed 16-bit mono at 48000/s (rate 4, encoding 0; bits 1, one channel).
    tone = b"".join(struct.pack("<h", int(20000 * math.sin(2 * math.pi * 1500 * n / 48000)))
                    for n in range(480))
    yield "raw_s16_48k", bytes([raw_memory, 4, 1 + 8 * 1, 0]) + tone
    # Raw float 32-bit stereo at 8000/s (rate 1, encoding 2; bits 3, two channels), channel 2.
    stereo = b"".join(struct.pack("<ff", 0.5 * math.sin(n / 3), -0.25) for n in range(200))
    yield "raw_f32_stereo", bytes([raw_file, 1 + 16 * 2, 3 + 8 * 2, 2]) + stereo
    # Raw mu-law at 8000/s (encoding 3), 8 bits, one channel.
    yield "raw_ulaw", bytes([raw_memory, 1 + 16 * 3, 0 + 8 * 1, 0]) + bytes(range(256))


def write(kind, items):
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", kind)
    os.makedirs(out, exist_ok=True)
    for name, data in items:
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("exports", seeds())
    write("tool_input", tool_seeds())
