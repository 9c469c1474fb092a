#!/usr/bin/env python3
"""detect.py - every identifier in a 16-bit WAV file (any rate; the first channel) and,
optionally, in a band of cf32 I/Q, found with librsid-engine through ctypes (the standard
library only). Prints what examples/engine/detect.c prints.

    detect.py FILE.wav [BAND.cf32 RATE CENTRE_HZ]

The library is found by the loader (an installed librsid-engine.so.0), or at the path in
RSID_ENGINE_LIB."""
import ctypes
import ctypes.util
import os
import sys
import wave


class Detection(ctypes.Structure):
    """struct rsid_detection of rsid_engine.h, field for field."""
    _fields_ = [("code", ctypes.c_int32), ("channel", ctypes.c_int32),
                ("freq_hz", ctypes.c_double), ("offset_hz", ctypes.c_double),
                ("sample", ctypes.c_int64), ("time_s", ctypes.c_double),
                ("snr_db", ctypes.c_double), ("level_dbfs", ctypes.c_double)]


RSID_CF32 = 1


def load():
    path = os.environ.get("RSID_ENGINE_LIB") or ctypes.util.find_library("rsid-engine")
    lib = ctypes.CDLL(path or "librsid-engine.so.0")
    handle = ctypes.c_void_p
    for name, res, args in [
            ("rsid_engine_strerror", ctypes.c_char_p, [ctypes.c_int]),
            ("rsid_detector_new", ctypes.c_int, [ctypes.POINTER(handle), ctypes.c_double]),
            ("rsid_detector_feed_i16", ctypes.c_int, [handle, ctypes.c_void_p, ctypes.c_size_t]),
            ("rsid_detector_finish", ctypes.c_int, [handle]),
            ("rsid_detector_read", ctypes.c_size_t,
             [handle, ctypes.POINTER(Detection), ctypes.c_size_t]),
            ("rsid_detector_free", None, [handle]),
            ("rsid_scanner_new", ctypes.c_int,
             [ctypes.POINTER(handle), ctypes.c_double, ctypes.c_double, ctypes.c_int]),
            ("rsid_scanner_feed", ctypes.c_int, [handle, ctypes.c_void_p, ctypes.c_size_t]),
            ("rsid_scanner_finish", ctypes.c_int, [handle]),
            ("rsid_scanner_read", ctypes.c_size_t,
             [handle, ctypes.POINTER(Detection), ctypes.c_size_t]),
            ("rsid_scanner_free", None, [handle])]:
        f = getattr(lib, name)
        f.restype, f.argtypes = res, args
    return lib


def check(lib, rc, what):
    if rc != 0:
        raise RuntimeError(f"{what}: {lib.rsid_engine_strerror(rc).decode()}")


def report(what, read, h):
    found = (Detection * 16)()
    while (n := read(h, found, 16)) > 0:
        for d in found[:n]:
            print(f"{what}: code {d.code} at {d.time_s:.3f} s (sample {d.sample}), "
                  f"{d.freq_hz:.1f} Hz (offset {d.offset_hz:.1f} Hz), "
                  f"SNR {d.snr_db:.1f} dB, {d.level_dbfs:.1f} dBFS")


def detect_wav(lib, path):
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise RuntimeError(f"{path}: not 16-bit")
        rate, channels = w.getframerate(), w.getnchannels()
        frames = w.readframes(w.getnframes())
    first = b"".join(frames[i:i + 2] for i in range(0, len(frames), 2 * channels))
    d = ctypes.c_void_p()
    check(lib, lib.rsid_detector_new(ctypes.byref(d), rate), path)
    try:
        check(lib, lib.rsid_detector_feed_i16(d, first, len(first) // 2), path)
        check(lib, lib.rsid_detector_finish(d), path)
        report(path, lib.rsid_detector_read, d)
    finally:
        lib.rsid_detector_free(d)


def scan_cf32(lib, path, rate, centre_hz):
    with open(path, "rb") as f:
        iq = f.read()
    s = ctypes.c_void_p()
    check(lib, lib.rsid_scanner_new(ctypes.byref(s), rate, centre_hz, RSID_CF32), path)
    try:
        check(lib, lib.rsid_scanner_feed(s, iq, len(iq) // 8), path)  # 8 bytes a frame
        check(lib, lib.rsid_scanner_finish(s), path)
        report(path, lib.rsid_scanner_read, s)
    finally:
        lib.rsid_scanner_free(s)


def main(argv):
    if len(argv) not in (2, 5):
        print(f"usage: {argv[0]} FILE.wav [BAND.cf32 RATE CENTRE_HZ]", file=sys.stderr)
        return 2
    lib = load()
    detect_wav(lib, argv[1])
    if len(argv) == 5:
        scan_cf32(lib, argv[2], float(argv[3]), float(argv[4]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
