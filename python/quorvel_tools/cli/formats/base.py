"""What every signal file format shares: the signal it reads and writes, and the record that registers it."""
from __future__ import annotations

import dataclasses
import importlib
import pathlib
from typing import Any, Callable, Mapping, Optional

import numpy as np

__all__ = ["Format", "FormatError", "Options", "Signal", "default_names", "require"]


class FormatError(Exception):
    """A file cannot be read or written as asked; the message says why, in one line."""


@dataclasses.dataclass
class Signal:
    """Samples with what is needed to write them back in their own format.

    `data` is 1-D (time) or 2-D (channels, time), float32 or float64. `grid_step`
    gives, per channel, the spacing of the values the source could hold (one
    LSB of integer PCM, one digital unit of EDF) or None for float sources, and
    `grid_origin` a value on each channel's grid (None: zero).
    `annotations` are timed events: (onset in seconds, duration in seconds or
    -1 when it has none, text).
    """

    data: np.ndarray
    source: str
    sample_rate: Optional[float] = None
    channel_names: list[str] = dataclasses.field(default_factory=list)
    units: list[str] = dataclasses.field(default_factory=list)
    wav_subtype: Optional[str] = None
    grid_step: Optional[list[float]] = None
    grid_origin: Optional[list[float]] = None
    extra: dict[str, Any] = dataclasses.field(default_factory=dict)
    annotations: list[tuple[float, float, str]] = dataclasses.field(default_factory=list)

    @property
    def channel_count(self) -> int:
        return 1 if self.data.ndim == 1 else int(self.data.shape[0])

    def rows(self) -> np.ndarray:
        """The samples as (channels, time)."""
        return self.data.reshape(1, -1) if self.data.ndim == 1 else self.data


@dataclasses.dataclass(frozen=True)
class Options:
    """What the command line asks of readers and writers; each format takes what applies to it."""

    column: Optional[str] = None   # delimited text: the column to read, by name or position
    subtype: Optional[str] = None  # WAV: the sample format to write
    time_axis: Optional[int] = None  # 2-D arrays: the axis time runs along (None: the last)


def _no_size(metadata: Mapping[str, Any]) -> Optional[float]:
    return None


def _itself(path: pathlib.Path) -> list[pathlib.Path]:
    return [path]


@dataclasses.dataclass(frozen=True)
class Format:
    """One kind of signal file, as the command reads and writes it.

    - `sources`: what a signal read from it names as its `source`, so that the
      format can be recognised from a .qrvl file's metadata;
    - `suffixes`: the file names it reads and writes, lower case; `shown` is how
      lists in the help and messages name it (default: the suffixes);
    - `read(path, options)` and `write(path, signal, options)`: None when the
      format is only read or only written; a writer writes atomically;
    - `sample_bytes(metadata)`: bytes one sample took in a source file of this
      format (the ratio `quorvel info` shows), None for the decoded sample size;
    - `files(path)`: the files an input occupies, each of which must exist
      (default: the path itself);
    - `recognises(path)`: whether the path is this format's, when the suffix
      alone does not tell (a WFDB record named without its suffix).
    """

    sources: tuple[str, ...]
    suffixes: tuple[str, ...]
    read: Optional[Callable[[pathlib.Path, Options], Signal]] = None
    write: Optional[Callable[[pathlib.Path, Signal, Options], None]] = None
    shown: tuple[str, ...] = ()
    sample_bytes: Callable[[Mapping[str, Any]], Optional[float]] = _no_size
    files: Callable[[pathlib.Path], list[pathlib.Path]] = _itself
    recognises: Optional[Callable[[pathlib.Path], bool]] = None

    def names(self) -> tuple[str, ...]:
        """How lists in the help and in messages name the format."""
        return self.shown or self.suffixes

    def claims(self, path: pathlib.Path) -> bool:
        return path.suffix.lower() in self.suffixes or (self.recognises is not None and self.recognises(path))


def default_names(count: int) -> list[str]:
    return [f"ch{i}" for i in range(count)]


def require(module: str, extra: str) -> Any:
    """Imports an optional dependency, or says how to install it: the package itself (its
    import name is its name on PyPI), or the `extra` from a checkout of quorvel."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise FormatError(f"this format needs the package '{module}': pip install {module} "
                          f"(or, in a checkout of quorvel: pip install '.[{extra}]')") from None
