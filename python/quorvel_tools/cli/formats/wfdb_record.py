"""WFDB records (a .hea header beside its .dat signal file), read and written through the wfdb package."""
from __future__ import annotations

import fractions
import math
import pathlib
import re
import shutil
import warnings
from typing import Any, Optional

import numpy as np

from ..._atomic import atomic_paths, private_folder
from .base import Format, FormatError, Options, Readback, Signal, channel_lengths, channel_rates, default_names, \
    on_its_grid, require


def read(path: pathlib.Path, options: Options) -> Signal:
    record_name = _record(path)
    record = _read_record(record_name, path)
    channels = record.e_p_signal
    if not channels or max(len(c) for c in channels) == 0:
        raise FormatError(f"{path}: the record holds no samples")
    rates = [float(record.fs) * k for k in record.samps_per_frame]
    data = np.full((len(channels), max(len(c) for c in channels)), np.nan)
    for row, samples in zip(data, channels):
        row[:len(samples)] = samples
    extra: dict[str, Any] = {"fmt": list(record.fmt or []), "adc_gain": [float(g) for g in (record.adc_gain or [])],
                             "baseline": [int(b) for b in (record.baseline or [])]}
    if len(set(rates)) > 1:  # several samples per frame: each channel at its own rate
        extra.update(rates=rates, lengths=[len(c) for c in channels])
    return on_its_grid(Signal(data=data, source="wfdb", sample_rate=max(rates), channel_names=list(record.sig_name),
                              units=list(record.units), extra=extra), grid)


def grid(signal: Signal) -> Optional[tuple[list[float], Optional[list[float]]]]:
    """The record's digital units, in physical units: 1/gain, from -baseline/gain."""
    gains, baselines = signal.extra.get("adc_gain"), signal.extra.get("baseline")
    if not (isinstance(gains, list) and isinstance(baselines, list)
            and len(gains) == len(baselines) == signal.channel_count
            and all(isinstance(g, (int, float)) and g > 0 for g in gains)
            and all(isinstance(b, (int, float)) for b in baselines)):
        return None
    return [1 / g for g in gains], [-b / g for b, g in zip(baselines, gains)]


def _read_record(record_name: pathlib.Path, path: pathlib.Path) -> Any:
    """The record through wfdb, each channel at its own rate (frames are not averaged)."""
    wfdb = require("wfdb", "wfdb")
    try:
        # wfdb's own use of pandas raises deprecation warnings that say nothing
        # about the user's file; they would only clutter the command's stderr.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return wfdb.rdrecord(str(record_name), smooth_frames=False)
    except Exception as error:  # wfdb raises a variety of types for malformed records
        raise FormatError(f"{path}: not a readable WFDB record ({_one_line(error)})") from None


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    """A record of 16-bit samples, each channel at its own rate (several samples per frame): the
    source's own gains and baselines when it was a WFDB record (so its values come back on their
    grid), else gains that fit each channel's range. NaN is WFDB's invalid sample."""
    wfdb = require("wfdb", "wfdb")
    if signal.sample_rate is None:
        raise FormatError("the file carries no sample rate; give one with --rate")
    record = _record(path)
    if not re.fullmatch(r"[-\w]+", record.name):
        raise FormatError(f"{path}: a WFDB record name holds letters, digits, '_' and '-' only")
    rows = np.asarray(signal.rows(), np.float64)
    if np.isinf(rows).any():
        raise FormatError(f"{path}: the recording holds infinities, which WFDB cannot hold; write .npy or .csv")
    count, lengths = len(rows), channel_lengths(signal)
    base, per_frame = _frames(channel_rates(signal), path)
    frames = max(-(-n // k) for n, k in zip(lengths, per_frame))
    gains, baselines = _scaling(signal, rows, lengths)
    digital = []
    for row, n, k, gain, baseline in zip(rows, lengths, per_frame, gains, baselines):
        values = np.full(frames * k, np.nan)
        values[:n] = np.clip(np.rint(row[:n] * gain + baseline), -_TOP, _TOP)
        digital.append(np.nan_to_num(values, nan=-_TOP - 1).astype(np.int64))
    names = signal.channel_names if len(signal.channel_names) == count else default_names(count)
    units = [unit or "NU" for unit in signal.units] if len(signal.units) == count else ["NU"] * count
    entry = wfdb.Record(record_name=record.name, n_sig=count, fs=base, samps_per_frame=per_frame, sig_len=frames,
                        e_d_signal=digital, fmt=["16"] * count, adc_gain=gains, baseline=baselines, units=units,
                        sig_name=names, file_name=[record.name + ".dat"] * count, adc_res=[16] * count,
                        adc_zero=[0] * count, init_value=[int(d[0]) for d in digital], block_size=[0] * count)
    with private_folder() as scratch:  # wfdb writes by name: let it write aside, then move each file whole
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                entry.checksum = entry.calc_checksum(expanded=True)
                entry.wrsamp(expanded=True, write_dir=str(scratch))
        except Exception as error:  # wfdb raises a variety of types for data it cannot hold
            raise FormatError(f"{path}: cannot write a WFDB record ({_one_line(error)})") from None
        options.verify(scratch / (record.name + ".hea"))
        # Both files take their names together, the header last: a record is whole once it names
        # its signal file, and a header that cannot take its name takes the new signal file with it.
        suffixes = (".dat", ".hea")
        with atomic_paths([record.with_suffix(suffix) for suffix in suffixes]) as temporaries:
            for suffix, temporary in zip(suffixes, temporaries):
                shutil.copyfile(scratch / (record.name + suffix), temporary)


_TOP = 32767  # format 16's samples; -32768 is the invalid sample (NaN)


def _frames(rates: list[Optional[float]], path: pathlib.Path) -> tuple[float, list[int]]:
    """The frame rate and each channel's samples per frame: the rates' greatest common divisor."""
    given = [rate for rate in rates if rate is not None]
    exact = [fractions.Fraction(rate).limit_denominator(1000) for rate in given]
    base = exact[0]
    for rate in exact[1:]:
        base = fractions.Fraction(math.gcd(base.numerator * rate.denominator, rate.numerator * base.denominator),
                                  base.denominator * rate.denominator)
    per_frame = [int(rate / base) for rate in exact]
    if any(abs(r - float(e)) > 1e-9 * float(e) for r, e in zip(given, exact)) or max(per_frame) > 1000:
        raise FormatError(f"{path}: the channels' rates have no common frame rate a WFDB record can hold; "
                          "write .edf or .npy")
    return float(base), per_frame


def _scaling(signal: Signal, rows: np.ndarray, lengths: list[int]) -> tuple[list[float], list[int]]:
    """Each channel's gain and baseline: the source's own, else fitted to its range of values."""
    gains, baselines = signal.extra.get("adc_gain") or [], signal.extra.get("baseline") or []
    if signal.source == "wfdb" and len(gains) == len(baselines) == len(rows) and all(g > 0 for g in gains):
        return [float(g) for g in gains], [int(b) for b in baselines]
    gains, baselines = [], []
    for row, n in zip(rows, lengths):
        finite = row[:n][np.isfinite(row[:n])]
        low, high = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 0.0)
        middle = (low + high) / 2
        half = max((high - low) / 2, abs(middle) * 2.0 ** -15, 1e-300)  # the baseline fits 32 bits
        gain = float(f"{(_TOP - 1) / half:.12g}")
        gains.append(gain)
        baselines.append(-round(middle * gain))
    return gains, baselines


def read_back(path: pathlib.Path, signal: Signal, options: Options) -> Readback:
    """A written record as wfdb reads it, each channel at its own rate."""
    record = _read_record(_record(path), path)
    gains = [float(g) for g in record.adc_gain]
    from_source = signal.source == "wfdb"  # the source's own scaling: its samples lay in its range
    return Readback(channels=list(record.e_p_signal), rates=[float(record.fs) * k for k in record.samps_per_frame],
                    steps=[1 / g for g in gains],
                    limits=[((-_TOP - b) / g, (_TOP - b) / g) for g, b in zip(gains, record.baseline)]
                    if from_source else None)


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
                files=_files, recognises=_named_without_suffix, read_back=read_back,
                grid=grid)
