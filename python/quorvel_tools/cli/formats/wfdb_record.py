"""WFDB records (a .hea header beside its .dat signal file), read and written through the wfdb package."""
from __future__ import annotations

import os
import pathlib
import re
import tempfile
import warnings
from typing import Any

import numpy as np

from .base import Format, FormatError, Options, Signal, default_names, require


def read(path: pathlib.Path, options: Options) -> Signal:
    wfdb = require("wfdb", "wfdb")
    record_name = _record(path)
    try:
        # wfdb's own use of pandas raises deprecation warnings that say nothing
        # about the user's file; they would only clutter the command's stderr.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            record = wfdb.rdrecord(str(record_name))
    except Exception as error:  # wfdb raises a variety of types for malformed records
        raise FormatError(f"{path}: not a readable WFDB record ({_one_line(error)})") from None
    if record.p_signal is None or record.p_signal.size == 0:
        raise FormatError(f"{path}: the record holds no samples")
    data = np.ascontiguousarray(record.p_signal.T, dtype=np.float64)
    gains = [float(g) for g in (record.adc_gain or [])]
    baselines = [int(b) for b in (record.baseline or [])]
    on_grid = len(gains) == len(data) == len(baselines) and all(g > 0 for g in gains)
    return Signal(data=data, source="wfdb", sample_rate=float(record.fs),
                  channel_names=list(record.sig_name), units=list(record.units),
                  grid_step=[1 / g for g in gains] if on_grid else None,
                  grid_origin=[-b / g for b, g in zip(baselines, gains)] if on_grid else None,
                  extra={"fmt": list(record.fmt or []), "adc_gain": gains, "baseline": baselines})


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    """A record of 16-bit samples: the source's own gains and baselines when it was a WFDB
    record (so its values come back on their grid), else gains wfdb chooses to fit the data."""
    wfdb = require("wfdb", "wfdb")
    if signal.sample_rate is None:
        raise FormatError("the file carries no sample rate; give one with --rate")
    record = _record(path)
    if not re.fullmatch(r"[-\w]+", record.name):
        raise FormatError(f"{path}: a WFDB record name holds letters, digits, '_' and '-' only")
    rows = np.asarray(signal.rows(), np.float64)
    count = len(rows)
    names = signal.channel_names if len(signal.channel_names) == count else default_names(count)
    units = [unit or "NU" for unit in signal.units] if len(signal.units) == count else ["NU"] * count
    arguments: dict[str, Any] = {"p_signal": rows.T, "fmt": ["16"] * count}
    gains, baselines = signal.extra.get("adc_gain") or [], signal.extra.get("baseline") or []
    if signal.source == "wfdb" and signal.grid_step and len(gains) == len(baselines) == count:
        digital = np.rint(rows.T * np.asarray(gains) + np.asarray(baselines))
        fmt = signal.extra.get("fmt") if len(signal.extra.get("fmt", [])) == count else ["16"] * count
        arguments = {"d_signal": np.nan_to_num(digital, nan=-32768).astype(np.int64), "fmt": fmt,
                     "adc_gain": gains, "baseline": baselines}
    folder = record.parent if str(record.parent) else pathlib.Path(".")
    with tempfile.TemporaryDirectory(prefix=f".{record.name}.", dir=folder) as scratch:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                wfdb.wrsamp(record.name, fs=signal.sample_rate, units=units, sig_name=names,
                            write_dir=scratch, **arguments)
        except Exception as error:  # wfdb raises a variety of types for data it cannot hold
            raise FormatError(f"{path}: cannot write a WFDB record ({_one_line(error)})") from None
        for suffix in (".dat", ".hea"):  # the header last: a record is whole once it names its signal file
            os.replace(pathlib.Path(scratch) / (record.name + suffix), record.with_suffix(suffix))


def _one_line(error: Exception) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def _record(path: pathlib.Path) -> pathlib.Path:
    """The record's name: the path without .hea or .dat."""
    return path.with_suffix("") if path.suffix.lower() in _SUFFIXES else path


def _files(path: pathlib.Path) -> list[pathlib.Path]:
    """The record's header, and its signal file when there is one."""
    record = _record(path)
    return [record.with_suffix(".hea")] + [file for file in (record.with_suffix(".dat"),) if file.is_file()]


def _named_without_suffix(path: pathlib.Path) -> bool:
    return path.suffix == "" and path.with_suffix(".hea").is_file()


_SUFFIXES = (".hea", ".dat")
FORMAT = Format(sources=("wfdb",), suffixes=_SUFFIXES, shown=("a WFDB .hea record",), read=read, write=write,
                files=_files, recognises=_named_without_suffix)
