"""Delimited text (.csv, .tsv): one header row, one column per signal."""
from __future__ import annotations

import csv
import io
import math
import pathlib
from typing import Optional

import numpy as np

from ..atomic import atomic_path
from .base import Format, FormatError, Options, Signal


def read(path: pathlib.Path, options: Options) -> Signal:
    try:
        text = path.read_text(encoding="utf-8-sig")
    except UnicodeDecodeError:
        raise FormatError(f"{path}: not a text file (expected UTF-8 text with a header row)") from None
    rows = list(csv.reader(io.StringIO(text), delimiter=_delimiter(path, text)))
    rows = [row for row in rows if any(cell.strip() for cell in row)]
    if len(rows) < 2:
        raise FormatError(f"{path}: expected a header row and at least one row of samples")
    header = [name.strip() for name in rows[0]]
    for number, row in enumerate(rows[1:], start=2):
        if len(row) != len(header):
            raise FormatError(f"{path}: row {number} has {len(row)} fields, the header has {len(header)}")
    index = _choose(path, header, rows[1:], options.column)
    values = _numbers([row[index] for row in rows[1:]])
    if values is None:
        raise FormatError(f"{path}: column '{header[index]}' is not numeric")
    return Signal(data=values, source="csv", channel_names=[header[index]], units=[""])


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    rows = signal.rows()
    names = signal.channel_names if len(signal.channel_names) == rows.shape[0] else (
        ["signal"] if rows.shape[0] == 1 else [f"ch{i}" for i in range(rows.shape[0])])
    delimiter = "\t" if path.suffix.lower() == ".tsv" else ","
    # 9 significant digits give back every float32 exactly, 17 every float64.
    digits = "%.9g" if rows.dtype == np.float32 else "%.17g"
    with atomic_path(path) as temp:
        with open(temp, "w", encoding="utf-8", newline="") as handle:
            csv.writer(handle, delimiter=delimiter, lineterminator="\n").writerow(names)
            np.savetxt(handle, rows.T, fmt=digits, delimiter=delimiter)


def _delimiter(path: pathlib.Path, text: str) -> str:
    if path.suffix.lower() == ".tsv":
        return "\t"
    first = text.split("\n", 1)[0]
    counts = {sep: first.count(sep) for sep in (",", ";", "\t")}
    best = max(counts, key=lambda sep: counts[sep])
    return best if counts[best] else ","


def _choose(path: pathlib.Path, header: list[str], rows: list[list[str]], column: Optional[str]) -> int:
    """The index of the column to read: by name, by position from 0, or the only numeric one."""
    if column is not None:
        if column in header:
            return header.index(column)
        if column.lstrip("-").isdigit() and 0 <= int(column) < len(header):
            return int(column)
        raise FormatError(f"{path}: no column '{column}' (columns: {', '.join(header)})")
    numeric = [i for i in range(len(header)) if _numbers([row[i] for row in rows]) is not None]
    if len(numeric) == 1:
        return numeric[0]
    if not numeric:
        raise FormatError(f"{path}: no numeric column")
    names = ", ".join(header[i] for i in numeric)
    raise FormatError(f"{path}: several numeric columns ({names}); choose one with --column")


def _numbers(cells: list[str]) -> Optional[np.ndarray]:
    """The cells as float64 (an empty cell is NaN), or None when one is not a number."""
    values = np.empty(len(cells))
    for i, cell in enumerate(cells):
        cell = cell.strip()
        try:
            values[i] = float(cell) if cell else math.nan
        except ValueError:
            return None
    return None if np.isnan(values).all() else values


# .txt is read and written as comma-separated text, but not advertised.
FORMAT = Format(sources=("csv",), suffixes=(".csv", ".tsv", ".txt"), shown=(".csv", ".tsv"), read=read,
                write=write)
