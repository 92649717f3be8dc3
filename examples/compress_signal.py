"""Compress a real electrocardiogram with each wavelet method and report what it costs.

For every method at the default scale (11) this prints the compression ratio (raw float32 bytes over
container bytes), the largest absolute error and the RMS error, both relative to the signal's range,
and the time to compress and to decompress.
"""
import pathlib
import sys
import time

import numpy as np

import quorvel

DATA = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "ecg_mitbih208_360hz.npy"
METHODS = ["cdf53", "cdf97", "db4", "sym4"]


def best_time(function, *args, repeat=5):
    """The fastest of a few runs, with the last run's result."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def main(path=DATA):
    signal = np.load(path)
    value_range = float(signal.max() - signal.min())
    print(f"{path.name}: {signal.size} float32 samples ({signal.nbytes} bytes), "
          f"range {value_range:.3f}")
    print(f"{'method':<7} {'bytes':>8} {'ratio':>6} {'max err/range':>14} {'rmse/range':>11} "
          f"{'compress':>9} {'decompress':>11}")
    for method in METHODS:
        options = quorvel.TarvoCompressionOptions(method)  # default scale 11, cutoff low
        compress_time, container = best_time(quorvel.compress_signal, signal, options)
        decompress_time, decoded = best_time(quorvel.decompress_signal, container)
        error = decoded.astype(np.float64) - signal
        print(f"{method:<7} {len(container):>8} {signal.nbytes / len(container):>6.2f} "
              f"{np.max(np.abs(error)) / value_range:>14.2e} "
              f"{np.sqrt(np.mean(error ** 2)) / value_range:>11.2e} "
              f"{compress_time * 1e3:>7.2f}ms {decompress_time * 1e3:>9.2f}ms")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DATA)
