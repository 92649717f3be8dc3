"""Writes and reads a "quorvel" Zarr store with Dask on a LocalCluster of 1 and of 2 worker processes.

Each round writes a synthetic multi-channel recording (made inside the workers,
so no samples travel from the client) to a fresh Zarr format 3 store with a
max-error target, then reads the whole store back and reduces it to one number
per channel, so that decoding, not the transfer of results, is timed. The
two cluster sizes run alternately, round after round, both clusters started
before the first round; the figures are medians of the wall time a caller
waits.

    OPENBLAS_NUM_THREADS=1 python bench/frame_dask.py             # 8 x 1e6 float32 samples, 5 rounds
    OPENBLAS_NUM_THREADS=1 python bench/frame_dask.py --channels 16 --samples 2000000 --rounds 3
"""
from __future__ import annotations

import argparse
import logging
import pathlib
import shutil
import statistics
import tempfile
import time

import dask.array as da
import numpy as np
import zarr
from distributed import Client, LocalCluster

from quorvel_tools.zarr import QuorvelCodec


def synthetic_block(block: np.ndarray, block_info: dict | None = None) -> np.ndarray:
    """A block of an EEG-like recording: a few rhythms per channel plus noise, seeded by position."""
    (channel, _), (start, stop) = block_info[None]["array-location"][0], block_info[None]["array-location"][1]
    rng = np.random.default_rng([channel, start])
    t = np.arange(start, stop, dtype=np.float64) / 256.0
    x = np.zeros((block.shape[0], stop - start))
    for row in range(block.shape[0]):
        for hz, amplitude in ((1.5, 40.0), (10.0, 15.0), (22.0, 4.0)):
            x[row] += amplitude * np.sin(2 * np.pi * hz * t + rng.uniform(0, 2 * np.pi))
        x[row] += 2.0 * rng.standard_normal(t.size)
    return x.astype(np.float32)


def one_round(client: Client, shape: tuple[int, int], chunks: tuple[int, int], max_error: float,
              folder: pathlib.Path) -> tuple[float, float, int]:
    store = folder / "recording.zarr"
    shutil.rmtree(store, ignore_errors=True)
    array = zarr.create_array(store, shape=shape, chunks=chunks, dtype="float32", fill_value=np.nan,
                              serializer=QuorvelCodec(max_error=max_error), compressors=None)
    source = da.zeros(shape, chunks=chunks, dtype=np.float32).map_blocks(synthetic_block, dtype=np.float32)
    started = time.perf_counter()
    da.to_zarr(source, array)
    written = time.perf_counter()
    da.from_zarr(str(store)).sum(axis=1).compute()
    read = time.perf_counter()
    stored = sum(path.stat().st_size for path in store.rglob("*") if path.is_file() and path.name != "zarr.json")
    return written - started, read - written, stored


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--channels", type=int, default=8)
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--chunk", type=int, default=250_000, help="samples per chunk (one channel per chunk)")
    parser.add_argument("--max-error", type=float, default=0.05)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    shape, chunks = (args.channels, args.samples), (1, args.chunk)
    logging.getLogger("distributed").setLevel(logging.ERROR)

    clusters = {workers: LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=":0", silence_logs=logging.ERROR)
                for workers in (1, 2)}
    times: dict[int, dict[str, list[float]]] = {w: {"write": [], "read": []} for w in clusters}
    stored = 0
    try:
        with tempfile.TemporaryDirectory() as folder:
            for round_number in range(args.rounds + 1):  # the first round warms up and is not counted
                for workers, cluster in clusters.items():
                    with Client(cluster) as client:
                        write, read, stored = one_round(client, shape, chunks, args.max_error, pathlib.Path(folder))
                    if round_number > 0:
                        times[workers]["write"].append(write)
                        times[workers]["read"].append(read)
    finally:
        for cluster in clusters.values():
            cluster.close()

    raw = args.channels * args.samples * 4
    print(f"{args.channels} x {args.samples} float32 samples, chunks {chunks}, max_error {args.max_error}, "
          f"ratio {raw / stored:.2f}, {args.rounds} rounds")
    print("| workers | write (s) | read (s) | write speed-up | read speed-up |")
    print("|---|---|---|---|---|")
    base = {step: statistics.median(times[1][step]) for step in ("write", "read")}
    for workers in clusters:
        medians = {step: statistics.median(times[workers][step]) for step in ("write", "read")}
        print(f"| {workers} | {medians['write']:.2f} | {medians['read']:.2f} | "
              f"{base['write'] / medians['write']:.2f}x | {base['read'] / medians['read']:.2f}x |")


if __name__ == "__main__":
    main()
