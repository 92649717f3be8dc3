#!/usr/bin/env python3
"""Encode time of quorvel_tools.encode at each effort against quorvel.compress_signal's default.

    pip install . && OPENBLAS_NUM_THREADS=1 python3 bench/aim_encode_speed.py     # about a minute
    OPENBLAS_NUM_THREADS=1 python3 bench/aim_encode_speed.py --signal sine --samples 200000

Signal: the MIT-BIH ECG tiled to 10^6 samples, each tile rotated by an odd number of samples (so
DEFLATE cannot match whole tiles); or a slow sine, a chirp or white noise, on which DEFLATE is
nearly free and the aimed encoder's fixed costs (the search, the final decode that checks the
container) show most. The target is the max error that compress_signal's default
(cdf97, scale 11, cutoff low) reaches on this signal, so both sides deliver the same worst case.
Times are wall time as a caller waits, one call at a time; every round calls each case once in
turn (interleaved, so all meet the same machine load) and the table gives medians over the rounds,
with the time relative to compress_signal measured in the same round.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import quorvel
import quorvel_tools
from end_to_end import ecg_tiled


def synthetic(kind: str, n: int) -> np.ndarray:
    t = np.arange(n, dtype=np.float64) / 1000.0
    if kind == "sine":
        return np.sin(2 * np.pi * 0.5 * t).astype(np.float32)
    if kind == "chirp":
        return np.sin(2 * np.pi * (1.0 + 0.05 * t) * t).astype(np.float32)
    return np.random.default_rng(1).standard_normal(n).astype(np.float32)


def wall_seconds(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--signal", choices=("ecg", "sine", "chirp", "noise"), default="ecg")
    args = parser.parse_args()

    x = ecg_tiled(args.samples) if args.signal == "ecg" else synthetic(args.signal, args.samples)
    reference = quorvel.compress_signal(x)
    target = float(np.max(np.abs(x.astype(np.float64) - quorvel.decompress_signal(reference))))
    cases = {"compress_signal default": lambda: quorvel.compress_signal(x)}
    for effort in ("fast", "default", "best"):
        cases[f"encode effort={effort}"] = lambda effort=effort: quorvel_tools.encode(x, max_error=target,
                                                                                     effort=effort)

    sizes = {name: len(call()) for name, call in cases.items()}  # also warms up
    times: dict[str, list[float]] = {name: [] for name in cases}
    relative: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(args.rounds):
        round_times = {name: wall_seconds(call) for name, call in cases.items()}
        for name, seconds in round_times.items():
            times[name].append(seconds)
            relative[name].append(seconds / round_times["compress_signal default"])

    print(f"{args.signal} of {x.size} samples, max error target {target:.6g} (compress_signal default's), "
          f"{args.rounds} interleaved rounds")
    print(f"{'case':26} {'median ms':>10} {'vs compress_signal':>19} {'ratio':>7}")
    for name in cases:
        print(f"{name:26} {1e3 * statistics.median(times[name]):10.1f} "
              f"{statistics.median(relative[name]):18.2f}x {4 * x.size / sizes[name]:7.2f}")


if __name__ == "__main__":
    main()
