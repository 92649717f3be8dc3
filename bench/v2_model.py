"""A plain NumPy model of the version-2 coding: grid, quantiser, predictors, tokens, rANS, blocks.

    .venv/bin/python bench/v2_model.py          # round-trips the corpus through real bytes (slow: pure Python rANS)

Imported by bench/entropy_probe.py, which measures each stage against the peers. Every piece is
written the way a C++ coder would do it (integers, fixed shifts, table-driven rANS) so that this file
can serve that coder's tests as an independent model.

Stream model (sizes charged by `block_bytes`, written and read by `encode_block` / `decode_block`):
  header: kind, anchor (float32 bits), step (float64), length, block size
  block:  predictor id (1 byte), predictor parameters, token table per context, rANS words, raw bits
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


def fixed_residuals(q: np.ndarray, order: int) -> np.ndarray:
    r = q.astype(np.int64)
    for _ in range(order):
        r = np.concatenate([r[:1], np.diff(r)])
    return r


def lpc_coefficients(q: np.ndarray, order: int, precision: int = 14) -> tuple[np.ndarray, int]:
    """Levinson-Durbin on the block's autocorrelation; coefficients rounded to `precision` bits
    (then narrowed so each fits 16 signed bits), applied as (sum c_i q[n-i]) >> shift."""
    order = min(order, q.size - 1)
    if order < 1:
        return np.zeros(0, np.int64), 0
    z = q.astype(np.float64) - q.mean()
    ac = np.array([np.dot(z[: z.size - k], z[k:]) for k in range(order + 1)])
    if ac[0] <= 0:
        return np.zeros(order, np.int64), 0
    ac[0] *= 1.0 + 1e-9
    a, err = np.zeros(order), ac[0]
    for i in range(order):
        k = (ac[i + 1] - np.dot(a[:i], ac[i:0:-1])) / err
        a[:i] = a[:i] - k * a[:i][::-1]
        a[i] = k
        err *= 1 - k * k
    shift = precision
    while shift > 0 and np.max(np.abs(np.rint(a * 2**shift))) >= 2**15:
        shift -= 1
    return np.rint(a * 2**shift).astype(np.int64), shift


def lpc_residuals(q: np.ndarray, coefs: np.ndarray, shift: int) -> np.ndarray:
    """Residuals of the integer predictor; the first len(coefs) samples use first differences."""
    q = q.astype(np.int64)
    order = min(coefs.size, q.size)
    prediction = np.zeros(q.size, np.int64)
    for i in range(1, order + 1):
        prediction[order:] += coefs[i - 1] * q[order - i : q.size - i]
    prediction[order:] >>= shift
    r = q - prediction
    r[:order] = fixed_residuals(q[:order], 1)
    return r


def lpc_decode(r: np.ndarray, coefs: np.ndarray, shift: int) -> np.ndarray:
    order = coefs.size
    q = np.empty(r.size, np.int64)
    q[:order] = np.cumsum(r[:order])
    history = [int(v) for v in q[:order]]
    c = [int(v) for v in coefs]
    for n in range(order, r.size):
        value = int(r[n]) + (sum(c[i] * history[-1 - i] for i in range(order)) >> shift)
        history.append(value)
        q[n] = value
    return q


def sign_lms(r: np.ndarray, taps: int = 8, shift: int = 8, step: int = 2, inverse: bool = False) -> np.ndarray:
    """A sign-sign LMS stage over integer residuals (the second stage of a cascade after a first
    difference): predict (w . last taps values) >> shift, then move each weight by step in the
    direction that shrinks the error. Weights start at zero in every block; the decoder runs the
    same recurrence (inverse=True turns the stage's output back into its input)."""
    weights = np.zeros(taps, np.int64)
    history = np.zeros(taps, np.int64)
    out = np.empty(r.size, np.int64)
    for n in range(r.size):
        prediction = int(np.dot(weights, history)) >> shift
        value = int(r[n]) + prediction if inverse else int(r[n])
        error = value - prediction
        out[n] = value if inverse else error
        if error:
            weights += (1 if error > 0 else -1) * np.sign(history) * step
        history[1:] = history[:-1]
        history[0] = value
    return out


def interpolation_levels(n: int) -> list[tuple[int, np.ndarray]]:
    """(stride, indices) level by level, coarsest first: sample 0, then the odd multiples of each
    stride from the largest power of two below n down to 1 (SZ3-style multilevel interpolation)."""
    levels = [(0, np.array([0]))]
    stride = 1 << max(0, (n - 1).bit_length() - 1) if n > 1 else 0
    while stride >= 1:
        levels.append((stride, np.arange(stride, n, 2 * stride)))
        stride //= 2
    return levels


def interpolation_prediction(q: np.ndarray, stride: int, index: np.ndarray) -> np.ndarray:
    """Each point from the coarser points around it: cubic (-1, 9, 9, -1)/16 where four are
    known, the mean of two where two are, the left one at the end. Whole levels at once."""
    if stride == 0:
        return np.zeros(index.size, np.int64)
    n = q.size
    left = q[index - stride]
    has_right = index + stride < n
    right = np.where(has_right, q[np.minimum(index + stride, n - 1)], left)
    cubic_ok = has_right & (index >= 3 * stride) & (index + 3 * stride < n)
    far_left = q[np.maximum(index - 3 * stride, 0)]
    far_right = q[np.minimum(index + 3 * stride, n - 1)]
    cubic = (9 * (left + right) - far_left - far_right + 8) >> 4
    return np.where(cubic_ok, cubic, np.where(has_right, (left + right + 1) >> 1, left))


def interpolation_residuals(q: np.ndarray) -> np.ndarray:
    q = q.astype(np.int64)
    return np.concatenate([q[i] - interpolation_prediction(q, s, i) for s, i in interpolation_levels(q.size)])


def interpolation_decode(r: np.ndarray) -> np.ndarray:
    q = np.zeros(r.size, np.int64)
    start = 0
    for stride, index in interpolation_levels(r.size):
        q[index] = r[start : start + index.size] + interpolation_prediction(q, stride, index)
        start += index.size
    return q


# ---------------------------------------------------------------- tokens and contexts

DIRECT = 16  # zigzag values below this are tokens of their own


def zigzag(r: np.ndarray) -> np.ndarray:
    return np.where(r >= 0, 2 * r, -2 * r - 1).astype(np.int64)


def unzigzag(u: np.ndarray) -> np.ndarray:
    return np.where(u & 1, -((u + 1) >> 1), u >> 1)


def tokens(u: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Token and raw-bit count of each value: small values are tokens; a larger one is coded as its
    bit length and next-highest bit (the token) plus its bits below those (raw)."""
    bits = np.zeros(u.size, np.int64)
    big = u >= DIRECT
    length = np.zeros(u.size, np.int64)
    length[big] = np.floor(np.log2(u[big])).astype(np.int64) + 1
    token = u.copy()
    token[big] = DIRECT + (length[big] - 5) * 2 + ((u[big] >> (length[big] - 2)) & 1)
    bits[big] = length[big] - 2
    return token, bits


def bit_length(v: np.ndarray) -> np.ndarray:
    out = np.zeros(v.size, np.int64)
    nonzero = v > 0
    out[nonzero] = np.floor(np.log2(v[nonzero])).astype(np.int64) + 1
    return out


def context_base(u: np.ndarray, classes: int) -> int:
    """The block's context origin: the bit length of its median value, so that the classes sit
    around the block's typical magnitude whatever the step."""
    return max(0, int(bit_length(np.array([int(np.median(u))]))[0]) - classes // 2 + 1)


def contexts(u: np.ndarray, classes: int, base: int, lag: int = 1) -> np.ndarray:
    """Context class of each value from the two `lag` and 2 * `lag` before it (zeros before the
    block): the bit length of their mean, less the block's base, clipped to the classes. A lag
    equal to the number of interleaved rANS states keeps the states' decode chains independent."""
    if classes <= 1:
        return np.zeros(u.size, np.int64)
    padded = np.concatenate([np.zeros(2 * lag, np.int64), u])
    magnitude = (padded[lag : lag + u.size] + padded[: u.size] + 1) >> 1
    return np.clip(bit_length(magnitude) - base, 0, classes - 1)


# ---------------------------------------------------------------- static per-block models

PROB_BITS = 11
TOTAL = 1 << PROB_BITS
# Weights of the 5-bit table codes: code c > 0 stands for a frequency near 2^((c-1)/2), in 1/16ths.
WEIGHTS = np.array([0] + [round(2.0 ** ((c - 1) / 2) * 16) for c in range(1, 32)], np.int64)


def table_codes(counts: np.ndarray) -> np.ndarray:
    """Each token's frequency as a 5-bit half-octave code, up to the last token used (0: unused)."""
    used = np.flatnonzero(counts)
    if used.size == 0:
        return np.zeros(0, np.int64)
    counts = counts[: used[-1] + 1].astype(np.float64)
    codes = np.zeros(counts.size, np.int64)
    share = counts[counts > 0] * TOTAL / counts.sum()
    codes[counts > 0] = np.clip(np.rint(2 * np.log2(share)) + 1, 1, 31)
    return codes


def frequencies(codes: np.ndarray) -> np.ndarray:
    """The decoder's frequencies (summing to TOTAL, each used token at least 1), integers only."""
    weight = WEIGHTS[codes]
    if weight.sum() == 0:
        return weight
    freq = np.where(codes > 0, np.maximum(1, weight * TOTAL // weight.sum()), 0)
    freq[int(np.argmax(freq))] += TOTAL - int(freq.sum())
    return freq


def table_bits(codes: np.ndarray) -> int:
    return 7 + 5 * codes.size


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


def context_model(mine: np.ndarray) -> tuple[float, int, np.ndarray]:
    """(bits, preset or -1, table codes) of one context: its tokens under its own table with the
    table itself, or under the best preset (1 flag bit either way)."""
    if mine.size == 0:
        return 1.0 + 7, -1, np.zeros(0, np.int64)
    codes = table_codes(np.bincount(mine))
    own = 1 + table_bits(codes) + float(np.sum(PROB_BITS - np.log2(frequencies(codes)[mine])))
    if mine.max() >= PRESETS.shape[1]:
        return own, -1, codes
    costs = np.sum(PROB_BITS - np.log2(PRESETS[:, mine]), axis=1)
    best = int(np.argmin(costs))
    return (own, -1, codes) if own <= PRESET_BITS + costs[best] else (PRESET_BITS + float(costs[best]), best, codes)


def block_bits(token: np.ndarray, raw: np.ndarray, context: np.ndarray, classes: int) -> float:
    """Bits of a block's tokens under its per-context models, the models and the raw bits."""
    return float(raw.sum()) + sum(context_model(token[context == c])[0] for c in range(classes))


# ---------------------------------------------------------------- rANS, interleaved

STATE_LOW = 1 << 16  # 32-bit states, renormalised 16 bits at a time


def rans_encode(symbols: np.ndarray, tables: list[np.ndarray], context: np.ndarray, ways: int) -> list[int]:
    """16-bit words; symbol i goes through state i % ways. Encoded last to first, so the decoder
    reads the words front to back: first the final states, then each renormalisation in turn."""
    starts = [np.concatenate([[0], np.cumsum(f)[:-1]]) for f in tables]
    states = [STATE_LOW] * ways
    words: list[int] = []
    for i in range(symbols.size - 1, -1, -1):
        table, s = int(context[i]), int(symbols[i])
        f, start = int(tables[table][s]), int(starts[table][s])
        x = states[i % ways]
        limit = ((STATE_LOW >> PROB_BITS) << 16) * f
        while x >= limit:
            words.append(x & 0xFFFF)
            x >>= 16
        states[i % ways] = ((x // f) << PROB_BITS) + (x % f) + start
    for x in reversed(states):
        words += [x & 0xFFFF, x >> 16]
    return words[::-1]


def rans_decode(words: list[int], count: int, tables: list[np.ndarray], classes_of, ways: int) -> np.ndarray:
    """classes_of(i, decoded) gives symbol i's table from the symbols before it (the contexts)."""
    starts = [np.concatenate([[0], np.cumsum(f)[:-1]]) for f in tables]
    slots = [np.repeat(np.arange(f.size), f) for f in tables]
    position, states = 0, []
    for _ in range(ways):
        states.append((words[position] << 16) | words[position + 1])
        position += 2
    out = np.zeros(count, np.int64)
    for i in range(count):
        table = classes_of(i, out)
        x = states[i % ways]
        slot = x & (TOTAL - 1)
        s = int(slots[table][slot])
        x = int(tables[table][s]) * (x >> PROB_BITS) + slot - int(starts[table][s])
        while x < STATE_LOW:
            x = (x << 16) | words[position]
            position += 1
        states[i % ways] = x
        out[i] = s
    return out
