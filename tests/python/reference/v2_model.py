"""A plain NumPy model of the version-2 coding: grid, quantiser, predictors, tokens, rANS, blocks.

Written the way a C++ coder would do it (integers, fixed shifts, table-driven rANS), so that it serves
as the independent model the conformance tests (tests/python/tools/test_conformance.py) hold the codec
against; bench/entropy_probe.py measures each stage with it against the peers, and keeps the research's
two-value contexts and per-context cost estimate for its ablations. The coding half (predictors, tokens,
contexts, tables) is bit-exact with the C++ sequence coder (codec/sequence/predictors.cpp,
codec/sequence/tokens.hpp, codec/sequence/token_tables.cpp); v2_block.py writes and reads whole blocks in its byte
layout (`python tests/python/reference/v2_block.py` round-trips the corpus), v2_container.py containers.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

# ---------------------------------------------------------------- grid and quantiser


def detect_grid(x: np.ndarray) -> tuple[float, float] | None:
    """(origin, step) with float32(origin + step * k) == x for an integer k per sample, or None.

    A least-squares fit of the distinct values against their grid indices is not exact enough
    (its error at the ends of a 1000-step grid is a few percent of a float32 ulp), so the step is
    the one that leaves the widest room for the origin inside every value's float32 rounding
    interval: the room is a concave function of the step, and a ternary search finds its top.
    Both depend on the set of values alone, so a decoded signal gives back the grid it sits on.
    """
    values = np.unique(x.astype(np.float32)).astype(np.float64)
    if values.size < 2:
        return None
    smallest = float(np.min(np.diff(values)))
    if (values[-1] - values[0]) / smallest > 2**24:
        return None  # finer than float32 itself over the range: no grid worth coding on
    for divisor in (1, 2, 3, 4, 5):
        guess = refined_step(values - values[0], smallest / divisor)
        index = np.rint((values - values[0]) / guess)
        if np.max(np.abs((values - values[0]) / guess - index)) < 0.01:
            break
    else:
        return None
    f32 = values.astype(np.float32)
    low = (values + np.nextafter(f32, np.float32(-np.inf)).astype(np.float64)) / 2
    high = (values + np.nextafter(f32, np.float32(np.inf)).astype(np.float64)) / 2
    for found in (zero_anchored(values, low, high, guess), anchored(index, low, high, guess)):
        if found is not None:
            origin, step = found
            k = np.rint((values - origin) / step)
            if np.array_equal((origin + step * k).astype(np.float32), f32):
                return origin, step
    return None


def refined_step(offsets: np.ndarray, guess: float) -> float:
    """The smallest gap carries float32 noise, too much to round offsets a thousand steps away:
    fit the step on the offsets within 16 steps, then 128, and so on, refitting each time."""
    reach = 16.0
    while True:
        near = offsets <= reach * guess
        index = np.rint(offsets[near] / guess)
        if index.any():
            guess = float(np.dot(index, offsets[near]) / np.dot(index, index))
        if near.all():
            return guess
        reach *= 8


def zero_anchored(values: np.ndarray, low: np.ndarray, high: np.ndarray, guess: float):
    """Decimal data and PCM sit on multiples of their step (zero included): each value bounds the
    step to an interval, and the middle of their intersection reproduces them all."""
    j = np.rint(values / guess)
    if np.max(np.abs(values / guess - j)) > 0.1:
        return None
    nonzero = j != 0
    bounds = np.sort(np.stack([low[nonzero] / j[nonzero], high[nonzero] / j[nonzero]]), axis=0)
    lowest, highest = float(np.max(bounds[0])), float(np.min(bounds[1]))
    return (0.0, (lowest + highest) / 2) if lowest <= highest else None


def anchored(index: np.ndarray, low: np.ndarray, high: np.ndarray, guess: float):
    """A grid with an origin of its own (EDF: physical minimum + gain * digital value): the room
    left for the origin inside every value's rounding interval is a concave function of the step;
    a ternary search finds its top, and the origin is the middle of that room."""

    def room(step: float) -> tuple[float, float]:
        return float(np.max(low - step * index)), float(np.min(high - step * index))

    a, b = guess * (1 - 1e-3), guess * (1 + 1e-3)
    for _ in range(200):
        m1, m2 = a + (b - a) / 3, b - (b - a) / 3
        r1, r2 = room(m1), room(m2)
        a, b = (m1, b) if r1[1] - r1[0] < r2[1] - r2[0] else (a, m2)
    lowest, highest = room((a + b) / 2)
    return ((lowest + highest) / 2, (a + b) / 2) if lowest <= highest else None


@dataclasses.dataclass(frozen=True)
class Grid:
    """The decoder's sample n is float32(origin + step * (offset + multiple * q[n]))."""

    origin: float
    step: float
    offset: int = 0
    multiple: int = 1

    def samples(self, q: np.ndarray) -> np.ndarray:
        k = self.offset + self.multiple * q.astype(np.int64)
        return (self.origin + self.step * k.astype(np.float64)).astype(np.float32)

    def codes(self, x: np.ndarray) -> np.ndarray:
        k = np.rint((x.astype(np.float64) - self.origin) / self.step).astype(np.int64) - self.offset
        return np.floor_divide(k + self.multiple // 2, self.multiple)


def candidate_grids(x: np.ndarray, e: float, found: tuple[float, float] | None) -> list[Grid]:
    """The grids a strict bound e may use, coarsest first: 2e, shrunk a little at a time until
    float32 rounding of the output stays inside e, and the odd multiples m of the data's own grid
    g that meet it ((m-1)/2*g <= e)."""
    plain = [Grid(float(x.min()), 2 * e * (1 - f)) for f in [0.0] + [2.0**-k for k in range(24, 1, -2)]]
    if found is None:
        return plain
    origin, step = found
    low = int(np.rint((float(x.min()) - origin) / step))
    top = 2 * int(math.floor(e / step + 1e-9)) + 1
    multiples = [Grid(origin, step, low, m) for m in range(top, 1, -2)]
    return sorted(plain + multiples, key=lambda grid: -grid.step * grid.multiple)


def canonical(y: np.ndarray, fallback: Grid) -> tuple[Grid, np.ndarray]:
    """The container's grid is a function of the decoded samples alone, the grid detected on them
    where it reproduces them: encoding them again with the same settings finds the same."""
    found = detect_grid(y)
    if found is not None:
        grid = Grid(found[0], found[1], int(np.rint((float(y.min()) - found[0]) / found[1])))
        q = grid.codes(y)
        if np.array_equal(grid.samples(q), y):
            return grid, q
    return fallback, fallback.codes(y)


def quantise_max_error(x: np.ndarray, e: float, detect: bool = True) -> tuple[Grid, np.ndarray]:
    """(grid, q) with |float32 sample - x| <= e everywhere, in canonical form.

    Samples on a grid coarser than e stay as they are: no odd multiple of it meets e, and a
    decoded signal always sits on such a grid, so encoding it again changes nothing (idempotence)."""
    found = detect_grid(x) if detect else None
    if found is not None and found[1] > e:
        grid = Grid(found[0], found[1], int(np.rint((float(x.min()) - found[0]) / found[1])))
        return grid, grid.codes(x)
    candidates = candidate_grids(x, e, found)
    for grid in candidates:
        q = grid.codes(x)
        if np.array_equal(grid.samples(q), x):
            return grid, q  # already on one: a decoded signal whose grid detection cannot see
    for grid in candidates:
        y = grid.samples(grid.codes(x))
        if np.max(np.abs(y.astype(np.float64) - x)) <= e:
            return canonical(y, grid)
    raise ValueError("no grid meets the bound")  # e below float32 resolution: the lossless path


def quantise_rmse(x: np.ndarray, target: float, detect: bool = True) -> tuple[Grid, np.ndarray]:
    """The coarsest step of the ladder sqrt(12)*target * 2^(-k/8) whose output meets the RMSE.

    The steps depend on the target alone. Samples on a grid of one of them (a decoded signal)
    stay as they are, and so do samples on a grid coarser than the step chosen."""
    anchor = float(x.min())
    ladder = [Grid(anchor, math.sqrt(12.0) * target * 2.0 ** (-k / 8)) for k in range(64)]
    found = detect_grid(x) if detect else None
    data_grid = None
    if found is not None:
        data_grid = Grid(found[0], found[1], int(np.rint((anchor - found[0]) / found[1])))
        if any(abs(found[1] / grid.step - 1) < 1e-6 for grid in ladder):
            return data_grid, data_grid.codes(x)
    for grid in ladder:
        if data_grid is not None and data_grid.step >= grid.step:
            return data_grid, data_grid.codes(x)
        y = grid.samples(grid.codes(x))
        if math.sqrt(np.mean((y.astype(np.float64) - x) ** 2)) <= target:
            return canonical(y, grid)
    raise ValueError("no step meets the RMSE")


def float_ordinals(x: np.ndarray) -> np.ndarray:
    """float32 bit patterns as integers in the order of the values (bit-exact lossless path)."""
    bits = x.astype(np.float32).view(np.int32).astype(np.int64)
    return np.where(bits < 0, -(bits & 0x7FFFFFFF) - 1, bits)


# ---------------------------------------------------------------- predictors on integer codes
#
# Bit-exact with codec/sequence/predictors.cpp. A block's codes q are int32; each segment [start, end) of the
# block has its own predictor, computed in 64-bit integers from the codes before it in the block (zeros
# before the block: the first samples use lower orders); residuals and codes wrap modulo 2^32.

SEGMENT = 4096
LPC_PRECISION = 14
LMS_SHIFT = 8
PREDICTORS = ("identity", "d1", "d2", "d3", "lpc", "interp", "lms", "lms_local", "cascade", "periodic")  # ids; 8: v2_cascade
PERIODIC_TAPS, MIN_PERIOD, MAX_PERIOD = 3, 12, 65535


def wrap(v):
    """int64 values (or a Python int) modulo 2^32 as int32."""
    if isinstance(v, np.ndarray):
        return ((v.astype(np.int64) + 2**31) & 0xFFFFFFFF) - 2**31
    return ((int(v) + 2**31) & 0xFFFFFFFF) - 2**31


@dataclasses.dataclass
class Choice:
    kind: str
    order: int = 0
    shift: int = 0
    coefficients: tuple = ()
    taps: int = 8  # the sign-LMS stages'
    step: int = 2
    period: int = 0  # the periodic predictor's cycle, and the gains of its taps in 2^-shift
    gains: tuple = ()

    def head_bits(self) -> int:
        if self.kind == "lms_local":
            return 3 + 2 + 2
        if self.kind == "periodic":
            return 3 + 5 + 4 + 16 + 5 + 4 + 4 + self.order * width(self.coefficients) + 4 + 3 * width(self.gains)
        if self.kind != "lpc":
            return 3 + 9 * (self.kind == "cascade")  # an LPC head's kind, order and shift fields
        return 3 + 5 + 4 + 4 + self.order * width(self.coefficients)


def width(coefficients: tuple) -> int:
    """Bits of the two's complement field that holds every coefficient."""
    return max([1] + [1 + (~c if c < 0 else c).bit_length() for c in coefficients])


def fixed_predictions(q: np.ndarray, start: int, end: int, k: int) -> np.ndarray:
    """Order-k difference predictions for q[start:end], order min(k, n) at block position n."""
    q = q.astype(np.int64)
    n = np.arange(start, end)
    at = lambda d: np.where(n >= d, q[np.maximum(n - d, 0)], 0)  # noqa: E731
    order = np.minimum(n, k)
    p1, p2, p3 = at(1), at(2), at(3)
    return np.select([order == 1, order == 2, order == 3], [p1, 2 * p1 - p2, 3 * p1 - 3 * p2 + p3], 0)


def lpc_predictions(q: np.ndarray, start: int, end: int, choice: Choice) -> np.ndarray:
    q = q.astype(np.int64)
    n = np.arange(start, end)
    total = np.zeros(n.size, np.int64)
    for i, c in enumerate(choice.coefficients):
        total += c * np.where(n >= i + 1, q[np.maximum(n - 1 - i, 0)], 0)
    early = np.where(n >= 1, q[np.maximum(n - 1, 0)], 0)
    return np.where(n >= choice.order, total >> choice.shift, early)


def interpolation_order(m: int) -> list[tuple[int, int]]:
    """(index, stride) in coding order after sample 0: for each stride from the largest power of two
    below m down to 1, the odd multiples of the stride."""
    out = []
    stride = 1 << ((m - 1).bit_length() - 1) if m > 1 else 0
    while stride >= 1:
        out += [(i, stride) for i in range(stride, m, 2 * stride)]
        stride //= 2
    return out


def interpolation_levels(n: int) -> list[tuple[int, np.ndarray]]:
    """(stride, indices) level by level, coarsest first, sample 0 as level (0, [0])."""
    levels = [(0, np.array([0]))]
    stride = 1 << max(0, (n - 1).bit_length() - 1) if n > 1 else 0
    while stride >= 1:
        levels.append((stride, np.arange(stride, n, 2 * stride)))
        stride //= 2
    return levels


def interpolation_prediction(s: np.ndarray, stride: int, index: np.ndarray) -> np.ndarray:
    """Each point of a level from the coarser points around it: cubic (-1, 9, 9, -1)/16 where four
    are known, the mean of two where two are, the left one at the end."""
    m = s.size
    left = s[index - stride]
    has_right = index + stride < m
    right = np.where(has_right, s[np.minimum(index + stride, m - 1)], left)
    cubic_ok = has_right & (index >= 3 * stride) & (index + 3 * stride < m)
    far_left = s[np.maximum(index - 3 * stride, 0)]
    far_right = s[np.minimum(index + 3 * stride, m - 1)]
    cubic = (9 * (left + right) - far_left - far_right + 8) >> 4
    return wrap(np.where(cubic_ok, cubic, np.where(has_right, (left + right + 1) >> 1, left)))


class SignLms:
    """First differences, then a sign-sign LMS stage on them; weights start at zero in each segment, the
    history holds the differences before it ("lms": the block's, zeros before the block; "lms_local":
    zeros)."""

    def __init__(self, q: np.ndarray, start: int, choice: Choice) -> None:
        taps = choice.taps
        self.weights, self.step = [0] * taps, choice.step
        first = start if choice.kind == "lms" else 0
        d = [wrap(int(q[n]) - (int(q[n - 1]) if n else 0)) for n in range(max(0, first - taps), first)]
        self.history = (d[::-1] + [0] * taps)[:taps]

    def prediction(self) -> int:
        return wrap(sum(w * h for w, h in zip(self.weights, self.history)) >> LMS_SHIFT)

    def update(self, value: int, error: int) -> None:
        direction = (error > 0) - (error < 0)
        self.weights = [w + direction * ((h > 0) - (h < 0)) * self.step for w, h in zip(self.weights, self.history)]
        self.history = [value] + self.history[:-1]


def differences(q: np.ndarray) -> list[int]:
    """The block's first differences as plain integers (codes before the block are 0)."""
    return [wrap(int(q[i]) - (int(q[i - 1]) if i else 0)) for i in range(q.size)]


def periodic_prediction(d: list[int], i: int, choice: Choice) -> int:
    """The periodic predictor's prediction of d[i] from the differences before it (0 before the block)."""
    near = sum(c * d[i - j - 1] for j, c in enumerate(choice.coefficients) if i > j)
    lags = [choice.period - 1 + k for k in range(PERIODIC_TAPS)]
    cycle = sum(g * d[i - lag] for g, lag in zip(choice.gains, lags) if i >= lag)
    return wrap((near + cycle) >> choice.shift)


def predict(q: np.ndarray, start: int, end: int, choice: Choice) -> np.ndarray:
    """Residuals of the segment q[start:end] of a block, in coding order."""
    q = q.astype(np.int64)
    if choice.kind == "periodic":
        d = differences(q[:end])
        return np.array([wrap(d[i] - periodic_prediction(d, i, choice)) for i in range(start, end)], np.int64)
    if choice.kind == "identity":
        return q[start:end].copy()
    if choice.kind in ("d1", "d2", "d3"):
        return wrap(q[start:end] - fixed_predictions(q, start, end, int(choice.kind[1])))
    if choice.kind == "lpc":
        return wrap(q[start:end] - wrap(lpc_predictions(q, start, end, choice)))
    if choice.kind == "interp":
        s = q[start:end]
        r = np.empty(s.size, np.int64)
        r[0] = wrap(s[0] - (q[start - 1] if start else 0))
        for (stride, index), at in zip(interpolation_levels(s.size)[1:], level_offsets(s.size)):
            r[at : at + index.size] = wrap(s[index] - interpolation_prediction(s, stride, index))
        return r
    lms, out = SignLms(q, start, choice), []
    for n in range(start, end):
        d = wrap(int(q[n]) - (int(q[n - 1]) if n else 0))
        error = wrap(d - lms.prediction())
        out.append(error)
        lms.update(d, error)
    return np.array(out, np.int64)


def level_offsets(m: int) -> list[int]:
    """Where each interpolation level's residuals start in coding order (after sample 0)."""
    offsets, at = [], 1
    for _, index in interpolation_levels(m)[1:]:
        offsets.append(at)
        at += index.size
    return offsets


def reconstruct(q: np.ndarray, start: int, end: int, choice: Choice, r: np.ndarray) -> None:
    """The inverse of `predict`: fills q[start:end] (int64 array) with q[:start] decoded."""
    r = r.astype(np.int64)
    if choice.kind == "periodic":
        d = differences(q[:start])
        for n in range(start, end):
            d.append(wrap(int(r[n - start]) + periodic_prediction(d, n, choice)))
            q[n] = wrap(d[n] + (int(q[n - 1]) if n else 0))
    elif choice.kind == "identity":
        q[start:end] = r
    elif choice.kind in ("d1", "d2", "d3", "lpc"):
        before = [int(v) for v in q[:start]]  # plain integers, a code at a time: each needs the last
        for n in range(start, end):
            back = lambda d: before[n - d] if n >= d else 0  # noqa: E731
            if choice.kind == "lpc":
                total = sum(c * back(i + 1) for i, c in enumerate(choice.coefficients))
                prediction = total >> choice.shift if n >= choice.order else back(1)
            else:
                order = min(n, int(choice.kind[1]))
                prediction = (0, back(1), 2 * back(1) - back(2), 3 * back(1) - 3 * back(2) + back(3))[order]
            before.append(wrap(int(r[n - start]) + wrap(prediction)))
        q[start:end] = before[start:]
    elif choice.kind == "interp":
        s = np.zeros(end - start, np.int64)
        s[0] = wrap(r[0] + (q[start - 1] if start else 0))
        for (stride, index), at in zip(interpolation_levels(s.size)[1:], level_offsets(s.size)):
            s[index] = wrap(r[at : at + index.size] + interpolation_prediction(s, stride, index))
        q[start:end] = s
    else:
        lms = SignLms(q, start, choice)
        for n in range(start, end):
            error = int(r[n - start])
            d = wrap(error + lms.prediction())
            q[n] = wrap(d + (int(q[n - 1]) if n else 0))
            lms.update(d, error)


def fit_lpc(q: np.ndarray, start: int, end: int, order: int) -> Choice:
    """Levinson-Durbin on the segment's autocorrelation, coefficients quantised to 16 bits."""
    z = q[start:end].astype(np.int64) - int(q[start])
    scale = max(0, int(np.max(np.abs(z))).bit_length() - 20)
    z >>= scale
    # A Welch window, the windowed values rounded to integers (half to even).
    half = 0.5 * (z.size + 1)
    from_centre = (np.arange(z.size, dtype=np.float64) + 1.0 - half) / half
    z = np.rint(z.astype(np.float64) * (1.0 - from_centre * from_centre))
    # Every product and partial sum is an integer below 2^53: exact, as the C++ doubles are.
    ac = [float(np.dot(z[k:], z[: z.size - k])) if k < z.size else 0.0 for k in range(order + 1)]
    if ac[0] <= 0:
        return Choice("lpc", 1, 0, (1,))
    ac[0] *= 1.0 + 1e-9
    a, error = [0.0] * order, ac[0]
    for i in range(order):
        dot = 0.0
        for j in range(i):
            dot += a[j] * ac[i - j]
        k = (ac[i + 1] - dot) / error
        if not math.isfinite(k) or not abs(k) < 1:
            break
        previous = a[:]
        for j in range(i):
            a[j] = previous[j] - k * previous[i - 1 - j]
        a[i] = k
        error *= 1 - k * k
    return Choice("lpc", order, *quantised(a))


def quantised(a: list[float]) -> tuple[int, tuple]:
    """The finest shift (at most LPC_PRECISION) at which every coefficient fits 16 bits, and them at it."""
    largest = max(abs(v) for v in a)
    shift = LPC_PRECISION
    while shift > 0 and round(largest * (1 << shift)) >= 32768:
        shift -= 1
    return shift, tuple(int(min(max(round(v * (1 << shift)), -32768), 32767)) for v in a)


def find_periods(q: np.ndarray) -> tuple[int, int]:
    """The cycles of the block's first differences worth a periodic predictor (at least MIN_PERIOD codes,
    0 for none): first over differences across 8 codes (of the first 2^13 codes) at lags 2 to 170, the
    shortest lag within a tenth of the strongest and the strongest; then each at the lags around it of the
    first differences of the first 4096 codes."""
    stride, clamp = 8, 1 << 19
    q = [int(v) for v in q[: 1 << 13]]
    count = len(q) // stride
    if count < 9:
        return 0, 0

    def score(v: list[int], lag: int) -> float:
        return float(sum(v[i] * v[i - lag] for i in range(lag, len(v)))) / float(len(v) - lag)

    coarse = [min(max(wrap(q[stride * k + stride - 1] - q[stride * k - 1]), -clamp), clamp) for k in range(1, count)]
    fine_count = min(len(q), 4096) - 1
    scores = {lag: score(coarse, lag) for lag in range(2, min(256, len(coarse) // 3, fine_count // 3 // stride) + 1)}
    best, strongest = 0.0, 0
    for lag, s in scores.items():
        if s > best:
            best, strongest = s, lag
    if strongest == 0:
        return 0, 0
    shortest = min(lag for lag, s in scores.items() if not s < 0.9 * best)
    d = [min(max(wrap(q[i] - q[i - 1]), -clamp), clamp) for i in range(1, min(len(q), 4096))]

    def refined(lag: int) -> int:
        top, period = 0.0, 0
        for fine in range(max(MIN_PERIOD, stride * (lag - 1)), min(stride * (lag + 1), len(d) // 3, MAX_PERIOD) + 1):
            s = score(d, fine)
            if s > top:
                top, period = s, fine
        return period

    first, second = refined(shortest), 0 if shortest == strongest else refined(strongest)
    return (first, 0 if second == first else second) if first else (second, 0)


def fit_periodic(q: np.ndarray, start: int, end: int, order: int, period: int) -> Choice:
    """Least squares on the block's first differences over the segment (zeros before the block; the normal
    equations' sums exact in doubles), by Gaussian elimination; the coefficients and the taps quantised
    together as the LPC's."""
    lags = list(range(1, order + 1)) + [period - 1 + k for k in range(PERIODIC_TAPS)]
    count, back = len(lags), max(order, period + 1)
    full = differences(q[:end])
    w = [full[i] if i >= 0 else 0 for i in range(start - back, end)]
    scale = max(0, max(abs(v) for v in w).bit_length() - 20)
    w = [v >> scale for v in w]
    rows = range(back, len(w))
    dot = lambda a, b: float(sum(w[i - a] * w[i - b] for i in rows))  # noqa: E731
    a = [[0.0] * (count + 1) for _ in range(count)]
    for j in range(count):
        for k in range(j, count):
            a[j][k] = a[k][j] = dot(lags[j], lags[k])
        a[j][count] = dot(lags[j], 0)
    for j in range(count):
        a[j][j] = a[j][j] * (1.0 + 1e-9) if a[j][j] > 0 else 1.0
    for j in range(count):
        for i in range(j + 1, count):
            f = a[i][j] / a[j][j]
            for k in range(j, count + 1):
                a[i][k] -= f * a[j][k]
    x = [0.0] * count
    for j in range(count - 1, -1, -1):
        rest = a[j][count]
        for k in range(j + 1, count):
            rest -= a[j][k] * x[k]
        x[j] = rest / a[j][j]
        if not math.isfinite(x[j]):
            return Choice("periodic", order, 0, (0,) * order, period=period, gains=(0,) * PERIODIC_TAPS)
    shift, values = quantised(x)
    return Choice("periodic", order, shift, values[:order], period=period, gains=values[order:])


# The research probe's whole-array helpers, on the same definitions (one segment per array).


def fixed_residuals(q: np.ndarray, order: int) -> np.ndarray:
    return predict(q, 0, q.size, Choice(f"d{order}"))


def lpc_coefficients(q: np.ndarray, order: int) -> tuple[np.ndarray, int]:
    choice = fit_lpc(q, 0, q.size, min(order, max(1, q.size - 1)))
    return np.array(choice.coefficients, np.int64), choice.shift


def lpc_residuals(q: np.ndarray, coefs: np.ndarray, shift: int) -> np.ndarray:
    return predict(q, 0, q.size, Choice("lpc", coefs.size, shift, tuple(int(c) for c in coefs)))


def interpolation_residuals(q: np.ndarray) -> np.ndarray:
    return predict(q, 0, q.size, Choice("interp"))


def sign_lms(d: np.ndarray) -> np.ndarray:
    """The LMS stage alone over first differences d (the probe's cascade)."""
    return predict(np.cumsum(d), 0, d.size, Choice("lms"))


# ---------------------------------------------------------------- tokens and contexts

DIRECT = 16  # zigzag values below this are tokens of their own
TOKENS = 72  # every uint32


def zigzag(r: np.ndarray) -> np.ndarray:
    r = wrap(np.asarray(r, np.int64))
    return np.where(r >= 0, 2 * r, -2 * r - 1).astype(np.int64)


def unzigzag(u: np.ndarray) -> np.ndarray:
    return np.where(u & 1, -((u + 1) >> 1), u >> 1)


def bit_length(v: np.ndarray) -> np.ndarray:
    out = np.zeros(v.size, np.int64)
    nonzero = v > 0
    out[nonzero] = np.floor(np.log2(v[nonzero])).astype(np.int64) + 1
    big = v >= 2**48  # log2 in float64 could round up near powers of two
    out[big] = [int(x).bit_length() for x in v[big]]
    return out


def tokens(u: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Token and raw-bit count of each value: small values are tokens; a larger one is coded as its
    bit length and next-highest bit (the token) plus its bits below those (raw)."""
    u = np.asarray(u, np.int64)
    length = bit_length(u | 16)
    coarse = DIRECT + 2 * (length - 5) + ((u >> (length - 2)) & 1)
    big = u >= DIRECT
    return np.where(big, coarse, u), np.where(big, length - 2, 0)


def raw_bits_of(token: np.ndarray) -> np.ndarray:
    return np.where(token >= DIRECT, (token - DIRECT) // 2 + 3, 0)


def top_of(token: np.ndarray) -> np.ndarray:
    """The smallest value of each token."""
    token = np.asarray(token, np.int64)
    return np.where(token >= DIRECT, (2 | (token & 1)) << raw_bits_of(token), token)


def level_of(token: np.ndarray) -> np.ndarray:
    """The context level a token gives the token after it: the bit length of its top."""
    return bit_length(top_of(token))


def ways_for(n: int) -> int:
    """rANS lanes of a block of n codes."""
    return 8 if n >= 4096 else 4 if n >= 1024 else 1


def lane_levels(token: np.ndarray, ways: int) -> np.ndarray:
    """Each token's context level within a segment cut into `ways` lanes of ceil(m / ways) tokens:
    the level of the token before it in its lane, 0 at the lane's start."""
    m = token.size
    length = -(-m // ways)
    levels = np.concatenate([[0], level_of(token[:-1])]) if m else np.zeros(0, np.int64)
    levels[np.arange(0, m, length)] = 0
    return levels


CLASSES = 4
LEVELS = 33


def class_of_level(level, base: int):
    return np.clip(np.asarray(level) - base, 0, CLASSES - 1)


# ---------------------------------------------------------------- static per-block tables
#
# Bit-exact with codec/sequence/token_tables.cpp: 11-bit frequencies from 5-bit half-octave codes, or one of 64
# geometric presets; a table's codes are sent as Exp-Golomb ranks against a prediction.

PROB_BITS = 11
TOTAL = 1 << PROB_BITS
# Weights of the 5-bit table codes: code c > 0 stands for a frequency near 2^((c-1)/2), in 1/16ths.
WEIGHTS = np.array([0] + [round(2.0 ** ((c - 1) / 2) * 16) for c in range(1, 32)], np.int64)


def table_codes(counts: np.ndarray) -> np.ndarray:
    """Each token's frequency as a 5-bit half-octave code, up to the last token used (0: unused):
    round(2 log2(count * 2^11 / total)) + 1, clipped to 1..31."""
    used = np.flatnonzero(counts)
    if used.size == 0:
        return np.zeros(0, np.int64)
    total = int(np.sum(counts))
    offset = 2 * PROB_BITS + 1 - 2 * math.log2(total)
    codes = np.zeros(int(used[-1]) + 1, np.int64)
    for t in used:
        codes[t] = min(max(round(2 * math.log2(int(counts[t])) + offset), 1), 31)
    return codes


def frequencies(codes: np.ndarray) -> np.ndarray:
    """The decoder's frequencies (summing to TOTAL, each used token at least 1), integers only."""
    weight = WEIGHTS[np.asarray(codes, np.int64)]
    if weight.sum() == 0:
        return weight
    freq = np.where(codes > 0, np.maximum(1, weight * TOTAL // weight.sum()), 0)
    freq[int(np.argmax(freq))] += TOTAL - int(freq.sum())
    return np.concatenate([freq, np.zeros(TOKENS - freq.size, np.int64)])


def log2_width(token: int) -> int:
    return 0 if token < DIRECT else (token - DIRECT) // 2 + 3


def rank_order(p: int) -> list[int]:
    """Codes from the likeliest to the least likely given the prediction p: p, unused (0), p-1, p-2,
    p+1, p-3, p-4, p+2, ..., within 1..31."""
    out = [p, 0]
    for step in range(1, 32):
        out += [c for c in (p - (2 * step - 1), p - 2 * step, p + step) if 1 <= c <= 31]
    return out


RANKS = {p: rank_order(p) for p in range(1, 32)}


def predicted_code(previous_code: int, previous_token: int, token: int) -> int:
    return min(max(previous_code + 2 * (log2_width(token) - log2_width(previous_token)), 1), 31)


def exp_golomb1_bits(value: int) -> int:
    return 2 * (value + 2).bit_length() - 2


def code_ranks(codes: np.ndarray) -> tuple[int, list[int]]:
    """The first used token and the rank of each later code against its prediction."""
    first = int(np.flatnonzero(codes)[0])
    previous, ranks = first, []
    for t in range(first + 1, codes.size):
        ranks.append(RANKS[predicted_code(int(codes[previous]), previous, t)].index(int(codes[t])))
        if codes[t]:
            previous = t
    return first, ranks


def table_bits(codes: np.ndarray) -> int:
    """Head bits of a table sent as codes: flag, count, first used token, its code, ranks."""
    if codes.size == 0:
        return 1 + 7
    return 1 + 7 + 7 + 5 + sum(exp_golomb1_bits(k) for k in code_ranks(codes)[1])


def preset_tables(count: int = 64) -> np.ndarray:
    """Token frequencies of geometric laws on the zigzag values, means 2^(k/4) / 4 for k < count:
    a block names one in 6 bits instead of sending a table (short blocks, sparse contexts)."""
    tokens_of = tokens(np.array([DIRECT] + [1 << n for n in range(5, 32)], np.int64))[0]
    size = int(tokens_of.max()) + 2
    edges = np.zeros(size + 1)
    edges[:DIRECT + 1] = np.arange(DIRECT + 1)
    for t in range(DIRECT, size):
        length, half = (t - DIRECT) // 2 + 5, (t - DIRECT) % 2
        edges[t] = 2 ** (length - 1) + half * 2 ** (length - 2)
        edges[t + 1] = 2 ** (length - 1) + (half + 1) * 2 ** (length - 2)
    out = np.zeros((count, size), np.int64)
    for k in range(count):
        theta = 1 - 1 / (1 + 2 ** (k / 4) / 4)
        p = theta ** edges[:-1] - theta ** edges[1:]
        freq = np.maximum(1, np.floor(p / p.sum() * (TOTAL - size)).astype(np.int64))
        freq[int(np.argmax(freq))] += TOTAL - int(freq.sum())
        out[k] = freq
    return out


PRESETS = preset_tables()
PRESET_BITS = 1 + 6
# The C++ coder keeps 11 - log2(f) in float32.
COST = np.concatenate([[64.0], np.float32(PROB_BITS - np.log2(np.arange(1, TOTAL + 1))).astype(np.float64)])
