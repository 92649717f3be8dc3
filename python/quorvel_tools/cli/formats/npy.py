"""NumPy .npy files: 1-D signals, or 2-D arrays laid out as (channels, time), or (time, channels)
when asked (written back as they came)."""
from __future__ import annotations

import pathlib
import warnings

import numpy as np

from ..._frame import LayoutWarning, layout_advice
from ..._atomic import atomic_path
from .base import Format, FormatError, Options, Readback, Signal


def read(path: pathlib.Path, options: Options) -> Signal:
    _check_length(path)
    try:
        array = np.load(path, allow_pickle=False)
    except (ValueError, OSError, EOFError) as error:
        raise FormatError(f"{path}: not a readable .npy file ({_first_line(error)})") from None
    if not isinstance(array, np.ndarray):
        raise FormatError(f"{path}: holds several arrays; expected one .npy array")
    if array.ndim not in (1, 2):
        raise FormatError(f"{path}: expected a 1-D signal or a 2-D (channels, time) array, "
                          f"got shape {array.shape}")
    if not (np.issubdtype(array.dtype, np.floating) or np.issubdtype(array.dtype, np.integer)
            or array.dtype == np.bool_):
        raise FormatError(f"{path}: cannot compress samples of type {array.dtype}")
    if array.dtype != np.float32:
        array = array.astype(np.float64)
    extra = {}
    if array.ndim == 2 and options.time_axis == 0:
        array, extra = array.T, {"time_axis": 0}
    advice = layout_advice(array.shape, 0 if extra else -1, "--time-axis ")
    if advice:
        warnings.warn(f"{path}: {advice}", LayoutWarning, stacklevel=2)
    return Signal(data=np.ascontiguousarray(array), source="npy", extra=extra)


def _check_length(path: pathlib.Path) -> None:
    """Refuses a file shorter than its header claims, before NumPy sets aside memory for it."""
    with open(path, "rb") as handle:
        try:
            version = np.lib.format.read_magic(handle)
            read_header = {(1, 0): np.lib.format.read_array_header_1_0,
                           (2, 0): np.lib.format.read_array_header_2_0}[version]
            shape, _, dtype = read_header(handle)
        except (ValueError, OSError, EOFError, KeyError):
            return  # not a plain array: np.load says what it is
        claimed = int(np.prod(shape, dtype=object)) * dtype.itemsize
        held = path.stat().st_size - handle.tell()
    if claimed > held and not dtype.hasobject:
        raise FormatError(f"{path}: truncated or corrupt .npy file: its header claims {shape} samples of "
                          f"{dtype} ({claimed} bytes), the file holds {held} bytes of data")


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    data = signal.data.T if signal.data.ndim == 2 and signal.extra.get("time_axis") == 0 else signal.data
    with atomic_path(path) as temp:
        with open(temp, "wb") as handle:
            np.save(handle, data, allow_pickle=False)
        options.verify(temp)


def read_back(path: pathlib.Path, signal: Signal, options: Options) -> Readback:
    """A written .npy as NumPy loads it: the samples exactly, the padding after a channel's end kept."""
    array = np.load(path, allow_pickle=False)
    rows = array.reshape(1, -1) if array.ndim == 1 else (array.T if signal.extra.get("time_axis") == 0 else array)
    return Readback(channels=list(rows), rates=[None] * len(rows), steps=[0.0] * len(rows))


def _first_line(error: Exception) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


FORMAT = Format(sources=("npy",), suffixes=(".npy",), read=read, write=write, read_back=read_back)
