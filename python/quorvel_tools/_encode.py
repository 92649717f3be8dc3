"""Encoding 1-D signals: the settings checked once, the samples converted only when needed."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from quorvel_tools import _codec
from quorvel_tools.settings import Effort, Format, Method, Settings, TargetKeywords, takes_targets, thread_count

if TYPE_CHECKING:
    from typing_extensions import Unpack


def _samples(data: npt.ArrayLike, ndim: int) -> npt.NDArray[np.floating[Any]]:
    """`data` as an aligned C-contiguous float32 or float64 array, copied only when needed.

    float32 and float64 stay as they are (in native byte order); integers and
    other real floating types become float64.
    """
    array = np.asarray(data)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"data must hold real numbers, not {array.dtype}")
    if array.ndim != ndim:
        raise ValueError(f"data must be {ndim}-D, got an array of shape {array.shape}")
    dtype = np.dtype(array.dtype.type) if array.dtype.type in (np.float32, np.float64) else np.dtype(np.float64)
    return np.require(array, dtype=dtype, requirements=["C", "A"])


@takes_targets
def encode(
    data: npt.ArrayLike,
    *,
    method: Method = "auto",
    effort: Effort = "default",
    format: Format | None = None,
    threads: int | None = None,
    **targets: Unpack[TargetKeywords],
) -> bytes:
    """Compress a 1-D signal into a quorvel container that meets one target.

    Give exactly one target:

    - ``max_error``: the largest absolute difference between a sample and its
      decoded value, in the signal's units;
    - ``rmse``: the root-mean-square difference, in the signal's units;
    - ``prd``: the percentage root-mean-square difference,
      ``100 * sqrt(sum((x - y)**2) / sum(x**2))``;
    - ``max_bytes``: the largest size of the whole container, in bytes.

    ``data`` is any 1-D array-like of real numbers. float32 and float64 arrays
    are measured as given; other dtypes are converted to float64 first. The
    samples must be finite. ``method`` is ``"auto"`` (the encoder chooses) or
    one of ``"cdf53"``, ``"cdf97"``, ``"db4"``, ``"sym4"``; ``effort`` is
    ``"fast"``, ``"default"`` or ``"best"`` (smaller containers, slower).

    ``format`` is the container version. 2, the default, is the smaller one,
    read by :func:`decode`; it codes the samples themselves (no wavelet), gives
    back the input exactly at a target finer than half the grid the samples sit
    on (``max_error=0``: any float32 signal), and re-encoding its decoded
    signal with the same settings gives the same container. 1 is the
    wavelet container that ``quorvel.decompress_signal`` reads too; a named
    ``method`` implies it, and is a ``ValueError`` with ``format=2``.
    ``threads`` is the number of threads for the blocks of a version-2
    container (``None``: one per processor); the bytes do not depend on it.

    The decoded float32 signal meets the target.
    Raises ``ValueError`` for a missing, repeated or negative target and an
    unknown method or effort; :class:`~quorvel_tools.UnreachableTargetError`
    (a ``ValueError``) for a target the signal cannot meet, with the best
    figure that can be reached as ``best_reachable``;
    :class:`~quorvel_tools.CodecError` (a ``ValueError``) for empty or
    non-finite data; ``TypeError`` for data that does not hold real numbers.
    The encoder runs with the interpreter lock released.
    """
    settings = Settings.of(**targets, method=method, effort=effort, format=format, target_required=True)
    return encode_settings(data, settings, threads)


@takes_targets
def encode_rows(
    data2d: npt.ArrayLike,
    *,
    method: Method = "auto",
    effort: Effort = "default",
    format: Format | None = None,
    threads: int | None = None,
    **targets: Unpack[TargetKeywords],
) -> list[bytes]:
    """Compress every row of a 2-D array into a container of its own, on a pool of threads.

    The targets, ``method``, ``effort`` and ``format`` are those of :func:`encode` and apply
    to each row alone (``max_bytes`` is a budget per row). ``threads`` is the
    number of threads to use, the calling one included; ``None`` means one per
    processor. The result equals ``[encode(row, ...) for row in data2d]``,
    byte for byte, whatever the number of threads. A row that cannot be encoded
    raises :class:`~quorvel_tools.CodecError` (a ``ValueError``) for the first
    such row, its index as ``row``.
    """
    settings = Settings.of(**targets, method=method, effort=effort, format=format, target_required=True)
    count = thread_count(threads)
    return _codec.encode_rows(_samples(data2d, 2), settings, count)


def encode_settings(data: npt.ArrayLike, settings: Settings, threads: int | None = None) -> bytes:
    """One container of a 1-D signal under any settings, fixed or aimed. Fixed
    settings give the bytes of ``quorvel.compress_signal`` for float32 data
    (float64 is narrowed to float32 first)."""
    return _codec.encode(_samples(data, 1), settings, thread_count(threads))
