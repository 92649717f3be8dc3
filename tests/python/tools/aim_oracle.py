"""The judge of aimed containers: the spec module's decoder and plain NumPy figures."""
import numpy as np

import quorvel

TARGETS = ("max_error", "rmse", "prd", "max_bytes")

# Summation order differs between NumPy (pairwise) and any other float64 sum,
# by a few ulps per sample at most; RMSE and PRD get that much slack relative
# to the target. Max error involves no sums and gets none, nor does the size.
SUM_SLACK = 1e-9


def figures(original, container):
    """(max_error, rmse, prd, size) of the container against `original` as given."""
    decoded = quorvel.decompress_signal(container)
    assert decoded.dtype == np.float32 and decoded.shape == np.shape(original)
    x = np.asarray(original, dtype=np.float64)
    error = x - decoded.astype(np.float64)
    energy = np.sum(x * x)
    prd = 100.0 * np.sqrt(np.sum(error * error) / energy) if energy > 0 else (0.0 if not error.any() else np.inf)
    return {"max_error": float(np.max(np.abs(error))), "rmse": float(np.sqrt(np.mean(error * error))),
            "prd": float(prd), "max_bytes": len(container)}


def assert_meets(original, container, kind, value):
    measured = figures(original, container)[kind]
    slack = SUM_SLACK * value if kind in ("rmse", "prd") else 0.0
    assert measured <= value + slack, f"{kind} {measured!r} misses the target {value!r}"
