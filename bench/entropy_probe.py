"""How small can a strict-bound coding get? Sizes of the version-2 model against the peers' bytes.

    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/peers.py --json /tmp/peers.json
    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/entropy_probe.py --peers /tmp/peers.json [--signals ecg,co2]

Every variant quantises each corpus signal for each target of bench/peers.py (tests/python/reference/v2_model.py:
grid detection, step 2e or a multiple of the data's grid, the RMSE ladder), cuts the codes into
blocks, predicts each block with the best of a set of predictors and charges it the bytes of its
own per-context token tables, the tokens under those tables (what the rANS coder writes, to a few
bytes: see `python tests/python/reference/v2_model.py`), the raw bits, the predictor's parameters and the block's
fixed costs. Ratios are against the better of SZ3 and FixedScaleOffset+pcodec per signal and target.
The variant `emp` is the plain estimate: the block's empirical entropy, nothing charged for models.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import sys
import pathlib

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python" / "reference"))
import v2_model as m  # noqa: E402
from peers import MAX_ERROR_FRACTIONS, RMSE_FRACTIONS, geomean, load_signals  # noqa: E402

# Magic and version (6), mode (1), sample count (3), block size (1), grid origin (4) and step (8),
# code offset and multiple (2), the header's CRC32C (4).
HEADER_BYTES = 29
# Predictor id and context base (1), the block's length in the index (3), its CRC32C (4).
BLOCK_BYTES = 8


# ---------------------------------------------------------------- the research's context model


def context_base(u: np.ndarray, classes: int) -> int:
    """The bit length of the block's median value, less half the classes."""
    return max(0, int(m.bit_length(np.array([int(np.median(u))]))[0]) - classes // 2 + 1)


def contexts(u: np.ndarray, classes: int, base: int, lag: int = 1) -> np.ndarray:
    """Two-value contexts: the bit length of the mean of the values lag and 2 lag before, less
    the base, clipped to the classes (the coder itself uses the one token before, tests/python/reference/v2_model.py)."""
    if classes <= 1:
        return np.zeros(u.size, np.int64)
    padded = np.concatenate([np.zeros(2 * lag, np.int64), u])
    magnitude = (padded[lag : lag + u.size] + padded[: u.size] + 1) >> 1
    return np.clip(m.bit_length(magnitude) - base, 0, classes - 1)


def context_model(mine: np.ndarray) -> tuple[float, int, np.ndarray]:
    """Bits, preset or -1, and codes of one context's tokens, every preset tried."""
    if mine.size == 0:
        return 1.0 + 7, -1, np.zeros(0, np.int64)
    codes = m.table_codes(np.bincount(mine))
    own = m.table_bits(codes) + float(np.sum(m.COST[m.frequencies(codes)[mine]]))
    costs = np.sum(m.COST[m.PRESETS[:, mine]], axis=1)
    best = int(np.argmin(costs))
    return (own, -1, codes) if own <= m.PRESET_BITS + costs[best] else (m.PRESET_BITS + float(costs[best]), best, codes)


def block_bits(token: np.ndarray, raw: np.ndarray, context: np.ndarray, classes: int) -> float:
    """Bits of a block's tokens under its per-context models, the models and the raw bits."""
    return float(raw.sum()) + sum(context_model(token[context == c])[0] for c in range(classes))


@dataclasses.dataclass(frozen=True)
class Variant:
    name: str
    predictors: tuple[str, ...] = ("d1", "d2", "d3", "lpc2", "lpc4", "lpc8", "lpc16", "lpc32", "interp")
    classes: int = 4
    block: int = 4096
    grid: bool = True
    empirical: bool = False
    closed_loop: bool = False  # SZ3-style: interpolate from reconstructed values, quantise the residual
    lag: int = 1  # contexts from the values lag and 2 * lag before
    direct: int = 16  # tokens: values below `direct` are their own; above, bit length and `mantissa` bits
    mantissa: int = 1
    palette: bool = False  # code ranks among the distinct codes when there are few of them
    robust_grid: bool = False  # a grid that most samples sit on; the others are exceptions
    adaptive: bool = False  # adaptive frequencies per context instead of per-block tables
    split: int = 0  # a block may be coded as blocks of this size instead, when that is smaller
    dead_zone: float = 0.0  # closed loop: residuals within (0.5 + dead_zone) steps of zero become zero
    one_neighbour: bool = False  # contexts from the previous value alone


VARIANTS = [
    Variant("emp", predictors=("d1", "d2", "lpc8", "lpc32"), classes=1, grid=False, empirical=True),
    Variant("v2"),
    Variant("no-grid", grid=False),
    Variant("no-ctx", classes=1),
    Variant("ctx6", classes=6),
    Variant("no-interp", predictors=("d1", "d2", "d3", "lpc2", "lpc4", "lpc8", "lpc16", "lpc32")),
    Variant("lpc<=8", predictors=("d1", "d2", "d3", "lpc2", "lpc4", "lpc8", "interp")),
    Variant("fixed+interp", predictors=("d1", "d2", "d3", "interp")),
    Variant("fixed-only", predictors=("d1", "d2", "d3")),
    Variant("block1k", block=1024),
    Variant("block16k", block=16384),
    Variant("block64k", block=65536),
    Variant("closed-interp", predictors=("interp",), closed_loop=True),
    Variant("closed-dz", predictors=("interp",), closed_loop=True, block=16384, dead_zone=0.1),
    Variant("ctx-lag4", lag=4),
    Variant("tok-fine", direct=64, mantissa=2),
    Variant("palette", palette=True),
    Variant("robust-grid", robust_grid=True),
    Variant("adaptive", adaptive=True, block=16384),
    Variant("adaptive-lag4", adaptive=True, block=16384, lag=4),
    Variant("combined", block=16384, palette=True, robust_grid=True),
    Variant("default", predictors=("d1", "d2", "d3", "lpc2", "lpc4", "lpc8", "interp"), block=16384, split=4096,
            palette=True, robust_grid=True),
    Variant("default-ctx1", predictors=("d1", "d2", "d3", "lpc2", "lpc4", "lpc8", "interp"), block=16384,
            split=4096, palette=True, robust_grid=True, one_neighbour=True),
    Variant("best", predictors=("d1", "d2", "d3", "lpc2", "lpc4", "lpc8", "lpc16", "lpc32", "interp", "lms"),
            block=16384, split=4096, palette=True, robust_grid=True),
]
COST_CACHE: dict[tuple, float] = {}


def residuals(q: np.ndarray, predictor: str) -> tuple[np.ndarray, int]:
    """The block's residuals in coding order and the bits of the predictor's parameters."""
    if predictor.startswith("d"):
        return m.fixed_residuals(q, int(predictor[1:])), 0
    if predictor == "interp":
        return m.interpolation_residuals(q), 0
    if predictor == "lms":
        return m.sign_lms(m.fixed_residuals(q, 1)), 0
    coefs, shift = m.lpc_coefficients(q, int(predictor[3:]))
    return m.lpc_residuals(q, coefs, shift), 16 * coefs.size + 4


def empirical_bits(r: np.ndarray) -> float:
    _, counts = np.unique(r, return_counts=True)
    p = counts / r.size
    return float(-np.sum(counts * np.log2(p)))


def residual_bits(r: np.ndarray, variant: Variant) -> float:
    if variant.empirical:
        return empirical_bits(r)
    u = m.zigzag(r)
    classes = variant.classes
    context = contexts(u, classes, context_base(u, classes), variant.lag)
    if variant.one_neighbour:
        length = m.bit_length(np.concatenate([[0], u[:-1]]))
        context = np.clip(length - context_base(u, classes), 0, classes - 1)
    if (variant.direct, variant.mantissa) != (16, 1):
        token, raw = fine_tokens(u, variant.direct, variant.mantissa)
        return float(raw.sum()) + sum(own_table_bits(token[context == c]) for c in range(classes))
    token, raw = m.tokens(u)
    if variant.adaptive:
        return float(raw.sum()) + adaptive_bits(token, context, classes)
    return block_bits(token, raw, context, classes)


def fine_tokens(u: np.ndarray, direct: int, mantissa: int) -> tuple[np.ndarray, np.ndarray]:
    """Like v2_model.tokens with `mantissa` bits below the leading one in the token."""
    low = direct.bit_length() - 1
    length = m.bit_length(u)
    big = u >= direct
    token, raw = u.copy(), np.zeros(u.size, np.int64)
    shift = length[big] - 1 - mantissa
    token[big] = direct + (length[big] - low - 1) * (1 << mantissa) + ((u[big] >> shift) & ((1 << mantissa) - 1))
    raw[big] = shift
    return token, raw


def own_table_bits(mine: np.ndarray) -> float:
    if mine.size == 0:
        return 8.0
    codes = m.table_codes(np.bincount(mine))
    return m.table_bits(codes) + float(np.sum(m.PROB_BITS - np.log2(m.frequencies(codes)[mine])))


def adaptive_bits(token: np.ndarray, context: np.ndarray, classes: int) -> float:
    """Cost under adaptive counts per context (start flat, +32 a symbol, halved past 2^16): a
    one-pass coder with no model to send, which pays for learning instead."""
    size = int(m.PRESETS.shape[1])
    counts = np.ones((classes, size), np.int64)
    totals = np.full(classes, size, np.int64)
    bits = 0.0
    for s, c in zip(token.tolist(), context.tolist()):
        bits -= math.log2(counts[c, s] / totals[c])
        counts[c, s] += 32
        totals[c] += 32
        if totals[c] > 1 << 16:
            counts[c] = (counts[c] + 1) >> 1
            totals[c] = int(counts[c].sum())
    return bits


def block_cost(q: np.ndarray, variant: Variant) -> tuple[float, str]:
    """Bits of the cheapest predictor for this block, and its name (costs shared between variants)."""
    best = (math.inf, "")
    for predictor in variant.predictors:
        coding = (variant.classes, variant.empirical, variant.lag, variant.direct, variant.mantissa, variant.adaptive,
                  variant.one_neighbour)
        key = (hash(q.tobytes()), q.size, predictor, coding)
        if key not in COST_CACHE:
            r, parameter_bits = residuals(q, predictor)
            COST_CACHE[key] = residual_bits(r, variant) + parameter_bits
        best = min(best, (COST_CACHE[key], predictor))
    return best


def closed_loop_codes(x: np.ndarray, bound: float, dead_zone: float = 0.0) -> tuple[np.ndarray, np.ndarray]:
    """Reconstruction and residual codes of multilevel interpolation from reconstructed values with
    the residuals quantised to 2 * bound (|error| <= bound unless a dead zone widens zero), in
    coding order."""
    recon = np.zeros(x.size)
    codes = []
    for stride, index in m.interpolation_levels(x.size):
        prediction = float_interpolation(recon, stride, index)
        scaled = (x[index] - prediction) / (2 * bound)
        k = np.sign(scaled) * np.floor(np.abs(scaled) + 0.5 - dead_zone)
        recon[index] = prediction + 2 * bound * k
        codes.append(k.astype(np.int64))
    return recon.astype(np.float32), np.concatenate(codes)


def float_interpolation(y: np.ndarray, stride: int, index: np.ndarray) -> np.ndarray:
    if stride == 0:
        return np.zeros(index.size)
    n = y.size
    left = y[index - stride]
    has_right = index + stride < n
    right = np.where(has_right, y[np.minimum(index + stride, n - 1)], left)
    cubic_ok = has_right & (index >= 3 * stride) & (index + 3 * stride < n)
    cubic = (9 * (left + right) - y[np.maximum(index - 3 * stride, 0)] - y[np.minimum(index + 3 * stride, n - 1)]) / 16
    return np.where(cubic_ok, cubic, np.where(has_right, (left + right) / 2, left))


def closed_loop_bytes(x: np.ndarray, kind: str, target: float, variant: Variant) -> int:
    """Per block; for an RMSE the largest bound (bisection) whose output meets it."""

    dead_zone = variant.dead_zone if kind == "rmse" else 0.0  # a strict bound has no dead zone

    def size_and_error(bound: float) -> tuple[int, float]:
        total, error = HEADER_BYTES, []
        for start in range(0, x.size, variant.block):
            block = x[start : start + variant.block].astype(np.float64)
            recon, k = closed_loop_codes(block, bound, dead_zone)
            error.append(recon.astype(np.float64) - block)
            ways = 4 if block.size >= 2048 else 1
            total += math.ceil(residual_bits(k, variant) / 8) + BLOCK_BYTES + 4 * ways
        e = np.concatenate(error)
        return total, float(np.max(np.abs(e)) if kind == "max_error" else math.sqrt(np.mean(e * e)))

    if kind == "max_error":
        return size_and_error(target * (1 - 1e-6))[0]
    lo, hi, best = math.log(target), math.log(8 * target), None
    for _ in range(10):
        middle = (lo + hi) / 2
        size, error = size_and_error(math.exp(middle))
        if error <= target:
            lo, best = middle, size if best is None else min(best, size)
        else:
            hi = middle
    return best if best is not None else size_and_error(target)[0]


def quantise(x: np.ndarray, kind: str, target: float, variant: Variant) -> tuple[np.ndarray, int]:
    """Codes and the bits of what the grid leaves out (exceptions at 40 bits each)."""
    quantiser = m.quantise_max_error if kind == "max_error" else m.quantise_rmse
    q = quantiser(x, target, detect=variant.grid)[1]
    found = robust_grid(x) if variant.robust_grid and m.detect_grid(x) is None else None
    if found is None:
        return q, 0
    grid, exact = found
    if kind == "rmse":
        codes = grid.codes(x)
        error = grid.samples(codes).astype(np.float64) - x
        coarser = np.ptp(q) < np.ptp(codes)
        return (q, 0) if coarser or math.sqrt(np.mean(error * error)) > target else (codes, 0)
    multiple = 2 * int(math.floor(target / grid.step + 1e-9)) + 1
    if multiple * grid.step < 2 * target:
        return q, 0  # step 2e is coarser
    grid = dataclasses.replace(grid, multiple=multiple)
    codes = grid.codes(x)
    if np.max(np.abs(grid.samples(codes).astype(np.float64) - x)) <= target:
        return codes, 0
    return (codes, 40 * int(np.sum(~exact))) if multiple == 1 else (q, 0)


def robust_grid(x: np.ndarray) -> tuple[m.Grid, np.ndarray] | None:
    """The grid of the samples that sit on the commonest spacing of the distinct values, when
    they are at least 95 % of the signal; with the mask of the samples it reproduces."""
    values = np.unique(x.astype(np.float64))
    if values.size < 3:
        return None
    gaps = np.diff(values)
    digits = 2 - np.floor(np.log10(gaps)).astype(int)  # three significant digits: float32 noise goes
    spacing, counts = np.unique([round(g, int(d)) for g, d in zip(gaps, digits)], return_counts=True)
    step = float(spacing[np.argmax(counts)])
    if step <= 0:
        return None
    near = np.abs(x / step - np.rint(x / step)) < 1e-3
    if near.mean() < 0.95:
        return None
    found = m.detect_grid(x[near])
    if found is None:
        return None
    grid = m.Grid(found[0], found[1], int(np.rint((float(x[near].min()) - found[0]) / found[1])))
    grid = dataclasses.replace(grid, offset=int(np.rint((float(x.min()) - found[0]) / found[1])))
    return grid, grid.samples(grid.codes(x)) == x


def palette_bits(q: np.ndarray, variant: Variant) -> tuple[np.ndarray, float]:
    """Ranks among the distinct codes, and the bits of the sorted distinct codes (their gaps)."""
    distinct = np.unique(q)
    gaps = np.diff(distinct)
    plain = dataclasses.replace(variant, classes=1, adaptive=False)
    return np.searchsorted(distinct, q), 32 + (residual_bits(gaps - 1, plain) if gaps.size else 0.0)


def coded_bytes(x: np.ndarray, kind: str, target: float, variant: Variant, tally: dict) -> int:
    if variant.closed_loop:
        return closed_loop_bytes(x, kind, target, variant)
    q, extra_bits = quantise(x, kind, target, variant)
    plain = blocks_bytes(q, variant, tally)
    if variant.palette and np.unique(q).size <= q.size // 4:
        ranks, bits = palette_bits(q, variant)
        plain = min(plain, blocks_bytes(ranks, variant, tally) + math.ceil(bits / 8))
    return plain + math.ceil(extra_bits / 8)


def blocks_bytes(q: np.ndarray, variant: Variant, tally: dict) -> int:
    total = HEADER_BYTES
    for start in range(0, q.size, variant.block):
        whole = one_block_bytes(q[start : start + variant.block], variant, tally)
        if variant.split:
            size = variant.split
            parts = [q[s : s + size] for s in range(start, min(start + variant.block, q.size), size)]
            whole = min(whole, sum(one_block_bytes(part, variant, {}) for part in parts))
        total += whole
    return total


def one_block_bytes(q: np.ndarray, variant: Variant, tally: dict) -> int:
    bits, predictor = block_cost(q, variant)
    tally[predictor] = tally.get(predictor, 0) + 1
    ways = 4 if q.size >= 2048 else 1
    return math.ceil(bits / 8) + (0 if variant.empirical else BLOCK_BYTES + 4 * ways)


def lossless(signals: dict[str, np.ndarray]) -> None:
    """Bit-exact coding (max_error=0) of every signal against pcodec and xz on its float32 bytes,
    and of the speech WAV and the EEG EDF against flac -8 and xz -9 of the files."""
    import lzma

    from numcodecs import PCodec
    from peers import DATA, external_size

    chosen = [v for v in VARIANTS if v.name in ("default", "best")]
    print("\n## bit-exact lossless: bytes")
    print(f"{'signal':<10}{'grid':>12}" + "".join(f"{v.name:>9}" for v in chosen) + f"{'pcodec':>9}{'xz -9':>9}")
    for name, x in signals.items():
        found = m.detect_grid(x)
        q = m.Grid(found[0], found[1]).codes(x) if found is not None else m.float_ordinals(x)
        sizes = []
        for variant in chosen:
            size = blocks_bytes(q, variant, {})
            if np.unique(q).size <= q.size // 4:
                ranks, bits = palette_bits(q, variant)
                size = min(size, blocks_bytes(ranks, variant, {}) + math.ceil(bits / 8))
            sizes.append(size)
        pco = len(PCodec(level=8).encode(x))
        xz = len(lzma.compress(x.tobytes(), preset=9))
        grid = f"{found[1]:.4g}" if found else "float bits"
        print(f"{name:<10}{grid:>12}" + "".join(f"{s:>9}" for s in sizes) + f"{pco:>9}{xz:>9}")
    wav, edf = DATA / "speech_alsa_front_center.wav", DATA / "eeg_fp1_128hz.edf"
    print(f"files: {wav.name} flac -8 {external_size(['flac', '-8', '--silent', '-c'], wav)}, "
          f"xz -9 {external_size(['xz', '-9', '-c', '-k'], wav)}; "
          f"{edf.name} xz -9 {external_size(['xz', '-9', '-c', '-k'], edf)} (the containers add ~20 bytes each)")


def peer_bytes(path: str) -> dict[tuple[str, str, float], int]:
    rows = json.loads(pathlib.Path(path).read_text())
    return {(r["signal"], r["kind"], r["fraction"]): r["bytes"] for r in rows if r["peer"] == "best-peer"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--peers", required=True, help="JSON written by bench/peers.py --json")
    parser.add_argument("--signals", help="comma-separated subset")
    parser.add_argument("--variants", help="comma-separated subset of " + ",".join(v.name for v in VARIANTS))
    parser.add_argument("--lossless", action="store_true", help="bit-exact coding against pcodec and xz instead")
    options = parser.parse_args()
    if options.lossless:
        lossless(load_signals(options.signals and options.signals.split(",")))
        return
    peers = peer_bytes(options.peers)
    chosen = [v for v in VARIANTS if not options.variants or v.name in options.variants.split(",")]
    signals = load_signals(options.signals and options.signals.split(","))
    targets = [("max_error", f) for f in MAX_ERROR_FRACTIONS] + [("rmse", f) for f in RMSE_FRACTIONS]
    gains: dict[tuple[str, str, str], list[float]] = {}
    tallies: dict[str, dict] = {v.name: {} for v in chosen}
    print(f"{'signal':<10}{'target':<14}{'peer B':>8}" + "".join(f"{v.name:>13}" for v in chosen))
    for name, x in signals.items():
        span = float(x.max()) - float(x.min())
        for kind, fraction in targets:
            peer = peers[(name, kind, fraction)]
            sizes = [coded_bytes(x, kind, fraction * span, v, tallies[v.name]) for v in chosen]
            for v, size in zip(chosen, sizes):
                gains.setdefault((v.name, kind, name), []).append(peer / size)
            by_name = dict(zip((v.name for v in chosen), sizes))
            for a in ("v2", "block16k", "default", "best"):
                for closed in ("closed-interp", "closed-dz"):
                    if a in by_name and closed in by_name:
                        label = a + "|" + closed[7:]
                        gains.setdefault((label, kind, name), []).append(peer / min(by_name[a], by_name[closed]))
            label = f"{'maxerr' if kind == 'max_error' else 'rmse'} {fraction:g}"
            print(f"{name:<10}{label:<14}{peer:>8}" + "".join(f"{peer / s:>13.3f}" for s in sizes), flush=True)
    for kind in ("max_error", "rmse"):
        print(f"\n## {kind}: size of the better peer / size of the variant (geomean over targets)")
        print(f"{'variant':<14}" + "".join(f"{s:>10}" for s in signals) + f"{'all':>10}{'worst':>10}")
        for label in dict.fromkeys(key[0] for key in gains):
            per = [geomean(gains[(label, kind, s)]) for s in signals]
            every = geomean([g for s in signals for g in gains[(label, kind, s)]])
            print(f"{label:<14}" + "".join(f"{g:>10.3f}" for g in per) + f"{every:>10.3f}{min(per):>10.3f}")
    print("\n## blocks won by each predictor")
    for v in chosen:
        print(f"{v.name:<14}" + ", ".join(f"{p} {n}" for p, n in sorted(tallies[v.name].items(), key=lambda t: -t[1])))


if __name__ == "__main__":
    main()
