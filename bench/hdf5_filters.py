#!/usr/bin/env python3
"""The quorvel HDF5 filter beside hdf5plugin's SZ3 and Zfp on the same chunked real datasets and max error.

    .venv/bin/python -m pip install ".[hdf5]" hdf5plugin
    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/hdf5_filters.py          # about a minute

Datasets (float32, chunked as written): the MIT-BIH ECG (mV) tiled to 8 rows of 2^17 samples,
each copy rotated by an odd number of samples, in chunks of (8, 32768); the scalp EEG of
tests/data (uV, 89344 samples) in chunks of 16384. The target is a max error of range x 1e-3:
SZ3 in absolute mode, Zfp in fixed-accuracy mode with that tolerance, quorvel with max_error.
gzip level 6 is the lossless reference. Size is the whole file; write is create, fill, close;
read is open, read all, close; medians over the rounds, every case once per round in turn.
The last column is the max error measured with NumPy on what was read.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from pathlib import Path

import h5py
import hdf5plugin
import numpy as np

import quorvel_tools.hdf5
from end_to_end import ecg_tiled

EEG = Path(__file__).resolve().parents[1] / "tests" / "data" / "eeg_fp1_128hz.npy"


def datasets() -> dict[str, tuple[np.ndarray, tuple[int, ...]]]:
    return {
        "ecg 8 x 131072": (ecg_tiled(8 << 17).reshape(8, 1 << 17), (8, 32768)),
        "eeg 89344": (np.load(EEG).astype(np.float32), (16384,)),
    }


def filters(tolerance: float) -> dict[str, dict]:
    return {
        "quorvel v2 default": dict(quorvel_tools.hdf5.Quorvel(max_error=tolerance)),
        "quorvel v2 fast": dict(quorvel_tools.hdf5.Quorvel(max_error=tolerance, effort="fast")),
        "quorvel v1 auto": dict(quorvel_tools.hdf5.Quorvel(max_error=tolerance, format=1)),
        "SZ3 absolute": dict(hdf5plugin.SZ3(absolute=tolerance)),
        "Zfp accuracy": dict(hdf5plugin.Zfp(accuracy=tolerance)),
        "gzip 6 (lossless)": {"compression": "gzip", "compression_opts": 6},
    }


def write(path: str, data: np.ndarray, chunks: tuple[int, ...], options: dict) -> float:
    start = time.perf_counter()
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=data, chunks=chunks, **options)
    return time.perf_counter() - start


def read(path: str) -> tuple[float, np.ndarray]:
    start = time.perf_counter()
    with h5py.File(path, "r") as f:
        data = f["x"][()]
    return time.perf_counter() - start, data


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--relative", type=float, default=1e-3, help="max error as a fraction of the range")
    args = parser.parse_args()
    print(f"h5py {h5py.__version__} (HDF5 {h5py.version.hdf5_version}), hdf5plugin {hdf5plugin.version}")
    for title, (data, chunks) in datasets().items():
        tolerance = float(np.ptp(data)) * args.relative
        cases = filters(tolerance)
        times: dict[str, list[tuple[float, float]]] = {name: [] for name in cases}
        sizes, errors = {}, {}
        with tempfile.TemporaryDirectory() as folder:
            for _ in range(args.rounds):
                for name, options in cases.items():
                    path = os.path.join(folder, "x.h5")
                    written = write(path, data, chunks, options)
                    took, restored = read(path)
                    times[name].append((written, took))
                    sizes[name] = os.path.getsize(path)
                    errors[name] = float(np.max(np.abs(restored.astype(np.float64) - data)))
        print(f"\n{title}, float32, chunks {chunks}, {data.nbytes} bytes raw, max error {tolerance:.4g}")
        print(f"{'filter':>20} {'file bytes':>11} {'ratio':>7} {'write ms':>9} {'read ms':>8} {'max error':>10}")
        for name in cases:
            write_ms = 1e3 * statistics.median(t[0] for t in times[name])
            read_ms = 1e3 * statistics.median(t[1] for t in times[name])
            print(f"{name:>20} {sizes[name]:>11} {data.nbytes / sizes[name]:>7.2f} {write_ms:>9.1f} {read_ms:>8.1f}"
                  f" {errors[name]:>10.4g}")


if __name__ == "__main__":
    main()
