"""EDF and BDF files (pyedflib): every signal in physical units, headers kept for writing back."""
from __future__ import annotations

import datetime
import math
import pathlib
import re
from typing import Any, Callable, Mapping, Optional

import numpy as np

from ..._atomic import atomic_path
from .base import Format, FormatError, Options, Readback, Signal, channel_lengths, channel_rates, default_names, \
    on_its_grid, require

_DIGITAL = {".edf": (-32768, 32767), ".bdf": (-8388608, 8388607)}
_HEADER_KEYS = ("technician", "recording_additional", "patientname", "patient_additional",
                "patientcode", "equipment", "admincode", "sex", "birthdate")
_SIGNAL_KEYS = ("label", "dimension", "sample_frequency", "physical_max", "physical_min",
                "digital_max", "digital_min", "prefilter", "transducer")


def _read_file(path: pathlib.Path) -> tuple[list[np.ndarray], list[dict[str, Any]], dict[str, Any], list[Any]]:
    """(signals, signal headers, header, annotations) as pyedflib reads them, with the gaps and
    padding that annotations mark taken out."""
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
        signals = [_read_signal(reader, i) for i in range(count)]
        header = reader.getHeader()
        events = list(zip(*reader.readAnnotations()))
    finally:
        reader.close()
    signals, events = unmarked(signals, events)
    return signals, headers, header, events


_PART = 1 << 16  # samples per read: a few milliseconds each


def _read_signal(reader: Any, channel: int) -> np.ndarray:
    """A channel a part at a time: pyedflib keeps the interpreter lock through a read, and a stop
    (which the main thread handles) must not wait for a whole long channel."""
    total = int(reader.getNSamples()[channel])
    out = np.empty(total)
    for start in range(0, total, _PART):
        out[start:start + _PART] = reader.readSignal(channel, start, min(_PART, total - start))
    return out


def read(path: pathlib.Path, options: Options) -> Signal:
    signals, headers, header, events = _read_file(path)
    data = _padded(signals)
    if data.shape[1] == 0:
        raise FormatError(f"{path}: the file holds no samples")
    start = header.get("startdate")
    extra: dict[str, Any] = {"header": {key: _plain(header.get(key, "")) for key in _HEADER_KEYS},
             "startdate": start.isoformat() if isinstance(start, datetime.datetime) else None,
             "signal_headers": headers}
    lengths = [len(s) for s in signals]
    if len(set(lengths)) > 1:
        extra["lengths"] = lengths
    return on_its_grid(Signal(data=data, source=path.suffix.lower().lstrip("."),
                              sample_rate=max(float(h["sample_frequency"]) for h in headers),
                              channel_names=[h["label"] for h in headers], units=[h["dimension"] for h in headers],
                              extra=extra, annotations=[(float(t), float(d), str(x)) for t, d, x in events]), grid)


def grid(signal: Signal) -> Optional[tuple[list[float], Optional[list[float]]]]:
    """The digital units of the signal headers, in physical units, from the physical minimum."""
    headers = signal.extra.get("signal_headers")
    if not isinstance(headers, list) or len(headers) != signal.channel_count:
        return None
    try:
        checked = [_checked(dict(h), index) for index, h in enumerate(headers)]
    except (FormatError, TypeError, ValueError):
        return None
    return [_step(h) for h in checked], [float(h["physical_min"]) for h in checked]


# Annotations that say where a channel holds no data: a gap (NaN in the recording, written as the
# digital minimum) and the padding of its last data record. They count samples, so they are exact
# at any rate; this reader gives the gaps back as NaN and trims the padding.
_GAP = re.compile(r"gap: signal (\d+) samples (\d+)-(\d+)")
_END = re.compile(r"padding: signal (\d+) from sample (\d+)")


def unmarked(signals: list[np.ndarray], events: list[Any]) -> tuple[list[np.ndarray], list[Any]]:
    """The signals with the gaps and padding that annotations mark taken out, and the other annotations."""
    signals = [np.asarray(s, np.float64) for s in signals]
    ends: dict[int, int] = {}
    kept = []
    for event in events:
        text = str(event[2])
        gap, end = _GAP.fullmatch(text), _END.fullmatch(text)
        if gap and int(gap[1]) < len(signals) and int(gap[2]) <= int(gap[3]) < len(signals[int(gap[1])]):
            signals[int(gap[1])][int(gap[2]):int(gap[3]) + 1] = np.nan
        elif end and int(end[1]) < len(signals) and int(end[2]) <= len(signals[int(end[1])]):
            ends[int(end[1])] = int(end[2])
        else:
            kept.append(event)
    return [s[:ends.get(i, len(s))] for i, s in enumerate(signals)], kept


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    pyedflib = require("pyedflib", "edf")
    if signal.sample_rate is None:
        raise FormatError("the file carries no sample rate; give one with --rate")
    rows = np.asarray(signal.rows(), np.float64)
    if np.isinf(rows).any():
        raise FormatError(f"{path}: the recording holds infinities, which EDF cannot hold; write .npy or .csv")
    headers = _signal_headers(path, signal, rows)
    digital = [_to_digital(row[:n], h) for row, n, h in zip(rows, channel_lengths(signal), headers)]
    header = pyedflib.highlevel.make_header()
    if signal.source in ("edf", "bdf"):
        header.update(signal.extra.get("header", {}))
    start = signal.extra.get("startdate")
    if start:
        header["startdate"] = datetime.datetime.fromisoformat(start)
    with atomic_path(path) as temp:
        try:
            _write_records(pyedflib, temp, path, digital, headers, header, signal.annotations)
        except (OSError, AssertionError, ValueError, TypeError) as error:
            raise FormatError(f"{path}: cannot write EDF ({error})") from None
        options.verify(temp)


def _write_records(pyedflib: Any, temp: pathlib.Path, path: pathlib.Path, digital: list[np.ndarray],
                   headers: list[dict[str, Any]], header: dict[str, Any], annotations: list[Any]) -> None:
    """Whole data records: each channel's last record padded with its last value, and an annotation
    for every padding and every gap (a channel's digital minimum where the recording holds NaN)."""
    kind = pyedflib.FILETYPE_EDFPLUS if path.suffix.lower() == ".edf" else pyedflib.FILETYPE_BDFPLUS
    writer = pyedflib.EdfWriter(str(temp), n_channels=len(digital), file_type=kind)
    try:
        writer.setSignalHeaders(headers)
        writer.setHeader(header)
        per_record = [writer.get_smp_per_record(i) for i in range(len(digital))]
        records = max(-(-len(d) // n) for d, n in zip(digital, per_record))
        events = [tuple(event) for event in annotations]
        samples = []
        for index, (values, n, h) in enumerate(zip(digital, per_record, headers)):
            rate = float(h["sample_frequency"])
            events += [(a / rate, (b + 1 - a) / rate, f"gap: signal {index} samples {a}-{b}") for a, b in _runs(values)]
            if len(values) < records * n:
                events.append((len(values) / rate, -1, f"padding: signal {index} from sample {len(values)}"))
            filled = np.where(values < 0, 0, values) + int(h["digital_min"])
            last = filled[-1] if filled.size else int(h["digital_min"])
            samples.append(np.concatenate([filled, np.full(records * n - len(values), last)]).astype(np.int32))
        signals_for_notes = -(-len(events) // max(records, 1))
        if signals_for_notes > 64:
            raise ValueError(f"{len(events)} annotations do not fit {records} data records")
        writer.set_number_of_annotation_signals(max(1, signals_for_notes))
        writer.writeSamples(samples, digital=True)
        for onset, duration, text in events:
            writer.writeAnnotation(onset, duration, text)
    finally:
        writer.close()


def _runs(values: np.ndarray) -> list[tuple[int, int]]:
    """(first, last) of each run of gaps (marked -1 by `_to_digital`)."""
    gaps = np.concatenate([[False], values < 0, [False]]).astype(np.int8)
    edges = np.flatnonzero(np.diff(gaps))
    return [(int(a), int(b) - 1) for a, b in zip(edges[::2], edges[1::2])]


def read_back(path: pathlib.Path, signal: Signal, options: Options) -> Readback:
    """A written EDF/BDF as pyedflib reads it, its gaps and padding marked by the annotations taken out."""
    signals, headers, _, _ = _read_file(path)
    clipping = _same_kind(path, signal)  # the source's own headers: its samples lay in their range
    return Readback(channels=signals, rates=[float(h["sample_frequency"]) for h in headers],
                    steps=[_step(h) for h in headers],
                    limits=[(h["physical_min"], h["physical_max"]) for h in headers] if clipping else None,
                    advice="write .bdf (24-bit steps) or .npy instead" if path.suffix.lower() == ".edf"
                    else "write .npy instead")


def _same_kind(path: pathlib.Path, signal: Signal) -> bool:
    kept = signal.extra.get("signal_headers", [])
    return signal.source == path.suffix.lower().lstrip(".") and len(kept) == signal.channel_count


def _signal_headers(path: pathlib.Path, signal: Signal, rows: np.ndarray) -> list[dict[str, Any]]:
    """The source's own signal headers when it was this format, else headers made to fit the data."""
    kept = signal.extra.get("signal_headers", [])
    if _same_kind(path, signal):
        return [_checked(dict(h), index) for index, h in enumerate(kept)]
    low, high = _DIGITAL[path.suffix.lower()]
    names = signal.channel_names if len(signal.channel_names) == rows.shape[0] else default_names(rows.shape[0])
    units = signal.units if len(signal.units) == rows.shape[0] else [""] * rows.shape[0]
    rates = channel_rates(signal)
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


def _checked(header: dict[str, Any], index: int) -> dict[str, Any]:
    """A signal header kept in a .qrvl file, refused with the reason when it cannot scale samples."""
    def number(key: str) -> float:
        value = header.get(key)
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            raise FormatError(f"damaged EDF header in the .qrvl file: signal {index} has no valid {key}")
        return float(value)

    if number("digital_max") <= number("digital_min"):
        raise FormatError(f"damaged EDF header in the .qrvl file: signal {index} has digital_max <= digital_min")
    if number("physical_max") == number("physical_min") or number("sample_frequency") <= 0:
        raise FormatError(f"damaged EDF header in the .qrvl file: signal {index} has an empty physical range "
                          "or no sample rate")
    return header


def _padded(signals: list[np.ndarray]) -> np.ndarray:
    """Signals of different rates (so lengths) as one (channels, time) array, NaN after each
    one's end: the frame keeps NaN runs in a mask for next to nothing, and writing back trims them."""
    data = np.full((len(signals), max(len(s) for s in signals)), np.nan)
    for row, samples in zip(data, signals):
        row[:len(samples)] = samples
    return data


def _to_digital(row: np.ndarray, header: dict[str, Any]) -> np.ndarray:
    """Physical values -> the nearest digital values the header's scaling can hold, as offsets
    from the digital minimum (so a gap, NaN, can be -1)."""
    step = _step(header)
    dmin, dmax = int(header["digital_min"]), int(header["digital_max"])
    digital = np.clip(np.rint((row - header["physical_min"]) / step + dmin), dmin, dmax)
    return np.where(np.isnan(row), -1, digital - dmin).astype(np.int64)


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
                sample_bytes=_sample_bytes, read_back=read_back, grid=grid)
