"""NumPy .npy files: 1-D signals, or 2-D arrays laid out as (channels, time), or (time, channels)
when asked (written back as they came)."""
from __future__ import annotations

import pathlib
import warnings

import numpy as np

from ..._frame import LayoutWarning, layout_advice
from ..atomic import atomic_path
from .base import Format, FormatError, Options, Signal


def read(path: pathlib.Path, options: Options) -> Signal:
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


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    data = signal.data.T if signal.data.ndim == 2 and signal.extra.get("time_axis") == 0 else signal.data
    with atomic_path(path) as temp:
        with open(temp, "wb") as handle:
            np.save(handle, data, allow_pickle=False)


def _first_line(error: Exception) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


FORMAT = Format(sources=("npy",), suffixes=(".npy",), read=read, write=write)
