"""EDF and BDF files (pyedflib): every signal in physical units, headers kept for writing back."""
from __future__ import annotations

import datetime
import math
import pathlib
from typing import Any, Callable, Mapping, Optional

import numpy as np

from ..atomic import atomic_path
from .base import Format, FormatError, Options, Signal, default_names, require

_DIGITAL = {".edf": (-32768, 32767), ".bdf": (-8388608, 8388607)}
_HEADER_KEYS = ("technician", "recording_additional", "patientname", "patient_additional",
                "patientcode", "equipment", "admincode", "sex", "birthdate")
_SIGNAL_KEYS = ("label", "dimension", "sample_frequency", "physical_max", "physical_min",
                "digital_max", "digital_min", "prefilter", "transducer")


def read(path: pathlib.Path, options: Options) -> Signal:
    pyedflib = require("pyedflib", "edf")
    try:
        reader = pyedflib.EdfReader(str(path))
    except OSError as error:
        raise FormatError(f"{path}: not a readable EDF/BDF file ({error})") from None
    try:
        count = reader.signals_in_file
        if count == 0:
            raise FormatError(f"{path}: the file holds no signals")
        headers = [{key: _plain(h[key]) for key in _SIGNAL_KEYS} for h in reader.getSignalHeaders()]
        data = _padded([reader.readSignal(i) for i in range(count)])
        header = reader.getHeader()
        onsets, durations, texts = reader.readAnnotations()
    finally:
        reader.close()
    if data.shape[1] == 0:
        raise FormatError(f"{path}: the file holds no samples")
    start = header.get("startdate")
    extra: dict[str, Any] = {"header": {key: _plain(header.get(key, "")) for key in _HEADER_KEYS},
             "startdate": start.isoformat() if isinstance(start, datetime.datetime) else None,
             "signal_headers": headers}
    lengths = [int(np.isfinite(row).sum()) for row in data]
    if len(set(lengths)) > 1:
        extra["lengths"] = lengths
    return Signal(data=data, source=path.suffix.lower().lstrip("."),
                  sample_rate=max(float(h["sample_frequency"]) for h in headers),
                  channel_names=[h["label"] for h in headers], units=[h["dimension"] for h in headers],
                  grid_step=[_step(h) for h in headers],
                  grid_origin=[float(h["physical_min"]) for h in headers], extra=extra,
                  annotations=[(float(t), float(d), str(x)) for t, d, x in zip(onsets, durations, texts)])


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    pyedflib = require("pyedflib", "edf")
    if signal.sample_rate is None:
        raise FormatError("the file carries no sample rate; give one with --rate")
    rows = np.asarray(signal.rows(), np.float64)
    headers = _signal_headers(path, signal, rows)
    lengths = signal.extra.get("lengths") or [rows.shape[1]] * rows.shape[0]
    digital = [_to_digital(row[:n], h) for row, n, h in zip(rows, lengths, headers)]
    header = dict(signal.extra.get("header", {})) if signal.source in ("edf", "bdf") else {}
    start = signal.extra.get("startdate")
    if start:
        header["startdate"] = datetime.datetime.fromisoformat(start)
    header["annotations"] = [list(event) for event in signal.annotations]
    with atomic_path(path) as temp:
        try:
            pyedflib.highlevel.write_edf(str(temp), digital, headers, header, digital=True)
        except (OSError, AssertionError, ValueError) as error:
            raise FormatError(f"{path}: cannot write EDF ({error})") from None


def _signal_headers(path: pathlib.Path, signal: Signal, rows: np.ndarray) -> list[dict[str, Any]]:
    """The source's own signal headers when it was this format, else headers made to fit the data."""
    same_kind = signal.source == path.suffix.lower().lstrip(".")
    kept = signal.extra.get("signal_headers", [])
    if same_kind and len(kept) == rows.shape[0]:
        return [dict(h) for h in kept]
    low, high = _DIGITAL[path.suffix.lower()]
    names = signal.channel_names if len(signal.channel_names) == rows.shape[0] else default_names(rows.shape[0])
    units = signal.units if len(signal.units) == rows.shape[0] else [""] * rows.shape[0]
    rates = [h["sample_frequency"] for h in kept] if len(kept) == rows.shape[0] else [signal.sample_rate] * len(rows)
    headers = []
    for row, name, unit, rate in zip(rows, names, units, rates):
        finite = row[np.isfinite(row)]
        lo, hi = (float(finite.min()), float(finite.max())) if finite.size else (-1.0, 1.0)
        if hi <= lo:
            lo, hi = lo - 1.0, hi + 1.0
        headers.append({"label": name[:16], "dimension": unit[:8], "sample_frequency": rate,
                        "physical_min": _edf_number(lo, math.floor, path),
                        "physical_max": _edf_number(hi, math.ceil, path),
                        "digital_min": low, "digital_max": high, "prefilter": "", "transducer": ""})
    return headers


def _padded(signals: list[np.ndarray]) -> np.ndarray:
    """Signals of different rates (so lengths) as one (channels, time) array, NaN after each
    one's end: the frame keeps NaN runs in a mask for next to nothing, and writing back trims them."""
    data = np.full((len(signals), max(len(s) for s in signals)), np.nan)
    for row, samples in zip(data, signals):
        row[:len(samples)] = samples
    return data


def _to_digital(row: np.ndarray, header: dict[str, Any]) -> np.ndarray:
    """Physical values -> the nearest digital values the header's scaling can hold."""
    step = _step(header)
    dmin, dmax = int(header["digital_min"]), int(header["digital_max"])
    digital: np.ndarray = np.rint((np.nan_to_num(row) - header["physical_min"]) / step + dmin)
    clipped: np.ndarray = np.clip(digital, dmin, dmax)
    return clipped.astype(np.int32)


def _step(header: dict[str, Any]) -> float:
    span = float(header["digital_max"]) - float(header["digital_min"])
    return (float(header["physical_max"]) - float(header["physical_min"])) / span


def _edf_number(value: float, rounding: Callable[[float], int], path: pathlib.Path) -> float:
    """The value rounded outwards to a number that an 8-character EDF field holds exactly."""
    for decimals in range(6, -1, -1):
        scaled: float = rounding(value * 10**decimals) / 10**decimals
        if len(f"{scaled:.{decimals}f}".rstrip("0").rstrip(".")) <= 8:
            return scaled
    raise FormatError(f"{path}: the value {value} does not fit an EDF header field")


def _plain(value: Any) -> Any:
    """Header values as JSON can hold them."""
    if isinstance(value, (np.generic,)):
        return value.item()
    if isinstance(value, (datetime.date, datetime.datetime)):
        return value.isoformat()
    return value


def _sample_bytes(metadata: Mapping[str, Any]) -> Optional[float]:
    return {"edf": 2, "bdf": 3}.get(str(metadata.get("source")))


FORMAT = Format(sources=("edf", "bdf"), suffixes=(".edf", ".bdf"), read=read, write=write,
                sample_bytes=_sample_bytes)
