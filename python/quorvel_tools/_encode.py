"""Aimed encoding: argument checks and conversion in front of the C++ encoder."""
from __future__ import annotations

import math
import numbers
import operator
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from quorvel_tools import _native

Method = Literal["auto", "cdf53", "cdf97", "db4", "sym4"]
Effort = Literal["fast", "default", "best"]

# Codes of the C++ enumerations; -1 lets the encoder choose the method.
_METHODS = {"auto": -1, "cdf53": 0, "cdf97": 1, "db4": 2, "sym4": 3}
_EFFORTS = {"fast": 0, "default": 1, "best": 2}
_TARGETS = ("max_error", "rmse", "prd", "max_bytes")


def _choice(name: str, value: object, choices: dict[str, int]) -> int:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value not in choices:
        allowed = ", ".join(repr(choice) for choice in choices)
        raise ValueError(f"unknown {name} {value!r}; expected one of {allowed}")
    return choices[value]


def _target(values: tuple[object, ...]) -> tuple[int, float]:
    """The one target given, as (kind code, value)."""
    given = [(kind, value) for kind, value in enumerate(values) if value is not None]
    if len(given) != 1:
        named = " and ".join(_TARGETS[kind] for kind, _ in given) or "none"
        raise ValueError(f"exactly one target is required (max_error, rmse, prd or max_bytes); got {named}")
    kind, value = given[0]
    name = _TARGETS[kind]
    if name == "max_bytes":
        if isinstance(value, bool):
            raise TypeError("max_bytes must be an int, not bool")
        number = float(operator.index(value))  # type: ignore[arg-type]
    else:
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
        number = float(value)
    if math.isnan(number) or number < 0:
        raise ValueError(f"{name} must be a non-negative number, got {value!r}")
    if math.isinf(number):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return kind, number


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


def encode(
    data: npt.ArrayLike,
    *,
    max_error: float | None = None,
    rmse: float | None = None,
    prd: float | None = None,
    max_bytes: int | None = None,
    method: Method = "auto",
    effort: Effort = "default",
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

    Returns a standard container: ``quorvel.decompress_signal`` and
    :func:`decode` read it, and the decoded float32 signal meets the target.
    Raises ``ValueError`` for a missing, repeated, negative or unreachable
    target (the message names the best figure that can be reached), an unknown
    method or effort, and for empty or non-finite data; ``TypeError`` for data
    that does not hold real numbers. The encoder runs with the interpreter
    lock released.
    """
    kind, value = _target((max_error, rmse, prd, max_bytes))
    codes = _choice("method", method, _METHODS), _choice("effort", effort, _EFFORTS)
    return _native.encode(_samples(data, 1), kind, value, *codes)


def encode_rows(
    data2d: npt.ArrayLike,
    *,
    max_error: float | None = None,
    rmse: float | None = None,
    prd: float | None = None,
    max_bytes: int | None = None,
    method: Method = "auto",
    effort: Effort = "default",
    threads: int | None = None,
) -> list[bytes]:
    """Compress every row of a 2-D array into a container of its own, on a pool of threads.

    The targets, ``method`` and ``effort`` are those of :func:`encode` and apply
    to each row alone (``max_bytes`` is a budget per row). ``threads`` is the
    number of threads to use, the calling one included; ``None`` means one per
    processor. The result equals ``[encode(row, ...) for row in data2d]``,
    byte for byte, whatever the number of threads. A row that cannot be encoded
    raises ``ValueError`` naming the first such row.
    """
    kind, value = _target((max_error, rmse, prd, max_bytes))
    codes = _choice("method", method, _METHODS), _choice("effort", effort, _EFFORTS)
    if threads is None:
        count = 0
    else:
        if isinstance(threads, bool):
            raise TypeError("threads must be an int or None, not bool")
        count = operator.index(threads)
        if count < 1:
            raise ValueError(f"threads must be at least 1, got {threads}")
    return _native.encode_rows(_samples(data2d, 2), kind, value, *codes, count)
