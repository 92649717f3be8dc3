"""N-D arrays as chunk frames: one container per lane along the last axis, NaN and infinities kept."""
from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt

from quorvel_tools import _codec
from quorvel_tools._container import _contiguous, refuse_other_kinds
from quorvel_tools.settings import Cutoff, Effort, Format, Method, Settings, TargetKeywords, takes_targets, thread_count

if TYPE_CHECKING:
    from typing_extensions import Buffer, Unpack


def _float_array(data: npt.ArrayLike) -> npt.NDArray[np.floating]:
    """`data` as an aligned C-contiguous native float32 or float64 array, copied only when needed."""
    array = np.asarray(data)
    if array.dtype.type not in (np.float32, np.float64):
        raise TypeError(f"quorvel encodes float32 or float64 arrays, not {array.dtype}")
    return np.require(array, dtype=np.dtype(array.dtype.type), requirements=["C", "A"])


def encode_settings(
    data: npt.ArrayLike, settings: Settings, threads: int | None = None, joint: bool = True, compact: bool = True
) -> bytes:
    """A frame of `data` under `settings`; `joint`: lanes may be coded against one another; `compact`:
    the compact layout (else the lane-table layout, for readers that know only it)."""
    array = _float_array(data)
    return _codec.encode_frame(
        array.reshape(-1), tuple(array.shape), settings, thread_count(threads), bool(joint), bool(compact))


@takes_targets
def encode_array(
    data: npt.ArrayLike,
    *,
    method: Method | None = None,
    scale: int | None = None,
    cutoff: Cutoff | None = None,
    effort: Effort | None = None,
    format: Format | None = None,
    threads: int | None = None,
    time_axis: int = -1,
    joint: bool = True,
    **targets: Unpack[TargetKeywords],
) -> bytes:
    """Compress a float32 or float64 array of any shape into one frame.

    Time runs along ``time_axis`` (the last by default; ``time_axis=0`` for a
    ``(time, channels)`` array as soundfile and pandas make them): every 1-D
    lane along it becomes a container of its own, so a loud channel never
    spoils a quiet one. The frame holds the array with its time axis moved
    last; :func:`decode_array` with the same ``time_axis`` gives back the
    layout. Lanes much shorter than another axis most likely mean a wrong time
    axis: they raise a :class:`LayoutWarning` that says what to give. NaN, +inf
    and -inf are kept in place (bit masks; the gaps are bridged by linear
    interpolation before encoding, and a lane without a finite sample costs no
    container). NaN comes back as the quiet NaN, so ``max_error=0`` gives back
    every other bit of an array of float32 values, float64 arrays included.

    Give at most one target, met by every lane on its finite samples:
    ``max_error``, ``rmse`` (in the data's units), ``prd`` (percent) or
    ``max_bytes`` (a budget per lane), with ``method`` (``"auto"`` unless given)
    and ``effort`` as for :func:`quorvel_tools.encode`; without one, the fixed
    ``method`` (default ``"cdf97"``), ``scale`` (6 to 12, default 11) and
    ``cutoff`` (default ``"low"``). ``format`` is the lanes' container version,
    as for :func:`quorvel_tools.encode`. ``threads`` lanes are encoded at once
    (``None``: one per processor), with the interpreter lock released. With
    ``joint`` (the default) and an error target, a lane may be coded as its
    difference against another lane's decoded samples (channels that share a
    reference or noise) when that is smaller and still meets the target on its
    own samples; ``joint=False`` codes every lane alone.

    Raises ``TypeError`` for data that is not float32 or float64,
    ``ValueError`` for bad settings, and :class:`~quorvel_tools.CodecError` (a
    ``ValueError``) for a lane that cannot be encoded, its index as ``lane``. An
    :class:`~quorvel_tools.UnreachableTargetError` names the lane that needs the
    most, and as ``best_reachable`` the figure (for ``max_bytes``, the budget per
    lane) that every lane meets.
    """
    settings = Settings.of(**targets, method=method, scale=scale, cutoff=cutoff, effort=effort, format=format)
    array = _float_array(data)
    lanes = np.moveaxis(array, _axis(time_axis, array.ndim), -1) if array.ndim else array
    advice = layout_advice(lanes.shape, time_axis, "time_axis=")
    if advice:
        warnings.warn(advice, LayoutWarning, stacklevel=2)
    return encode_settings(lanes, settings, threads, joint)


class LayoutWarning(UserWarning):
    """An array whose lanes along the time axis are much shorter than another axis."""


SHORT_LANE = 256  # samples: a lane this short and far shorter than another axis is most likely a channel


def layout_advice(shape: tuple[int, ...], time_axis: int, option: str) -> str | None:
    """What to say when the lanes of an array laid out as `shape` (time last) look like
    channels: lanes shorter than SHORT_LANE samples and than a quarter of another axis."""
    if len(shape) < 2:
        return None
    lane, longest = shape[-1], max(shape[:-1])
    if lane == 0 or lane >= SHORT_LANE or 4 * lane > longest:  # an empty array has no layout to get wrong
        return None
    axis = shape[:-1].index(longest)
    axis = axis if axis < _axis(time_axis, len(shape)) else axis + 1  # in the caller's own layout
    return (f"the time axis holds {lane} samples per lane against {longest} along axis {axis}; "
            f"if time runs along axis {axis}, give {option}{axis}")


def checked_time_axis(time_axis: Any) -> int:
    """A codec's time axis as given, checked to be an int (its range depends on each chunk)."""
    if isinstance(time_axis, bool) or not isinstance(time_axis, (int, np.integer)):
        raise TypeError(f"time_axis must be an int, not {type(time_axis).__name__}")
    return int(time_axis)


def _axis(time_axis: int, ndim: int) -> int:
    """`time_axis` as a non-negative axis of an array of `ndim` dimensions."""
    if not isinstance(time_axis, (int, np.integer)) or isinstance(time_axis, bool):
        raise TypeError(f"time_axis must be an int, not {type(time_axis).__name__}")
    if not -max(ndim, 1) <= time_axis < max(ndim, 1):
        raise ValueError(f"time_axis {time_axis} is out of range for an array of {ndim} dimensions")
    return int(time_axis) % max(ndim, 1)


def frame_layout(
    frame: Buffer | npt.NDArray[Any],
) -> tuple[np.dtype[Any], tuple[int, ...], tuple[tuple[int, int], ...]]:
    """The dtype and shape a frame holds, and where each lane's container lies in it
    (offset, size; size 0 for a lane without one), from the frame's header and
    lane table, checked against its size and the containers' headers. The
    container of a joint lane (:func:`frame_references`) holds the lane's
    difference against its reference, not the lane."""
    view = _contiguous(cast("Buffer", frame))
    refuse_other_kinds(view, b"QRVC")
    dtype, shape, lanes, _ = _codec.frame_info(view)
    return np.dtype(dtype), shape, lanes


def frame_references(frame: Buffer | npt.NDArray[Any]) -> dict[int, tuple[int, float]]:
    """The joint lanes of a frame: lane -> (reference lane, weight). Such a lane
    decodes as float32(weight x reference's decoded samples + its container's
    samples), so reading it alone takes its container and its reference's."""
    view = _contiguous(cast("Buffer", frame))
    refuse_other_kinds(view, b"QRVC")
    return {lane: (reference, weight / 4096) for lane, reference, weight in _codec.frame_info(view)[3]}


def frame_shape(frame: Buffer | npt.NDArray[Any]) -> tuple[np.dtype[Any], tuple[int, ...]]:
    """The dtype and shape a frame holds, from its header (checked against the frame's size)."""
    dtype, shape, _ = frame_layout(frame)
    return dtype, shape


def frame_overhead(shape: tuple[int, ...]) -> int:
    """Bytes a frame of this shape takes at most besides its containers and masks (a
    frame with joint lanes adds its reference table, about 4 bytes per joint lane)."""
    return _codec.frame_overhead(tuple(shape))


def decode_array(
    frame: Buffer | npt.NDArray[Any],
    *,
    out: npt.NDArray[np.floating] | None = None,
    threads: int | None = None,
    time_axis: int = -1,
    lanes: int | npt.ArrayLike | None = None,
    start: int | None = None,
    stop: int | None = None,
) -> npt.NDArray[np.floating]:
    """Decompress a frame held in any buffer (bytes, bytearray, memoryview, a uint8 array...).

    Returns a new array of the frame's dtype and shape, with its time axis
    (last in the frame) moved to ``time_axis`` as given to :func:`encode_array`
    (a view of the decoded array), or fills ``out``: a writable C-contiguous
    array of the frame's dtype and number of samples (any shape), which is
    returned as it is (``time_axis`` does not apply to it). ``threads`` lanes are decoded at once (``None``:
    one per processor), with the interpreter lock released. Raises
    :class:`~quorvel_tools.CodecError` (a ``ValueError``) for a damaged frame
    and ``TypeError`` or ``ValueError`` for an ``out`` that does not fit.

    A part only: ``lanes`` picks lanes by their index in C order of the
    frame's non-time axes (an int, or a sequence of them, negative ones from
    the end; for several channel axes, ``np.ravel_multi_index(index, shape)``
    with the shape without its time axis), and ``start``, ``stop`` samples
    along time (as a slice without step; negative from the end). Only those
    lanes (and the references of joint ones among them) are decoded, and of a
    version-2 lane only the blocks that hold the samples. Returns an array of
    (lanes, samples), or (samples,) for one int lane, with time where
    ``time_axis`` says (0: samples first). Raises ``IndexError`` for a lane
    outside the frame and ``ValueError`` for a range outside the lanes.
    """
    view = _contiguous(cast("Buffer", frame))  # ndarrays are buffers; typeshed says so from 3.12
    dtype, shape = frame_shape(view)
    if lanes is not None or start is not None or stop is not None:
        if out is not None:
            raise TypeError("out takes the whole frame; a part (lanes, start, stop) comes as a new array")
        return _decode_part(view, dtype, shape, lanes, start, stop, threads, time_axis)
    if out is None:
        axis = _axis(time_axis, len(shape))
        decoded = np.empty(shape, dtype=dtype)
        _codec.decode_frame(view, decoded.reshape(-1), thread_count(threads))
        return np.moveaxis(decoded, -1, axis) if shape else decoded
    elif not isinstance(out, np.ndarray) or out.dtype != dtype or not out.flags.c_contiguous:
        raise TypeError(f"out must be a C-contiguous {dtype} array")
    elif out.size != int(np.prod(shape, dtype=np.int64)):
        raise ValueError(f"out has {out.size} samples but the frame holds shape {shape}")
    _codec.decode_frame(view, out.reshape(-1), thread_count(threads))
    return out


def part_of(shape: tuple[int, ...], lanes: Any, start: int | None,
            stop: int | None) -> tuple[npt.NDArray[np.int64], int, int, bool]:
    """The lanes (non-negative), first and last sample of a part of a frame of `shape`, and
    whether one int lane was asked for; the errors of decode_array for a part outside it."""
    count = int(np.prod(shape[:-1], dtype=np.int64)) if shape else 1
    length = shape[-1] if shape else 1
    one = lanes is not None and np.ndim(lanes) == 0
    picked = np.arange(count) if lanes is None else np.atleast_1d(np.asarray(lanes))
    if picked.ndim != 1 or (picked.size and not np.issubdtype(picked.dtype, np.integer)):
        raise TypeError("lanes must be an int or a sequence of ints")
    picked = picked.astype(np.int64)
    if picked.size and (picked.min() < -count or picked.max() >= count):
        bad = int(picked[(picked < -count) | (picked >= count)][0])
        raise IndexError(f"lane {bad} is out of range for a frame of {count} lanes")
    picked = np.where(picked < 0, picked + count, picked)
    first = 0 if start is None else int(start) + (length if start < 0 else 0)
    last = length if stop is None else int(stop) + (length if stop < 0 else 0)
    if not 0 <= first <= last <= length:
        raise ValueError(f"samples {start} to {stop} are not a range inside lanes of {length} samples")
    return picked, first, last, one


def _decode_part(view: Any, dtype: np.dtype[Any], shape: tuple[int, ...], lanes: Any, start: int | None,
                 stop: int | None, threads: int | None, time_axis: int) -> npt.NDArray[np.floating]:
    """decode_array of some lanes over samples [start, stop)."""
    picked, first, last, one = part_of(shape, lanes, start, stop)
    decoded = np.empty((picked.size, last - first), dtype=dtype)
    _codec.decode_frame(view, decoded.reshape(-1), thread_count(threads), tuple(int(k) for k in picked), first, last)
    if one:
        return decoded[0]
    return decoded.T if _axis(time_axis, 2) == 0 else decoded
