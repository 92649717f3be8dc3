"""Speed of `quorvel decode` writing CSV: the shortest round-trip text of every float32 sample.

Writes a random walk of N samples (default 2 x 10^6, one column) through the CSV writer and prints
MB/s; `--trial` writes the same cells the way the writer used to find them, each count of digits
tried on the text itself, for comparison (the text is the same, byte for byte).

    .venv/bin/python bench/csv_writer.py [--samples N] [--trial]
"""
from __future__ import annotations

import argparse
import pathlib
import tempfile
import time

import numpy as np

from quorvel_tools.cli.formats import Signal, delimited, write_signal


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=2_000_000)
    parser.add_argument("--trial", action="store_true", help="also time the digit-by-digit trial on text")
    args = parser.parse_args()
    walk = np.cumsum(np.random.default_rng(0).standard_normal(args.samples)).astype(np.float32)
    signal = Signal(data=walk, source="npy")
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "out.csv"
        start = time.process_time()  # processor time: the machine may be shared
        write_signal(path, signal)
        seconds = time.process_time() - start
        size = path.stat().st_size
    print(f"writer: {args.samples} samples, {size / 1e6:.1f} MB in {seconds:.2f} s of CPU: "
          f"{size / 1e6 / seconds:.1f} MB/s")
    if args.trial:
        start = time.process_time()
        for begin in range(0, walk.size, 1 << 15):  # the cells alone, in the pieces the writer used
            delimited._shortest_by_trial(walk[begin:begin + (1 << 15)], np.float32, "")
        seconds = time.process_time() - start
        print(f"trial on text: the cells alone take {seconds:.2f} s of CPU: {size / 1e6 / seconds:.1f} MB/s at most")


if __name__ == "__main__":
    main()
