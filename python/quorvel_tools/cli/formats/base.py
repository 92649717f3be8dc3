"""What every signal file format shares: the signal it reads and writes, and the record that registers it."""
from __future__ import annotations

import dataclasses
import importlib
import math
import pathlib
from typing import Any, Callable, Mapping, Optional

import numpy as np

from ..._signal import Signal, channel_lengths, channel_rates

__all__ = ["Format", "FormatError", "Options", "Readback", "Signal", "channel_lengths", "channel_rates",
           "default_names", "on_its_grid", "one_rate", "pcm_values", "require", "source_is_pcm"]


class FormatError(Exception):
    """A file cannot be read or written as asked; the message says why, in one line."""


@dataclasses.dataclass(frozen=True)
class Options:
    """What the command line asks of readers and writers; each format takes what applies to it."""

    column: Optional[str] = None   # delimited text: the column to read, by name or position
    subtype: Optional[str] = None  # WAV: the sample format to write
    time_axis: Optional[int] = None  # 2-D arrays: the axis time runs along (None: the last)
    lossy: bool = False            # lossy outputs (Ogg) are written only when asked for
    # Reads a written file back before it takes its name; raises FormatError when it misses.
    verify: Callable[[pathlib.Path], None] = lambda path: None


@dataclasses.dataclass
class Readback:
    """A written file as the library its users read it with sees it: each channel's samples
    (padding after a channel's end is NaN), its rate (None: the file has none), the spacing
    of the values it can hold (0: it holds the samples exactly, None: a lossy coding), and
    the range it can hold (None: unbounded), within which a writer may clip; `advice` says what
    to write instead when the file misses."""

    channels: list[np.ndarray]
    rates: list[Optional[float]]
    steps: list[Optional[float]]
    limits: Optional[list[tuple[float, float]]] = None
    advice: str = "write .npy instead"


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
      alone does not tell (a WFDB record named without its suffix);
    - `read_back(path, signal, options)`: a written file as its users' library
      reads it, to check it before it takes its name;
    - `grid(signal)`: each channel's grid step and origin (None: zero) as the
      source's metadata gives them, or None for a float source; readers set
      `grid_step` and `grid_origin` from it, and `decode` finds it again.
    """

    sources: tuple[str, ...]
    suffixes: tuple[str, ...]
    read: Optional[Callable[[pathlib.Path, Options], Signal]] = None
    write: Optional[Callable[[pathlib.Path, Signal, Options], None]] = None
    shown: tuple[str, ...] = ()
    sample_bytes: Callable[[Mapping[str, Any]], Optional[float]] = _no_size
    files: Callable[[pathlib.Path], list[pathlib.Path]] = _itself
    recognises: Optional[Callable[[pathlib.Path], bool]] = None
    read_back: Optional[Callable[[pathlib.Path, Signal, Options], Readback]] = None
    grid: Optional[Callable[[Signal], Optional[tuple[list[float], Optional[list[float]]]]]] = None

    def names(self) -> tuple[str, ...]:
        """How lists in the help and in messages name the format."""
        return self.shown or self.suffixes

    def claims(self, path: pathlib.Path) -> bool:
        return path.suffix.lower() in self.suffixes or (self.recognises is not None and self.recognises(path))


Grid = Callable[[Signal], Optional[tuple[list[float], Optional[list[float]]]]]


def on_its_grid(signal: Signal, grid: Grid) -> Signal:
    """`signal` with the grid its metadata gives (see `Format.grid`)."""
    found = grid(signal)
    signal.grid_step, signal.grid_origin = (found[0], found[1]) if found else (None, None)
    return signal


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


def one_rate(signal: Signal, path: pathlib.Path, kind: str) -> None:
    """Refuses a recording whose channels run at rates (or lengths) of their own, for a format
    that holds one rate for all channels."""
    rates = {rate for rate in channel_rates(signal) if rate is not None}
    if len(rates) > 1:
        listed = [f"{rate:g}" for rate in sorted(rates, reverse=True)]
        shown = ", ".join(listed[:-1]) + " and " + listed[-1]
        raise FormatError(f"{path}: the channels run at {shown} Hz and {kind} holds one rate; write .edf, "
                          f".bdf, a WFDB .hea record or .npy")
    if len(set(channel_lengths(signal))) > 1:
        raise FormatError(f"{path}: the channels end at different lengths and {kind} holds one length; write "
                          f".edf, .bdf, a WFDB .hea record or .npy")


def source_is_pcm(signal: Signal) -> bool:
    """Whether the samples came from integer PCM (full scale [-1, 1)), where a decoded value a
    little past full scale goes back onto the edge the original lay within."""
    subtype = signal.extra.get("subtype") if signal.source in ("flac", "ogg") else signal.wav_subtype
    return isinstance(subtype, str) and subtype.startswith("PCM")


def pcm_values(frames: np.ndarray, bits: int, signal: Signal, path: pathlib.Path, advice: str) -> np.ndarray:
    """Floats of full scale -> the integers of `bits`-bit PCM (as float64), never clipping a
    sample the PCM range cannot hold unless the source itself was PCM (then the original lay
    inside the range, and the edge is nearer to it); otherwise the write is refused."""
    top = 2.0 ** (bits - 1)
    values = np.rint(np.asarray(frames, np.float64) * top)
    if not np.isfinite(values).all():
        raise FormatError(f"{path}: the recording has gaps (NaN) or infinities that {bits}-bit PCM cannot hold; "
                          f"{advice}")
    if values.size and (values.min() < -top or values.max() > top - 1):
        if not source_is_pcm(signal):
            peak = float(np.max(np.abs(frames)))
            raise FormatError(f"{path}: samples reach {peak:.4g}, beyond the [-1, 1) that {bits}-bit PCM holds; "
                              f"{advice}")
        values = np.clip(values, -top, top - 1)
    return values
