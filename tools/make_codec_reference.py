#!/usr/bin/env python3
"""Writes the encoder's reference data to tests/data/.

codec_cdf53_reference.bin: inputs and the coefficient streams the encoder must
produce for them with the cdf53 method, bit for bit.

The encoder is transcribed here in NumPy float32, one rounding per operation
as the C++ code does it (sanitise, normalise with a sequential sum, periodic
padding, the level plan, CDF 5/3 lifting with whole-sample symmetric borders,
the quantiser's clamp and truncation, the dead-zone). The CDF 5/3 weights are
powers of two, so every product is exact and the stream is predictable bit for
bit on any platform.

File format, little-endian, one record per case until the end of the file:
  u32 sample count n, u8 scale, u8 cutoff (0 low, 1 medium, 2 high),
  u8 levels, u8 zero, f32 minimum, f32 maximum, f32 mean,
  u32 coefficient count m, n x f32 input samples, m x i16 coefficients.

codec_wavelets_reference.bin: for cdf97, db4 and sym4, whose weights are not
powers of two, the same float32 normalisation followed by the transform in
float64 (CDF 9/7 lifting with the float32 lifting constants; the periodic
8-tap filter bank with PyWavelets' db4 and sym4 rows rounded to float32). It
stores each coefficient times 2^scale, before clamp and truncation, so that
the test can allow for the float32 transform's rounding. Records:
  u32 n, u8 method (1 cdf97, 2 db4, 3 sym4), u8 scale, u8 cutoff, u8 levels,
  u32 coefficient count m, n x f32 input samples, m x f32 scaled coefficients.

Run from the repository root: python3 tools/make_codec_reference.py
"""
import struct
from pathlib import Path

import numpy as np

f32 = np.float32
SEED = 20261208
DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
OUT = DATA / "codec_cdf53_reference.bin"
OUT_WAVELETS = DATA / "codec_wavelets_reference.bin"
BASE_THRESHOLD = {6: 0, 7: 0, 8: 1, 9: 1, 10: 2, 11: 2, 12: 3}


def sanitise_normalise(x):
    x = x.astype(f32).copy()
    x[np.isnan(x)] = f32(0)
    x[x == np.inf] = f32(1)
    x[x == -np.inf] = f32(0)
    lo, hi = f32(np.min(x)), f32(np.max(x))
    rng = f32(hi - lo)
    if not rng > f32(1e-5):
        return np.zeros_like(x), lo, hi, f32(0)
    inv = f32(f32(1) / rng)
    x = (x - lo) * inv
    total = f32(0)
    for v in x:  # sequential float32 sum, as the encoder does it
        total = f32(total + v)
    mean = f32(total / f32(len(x)))
    return x - mean, lo, hi, mean


def cdf53_forward(x):
    n = len(x)
    assert n >= 3
    even, odd = x[0::2], x[1::2]
    d = len(odd)
    right = np.append(even[1:], even[-1]) if n % 2 == 0 else even[1:]  # x[n] -> x[n-2]
    details = odd + f32(-0.5) * (even[:d] + right[:d])
    left = np.concatenate(([details[0]], details))
    right = details if n % 2 == 0 else np.append(details, details[-1])
    approx = even + f32(0.25) * (left[: len(even)] + right[: len(even)])
    return approx.astype(f32), details.astype(f32)


def f32_const(bits):
    return float(np.frombuffer(struct.pack("<I", bits), dtype="<f4")[0])


# CDF 9/7 lifting constants, the float32 values the library uses.
ALPHA, BETA, GAMMA, DELTA = (f32_const(b) for b in (0xBFCB0673, 0xBD5901AE, 0x3F620676, 0x3EE31355))
K, K_PRIME = f32_const(0x3F93263D), f32_const(0x3F5EAF70)


def lift_predict(even, odd, w):
    """odd[i] += w (even[i] + even[i+1]), the missing right neighbour mirrored."""
    right = np.append(even[1:], even[-1])[: len(odd)]
    return odd + w * (even[: len(odd)] + right)


def lift_update(even, odd, w):
    """even[i] += w (odd[i-1] + odd[i]), both missing neighbours mirrored."""
    left = np.concatenate(([odd[0]], odd))[: len(even)]
    right = np.append(odd, odd[-1])[: len(even)]
    return even + w * (left + right)


def cdf97_forward(x):
    assert len(x) >= 4
    even, odd = x[0::2].astype(np.float64), x[1::2].astype(np.float64)
    odd = lift_predict(even, odd, ALPHA)
    even = lift_update(even, odd, BETA)
    odd = lift_predict(even, odd, GAMMA)
    even = lift_update(even, odd, DELTA)
    return even * K, odd * K_PRIME


def filter_bank_forward(low):
    """One level of the 8-tap filter bank with periodic extension: output i is
    sum_j h[j] x[(2i - 6 + j) mod n], g[j] = (-1)^j h[7 - j]."""
    low = np.asarray(low, dtype=np.float32).astype(np.float64)
    high = np.array([(-1) ** j * low[7 - j] for j in range(8)])

    def forward(x):
        n = len(x)
        out = (n + 7) // 2
        idx = (2 * np.arange(out)[:, None] - 6 + np.arange(8)[None, :]) % n
        window = np.asarray(x, dtype=np.float64)[idx]
        return window @ low, window @ high

    return forward


def compute_max_levels(length, filter_length):
    if length < filter_length:
        return 1
    q = length // filter_length
    return min(max(q.bit_length() - 1, 1), 8)


def plan_levels(n, filter_length):
    for limit, levels in ((20, 1), (40, 2), (60, 3), (80, 4)):
        if n < limit:
            return levels
    return compute_max_levels(n, filter_length)


def quantise(band, scale):
    t = band * f32(1 << scale)
    t = np.maximum(np.minimum(t, f32(32767)), f32(-32768))
    return np.trunc(t).astype(np.int16)


def encode(x, scale, cutoff):
    work, lo, hi, mean = sanitise_normalise(x)
    n = len(work)
    if n < 6:
        work = work[np.arange(6) % n]
    levels = plan_levels(n, 6)
    approx, detail_bands = work, []
    for _ in range(levels):
        approx, details = cdf53_forward(approx)
        detail_bands.append(details)
    threshold = BASE_THRESHOLD[scale] * (1, 3, 7)[cutoff]
    stream = [quantise(approx, scale)]
    for details in detail_bands:
        q = quantise(details, scale)
        q[np.abs(q.astype(np.int32)) < threshold] = 0
        stream.append(q)
    return levels, lo, hi, mean, np.concatenate(stream)


def wavelet_reference(x, method, scale):
    """Levels and the coefficients times 2^scale, in stream order, in float64."""
    import pywt

    forward, filter_length = {
        1: (cdf97_forward, 10),
        2: (filter_bank_forward(pywt.Wavelet("db4").rec_lo), 8),
        3: (filter_bank_forward(pywt.Wavelet("sym4").rec_lo), 8),
    }[method]
    work = sanitise_normalise(x)[0]
    n = len(work)
    if n < filter_length:
        work = work[np.arange(filter_length) % n]
    levels = plan_levels(n, filter_length)
    approx, detail_bands = work, []
    for _ in range(levels):
        approx, details = forward(approx)
        detail_bands.append(details)
    return levels, np.concatenate([approx] + detail_bands) * float(1 << scale)


def signal(rng, n, kind):
    t = np.arange(n, dtype=np.float64)
    if kind == "smooth":
        x = 2.5 * np.sin(t / 9.0) + 0.7 * np.cos(t / 2.3) + 0.1 * rng.standard_normal(n) - 40.0
    elif kind == "walk":
        x = np.cumsum(rng.standard_normal(n)) * 3.0
    elif kind == "spiky":
        x = rng.standard_normal(n) * 0.01
        x[rng.integers(0, n, max(1, n // 40))] += rng.uniform(-50, 50, max(1, n // 40))
    else:  # "nonfinite": a walk with NaN and infinities scattered in
        x = np.cumsum(rng.standard_normal(n)) * 0.2
        for value in (np.nan, np.inf, -np.inf):
            x[rng.integers(0, n, max(1, n // 50))] = value
    return x.astype(f32)


CASES = [  # (n, kind, scale, cutoff)
    (1, "smooth", 11, 0),
    (5, "walk", 12, 2),
    (7, "spiky", 6, 1),
    (37, "smooth", 9, 1),
    (100, "walk", 11, 0),
    (333, "nonfinite", 10, 2),
    (1000, "spiky", 8, 1),
    (1536, "smooth", 12, 0),
    (4099, "walk", 7, 2),
    (2000, "nonfinite", 12, 1),
]


WAVELET_CASES = [  # (n, kind, method, scale, cutoff)
    (3, "walk", 1, 12, 0),
    (100, "smooth", 1, 11, 1),
    (2600, "spiky", 1, 9, 2),
    (5, "smooth", 2, 10, 0),
    (100, "walk", 2, 12, 2),
    (2048, "nonfinite", 2, 8, 1),
    (61, "spiky", 3, 11, 0),
    (1000, "smooth", 3, 12, 1),
    (2100, "walk", 3, 6, 2),
]


def main():
    rng = np.random.default_rng(SEED)
    with open(OUT, "wb") as out:
        for n, kind, scale, cutoff in CASES:
            x = signal(rng, n, kind)
            levels, lo, hi, mean, stream = encode(x, scale, cutoff)
            out.write(struct.pack("<IBBBBfffI", n, scale, cutoff, levels, 0, lo, hi, mean, len(stream)))
            out.write(x.astype("<f4").tobytes())
            out.write(stream.astype("<i2").tobytes())
    print(f"wrote {OUT} ({OUT.stat().st_size} bytes, {len(CASES)} cases)")
    with open(OUT_WAVELETS, "wb") as out:
        for n, kind, method, scale, cutoff in WAVELET_CASES:
            x = signal(rng, n, kind)
            levels, scaled = wavelet_reference(x, method, scale)
            out.write(struct.pack("<IBBBBI", n, method, scale, cutoff, levels, len(scaled)))
            out.write(x.astype("<f4").tobytes())
            out.write(scaled.astype("<f4").tobytes())
    print(f"wrote {OUT_WAVELETS} ({OUT_WAVELETS.stat().st_size} bytes, {len(WAVELET_CASES)} cases)")


if __name__ == "__main__":
    main()
