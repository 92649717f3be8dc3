"""WFDB records (a .hea header beside its .dat signal file), read through the wfdb package."""
from __future__ import annotations

import pathlib
import warnings

import numpy as np

from . import FormatError, Signal, require


def read(path: pathlib.Path) -> Signal:
    wfdb = require("wfdb", "wfdb")
    record_name = path.with_suffix("") if path.suffix.lower() in (".hea", ".dat") else path
    if not record_name.with_suffix(".hea").is_file():
        raise FormatError(f"{record_name.with_suffix('.hea')}: no such file")
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
