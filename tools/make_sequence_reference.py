#!/usr/bin/env python3
"""Writes tests/data/sequence_reference.bin: blocks of the sequence coder made by its Python model.

tests/python/reference/v2_block.py codes each block the way codec/sequence/block_encoder.cpp does, from the model of
tests/python/reference/v2_model.py, so the C++ decoder must give back every block's codes exactly, and the C++
encoder should make the same bytes (tests/cpp/sequence_reference_test.cpp).

Cases (NumPy seed 20261208): random walks, smooth waves, a daily cycle, noise of every magnitude, constant runs,
spikes and int32 extremes (residuals wrap), at lengths around the segment, lane and block limits and
each effort; and two blocks of real codes: the ECG and the speech of tests/data at max error 1e-3 x
range (tests/python/reference/v2_model.py's quantiser); and the speech on a 16-bit grid as a lossless
caller codes it (the default effort with the wider candidate set and the cascade).

File format, little-endian, one record per case until the end of the file:
  u32 n, u8 effort (0 fast, 1 default, 2 best, 3 default for a lossless caller), u32 block bytes b, n x i32 codes, b bytes of block.

Run from the repository root: python3 tools/make_sequence_reference.py   (a few minutes)
"""
import struct
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python" / "reference"))
import v2_block  # noqa: E402
import v2_model  # noqa: E402

SEED = 20261208
OUT = ROOT / "tests" / "data" / "sequence_reference.bin"


def synthetic(rng: np.random.Generator, kind: str, n: int) -> np.ndarray:
    t = np.arange(n)
    if kind == "walk":
        return np.cumsum(rng.integers(-40, 41, n))
    if kind == "wave":
        return np.round(3000 * np.sin(t / 37.0) + 800 * np.sin(t / 5.3) + rng.normal(0, 2, n)).astype(np.int64)
    if kind == "noise":
        return rng.integers(-(2**20), 2**20, n)
    if kind == "constant":
        return np.full(n, -123456, np.int64)
    if kind == "spikes":
        q = rng.integers(-3, 4, n)
        q[rng.integers(0, n, max(1, n // 50))] = rng.integers(-(2**30), 2**30, max(1, n // 50))
        return q
    if kind == "cycle":  # a day of 48 half-hours repeated, drifting, under noise
        day = rng.integers(-800, 801, 48)
        return 5000 + day[t % 48] + np.cumsum(rng.integers(-3, 4, n)) + rng.integers(-20, 21, n)
    if kind == "extremes":
        return rng.choice(np.array([-(2**31), 2**31 - 1, 0, -1, 1], np.int64), n)
    raise ValueError(kind)


def cases(rng: np.random.Generator):
    plan = [
        ("walk", 1, 1), ("walk", 2, 0), ("walk", 7, 2), ("wave", 100, 1), ("spikes", 1000, 0),
        ("noise", 1023, 1), ("walk", 1024, 1), ("extremes", 2500, 0), ("wave", 4095, 2), ("walk", 4096, 1),
        ("constant", 4097, 1), ("noise", 6000, 0), ("spikes", 9000, 1), ("wave", 16384, 1), ("extremes", 300, 2),
        ("cycle", 12000, 1),
    ]
    for kind, n, effort in plan:
        yield synthetic(rng, kind, n), effort
    for name in ("ecg_mitbih208_360hz.npy", "speech_alsa_front_center_48k.npy"):
        x = np.load(ROOT / "tests" / "data" / name).astype(np.float32)
        q = v2_model.quantise_max_error(x, 1e-3 * (float(x.max()) - float(x.min())))[1]
        yield q[:16384], 1
    speech = np.load(ROOT / "tests" / "data" / "speech_alsa_front_center_48k.npy").astype(np.float64)
    yield np.round(speech[:16384] / np.abs(speech).max() * 32767).astype(np.int64), 3


def main() -> None:
    rng = np.random.default_rng(SEED)
    out = bytearray()
    for codes, effort in cases(rng):
        codes = v2_model.wrap(np.asarray(codes, np.int64))
        lossless = effort == 3
        block = v2_block.encode_block(codes, "default" if lossless else v2_block.EFFORTS[effort], wide=lossless)
        assert np.array_equal(v2_block.decode_block(block, codes.size), codes)
        out += struct.pack("<IBI", codes.size, effort, len(block))
        out += codes.astype("<i4").tobytes() + block
        print(f"n {codes.size:>6} effort {effort}: {len(block)} bytes", flush=True)
    OUT.write_bytes(bytes(out))


if __name__ == "__main__":
    main()
