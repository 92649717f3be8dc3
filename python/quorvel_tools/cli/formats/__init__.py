"""Signal files in and out, one module per format, found through the registry below.

A format is a module that defines ``FORMAT = Format(...)`` (see ``base.Format``;
``npy.py`` is the smallest) and one line in ``_MODULES``. Everything else, the
command's choice of reader and writer, its help and its messages, and the size
of a source file per sample, comes from the registry.
"""
from __future__ import annotations

import dataclasses
import importlib
import pathlib
from typing import Any, Iterable, Mapping, Optional, cast

from .base import Format, FormatError, Options, Signal, channel_lengths, channel_rates, on_its_grid

__all__ = ["FORMATS", "READERS", "WRITERS", "Format", "FormatError", "Signal", "by_source", "input_size", "listing",
           "rate_groups", "read_signal", "source_sample_bytes", "with_source_grid", "write_signal", "writer_for"]

# The registry: one module per format, in the order the help lists them.
_MODULES = (
    "npy",
    "wav",
    "sound",
    "delimited",
    "edf",
    "wfdb_record",
)
FORMATS: tuple[Format, ...] = tuple(cast(Format, importlib.import_module(f"{__name__}.{module}").FORMAT)
                                    for module in _MODULES)
READERS = tuple(entry for entry in FORMATS if entry.read is not None)
WRITERS = tuple(entry for entry in FORMATS if entry.write is not None)


def listing(formats: Iterable[Format]) -> str:
    """The formats as the help names them: ".npy, .wav or .csv"."""
    names = [name for entry in formats for name in entry.names()]
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " or " + names[-1]


def read_signal(path: pathlib.Path, *, column: Optional[str] = None, time_axis: Optional[int] = None) -> Signal:
    """Reads the signal file at `path`, choosing the reader by the file's name."""
    reader = next((entry for entry in READERS if entry.claims(path)), None)
    if reader is None:
        if not path.is_file():
            raise FormatError(f"{path}: no such file")
        raise FormatError(f"{path}: unknown input format '{path.suffix.lower()}' (expected {listing(READERS)})")
    for file in reader.files(path):
        if not file.is_file():
            raise FormatError(f"{file}: no such file")
    assert reader.read is not None
    return reader.read(path, Options(column=column, time_axis=time_axis))


def input_size(path: pathlib.Path) -> int:
    """Bytes the input took on disk: a WFDB record counts its header and its signal file."""
    reader = next((entry for entry in READERS if entry.claims(path)), None)
    files = reader.files(path) if reader is not None else [path]
    return sum(file.stat().st_size for file in files)


def writer_for(path: pathlib.Path) -> Format:
    """The format a decode to `path` writes, chosen by its suffix; checked before any work is done."""
    writer = next((entry for entry in WRITERS if path.suffix.lower() in entry.suffixes), None)
    if writer is None:
        raise FormatError(f"{path}: unknown output format '{path.suffix}' (expected {listing(WRITERS)})")
    return writer


def write_signal(path: pathlib.Path, signal: Signal, *, subtype: Optional[str] = None,
                 sample_rate: Optional[float] = None, lossy: bool = False) -> Optional[str]:
    """Writes `signal` to `path` atomically in the format its suffix names, reading the file back
    before it takes its name (FormatError when it would not hold the recording). Returns what a
    lossy output measures, else None."""
    writer = writer_for(path)
    if sample_rate is not None:
        signal = dataclasses.replace(signal, sample_rate=sample_rate)
    notes: list[str] = []

    def verify(written: pathlib.Path) -> None:
        from ..verify import check_written
        assert writer.read_back is not None
        note = check_written(path, signal, writer.read_back(written, signal, options))
        if note:
            notes.append(note)

    options = Options(subtype=subtype, lossy=lossy, verify=verify)
    assert writer.write is not None
    writer.write(path, signal, options)
    return notes[0] if notes else None


def rate_groups(signal: Signal) -> list[tuple[float, Signal]]:
    """The channels of each rate as a signal of their own, fastest first; one group when all share a rate."""
    rates, lengths = channel_rates(signal), channel_lengths(signal)
    if len({rate for rate in rates if rate is not None}) < 2:
        return [(signal.sample_rate or 0.0, signal)]
    count, rows = signal.channel_count, signal.rows()

    def pick(values: Any, channels: list[int]) -> Any:
        return [values[i] for i in channels] if isinstance(values, list) and len(values) == count else values

    groups = []
    for rate in sorted({rate for rate in rates if rate is not None}, reverse=True):
        channels = [i for i, r in enumerate(rates) if r == rate]
        part = rows[channels, :max(lengths[i] for i in channels)]
        extra = {"lengths": [lengths[i] for i in channels]} if len({lengths[i] for i in channels}) > 1 else {}
        groups.append((rate, dataclasses.replace(
            signal, data=part[0] if len(channels) == 1 else part, sample_rate=rate,
            channel_names=pick(signal.channel_names, channels), units=pick(signal.units, channels),
            grid_step=pick(signal.grid_step, channels), grid_origin=pick(signal.grid_origin, channels),
            extra=extra, annotations=[])))
    return groups


def by_source(source: object) -> Optional[Format]:
    """The format a signal named as its `source` was read from, if any."""
    return next((entry for entry in FORMATS if source in entry.sources), None)


def with_source_grid(signal: Signal) -> Signal:
    """A signal decoded from a .qrvl file, with the grid its source format's metadata gives (the
    values an EDF or integer PCM source could hold), so that the file it is written to is measured
    as its source would round it."""
    source = by_source(signal.source)
    return on_its_grid(signal, source.grid) if source is not None and source.grid is not None else signal


def source_sample_bytes(metadata: Mapping[str, Any]) -> Optional[float]:
    """Bytes one sample took in the source file that a .qrvl file's metadata names (None: unknown)."""
    source = by_source(metadata.get("source"))
    return source.sample_bytes(metadata) if source is not None else None
