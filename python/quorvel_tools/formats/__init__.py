"""Signal files in and out: .npy, .wav, .csv/.tsv, .edf/.bdf and WFDB records."""
from __future__ import annotations

import dataclasses
import pathlib
from typing import Any, Optional

import numpy as np

__all__ = ["FormatError", "Signal", "read_signal", "write_signal", "output_kind", "input_size"]


class FormatError(Exception):
    """A file cannot be read or written as asked; the message says why, in one line."""


@dataclasses.dataclass
class Signal:
    """Samples with what is needed to write them back in their own format.

    `data` is 1-D (time) or 2-D (channels, time), float32 or float64. `grid_step`
    gives, per channel, the spacing of the values the source could hold (one
    LSB of integer PCM, one digital unit of EDF) or None for float sources.
    """

    data: np.ndarray
    source: str
    sample_rate: Optional[float] = None
    channel_names: list[str] = dataclasses.field(default_factory=list)
    units: list[str] = dataclasses.field(default_factory=list)
    wav_subtype: Optional[str] = None
    grid_step: Optional[list[float]] = None
    extra: dict[str, Any] = dataclasses.field(default_factory=dict)

    @property
    def channel_count(self) -> int:
        return 1 if self.data.ndim == 1 else int(self.data.shape[0])

    def rows(self) -> np.ndarray:
        """The samples as (channels, time)."""
        return self.data.reshape(1, -1) if self.data.ndim == 1 else self.data


OUTPUT_KINDS = {".npy": "npy", ".wav": "wav", ".csv": "csv", ".tsv": "csv", ".txt": "csv",
                ".edf": "edf", ".bdf": "edf"}


def read_signal(path: pathlib.Path, *, column: Optional[str] = None) -> Signal:
    """Reads the signal file at `path`, choosing the reader by the file's suffix."""
    suffix = path.suffix.lower()
    if suffix in (".hea", ".dat") or (suffix == "" and path.with_suffix(".hea").is_file()):
        from . import wfdb_record
        return wfdb_record.read(path)
    if not path.is_file():
        raise FormatError(f"{path}: no such file")
    if suffix == ".npy":
        from . import npy
        return npy.read(path)
    if suffix == ".wav":
        from . import wav
        return wav.read(path)
    if suffix in (".csv", ".tsv", ".txt"):
        from . import delimited
        return delimited.read(path, column=column)
    if suffix in (".edf", ".bdf"):
        from . import edf
        return edf.read(path)
    raise FormatError(f"{path}: unknown input format '{suffix}' "
                      "(expected .npy, .wav, .csv, .tsv, .edf, .bdf or a WFDB .hea record)")


def input_size(path: pathlib.Path) -> int:
    """Bytes the input took on disk: a WFDB record counts its header and its signal files."""
    if path.suffix.lower() in (".hea", ".dat", ""):
        record = path.with_suffix("")
        return sum(f.stat().st_size for f in record.parent.glob(record.name + ".*")
                   if f.suffix.lower() in (".hea", ".dat"))
    return path.stat().st_size


def output_kind(path: pathlib.Path) -> str:
    """The writer a decode to `path` will use; checked before any work is done."""
    kind = OUTPUT_KINDS.get(path.suffix.lower())
    if kind is None:
        raise FormatError(f"{path}: unknown output format '{path.suffix}' "
                          "(expected .npy, .wav, .csv, .tsv, .edf or .bdf)")
    return kind


def write_signal(path: pathlib.Path, signal: Signal, *, subtype: Optional[str] = None,
                 sample_rate: Optional[float] = None) -> None:
    """Writes `signal` to `path` atomically in the format its suffix names."""
    kind = output_kind(path)
    if sample_rate is not None:
        signal = dataclasses.replace(signal, sample_rate=sample_rate)
    if kind == "npy":
        from . import npy
        npy.write(path, signal)
    elif kind == "wav":
        from . import wav
        wav.write(path, signal, subtype=subtype)
    elif kind == "csv":
        from . import delimited
        delimited.write(path, signal)
    else:
        from . import edf
        edf.write(path, signal)


def default_names(count: int) -> list[str]:
    return [f"ch{i}" for i in range(count)]


def require(module: str, extra: str) -> Any:
    """Imports an optional dependency, or says which extra installs it."""
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError:
        raise FormatError(f"this format needs the package '{module}': "
                          f"pip install 'quorvel[{extra}]'") from None
