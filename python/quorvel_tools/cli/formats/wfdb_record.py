"""WFDB records (a .hea header beside its .dat signal file), read through the wfdb package."""
from __future__ import annotations

import pathlib
import warnings

import numpy as np

from .base import Format, FormatError, Options, Signal, require


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
    return Signal(data=data, source="wfdb", sample_rate=float(record.fs),
                  channel_names=list(record.sig_name), units=list(record.units),
                  extra={"fmt": list(record.fmt or []), "adc_gain": gains,
                         "baseline": [int(b) for b in (record.baseline or [])]})


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
FORMAT = Format(sources=("wfdb",), suffixes=_SUFFIXES, shown=("a WFDB .hea record",), read=read, files=_files,
                recognises=_named_without_suffix)
