#!/usr/bin/env python3
"""Writes tests/data/pywt_filter_bank.bin, PyWavelets' single-level forward and
inverse transforms for the filter-bank executors to be checked against.

Run from the repository root:  python3 tools/make_pywt_reference.py
Needs NumPy and PyWavelets (pip install numpy PyWavelets). The seed is pinned, so
a rerun with the same PyWavelets release writes the same bytes.

How PyWavelets' indices line up with rimble's
---------------------------------------------
rimble's forward output i of a filter with L taps (low-pass h, high-pass
g[k] = (-1)^k h[L-1-k]) is

    approx[i] = sum_k h[k] x[2i + k - (L-2)],   details[i] = sum_k g[k] x[2i + k - (L-2)],

for i = 0 .. floor((n+L-1)/2) - 1, with x extended by the border mode. PyWavelets
convolves with dec_lo and keeps the odd positions: cA[i] = sum_j dec_lo[j] x[2i+1-j].
With dec_lo[j] = h[L-1-j] (dec_lo is rimble's low-pass row reversed) and k = L-1-j
that is the same sum, and PyWavelets also returns floor((n+L-1)/2) outputs, so
output i is output i: no shift, no trimming. Likewise dec_hi is g reversed, and
PyWavelets' rec_lo and rec_hi are h and g as rimble stores them.

The inverse adds low[k] a[j] + high[k] d[j] into output t = 2j + k - (L-2) for
0 <= t < 2m - L + 2; pywt.idwt returns exactly those 2m - L + 2 samples, again
index for index. PyWavelets' mode names map to rimble's border modes as
    zero -> Zeros, constant -> Clamp, periodic -> Periodic,
    symmetric -> Symmetric (x[-1] = x[0]), reflect -> Reflect (x[-1] = x[1]).
Both alignments are asserted below against a direct transcription of the sums.

The filters are the float32 roundings of PyWavelets' rec_lo rows, handed to
PyWavelets as a custom float64 filter bank, and the signals are float32 values:
the references are then exact float64 results for the very numbers the C++
executors see, and only the executors' own float32 rounding is left to compare.

File layout (little-endian):
    b"QPWR", u32 version (1), u32 case count, then per case
    u32 border-mode code, u32 taps L, u32 signal length n,
    L x f32 low-pass taps, n x f32 signal,
    m x f64 approximations, m x f64 details        (m = floor((n+L-1)/2)),
    (2m - L + 2) x f64 inverse of the two bands rounded to float32.
"""

import pathlib
import struct

import numpy as np
import pywt

SEED = 20261208
OUT = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "pywt_filter_bank.bin"

# Every fixed length of the library (2 ... 16), the codec's sym4, and longer
# rows for the generic executor (14, 20, 24 taps).
FILTERS = ["db1", "db2", "db3", "db4", "sym4", "db5", "db6", "sym7", "db8", "sym10", "db12"]
MODES = {"clamp": ("constant", 0), "periodic": ("periodic", 1), "symmetric": ("symmetric", 2),
         "reflect": ("reflect", 3), "zeros": ("zero", 4)}


def high_pass(low):
    return np.array([(-1) ** k * low[len(low) - 1 - k] for k in range(len(low))])


def extended(x, mode, i):
    """rimble's border rule at one index (only one mirrored copy is ever needed here)."""
    n = len(x)
    if 0 <= i < n:
        return x[i]
    if mode == "zeros":
        return 0.0
    if mode == "clamp":
        return x[min(max(i, 0), n - 1)]
    if mode == "periodic":
        return x[i % n]
    if mode == "symmetric":
        return x[n - 1 - i % n]
    return x[(n - 1) - i % (n - 1)]  # reflect, n > 1


def transcribed_forward(x, low, mode):
    taps, high = len(low), high_pass(low)
    m = (len(x) + taps - 1) // 2
    windows = np.array([[extended(x, mode, 2 * i + k - (taps - 2)) for k in range(taps)] for i in range(m)])
    return windows @ low, windows @ high


def transcribed_inverse(a, d, low):
    taps, high = len(low), high_pass(low)
    out = np.zeros(2 * len(a) - taps + 2)
    for j in range(len(a)):
        for k in range(taps):
            t = 2 * j + k - (taps - 2)
            if 0 <= t < len(out):
                out[t] += low[k] * a[j] + high[k] * d[j]
    return out


def main():
    rng = np.random.default_rng(SEED)
    cases = []
    for name in FILTERS:
        low = np.asarray(pywt.Wavelet(name).rec_lo, dtype=np.float32).astype(np.float64)
        high = high_pass(low)
        bank = pywt.Wavelet(f"{name}_f32", filter_bank=[low[::-1], high[::-1], low, high])
        taps = len(low)
        for mode, (pywt_mode, code) in MODES.items():
            for n in sorted({taps, taps + 1, 2 * taps + 3, 64, 97}):
                x = rng.standard_normal(n).astype(np.float32)
                approx, details = pywt.dwt(x.astype(np.float64), bank, mode=pywt_mode)
                want_a, want_d = transcribed_forward(x.astype(np.float64), low, mode)
                assert np.allclose(approx, want_a, rtol=0, atol=1e-12), (name, mode, n)
                assert np.allclose(details, want_d, rtol=0, atol=1e-12), (name, mode, n)
                a32 = approx.astype(np.float32).astype(np.float64)
                d32 = details.astype(np.float32).astype(np.float64)
                rebuilt = pywt.idwt(a32, d32, bank, mode=pywt_mode)
                assert np.allclose(rebuilt, transcribed_inverse(a32, d32, low), rtol=0, atol=1e-12)
                cases.append((code, low.astype(np.float32), x, approx, details, rebuilt))

    blob = bytearray(b"QPWR" + struct.pack("<II", 1, len(cases)))
    for code, low, x, approx, details, rebuilt in cases:
        blob += struct.pack("<III", code, len(low), len(x))
        for array, dtype in ((low, "<f4"), (x, "<f4"), (approx, "<f8"), (details, "<f8"), (rebuilt, "<f8")):
            blob += np.asarray(array, dtype=dtype).tobytes()
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_bytes(bytes(blob))
    print(f"wrote {OUT} ({len(blob)} bytes, {len(cases)} cases, PyWavelets {pywt.__version__})")


if __name__ == "__main__":
    main()
