#!/usr/bin/env python3
"""Filter-bank speed of rimble (portable, SSE4.2, AVX2+FMA) beside PyWavelets.

Runs bench/filter_bank_bench.cpp (Google Benchmark) and times PyWavelets on the same
transforms in the same run, both pinned to one core, and prints one table of
medians: single-level dwt/idwt and 8-level multi_dwt/multi_idwt (PyWavelets:
dwt/idwt and wavedec/waverec), float32 samples, periodic border; and the
single-level steps alone (execute_forward / execute_inverse into reused
buffers, no PyWavelets counterpart).

    cmake -S . -B build-bench -DQUORVEL_BUILD_BENCH=ON -DQUORVEL_BUILD_TESTS=OFF
    cmake --build build-bench -j2 --target quorvel_filter_bank_bench
    python3 bench/filter_bank_vs_pywt.py --bench build-bench/bench/quorvel_filter_bank_bench
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np
import pywt

WAVELETS = ("db4", "db8", "sym20")
SIZES = (1_000_000, 10_000_000)
LEVELS = 8
TIERS = ("portable", "sse", "avx2")
OPERATIONS = ("dwt", "idwt", "multi_dwt8", "multi_idwt8", "forward_step", "inverse_step")


def rimble_medians(binary, repetitions, min_time, clock):
    """Median time in ms per (wavelet, operation, tier, n) from the C++ bench."""
    command = [binary, "--benchmark_format=json", f"--benchmark_min_time={min_time}"]
    if repetitions > 1:
        command += [f"--benchmark_repetitions={repetitions}", "--benchmark_report_aggregates_only=true"]
    report = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
    wanted = "median" if repetitions > 1 else None
    medians = {}
    for entry in report["benchmarks"]:
        if entry.get("aggregate_name") != wanted:
            continue
        wavelet, operation, tier, size = entry["run_name"].split("/")
        scale = {"ms": 1.0, "us": 1e-3, "ns": 1e-6}[entry["time_unit"]]
        medians[(wavelet, operation, tier, int(size))] = entry["cpu_time" if clock == "cpu" else "real_time"] * scale
    return medians


def median_ms(call, repetitions, min_time, clock):
    """Median over repetitions of the mean time of one call, in ms."""
    now = time.process_time if clock == "cpu" else time.perf_counter
    call()  # warm-up: first-touch page faults and caches
    number = 1
    while True:
        start = now()
        for _ in range(number):
            call()
        if now() - start >= min_time:
            break
        number *= 2
    samples = []
    for _ in range(repetitions):
        start = now()
        for _ in range(number):
            call()
        samples.append((now() - start) / number * 1e3)
    return statistics.median(samples)


def pywt_medians(repetitions, min_time, clock):
    rng = np.random.default_rng(20261208)
    medians = {}
    for n in SIZES:
        x = rng.standard_normal(n).astype(np.float32)
        for wavelet in WAVELETS:
            approx, details = pywt.dwt(x, wavelet, mode="periodic")
            coefficients = pywt.wavedec(x, wavelet, mode="periodic", level=LEVELS)
            calls = {
                "dwt": lambda: pywt.dwt(x, wavelet, mode="periodic"),
                "idwt": lambda: pywt.idwt(approx, details, wavelet, mode="periodic"),
                "multi_dwt8": lambda: pywt.wavedec(x, wavelet, mode="periodic", level=LEVELS),
                "multi_idwt8": lambda: pywt.waverec(coefficients, wavelet, mode="periodic"),
            }
            for operation, call in calls.items():
                medians[(wavelet, operation, n)] = median_ms(call, repetitions, min_time, clock)
    return medians


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bench", default="build-bench/bench/quorvel_filter_bank_bench", help="the C++ benchmark binary")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--min-time", type=float, default=0.2, help="seconds per repetition")
    parser.add_argument("--cpu", type=int, default=0, help="core to pin both runs to")
    parser.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                        help="process CPU time (default: steadier on a shared machine) or wall time")
    args = parser.parse_args()

    os.sched_setaffinity(0, {args.cpu})  # inherited by the C++ bench
    ours = rimble_medians(args.bench, args.repetitions, args.min_time, args.clock)
    theirs = pywt_medians(args.repetitions, args.min_time, args.clock)

    pywt_name = {"dwt": "dwt", "idwt": "idwt", "multi_dwt8": "wavedec", "multi_idwt8": "waverec"}
    print(f"Medians of {args.repetitions} repetitions, ms ({args.clock} time) per call, one core; "
          f"numpy {np.__version__}, "
          f"PyWavelets {pywt.__version__}, load average {os.getloadavg()[0]:.2f}")
    print()
    print("| wavelet | operation | n | portable | SSE4.2 | AVX2 | PyWavelets | PyWavelets / AVX2 | AVX2 ns/sample |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for wavelet in WAVELETS:
        for operation in OPERATIONS:
            for n in SIZES:
                cells = [ours.get((wavelet, operation, tier, n)) for tier in TIERS]
                reference = theirs.get((wavelet, operation, n))
                avx = cells[2]
                shown = ["-" if c is None else f"{c:.3f}" for c in cells]
                ratio = "-" if avx is None or reference is None else f"{reference / avx:.1f}x"
                per_sample = "-" if avx is None else f"{avx * 1e6 / n:.3f}"
                label = f"{operation} ({pywt_name[operation]})" if operation in pywt_name else operation
                reference_cell = "-" if reference is None else f"{reference:.3f}"
                print(f"| {wavelet} | {label} | {n:.0e} | {' | '.join(shown)} | {reference_cell} | {ratio} | "
                      f"{per_sample} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
