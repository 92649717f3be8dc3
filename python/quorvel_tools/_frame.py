"""N-D arrays as chunk frames: one container per lane along the last axis, NaN and infinities kept."""
from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any, Literal, cast

import numpy as np
import numpy.typing as npt

from quorvel_tools import _native
from quorvel_tools._container import _contiguous
from quorvel_tools._encode import _EFFORTS, _METHODS, _choice, _target

if TYPE_CHECKING:
    from typing_extensions import Buffer

Method = Literal["auto", "cdf53", "cdf97", "db4", "sym4"]
Effort = Literal["fast", "default", "best"]
Cutoff = Literal["low", "medium", "high"]

_CUTOFFS = {"low": 0, "medium": 1, "high": 2}
_FIXED_METHODS = {name: code for name, code in _METHODS.items() if code >= 0}
_TARGET_NAMES = ("max_error", "rmse", "prd", "max_bytes")


def frame_settings(
    *,
    max_error: float | None = None,
    rmse: float | None = None,
    prd: float | None = None,
    max_bytes: int | None = None,
    method: str | None = None,
    scale: int | None = None,
    cutoff: str | None = None,
    effort: str | None = None,
) -> dict[str, Any]:
    """The settings in their one canonical form, checked.

    With a target: ``{<target>: value, "method": ..., "effort": ...}`` (method
    ``"auto"`` and effort ``"default"`` unless given). Without one: the fixed
    ``{"method", "scale", "cutoff"}`` of every lane (``"cdf97"``, 11 and
    ``"low"`` unless given). Raises ``ValueError`` (``TypeError`` for a value of
    the wrong type) for more than one target, a scale or cutoff beside a
    target, an effort without one, and unknown names.
    """
    targets = dict(zip(_TARGET_NAMES, (max_error, rmse, prd, max_bytes)))
    given = {name: value for name, value in targets.items() if value is not None}
    if given:
        if scale is not None or cutoff is not None:
            raise ValueError("scale and cutoff fix the quantisation; they cannot be combined with a target")
        kind, value = _target(tuple(targets.values()))
        name = _TARGET_NAMES[kind]
        settings: dict[str, Any] = {name: int(value) if name == "max_bytes" else value}
        settings["method"] = "auto" if method is None else method
        settings["effort"] = "default" if effort is None else effort
        _choice("method", settings["method"], _METHODS)
        _choice("effort", settings["effort"], _EFFORTS)
        return settings
    if effort is not None:
        raise ValueError("effort applies to a target (max_error, rmse, prd or max_bytes); none was given")
    settings = {
        "method": "cdf97" if method is None else method,
        "scale": 11 if scale is None else scale,
        "cutoff": "low" if cutoff is None else cutoff,
    }
    _choice("method", settings["method"], _FIXED_METHODS)
    _choice("cutoff", settings["cutoff"], _CUTOFFS)
    if isinstance(settings["scale"], bool) or not isinstance(settings["scale"], int):
        raise TypeError(f"scale must be an int, not {type(settings['scale']).__name__}")
    if not 6 <= settings["scale"] <= 12:
        raise ValueError(f"scale must be 6 to 12, got {settings['scale']}")
    return settings


def _native_codes(settings: dict[str, Any]) -> tuple[int, float, int, int, int, int]:
    """(target kind, target value, method, effort, scale, cutoff) codes of canonical settings."""
    for kind, name in enumerate(_TARGET_NAMES):
        if name in settings:
            return (kind, float(settings[name]), _METHODS[settings["method"]], _EFFORTS[settings["effort"]], 11, 0)
    return (-1, 0.0, _METHODS[settings["method"]], 0, settings["scale"], _CUTOFFS[settings["cutoff"]])


def _thread_count(threads: int | None) -> int:
    if threads is None:
        return 0
    if isinstance(threads, bool):
        raise TypeError("threads must be an int or None, not bool")
    count = operator.index(threads)
    if count < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return count


def _float_array(data: npt.ArrayLike) -> npt.NDArray[np.floating]:
    """`data` as an aligned C-contiguous native float32 or float64 array, copied only when needed."""
    array = np.asarray(data)
    if array.dtype.type not in (np.float32, np.float64):
        raise TypeError(f"quorvel encodes float32 or float64 arrays, not {array.dtype}")
    return np.require(array, dtype=np.dtype(array.dtype.type), requirements=["C", "A"])


def encode_settings(data: npt.ArrayLike, settings: dict[str, Any], threads: int | None = None) -> bytes:
    """A frame of `data` under settings already in canonical form (see :func:`frame_settings`)."""
    array = _float_array(data)
    return _native.encode_frame(
        array.reshape(-1), tuple(array.shape), *_native_codes(settings), _thread_count(threads)
    )


def encode_array(
    data: npt.ArrayLike,
    *,
    max_error: float | None = None,
    rmse: float | None = None,
    prd: float | None = None,
    max_bytes: int | None = None,
    method: Method | None = None,
    scale: int | None = None,
    cutoff: Cutoff | None = None,
    effort: Effort | None = None,
    threads: int | None = None,
) -> bytes:
    """Compress a float32 or float64 array of any shape into one frame.

    Time runs along the last axis: every 1-D lane along it (every channel of a
    ``(channels, time)`` array) becomes a quorvel container of its own, so a
    loud channel never spoils a quiet one. NaN, +inf and -inf are kept exactly:
    their positions go into bit masks and the gaps are bridged by linear
    interpolation before encoding; a lane without a finite sample costs no
    container.

    Give at most one target, met by every lane on its finite samples:
    ``max_error``, ``rmse`` (in the data's units), ``prd`` (percent) or
    ``max_bytes`` (a budget per lane), with ``method`` (``"auto"`` unless given)
    and ``effort`` as for :func:`quorvel_tools.encode`. Without a target every
    lane is encoded with the fixed ``method`` (default ``"cdf97"``), ``scale``
    (6 to 12, default 11) and ``cutoff`` (``"low"``, ``"medium"`` or ``"high"``,
    default ``"low"``). ``threads`` lanes are encoded at once (``None``: one per
    processor), with the interpreter lock released.

    Raises ``TypeError`` for data that is not float32 or float64 and
    ``ValueError`` for bad settings or a lane that cannot be encoded (the
    message names the lane).
    """
    settings = frame_settings(
        max_error=max_error, rmse=rmse, prd=prd, max_bytes=max_bytes, method=method, scale=scale, cutoff=cutoff,
        effort=effort,
    )
    return encode_settings(data, settings, threads)


def frame_shape(frame: Buffer | npt.NDArray[Any]) -> tuple[np.dtype[Any], tuple[int, ...]]:
    """The dtype and shape a frame holds, from its header (checked against the frame's size)."""
    dtype, shape = _native.frame_info(_contiguous(cast("Buffer", frame)))
    return np.dtype(dtype), shape


def decode_array(
    frame: Buffer | npt.NDArray[Any], *, out: npt.NDArray[np.floating] | None = None, threads: int | None = None
) -> npt.NDArray[np.floating]:
    """Decompress a frame held in any buffer (bytes, bytearray, memoryview, a uint8 array...).

    Returns a new array of the frame's dtype and shape, or fills ``out``: a
    writable C-contiguous array of the frame's dtype and number of samples (any
    shape), which is returned. ``threads`` lanes are decoded at once (``None``:
    one per processor), with the interpreter lock released. Raises
    ``ValueError`` for a damaged frame and ``TypeError`` or ``ValueError`` for
    an ``out`` that does not fit.
    """
    view = _contiguous(cast("Buffer", frame))  # ndarrays are buffers; typeshed says so from 3.12
    dtype, shape = frame_shape(view)
    if out is None:
        out = np.empty(shape, dtype=dtype)
    elif not isinstance(out, np.ndarray) or out.dtype != dtype or not out.flags.c_contiguous:
        raise TypeError(f"out must be a C-contiguous {dtype} array")
    elif out.size != int(np.prod(shape, dtype=np.int64)):
        raise ValueError(f"out has {out.size} samples but the frame holds shape {shape}")
    _native.decode_frame(view, out.reshape(-1), _thread_count(threads))
    return out
