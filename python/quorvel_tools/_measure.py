"""Distortion figures of a decoded signal against its original, computed in float64."""
from __future__ import annotations

import dataclasses
import math

import numpy as np
import numpy.typing as npt


@dataclasses.dataclass(frozen=True)
class Measurement:
    """How far a decoded signal lies from its original.

    - ``max_error``: the largest absolute difference;
    - ``rmse``: the root-mean-square difference;
    - ``prd``: the percentage root-mean-square difference,
      ``100 * sqrt(sum((x - y)**2) / sum(x**2))``;
    - ``snr_db``: the signal-to-noise ratio ``10 * log10(sum(x**2) / sum((x - y)**2))``
      in decibels (so ``snr_db == -20 * log10(prd / 100)``);
    - ``mismatched``: how many positions differ in kind: finite in one signal
      and not in the other, or NaN against an infinity, or infinities of
      opposite signs.

    The four figures are taken over the positions where both signals are
    finite: NaN and infinities that come back as they were (as a frame or a
    Zarr round trip gives them) are not errors, and those that do not are
    counted in ``mismatched``. Identical signals give 0, 0, 0, ``inf`` and 0. A
    signal of zero energy that is not reproduced exactly gives a ``prd`` of
    ``inf`` and an ``snr_db`` of ``-inf``.
    """

    max_error: float
    rmse: float
    prd: float
    snr_db: float
    mismatched: int = 0


def measure(original: npt.ArrayLike, decoded: npt.ArrayLike) -> Measurement:
    """Compare ``decoded`` with ``original``: both array-likes of real numbers of one shape.

    Everything is computed in float64 whatever the inputs' dtypes, scaled by
    the largest magnitude first so that squares of large values (1e38 and
    beyond) do not overflow. Empty inputs measure as identical.
    """
    x = np.asarray(original, dtype=np.float64)
    y = np.asarray(decoded, dtype=np.float64)
    if x.shape != y.shape:
        raise ValueError(f"original and decoded differ in shape: {x.shape} and {y.shape}")
    finite = np.isfinite(x) & np.isfinite(y)
    mismatched = 0
    if not finite.all():
        same_kind = (np.isnan(x) & np.isnan(y)) | (np.isinf(x) & (x == y))
        mismatched = int(np.count_nonzero(~finite & ~same_kind))
        x, y = x[finite], y[finite]
    error = x - y
    max_error = float(np.max(np.abs(error))) if error.size else 0.0
    peak = float(np.max(np.abs(x))) if x.size else 0.0
    scale = max(max_error, peak)
    if scale == 0.0:
        scale = 1.0  # all zero
    error_energy = float(np.sum(np.square(error / scale)))
    signal_energy = float(np.sum(np.square(x / scale)))
    rmse = scale * math.sqrt(error_energy / error.size) if error.size else 0.0
    return Measurement(max_error, rmse, *_relative(error_energy, signal_energy), mismatched)


def _relative(error_energy: float, signal_energy: float) -> tuple[float, float]:
    """(PRD in percent, SNR in dB) from the energies of the error and the signal."""
    if error_energy == 0.0:
        return 0.0, math.inf
    if signal_energy == 0.0:
        return math.inf, -math.inf
    ratio = error_energy / signal_energy
    return 100.0 * math.sqrt(ratio), -10.0 * math.log10(ratio)
