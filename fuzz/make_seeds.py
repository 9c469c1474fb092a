#!/usr/bin/env python3
"""make_seeds.py - writes the seed inputs of the fuzz harnesses to corpus/.

exports_fuzz (corpus/exports/): FuzzedDataProvider takes every value from the end of the
input, most significant byte first, so a seed is written as the list of values in the order
the harness consumes them and then reversed. The op numbers and argument recipes follow
exports_fuzz.cpp.

sigmf_fuzz (corpus/sigmf/) and iq_scan_fuzz (corpus/iq_scan/): see sigmf_seeds and iq_seeds.

tool_input_fuzz (corpus/tool_input/): four control bytes (how the input is taken, raw format,
channel) and then a short sound file made by sox, or raw samples. Needs sox.

python_arguments_fuzz (corpus/python_arguments/): see python_seeds().

zmq_tags_fuzz (corpus/zmq_tags/): see zmq_seeds(); its PMTs come from GNU Radio's own
pmt.serialize_str, so those seeds need GNU Radio's Python (Debian's python3).
"""
import math
import os
import struct
import subprocess
import sys
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
    yield "ogg", bytes([container_memory, 0, 0, 0]) + sox_file(".ogg")
    ogg = sox_file(".ogg")
    yield "ogg_truncated", bytes([container_file, 0, 0, 0]) + ogg[: len(ogg) * 2 // 3]
    yield "flac_truncated", bytes([container_memory, 0, 0, 0]) + sox_file(".flac")[:600]
    for name, data in ending_seeds(sox_file(".flac"), sox_file(".ogg")):
        yield name, bytes([container_memory, 0, 0, 0]) + data
    for name, data in streamed_seeds():
        yield name, bytes([container_memory if "len_0" in name else container_file, 0, 0, 0]) + data
    # Raw signed 16-bit mono at 48000/s (rate 4, encoding 0; bits 1, one channel).
    tone = b"".join(struct.pack("<h", int(20000 * math.sin(2 * math.pi * 1500 * n / 48000)))
                    for n in range(480))
    yield "raw_s16_48k", bytes([raw_memory, 4, 1 + 8 * 1, 0]) + tone
    # Raw float 32-bit stereo at 8000/s (rate 1, encoding 2; bits 3, two channels), channel 2.
    stereo = b"".join(struct.pack("<ff", 0.5 * math.sin(n / 3), -0.25) for n in range(200))
    yield "raw_f32_stereo", bytes([raw_file, 1 + 16 * 2, 3 + 8 * 2, 2]) + stereo
    # Raw mu-law at 8000/s (encoding 3), 8 bits, one channel.
    yield "raw_ulaw", bytes([raw_memory, 1 + 16 * 3, 0 + 8 * 1, 0]) + bytes(range(256))


def ending_seeds(flac, ogg):
    """Files whose ends once went wrong: a whole FLAC followed by junk or an ID3v1 tag (all its
    frames are there), Ogg Vorbis cut inside its headers (libvorbis's setup must not leak)."""
    yield "flac_junk_after", flac + b"0123456789"
    yield "flac_id3v1_after", flac + b"TAG" + b" " * 125
    for n in (60, 200, len(ogg) // 3):
        yield f"ogg_cut_in_headers_{n}", ogg[:n]


def python_seeds():
    """python_arguments_fuzz (corpus/python_arguments/): a 48-byte header (entry, dtype, ndim,
    channel, iq; rate, center, lead, tail; dimension multipliers), the dimensions, the samples.
    See python_arguments_fuzz.cpp."""
    entries = {"detect": 0, "Detector": 1, "scan": 2, "Scanner": 3, "send": 4, "path": 5}
    dtypes = ["int16", "int32", "float32", "float64", "complex64", "complex128", "int64",
              "uint8", "bool", "float16", "object", "<U3"]

    def seed(entry, dtype="float32", dims=(), channel=None, iq=None, rate=48000.0, center=0.0,
             lead=0.0, tail=0.0, data=b""):
        head = bytes([entries[entry], dtypes.index(dtype), len(dims),
                      0 if channel is None else channel + 3, {None: 0, False: 1, True: 2}[iq],
                      0, 0, 0])
        head += struct.pack("<4d", rate, center, lead, tail) + bytes(8)
        return head + b"".join(struct.pack("<I", d) for d in dims) + data

    tone = b"".join(struct.pack("<h", int(20000 * math.sin(2 * math.pi * 1500 * n / 8000)))
                    for n in range(1600))
    noise = b"".join(struct.pack("<f", math.sin(n * n * 0.37)) for n in range(800))
    yield "detect_int16", seed("detect", "int16", (800,), rate=8000.0, data=tone)
    yield "detect_stereo_channel_2", seed("detect", "int16", (400, 2), channel=2, rate=8000.0,
                                          data=tone)
    yield "detector_float32", seed("Detector", "float32", (800,), rate=44100.0, data=noise)
    yield "scan_complex64", seed("scan", "complex64", (400,), rate=48000.0, center=7.0e6,
                                 data=noise)
    yield "scanner_iq_columns", seed("Scanner", "int16", (800, 2), iq=True, rate=12000.0,
                                     data=tone)
    yield "scan_real_2d_refused", seed("scan", "float32", (400, 2), rate=48000.0, data=noise)
    # Each sample a channel: once a detector per column, gigabytes, a crash under a limit.
    yield "channels_2x480000", seed("detect", "float32", (2, 480000))
    yield "channels_1x4000", seed("Detector", "float32", (1, 4000))
    yield "channels_2x144000", seed("detect", "float32", (2, 144000))
    yield "channel_0", seed("detect", "float64", (100, 2), channel=0, data=noise)
    yield "rate_nan", seed("detect", "float64", (100,), rate=float("nan"), data=noise)
    yield "int64_refused", seed("detect", "int64", (100,), data=noise)
    yield "three_d", seed("detect", "float32", (2, 2, 2), data=noise[:32])
    yield "send_a_day_of_tail", seed("send", rate=8000.0, center=1500.0, tail=86400.0)
    yield "send_short", seed("send", rate=11025.0, center=1000.0, lead=0.1, tail=0.1)
    yield "path_with_nul", seed("path", data=b"id.wav\0.txt")


def tone16(rate, frames, freq=1500.0, amp=20000):
    return b"".join(struct.pack("<h", int(amp * math.sin(2 * math.pi * freq * n / rate)))
                    for n in range(frames))


def wav_header(data_len, riff_len=None, rate=8000, rf64=False, ds64_data=0):
    """A 16-bit mono WAV (or RF64) header whose data chunk says data_len bytes."""
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    chunks = b""
    if rf64:
        chunks += b"ds64" + struct.pack("<IQQQI", 28, 0xFFFFFFFFFFFFFFFF, ds64_data, 0, 0)
    chunks += b"fmt " + struct.pack("<I", len(fmt)) + fmt
    chunks += b"data" + struct.pack("<I", data_len)
    riff = 0xFFFFFFFF if riff_len is None else riff_len
    return (b"RF64" if rf64 else b"RIFF") + struct.pack("<I", riff) + b"WAVE" + chunks


def au_header(data_len, rate=8000):
    """A 16-bit linear mono AU header; 0xFFFFFFFF is AU's unknown length."""
    return b".snd" + struct.pack(">IIIII", 24, data_len, 3, rate, 1)


def streamed_seeds():
    """Containers whose header leaves the length open or holds it elsewhere."""
    samples = tone16(8000, 400)
    yield "wav_len_ffffffff", wav_header(0xFFFFFFFF) + samples
    yield "wav_len_0", wav_header(0, riff_len=0) + samples
    yield "wav_len_7ffff000", wav_header(0x7FFFF000) + samples
    yield "rf64", wav_header(0xFFFFFFFF, rf64=True, ds64_data=len(samples)) + samples
    yield "au_unknown_len", au_header(0xFFFFFFFF) + b"".join(
        struct.pack(">h", struct.unpack("<h", samples[i:i + 2])[0])
        for i in range(0, len(samples), 2))


def command_seeds():
    argv = [
        "send -f 1500 -o a.wav",
        "send -f 1000 -r 8000 -b 8 -e unsigned -o a.wav --lead 0.1 --tail 0.1",
        "send -f 2000 -r 44100 -e float -b 64 -o a.flac -t caf",
        "send -f 1500 -o - -t wav --repeat 2 --gap 0.2",
        "send -f 1500 -o - -t au -e mu-law -r 8000",
        "send -f 1800 -o a.ogg --volume 0.5",
        "send -f 1500 -o a.flac -b 24",
        "send -f 1500 -o a.raw -e a-law -r 11025",
        "send -f 1500 -o a.w64 -b 32",
        "send -f 1500 -o a.aiff -r 1000",
        "detect -t raw -r 8000 -e signed -b 16 -c 2 --channel 3 x",
        "detect --json --mqtt mqtt://user:pw@host:1/base --once x",
        "scan -t cf32 -r 96000 --center 14070000 x",
        "--version",
        "send --help",
    ]
    for i, line in enumerate(argv):
        yield f"argv_{i:02d}", b"\0" + line.encode()


def stream_seeds(tool):
    def seed(mode, payload, plan=b"", raw=False, fmt=(0, 0), channel=0):
        return bytes([mode | (8 if raw else 0), fmt[0], fmt[1], channel, len(plan)]) + plan + payload

    short_chunks = bytes([1, 0, 3, 7, 0, 12, 44, 1, 0, 200, 5])  # 0: an interrupt
    for name, data in streamed_seeds():
        yield "pipe_" + name, seed(0, data, short_chunks)
    yield "pipe_raw_s16_48k", seed(0, tone16(48000, 2000), short_chunks, raw=True,
                                   fmt=(4, 1 + 8 * 1))
    # Long: the 44-byte streamed header, then 0.16 s at 8000/s repeated 3000 times (480 s,
    # 3000 detector blocks).
    block = tone16(8000, 1280)
    yield "long_wav_streamed", seed(1, wav_header(0xFFFFFFFF) + block,
                                    bytes([44, 3000 % 256, 3000 // 256]))
    yield "long_raw_ulaw", seed(1, bytes(range(256)) * 5, bytes([0, 0xA0, 0x0F]), raw=True,
                                fmt=(1 + 16 * 3, 0 + 8 * 1))
    # Two identifiers, at 1200 and 2000 Hz, raw signed 16-bit at 6000/s, cut between them.
    ids = [subprocess.run([tool, "send", "-f", f, "-r", "6000", "-t", "raw", "-o", "-",
                           "--lead", "0.2", "--tail", "0.2"], check=True,
                          capture_output=True).stdout for f in ("1200", "2000")]
    cut = len(ids[0])
    yield "two_identifiers", seed(2, ids[0] + ids[1], bytes([cut % 256, cut // 256]), raw=True,
                                  fmt=(0, 1 + 8 * 1))


def sigmf_seeds():
    """sigmf_fuzz: a control byte (bit 0: the annotations describe rec.sigmf-data rather than
    rec.cu8; bits 1-2: their type, cu8 ci8 ci16_le cf32_le; bits 3-5: how many; bit 6: the raw
    file's name is not UTF-8; bit 7: no metadata yet, annotating creates it), then the
    metadata. The hostile files of the trial are here: deep nesting, another directory's
    dataset, a centre no receiver has, another recording's metadata, text that is not UTF-8."""
    import json

    def meta(datatype="cf32_le", frequency=14e6, dataset=None, annotations=(), **extra):
        g = {"core:datatype": datatype, "core:sample_rate": 48000, "core:version": "1.0.0"}
        if dataset is not None:
            g["core:dataset"] = dataset
        g.update(extra)
        return json.dumps({"global": g,
                           "captures": [{"core:sample_start": 0, "core:frequency": frequency}],
                           "annotations": list(annotations)}, indent=1).encode()

    own = 1 | 3 << 1 | 2 << 3  # rec.sigmf-data, cf32_le, two annotations
    raw = 0 | 0 << 1 | 1 << 3  # rec.cu8, cu8, one annotation
    earlier = [{"core:sample_start": 1000 * i, "core:sample_count": 10, "core:label": "code 131",
                "core:generator": "rsid scan"} for i in range(3)]
    yield "plain", bytes([own]) + meta()
    yield "three_annotations_other_recording", bytes([raw]) + meta(annotations=earlier)
    yield "dataset_raw_wrong_type", bytes([raw]) + meta(dataset="rec.cu8")
    yield "dataset_raw", bytes([raw]) + meta(datatype="cu8", dataset="rec.cu8")
    yield "dataset_etc_passwd", bytes([own]) + meta(dataset="/etc/passwd")
    yield "dataset_parent", bytes([own]) + meta(dataset="../rec.sigmf-data")
    yield "dataset_nul", bytes([own]) + meta(dataset="rec\u0000.sigmf-data")
    yield "frequency_1e21", bytes([own]) + meta(frequency=1e21)
    yield "frequency_1e308", bytes([own]) + meta(frequency=1e308)
    yield "nested_100000", bytes([own]) + b'{"global": {"x": ' + b"[" * 100000 + b"]" * 100000 + b"}}"
    yield "nested_10000", bytes([own]) + b'{"a": ' + b"[" * 10000 + b"]" * 10000 + b"}"
    yield "brackets_in_string", bytes([own]) + meta(note="[" * 40)
    yield "not_utf8", bytes([own]) + meta().replace(b"1.0.0", b"1.0\xff")
    yield "numbers_grow", bytes([own]) + meta(extra=[1e9] * 200).replace(b"1000000000.0", b"1e9")
    yield "truncated", bytes([own]) + meta()[:50]
    yield "fresh", bytes([0x80 | raw])
    yield "fresh_name_not_utf8", bytes([0x80 | 0x40 | raw])


def iq_seeds():
    """iq_scan_fuzz: four control bytes (type cu8 cs8 cs16 cf32 in bits 0-1, bit 2 from a file,
    bit 7 draw the picture; rate, centre and chunk indices into the harness's tables), then the
    samples: an identifier in each type at 6000/s, a quiet one in a clean cf32 capture, and the
    centres of 1e21 and 1e308 Hz that once hung the picture's axes."""
    rate = 6000.0
    codeword = [0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3]
    symbol = 4456.0 / 48000.0

    def identifier(amplitude, offset=1000.0):
        out, phase = [], 0.0
        for n in range(int(rate * (15 * symbol + 0.3))):
            t = n / rate - 0.1
            f = offset + codeword[min(14, int(t / symbol))] * 10.7666 if 0 <= t < 15 * symbol else None
            if f is None:
                out.append((0.0, 0.0))
                continue
            phase += 2 * math.pi * f / rate
            out.append((amplitude * math.cos(phase), amplitude * math.sin(phase)))
        return out

    def encode(frames, kind):
        b = bytearray()
        for i, q in frames:
            for v in (i, q):
                if kind == 0:
                    b.append(max(0, min(255, round(v * 128 + 127.5))))
                elif kind == 1:
                    b += struct.pack("<b", max(-128, min(127, round(v * 128))))
                elif kind == 2:
                    b += struct.pack("<h", max(-32768, min(32767, round(v * 32768))))
                else:
                    b += struct.pack("<f", v)
        return bytes(b)

    loud = identifier(0.5)
    # rate index 0: 6000/s; centre index 1: 7.1 MHz, 6: 1e21, 7: 1e308; chunk index 4: 32768
    for kind, name in enumerate(("cu8", "cs8", "cs16", "cf32")):
        yield "id_" + name, bytes([kind, 0, 1, 4]) + encode(loud, kind)
    yield "id_cs16_file_chunks_7", bytes([2 | 4, 0, 0, 1]) + encode(loud, 2)
    yield "clean_cf32_quiet", bytes([3, 0, 10, 4]) + encode(identifier(1e-7), 3)
    yield "centre_1e21_plot", bytes([0 | 0x80, 0, 6, 4]) + encode(loud[:3000], 0)
    yield "centre_1e308_plot", bytes([0 | 0x80, 0, 7, 4]) + encode(loud[:3000], 0)
    yield "centre_1e12_plot", bytes([3 | 0x80, 0, 3, 4]) + encode(loud[:3000], 3)
    yield "cf32_odd_bytes", bytes([3, 3, 0, 2]) + encode(loud[:500], 3)[:-3]


def zmq_seeds():
    """zmq_tags_fuzz: a mode byte (0 a message, 1 a header built from the fuzzer's values, 2 a
    URL) and an item-size byte (0: 2, 1: 4, 2: 8 bytes), then the payload: tag headers as GNU
    Radio's sinks write them (rx_rate and rx_freq as double, long and uint64 PMTs, another key,
    a dictionary value) before cf32 items, and URLs with every query key."""
    try:
        import pmt
    except ImportError:
        print("make_seeds.py: no GNU Radio pmt module; zmq_tags seeds left out", file=sys.stderr)
        return

    def header(first, tags):
        b = struct.pack("=HBQQ", 0x5FF0, 1, first, len(tags))
        for offset, key, value in tags:
            b += struct.pack("=Q", offset)
            for p in (pmt.intern(key), value, pmt.intern("src0")):
                b += pmt.serialize_str(p)
        return b

    items = struct.pack("<16f", *range(16))
    yield "rate_freq_double", bytes([0, 2]) + header(0, [
        (0, "rx_rate", pmt.from_double(48000.0)), (0, "rx_freq", pmt.from_double(7.1e6))]) + items
    yield "retune_long_uint64", bytes([0, 2]) + header(1000, [
        (1003, "rx_freq", pmt.from_long(7200000)), (1005, "rx_rate", pmt.from_uint64(96000))]) + items
    yield "other_key_dict", bytes([0, 1]) + header(5, [
        (5, "rx_time", pmt.make_tuple(pmt.from_uint64(1), pmt.from_double(0.5))),
        (6, "note", pmt.dict_add(pmt.make_dict(), pmt.intern("a"), pmt.init_f32vector(3, [1, 2, 3])))
    ]) + items[:32]
    yield "no_header", bytes([0, 0]) + items
    yield "built", bytes([1, 2]) + bytes(range(7, 200, 3))
    for name, url in (("url_pull", "zmq+tcp://127.0.0.1:5600?pull&idle=2&span=300000"),
                      ("url_ipc", "zmq+ipc:///tmp/band?rate=6e5&center=1.41e7"),
                      ("url_bad", "zmq+tcp://host?span=-1&&rate=")):
        yield name, bytes([2, 0]) + url.encode()


def write(kind, items):
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", kind)
    os.makedirs(out, exist_ok=True)
    for name, data in items:
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("exports", seeds())
    write("tool_input", tool_seeds())
    write("tool_command", command_seeds())
    write("sigmf", sigmf_seeds())
    write("iq_scan", iq_seeds())
    write("tool_stream", stream_seeds(sys.argv[1] if len(sys.argv) > 1 else "build/fuzz/tools/rsid"))
    write("python_arguments", python_seeds())
    write("zmq_tags", zmq_seeds())
