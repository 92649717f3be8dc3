"""Delimited text (.csv, .tsv): one column per signal, with or without a header row.

Every numeric column becomes a channel. A time column (named like one, or a
first column of text such as dates) is kept verbatim, deflated into the
metadata, so that writing back gives it unchanged. Empty cells, NA and NaN are
gaps.
"""
from __future__ import annotations

import base64
import csv
import io
import pathlib
import zlib
from typing import Any, Optional, cast

import numpy as np

from ..atomic import atomic_path
from .base import Format, FormatError, Options, Readback, Signal, default_names

GAPS = ("", "na", "n/a", "nan", "null")
TIME_NAMES = ("time", "t", "times", "timestamp", "date", "datetime", "seconds", "sec", "s", "ms", "elapsed",
              "elapsed time", "time (s)", "time_s", "time (ms)", "index")


def read(path: pathlib.Path, options: Options) -> Signal:
    try:
        text = path.read_text(encoding="utf-8-sig")
    except UnicodeDecodeError:
        raise FormatError(f"{path}: not a text file (expected UTF-8 text)") from None
    rows = [row for row in csv.reader(io.StringIO(text), delimiter=_delimiter(path, text))
            if any(cell.strip() for cell in row)]
    if not rows:
        raise FormatError(f"{path}: the file holds no rows")
    headed = not all(_number(cell) is not None for cell in rows[0])
    header = [name.strip() for name in rows[0]] if headed else default_names(len(rows[0]))
    body = rows[1:] if headed else rows
    if not body:
        raise FormatError(f"{path}: expected at least one row of samples under the header")
    for number, row in enumerate(body, start=2 if headed else 1):
        if len(row) != len(header):
            raise FormatError(f"{path}: row {number} has {len(row)} fields, the {'header' if headed else 'first'} "
                              f"has {len(header)}")
    columns = [[row[i] for row in body] for i in range(len(header))]
    time = None if options.column is not None else _time_column(header, columns)
    chosen = _chosen(path, header, columns, options.column, time)
    data = np.stack([cast(np.ndarray, _numbers(columns[i])) for i in chosen])  # numeric: checked when chosen
    extra: dict[str, Any] = {"columns": len(header), "channel_columns": chosen}
    if not headed:
        extra["headerless"] = True
    if time is not None:
        extra["time_column"] = {"index": time, "name": header[time], "text": _deflated(columns[time])}
    gap = next((cell.strip() for i in chosen for cell in columns[i] if cell.strip().lower() in GAPS), None)
    if gap:
        extra["gap"] = gap
    return Signal(data=data[0] if len(chosen) == 1 else data, source="csv",
                  channel_names=[header[i] for i in chosen], units=[""] * len(chosen), extra=extra)


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    rows = signal.rows()
    names = signal.channel_names if len(signal.channel_names) == rows.shape[0] else (
        ["signal"] if rows.shape[0] == 1 else default_names(rows.shape[0]))
    gap = str(signal.extra.get("gap", "")) if signal.source == "csv" else ""
    cells: list[Any] = [shortest_text(row, gap) for row in rows]
    time = signal.extra.get("time_column") if signal.source == "csv" else None
    times = _inflated(time.get("text", ""), rows.shape[1]) if isinstance(time, dict) else None
    if isinstance(time, dict) and times is not None and isinstance(time.get("index"), int):
        index = min(max(time["index"], 0), len(cells))
        cells.insert(index, times)
        names = names[:index] + [str(time.get("name", "time"))] + names[index:]
    delimiter = "\t" if path.suffix.lower() == ".tsv" else ","
    with atomic_path(path) as temp:
        with open(temp, "w", encoding="utf-8", newline="") as handle:
            writer = csv.writer(handle, delimiter=delimiter, lineterminator="\n")
            if _headed(signal):
                writer.writerow(names)
            writer.writerows(zip(*cells))
        options.verify(temp)


def _headed(signal: Signal) -> bool:
    return not signal.extra.get("headerless") or signal.source != "csv"


def read_back(path: pathlib.Path, signal: Signal, options: Options) -> Readback:
    """A written CSV/TSV as Python's csv module reads it, the time column left out; every cell
    that is not a number (the gap's text) is a gap."""
    delimiter = "\t" if path.suffix.lower() == ".tsv" else ","
    with open(path, encoding="utf-8", newline="") as handle:
        rows = list(csv.reader(handle, delimiter=delimiter))
    body = rows[1:] if _headed(signal) else rows
    width = len(body[0]) if body else signal.channel_count
    time = signal.extra.get("time_column") if signal.source == "csv" else None
    skipped = time.get("index") if isinstance(time, dict) and width > signal.channel_count else None
    cells = np.array(body, dtype=str).reshape(len(body), width)
    values = []
    for i in (i for i in range(width) if i != skipped):
        column = np.char.strip(cells[:, i])
        gaps = np.isin(np.char.lower(column), GAPS)
        try:
            values.append(np.where(gaps, "nan", column).astype(np.float64))
        except ValueError:  # a cell that is not a number: the file does not hold samples there
            values.append(np.full(len(body), np.inf))
    return Readback(channels=values, rates=[None] * len(values), steps=[0.0] * len(values))


def shortest_text(values: np.ndarray, gap: str = "") -> np.ndarray:
    """Each value as the shortest decimal that reads back as the same number: the same float32
    when all of them are float32 values, else the same float64. NaN is `gap`, infinities inf
    and -inf."""
    single = values.dtype == np.float32 or bool((values.astype(np.float32) == values)[np.isfinite(values)].all())
    exact = np.float32 if single else np.float64  # a codec's output is float32 even when held in float64
    values = np.asarray(values, exact)
    # In pieces: a signal (SIGTERM, Ctrl-C) is only handled between them.
    pieces = [_shortest_piece(values[start:start + _PIECE], exact, gap) for start in range(0, values.size, _PIECE)]
    return np.concatenate(pieces) if pieces else np.empty(0, object)


_PIECE = 1 << 15


def _shortest_piece(values: np.ndarray, exact: type, gap: str) -> np.ndarray:
    text = np.where(np.isnan(values), gap, np.where(values > 0, "inf", "-inf")).astype(object)
    pending = np.flatnonzero(np.isfinite(values))
    for digits in range(1, 10 if exact == np.float32 else 18):
        if pending.size == 0:
            break
        candidates = np.char.mod(f"%.{digits}g", values[pending])
        exactly = candidates.astype(np.float64).astype(exact) == values[pending]
        text[pending[exactly]] = candidates[exactly]
        pending = pending[~exactly]
    # %g writes whole numbers with fewer digits than places in exponent form (1e+02): write
    # them out where that takes no more digits (100, but not 12345678848 for 1.2345679e+10).
    whole = np.flatnonzero(np.char.find(text.astype(str), "e+") >= 0)
    if whole.size == 0:
        return text
    written = np.char.mod("%.0f", values[whole])
    mantissa = np.char.str_len(np.char.replace(np.char.partition(text[whole].astype(str), "e")[:, 0], ".", ""))
    plain = np.char.str_len(np.char.rstrip(written, "0")) <= mantissa  # both count the sign
    text[whole[plain]] = written[plain]
    return text


def _delimiter(path: pathlib.Path, text: str) -> str:
    if path.suffix.lower() == ".tsv":
        return "\t"
    first = text.split("\n", 1)[0]
    counts = {sep: first.count(sep) for sep in (",", ";", "\t")}
    best = max(counts, key=lambda sep: counts[sep])
    return best if counts[best] else ","


def _time_column(header: list[str], columns: list[list[str]]) -> Optional[int]:
    """The column that holds the time: one named like it, else a first column of text (dates)."""
    named = next((i for i, name in enumerate(header) if name.lower() in TIME_NAMES), None)
    if named is not None:
        return named
    return 0 if len(columns) > 1 and _numbers(columns[0]) is None else None


def _chosen(path: pathlib.Path, header: list[str], columns: list[list[str]], column: Optional[str],
            time: Optional[int]) -> list[int]:
    """The columns to read: the one named by `column` (by name or position from 0), else every numeric one."""
    if column is not None:
        index = header.index(column) if column in header else (
            int(column) if column.isdigit() and int(column) < len(header) else None)
        if index is None:
            raise FormatError(f"{path}: no column '{column}' (columns: {', '.join(header)})")
        if _numbers(columns[index]) is None:
            raise FormatError(f"{path}: column '{header[index]}' is not numeric")
        return [index]
    numeric = [i for i in range(len(header)) if i != time and _numbers(columns[i]) is not None]
    if not numeric:
        raise FormatError(f"{path}: no numeric column")
    return numeric


def _number(cell: str) -> Optional[float]:
    """A cell's value (NaN for a gap), or None when it is not a number."""
    cell = cell.strip()
    if cell.lower() in GAPS:
        return float("nan")
    try:
        return float(cell)
    except ValueError:
        return None


def _numbers(cells: list[str]) -> Optional[np.ndarray]:
    """The cells as float64 (a gap is NaN), or None when one is not a number or all are gaps."""
    values = np.empty(len(cells))
    for i, cell in enumerate(cells):
        value = _number(cell)
        if value is None:
            return None
        values[i] = value
    return None if np.isnan(values).all() else values


def _deflated(cells: list[str]) -> str:
    return base64.b64encode(zlib.compress("\n".join(cells).encode(), 9)).decode("ascii")


def _inflated(text: str, count: int) -> Optional[list[str]]:
    """The kept time column's cells, or None unless it is whole and holds `count` of them
    (inflated no further than such a column could take, so damaged metadata costs little)."""
    try:
        inflater = zlib.decompressobj()
        cells = inflater.decompress(base64.b64decode(text), _MAX_CELL * count).decode().split("\n")
    except (TypeError, ValueError, zlib.error, UnicodeDecodeError):
        return None
    return cells if inflater.eof and len(cells) == count else None


_MAX_CELL = 256  # characters of a time cell


# .txt is read and written as comma-separated text, but not advertised.
FORMAT = Format(sources=("csv",), suffixes=(".csv", ".tsv", ".txt"), shown=(".csv", ".tsv"), read=read,
                write=write, read_back=read_back)
