import dataclasses
import os
from typing import Any, Iterable, Iterator, List, Optional, Union

import numpy
import numpy.typing

from ._rsid import InputError as InputError

__all__ = [
    "Detection",
    "Detector",
    "InputError",
    "Scanner",
    "detect",
    "detect_file",
    "file_records",
    "records",
    "scan",
    "scan_file",
    "send",
    "__version__",
]
__version__: str
Channel = Union[int, str]
Codes = Union[None, str, int, Iterable[int]]

@dataclasses.dataclass(frozen=True)
class Detection:
    time_s: float
    sample: int
    freq_hz: float
    offset_hz: float
    snr_db: float
    level_dbfs: float
    code: int
    channel: int
    rate: float
    band: bool = ...
    def to_json(self, input: Union[str, bytes, os.PathLike[Any]], *, label: str = "") -> str: ...

def detect(
    x: numpy.typing.ArrayLike,
    rate: float,
    *,
    channel: Channel = "mix",
    codes: Codes = None,
    exact: bool = False,
) -> List[Detection]: ...
def detect_file(
    path: Union[str, bytes, os.PathLike[Any]],
    *,
    channel: Channel = "mix",
    codes: Codes = None,
    exact: bool = False,
) -> List[Detection]: ...
def records(
    detections: Iterable[Detection],
    input: Union[str, bytes, os.PathLike[Any]],
    *,
    duration_s: Optional[float] = None,
    status: str = "ok",
    error: str = "",
    label: str = "",
) -> Iterator[str]: ...
def file_records(
    path: Union[str, bytes, os.PathLike[Any]],
    *,
    channel: Channel = "mix",
    label: str = "",
    codes: Codes = None,
    exact: bool = False,
) -> List[str]: ...
def scan(
    x: numpy.typing.ArrayLike,
    rate: float,
    *,
    center: float = 0.0,
    iq: Optional[bool] = None,
    codes: Codes = None,
    exact: bool = False,
) -> List[Detection]: ...
def scan_file(
    path: Union[str, bytes, os.PathLike[Any]],
    *,
    center: Optional[float] = None,
    iq: Optional[bool] = None,
    codes: Codes = None,
    exact: bool = False,
) -> List[Detection]: ...
def send(
    freq: float = 1500.0,
    rate: float = 48000,
    *,
    lead: float = 0.0,
    tail: float = 0.0,
    code: int = 131,
) -> numpy.typing.NDArray[numpy.int16]: ...

class Detector:
    def __init__(
        self, rate: float, *, channel: Channel = "mix", codes: Codes = None, exact: bool = False
    ) -> None: ...
    @property
    def rate(self) -> float: ...
    @property
    def frames(self) -> int: ...
    def feed(self, chunk: numpy.typing.ArrayLike) -> List[Detection]: ...
    def finish(self) -> List[Detection]: ...

class Scanner:
    def __init__(
        self,
        rate: float,
        *,
        center: float = 0.0,
        complex: bool = True,
        codes: Codes = None,
        exact: bool = False,
    ) -> None: ...
    @property
    def rate(self) -> float: ...
    @property
    def center(self) -> float: ...
    @property
    def complex(self) -> bool: ...
    @property
    def frames(self) -> int: ...
    def feed(self, chunk: numpy.typing.ArrayLike) -> List[Detection]: ...
    def finish(self) -> List[Detection]: ...
