"""Send and find the rsid identification signal in numpy arrays and sound files.

The identifier is code 131 sent as 15 tones (1.3925 s); the detector finds it with tone 0
anywhere from about 600 to 2231 Hz, at any sample rate from 1000 to 1536000 samples/s, and
reports every one it hears: simultaneous identifiers at different frequencies, identifiers
back to back, one in the last samples of the input. The band scanner finds it anywhere in a
whole band: complex (I/Q) samples from a software-defined radio, or wide real audio from 0 Hz
to half the rate.

    >>> import rsid
    >>> x = rsid.send(1500.0, 44100, lead=0.5)          # int16 samples at 44100/s
    >>> [d.freq_hz for d in rsid.detect(x, 44100)]       # doctest: +SKIP
    [1500.3...]

Functions:
    detect(x, rate, *, channel="mix")       every identifier in an array of samples
    detect_file(path, *, channel="mix")     the same for any file the rsid tool reads
    send(freq=1500.0, rate=48000, *, lead=0.0, tail=0.0)   the identifier as int16 samples
    Detector(rate, *, channel="mix")        the same detector over a stream, chunk by chunk
    scan(x, rate, *, center=0.0, iq=None)   every identifier anywhere in a band of I/Q or audio
    scan_file(path, *, center=None, iq=None)   the same for a sound file
    Scanner(rate, *, center=0.0, complex=True)   the band scanner over a stream
    records(detections, input, *, duration_s=None, ...)   the JSON lines `rsid detect --json`
                                            writes; Detection.to_json(input) for one
    file_records(path, *, channel="mix", label="")   detect_file's records, errors included

Samples are int16 or int32 (each on its own full scale, 32768 and 2147483648) or float32 or
float64 (audio normalised to +-1). A 1-D array is one channel; a 2-D array is (frames,
channels), at most 64 channels and no more channels than frames. As `rsid detect --channel`,
channel="mix" (the default) searches the mean of all channels (Detection.channel 0), "all" each
channel with a detector of its own, and a number that channel alone (both counting from 1).
Every search also takes, as the tool's --codes and --exact, codes= (a code from 0 to 4095, a
list of them, or "all": looked for with soft decisions, Detection.code saying which was heard)
and exact=True (the library's own rule, for 131 only); send takes code=.
A band is complex64 or complex128 (I/Q, full scale 1.0), two columns of real samples taken
as I and Q with iq=True, or 1-D real samples of wide audio.

The work runs without the GIL, so threads scale across cores. Bad arguments raise ValueError
or TypeError; a file that cannot be read raises InputError (an OSError); memory that runs out,
MemoryError. A rate too low to carry the detector's band warns (UserWarning) as the tool does.
"""

from __future__ import annotations

import dataclasses
import numbers
import os
import warnings
from typing import Any, Iterable, Iterator, List, Optional, Union

import numpy

from . import _rsid
from ._rsid import InputError

__all__ = ["Detection", "Detector", "InputError", "Scanner", "detect", "detect_file",
           "file_records", "records", "scan", "scan_file", "send", "__version__"]
Channel = Union[int, str]
Codes = Union[None, str, int, Iterable[int]]
__version__: str = _rsid.__version__


@dataclasses.dataclass(frozen=True)
class Detection:
    """One identifier: where it starts, at what frequency and how strong it is.

    time_s      start in the input [s]: sample / rate (accurate to about 25 ms)
    sample      start as a sample index at the input's rate, from the start of the input
                (for a Detector: from the start of the stream)
    freq_hz     frequency of tone 0 [Hz], interpolated between the detector's bins; for a
                band scan the absolute frequency, center + offset_hz
    offset_hz   frequency of tone 0 against the band's reference [Hz]: the centre of I/Q
                (negative below it), 0 Hz of real audio; for detect, the same as freq_hz
    snr_db      power of the tones against the noise in 3 kHz [dB]
    level_dbfs  peak amplitude of the tones against full scale (a full-scale sine: 0 dBFS)
    code        identifier code heard (131)
    channel     channel it was heard on, counting from 1; 0 for the mix of all channels
                (the default; also 1-D samples and mono files) or a band
    rate        the input's sample rate [samples/s]
    band        True when the band scanner found it: its records carry offset_hz, as
                `rsid scan --json` writes them
    """

    time_s: float
    sample: int
    freq_hz: float
    offset_hz: float
    snr_db: float
    level_dbfs: float
    code: int
    channel: int
    rate: float
    band: bool = dataclasses.field(default=False, repr=False)

    def to_json(self, input: Union[str, bytes, os.PathLike[Any]], *, label: str = "") -> str:
        """This detection's record as `rsid detect --json` (or `rsid scan --json`) writes it,
        without the newline: the tool's own writer. `input` is the name the record gives."""
        row = dataclasses.astuple(self)[:9]
        return _rsid.detection_json(row, self.offset_hz if self.band else None, _name(input),
                                    label.encode())


def _detections(rows: List[Any], band: bool = False) -> List[Detection]:
    return [Detection(*row, band=band) for row in rows]


def _name(input: Any) -> bytes:
    """A name as the bytes the file system has: the writer adds input_bytes if not UTF-8."""
    if not isinstance(input, (str, bytes, os.PathLike)):
        raise TypeError(f"input must be a str, bytes or os.PathLike, not {type(input).__name__}")
    return os.fsencode(input)


def _warn_rate(rate: float) -> None:
    message = _rsid.rate_warning(rate)
    if message:
        warnings.warn(message, stacklevel=3)


def _number(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _iq(name: str, value: Any) -> Optional[bool]:
    if value is not None and not isinstance(value, bool):
        raise TypeError(f"{name} must be True, False or None, not {type(value).__name__}")
    return value


def _path(path: Any) -> Any:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be a str, bytes or os.PathLike, not {type(path).__name__}")
    return path


def _channel(value: Any) -> int:
    """The tool's --channel as the native module takes it: 0 the mix, -1 all, else n."""
    if value == "mix" and isinstance(value, str):
        return 0
    if value == "all" and isinstance(value, str):
        return -1
    if isinstance(value, str):
        raise ValueError(f'channel must be "mix", "all" or a number from 1, not {value!r}')
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f'channel must be "mix", "all" or an int counting from 1, '
                        f"not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"channel counts from 1, not {value}")
    return int(value)


def _rule(codes: Codes, exact: bool) -> Any:
    """The detector's rule, as the tool's --codes and --exact (see detect)."""
    if not isinstance(exact, bool):
        raise TypeError(f"exact must be True or False, not {type(exact).__name__}")
    if codes is None:
        return _rsid.Rule(exact, False, [])
    if isinstance(codes, str):
        if codes != "all":
            raise ValueError(f'codes must be "all", a code or a list of codes, not {codes!r}')
        return _rsid.Rule(exact, True, [])
    listed = [codes] if isinstance(codes, numbers.Integral) else list(codes)
    for c in listed:
        if isinstance(c, bool) or not isinstance(c, numbers.Integral):
            raise TypeError(f"codes are ints from 0 to 4095, not {type(c).__name__}")
    if not listed:
        raise ValueError('codes is empty: give "all", a code or a list of codes')
    return _rsid.Rule(exact, False, [int(c) for c in listed])


def detect(x: Any, rate: float, *, channel: Channel = "mix", codes: Codes = None,
           exact: bool = False) -> List[Detection]:
    """Every identifier in the samples x taken at `rate` samples/s, in order of start.

    x: 1-D (one channel) or 2-D (frames, channels) array-like of int16, int32, float32 or
    float64, read in place. 2-D samples with more channels than frames, or more than 64
    channels, raise ValueError: pass x.T if they are (channels, frames). As the tool's
    --channel: "mix" (the default) searches the mean of the channels (Detection.channel 0),
    "all" each channel on its own, a number (from 1) that channel. NaN and infinite samples
    count as silence. A rate below 4794/s warns that only lower identifiers can be found.

    As the tool's --codes and --exact: `codes` is the code (0 to 4095) or codes looked for with
    soft decisions, or "all" of them; Detection.code says which was heard. exact=True keeps the
    library's own rule, which looks for 131 only. Neither: the default rule, for code 131.
    """
    rate = _number("rate", rate)
    rows = _rsid.detect(x, rate, _channel(channel), _rule(codes, exact))
    _warn_rate(rate)
    return _detections(rows)


def detect_file(path: Union[str, bytes, os.PathLike[Any]], *, channel: Channel = "mix",
                codes: Codes = None, exact: bool = False) -> List[Detection]:
    """Every identifier in a sound file, read as `rsid detect` reads it, in order of start.

    `channel`, `codes` and `exact` as for detect: the mix of a file's channels by default
    (channel 0). Raises InputError (an OSError) if the file cannot be opened or decoded.
    """
    rows, _ = _rsid.detect_file(_path(path), _channel(channel), _rule(codes, exact))
    return _detections(rows)


def records(detections: Iterable[Detection], input: Union[str, bytes, os.PathLike[Any]], *,
            duration_s: Optional[float] = None, status: str = "ok", error: str = "",
            label: str = "") -> Iterator[str]:
    """The JSON lines `rsid detect --json` writes for one input, without newlines, written by
    the tool's own writer: a detection record per Detection, then, when duration_s (the
    seconds of audio read) is given, the input's end record with `status` ("ok", "error",
    "interrupted" or "stopped") and `error`. `input` is the name the records give.
    """
    name, count = _name(input), 0
    for d in detections:
        count += 1
        yield d.to_json(name, label=label)
    if duration_s is not None:
        yield _rsid.end_json(name, status, count, _number("duration_s", duration_s), error)


def file_records(path: Union[str, bytes, os.PathLike[Any]], *, channel: Channel = "mix",
                 label: str = "", codes: Codes = None, exact: bool = False) -> List[str]:
    """The JSON lines `rsid detect --json PATH` writes: the file's detections, then its end
    record; a file that cannot be read gives an end record with status "error" and the
    reader's message (InputError), as the tool does. Other errors raise. `channel`, `codes`
    and `exact` as for detect."""
    rule = _rule(codes, exact)
    try:
        rows, duration_s = _rsid.detect_file(_path(path), _channel(channel), rule)
    except InputError as e:
        return list(records([], path, duration_s=0.0, status="error", error=str(e)))
    return list(records(_detections(rows), path, duration_s=duration_s, label=label))


def scan(x: Any, rate: float, *, center: float = 0.0, iq: Optional[bool] = None,
         codes: Codes = None, exact: bool = False) -> List[Detection]:
    """Every identifier anywhere in a band of samples taken at `rate`, in order of start.

    x is one of:
      complex64 or complex128, 1-D: I/Q (full scale 1.0) covering center - rate/2 to
          center + rate/2; `rate` counts complex samples per second;
      2-D real, frames x 2, with iq=True: the same, I in column 0 and Q in column 1;
      1-D real (int16, int32, float32, float64, scaled as for detect): wide audio, scanned
          from 0 Hz to rate/2, with `center` the frequency of its 0 Hz.
    iq=None takes complex samples as I/Q and 1-D real ones as audio; iq=False refuses complex.
    `center` [Hz] is the frequency of the middle of the band (I/Q) or of 0 Hz (audio):
    Detection.freq_hz is center + offset_hz. Rates from 6000 to 20000000 samples/s. The
    identifier is upper-sideband audio, so its tones rise in frequency. NaN and infinite
    samples count as silence. `codes` and `exact` as for detect.
    """
    return _detections(_rsid.scan(x, _number("rate", rate), _number("center", center),
                                  _iq("iq", iq), _rule(codes, exact)), band=True)


def scan_file(path: Union[str, bytes, os.PathLike[Any]], *, center: Optional[float] = None,
              iq: Optional[bool] = None, codes: Codes = None,
              exact: bool = False) -> List[Detection]:
    """Every identifier anywhere in the band of a sound file (libsndfile), in order of start.

    A one-channel file is wide real audio, scanned from 0 Hz to half its rate; a two-channel
    file with iq=True is I and Q. `center` [Hz] is the frequency of the middle of the band
    (I/Q) or of 0 Hz (audio); None means 0. Raises InputError (an OSError) if the file cannot
    be opened or decoded, ValueError if its channels or rate (6000/s or more) do not fit.
    `codes` and `exact` as for detect.
    """
    where = 0.0 if center is None else _number("center", center)
    return _detections(_rsid.scan_file(_path(path), where, _iq("iq", iq), _rule(codes, exact)),
                       band=True)


def send(freq: float = 1500.0, rate: float = 48000, *, lead: float = 0.0, tail: float = 0.0,
         code: int = 131) -> numpy.ndarray:
    """The identifier of `code` (0 to 4095) with tone 0 at `freq` Hz as int16 samples at `rate`
    samples/s.

    At 48000/s these are the library's own generator samples (peak 20000); other rates, from
    1000 to 768000, are converted by a high-quality resampler. `lead` and `tail` add that many
    seconds of silence before and after it. The tones must fit below half the rate. The samples
    are made in memory: at most 2**25 of them at 48000/s and at `rate` (lead + tail up to 697 s
    at 48000/s or below), else ValueError. Warns when the detector could not find it: a rate
    too low to carry the detector's band, as detect warns, or tone 0 outside 598 to 2230 Hz.
    """
    freq, rate = _number("freq", freq), _number("rate", rate)
    if isinstance(code, bool) or not isinstance(code, numbers.Integral):
        raise TypeError(f"code must be an int from 0 to 4095, not {type(code).__name__}")
    x = _rsid.send(freq, rate, _number("lead", lead), _number("tail", tail), int(code))
    _warn_rate(rate)
    message = _rsid.tone_warning(freq, rate)
    if message:
        warnings.warn(message, stacklevel=2)
    return x


class Detector:
    """The detector over a stream: feed chunks of any size as they arrive.

    Detector(rate, channel="mix", codes=None, exact=False) takes chunks at `rate` samples/s
    (channel, codes and exact as for detect; a chunk may hold a single frame). The first chunk fixes the
    layout (1-D, or 2-D with its number of channels) and the scale (int16, int32 or float) until
    finish(). Chunking never changes what is found: feeding the samples in one call or one
    sample at a time gives the same detections. Positions count from the start of the stream.
    One call at a time runs on a Detector; separate Detectors run in parallel.
    """

    def __init__(self, rate: float, *, channel: Channel = "mix", codes: Codes = None,
                 exact: bool = False) -> None:
        rate = _number("rate", rate)
        self._stream = _rsid.Stream(rate, _channel(channel), _rule(codes, exact))
        _warn_rate(rate)

    @property
    def rate(self) -> float:
        """Input samples per second."""
        return self._stream.rate

    @property
    def frames(self) -> int:
        """Frames (samples per channel) fed since the stream began."""
        return self._stream.frames

    def feed(self, chunk: Any) -> List[Detection]:
        """Takes the next samples; returns the identifiers that ended in them, in order of start."""
        return _detections(self._stream.feed(chunk))

    def finish(self) -> List[Detection]:
        """Ends the stream and returns what it still held; the next chunk starts a new stream."""
        return _detections(self._stream.finish())

    def __repr__(self) -> str:
        return f"Detector(rate={self.rate!r}, frames={self.frames})"


class Scanner:
    """The band scanner over a stream: feed chunks of any size as they arrive.

    Scanner(rate, center=0.0, complex=True) takes I/Q chunks (complex64 or complex128, or real
    frames x 2 arrays of I and Q) at `rate` complex samples per second; with complex=False, 1-D
    chunks of wide real audio at `rate` samples per second. The first chunk fixes the scale
    (complex or float on +-1, int16, int32) until finish(). Chunking never changes what is
    found. Positions count from the start of the stream. One call at a time runs on a Scanner;
    separate Scanners run in parallel. `codes` and `exact` as for detect.
    """

    def __init__(self, rate: float, *, center: float = 0.0, complex: bool = True,
                 codes: Codes = None, exact: bool = False) -> None:
        if not isinstance(complex, bool):
            raise TypeError(f"complex must be True or False, not {type(complex).__name__}")
        self._stream = _rsid.BandStream(_number("rate", rate), _number("center", center),
                                        complex, _rule(codes, exact))

    @property
    def rate(self) -> float:
        """Input frames (complex samples for I/Q) per second."""
        return self._stream.rate

    @property
    def center(self) -> float:
        """Frequency of the middle of the band (I/Q) or of 0 Hz (real audio) [Hz]."""
        return self._stream.center

    @property
    def complex(self) -> bool:
        """True for I/Q, False for wide real audio."""
        return self._stream.complex

    @property
    def frames(self) -> int:
        """Frames (complex samples for I/Q) fed since the stream began."""
        return self._stream.frames

    def feed(self, chunk: Any) -> List[Detection]:
        """Takes the next samples; returns the identifiers that ended in them, in order of start."""
        return _detections(self._stream.feed(chunk), band=True)

    def finish(self) -> List[Detection]:
        """Ends the stream and returns what it still held; the next chunk starts a new stream."""
        return _detections(self._stream.finish(), band=True)

    def __repr__(self) -> str:
        return (f"Scanner(rate={self.rate!r}, center={self.center!r}, complex={self.complex}, "
                f"frames={self.frames})")
