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

from ..._atomic import atomic_path
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
    time = signal.extra.get("time_column") if signal.source == "csv" else None
    times = _inflated(time.get("text", ""), rows.shape[1]) if isinstance(time, dict) else None
    index = None
    if isinstance(time, dict) and times is not None and isinstance(time.get("index"), int):
        index = min(max(time["index"], 0), rows.shape[0])
        names = names[:index] + [str(time.get("name", "time"))] + names[index:]
    delimiter = "\t" if path.suffix.lower() == ".tsv" else ","
    with atomic_path(path) as temp:
        with open(temp, "w", encoding="utf-8", newline="") as handle:
            writer = csv.writer(handle, delimiter=delimiter, lineterminator="\n")
            if _headed(signal):
                writer.writerow(names)
            for start in range(0, rows.shape[1], _PIECE):  # in pieces: memory stays small, signals land between
                cells = [list(shortest_text(row[start:start + _PIECE], gap)) for row in rows]
                if times is not None and index is not None:  # text of any kind: quoted as csv does
                    cells.insert(index, times[start:start + _PIECE])
                    writer.writerows(zip(*cells))
                else:  # numbers and gap words need no quoting
                    handle.write(_numeric_lines(cells, delimiter))
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
    # The text is the shortest that reads back as the same sample of the signal's own type.
    dtype = np.float32 if signal.data.dtype == np.float32 else np.float64
    values = []
    for i in (i for i in range(width) if i != skipped):
        column = np.char.strip(cells[:, i])
        gaps = np.isin(np.char.lower(column), GAPS)
        try:
            values.append(np.where(gaps, "nan", column).astype(dtype).astype(np.float64))
        except ValueError:  # a cell that is not a number: the file does not hold samples there
            values.append(np.full(len(body), np.inf))
    return Readback(channels=values, rates=[None] * len(values), steps=[0.0] * len(values))


def _numeric_lines(cells: list[list[str]], delimiter: str) -> str:
    """Lines of cells that need no quoting, as csv.writer writes them (a lone empty cell as \"\")."""
    if len(cells) == 1:
        return "".join(f"{cell or chr(34) * 2}\n" for cell in cells[0])
    return "\n".join(map(delimiter.join, zip(*cells))) + "\n"


def shortest_text(values: np.ndarray, gap: str = "") -> np.ndarray:
    """Each value as the shortest decimal that reads back as the same number: the same float32
    when all of them are float32 values, else the same float64; %g's text for that count of
    digits, with whole numbers written out where that takes no more digits (100, not 1e+02).
    NaN is `gap`, infinities inf and -inf."""
    single = values.dtype == np.float32 or bool((values.astype(np.float32) == values)[np.isfinite(values)].all())
    exact = np.float32 if single else np.float64  # a codec's output is float32 even when held in float64
    values = np.asarray(values, exact)
    text = np.empty(values.size, object)
    digits = _float32_digits(values) if single else np.zeros(values.size, np.int8)
    for count in np.unique(digits[digits > 0]):
        chosen = np.flatnonzero(digits == count)
        form = f"%.{count}g"
        text[chosen] = [form % value for value in values[chosen].tolist()]
    rest = np.flatnonzero(digits == 0)
    if rest.size:
        text[rest] = _shortest_by_trial(values[rest], exact, gap)
    # %g writes a value in exponent form when its exponent reaches the count of digits.
    wide = np.flatnonzero((digits == 0) | (np.abs(values) >= 10.0 ** (digits.astype(np.float64) - 1)))
    return _whole_numbers_written_out(text, values, wide)


_PIECE = 1 << 16
_POWERS = np.array([float(10**n) for n in range(23)])  # exact in float64


@np.errstate(invalid="ignore", over="ignore")  # NaN and infinities are left to the trial
def _float32_digits(values: np.ndarray) -> np.ndarray:
    """The fewest significant digits (1 to 9) whose %g text reads back (through float64) as each
    float32 value, computed on the numbers rather than on text; 0 where arithmetic cannot be sure
    (zero, NaN, infinities, magnitudes beyond 1e-14 to 1e22, a rounding too close to a tie).

    For k digits the decimal is m * 10**-s with m = round(|v| * 10**s), s = k - 1 - exponent.
    With 10**s exact (|s| <= 22), |v| * 10**s is rounded once, so m is the decimal's mantissa
    unless that product lies within its rounding error of a half; m / 10**s (or m * 10**-s) is
    then rounded once too, which is what parsing the text gives.
    """
    size = np.abs(values.astype(np.float64))
    digits = np.zeros(values.size, np.int8)
    known = np.isfinite(size) & (size > 0)
    exponent = np.floor(np.log10(np.where(known, size, 1.0))).astype(np.int64)
    exponent += (size >= 10.0 ** (exponent + 1)).astype(np.int64) - (size < 10.0 ** exponent).astype(np.int64)
    known &= (exponent >= -14) & (exponent <= 22)
    target = np.abs(values)
    for count in range(1, 10):
        shift = np.where(known, count - 1 - exponent, 0)
        power = _POWERS[np.abs(shift)]
        scaled = np.where(shift >= 0, size * power, size / power)
        mantissa = np.rint(scaled)
        off_half = np.abs(scaled - np.floor(scaled) - 0.5)
        exact_product = (shift >= 0) & (shift <= 12)  # 24 bits times 5**12 fit in 53: no rounding at all
        unsure = (off_half <= scaled * 2.0**-51) & ~((off_half == 0) & exact_product)
        back = np.where(shift >= 0, mantissa / power, mantissa * power).astype(np.float32)
        pending = known & (digits == 0)
        digits[pending & ~unsure & (back == target)] = count
        known &= ~(pending & unsure)  # an unsure count leaves the value to the trial by text
    return digits


def _shortest_by_trial(values: np.ndarray, exact: type, gap: str) -> np.ndarray:
    """The shortest text by trying each count of digits on the text itself (NaN, infinities, zero,
    extreme magnitudes and float64 values)."""
    text = np.where(np.isnan(values), gap, np.where(values > 0, "inf", "-inf")).astype(object)
    pending = np.flatnonzero(np.isfinite(values))
    for digits in range(1, 10 if exact == np.float32 else 18):
        if pending.size == 0:
            break
        candidates = np.char.mod(f"%.{digits}g", values[pending])
        exactly = candidates.astype(np.float64).astype(exact) == values[pending]
        text[pending[exactly]] = candidates[exactly]
        pending = pending[~exactly]
    return text


def _whole_numbers_written_out(text: np.ndarray, values: np.ndarray, among: np.ndarray) -> np.ndarray:
    """%g writes whole numbers with fewer digits than places in exponent form (1e+02): write
    them out where that takes no more digits (100, but not 12345678848 for 1.2345679e+10).
    Only the texts at `among` may be in that form."""
    whole = among[np.array(["e+" in cell for cell in text[among]], bool)] if among.size else among
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
