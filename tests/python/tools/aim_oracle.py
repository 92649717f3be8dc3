"""The judge of aimed containers: an independent decoder and plain NumPy figures."""
import numpy as np

import quorvel
import quorvel_tools

TARGETS = ("max_error", "rmse", "prd", "max_bytes")

# Summation order differs between NumPy (pairwise) and any other float64 sum,
# by a few ulps per sample at most; RMSE and PRD get that much slack relative
# to the target. Max error involves no sums and gets none, nor does the size.
SUM_SLACK = 1e-9


def decoded_samples(container):
    """Version 1 by the quorvel module, which shares no code with the aimed
    encoder; version 2, which only quorvel_tools reads, by quorvel_tools."""
    if quorvel_tools.inspect(container).version == 1:
        return quorvel.decompress_signal(container)
    return quorvel_tools.decode(container)


def figures(original, container):
    """(max_error, rmse, prd, size) of the container against `original` as given."""
    decoded = decoded_samples(container)
    assert decoded.dtype == np.float32 and decoded.shape == np.shape(original)
    x = np.asarray(original, dtype=np.float64)
    error = x - decoded.astype(np.float64)
    # Divided by the largest magnitude first, so that squares of values near
    # 1e-300 or 1e300 neither underflow nor overflow.
    scale = max(float(np.max(np.abs(x))), float(np.max(np.abs(error)))) or 1.0
    energy, error_energy = np.sum((x / scale) ** 2), np.sum((error / scale) ** 2)
    prd = 100.0 * np.sqrt(error_energy / energy) if energy > 0 else (0.0 if error_energy == 0 else np.inf)
    return {"max_error": float(np.max(np.abs(error))), "rmse": scale * float(np.sqrt(np.mean((error / scale) ** 2))),
            "prd": float(prd), "max_bytes": len(container)}


def assert_meets(original, container, kind, value):
    measured = figures(original, container)[kind]
    slack = SUM_SLACK * value if kind in ("rmse", "prd") else 0.0
    assert measured <= value + slack, f"{kind} {measured!r} misses the target {value!r}"


def assert_met_or_refused_honestly(original, kind, value, **options):
    """Encodes to the target; a refusal must name a figure that a second encode, for that very figure, meets.

    Returns the container that met its target.
    """
    try:
        container = quorvel_tools.encode(original, **{kind: value}, **options)
    except quorvel_tools.UnreachableTargetError as refused:
        assert (refused.target, refused.value) == (kind, value)
        assert refused.best_reachable > value, str(refused)
        value = int(refused.best_reachable) if kind == "max_bytes" else refused.best_reachable
        container = quorvel_tools.encode(original, **{kind: value}, **options)
    assert_meets(original, container, kind, value)
    return container
