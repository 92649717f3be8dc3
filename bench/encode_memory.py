#!/usr/bin/env python3
"""Peak memory of quorvel_tools.encode per target kind, as a multiple of the signal's size.

Each encode runs in a fresh interpreter. The figure is the peak resident size
the encode adds to the process (ru_maxrss after it minus ru_maxrss with the
signal made and the modules loaded, pages touched by the warm-up included),
and the whole process's peak, both over the float32 signal's bytes:

    python3 bench/encode_memory.py                # 10^7 samples, every target kind
    python3 bench/encode_memory.py 100000000      # 10^8 (about 1.5 GB of memory at 4x)
    python3 bench/encode_memory.py 2000000 rmse prd --effort best
    python3 bench/encode_memory.py 10000000 --effort fast default best
"""
import argparse
import subprocess
import sys

TARGETS = {"max_error": 1e-3, "rmse": 1e-3, "prd": 0.5, "max_bytes": None}

CHILD = r"""
import resource, sys
import numpy as np
import quorvel_tools
n, kind, value, effort = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
rng = np.random.default_rng(7)
x = np.empty(n, dtype=np.float32)
for start in range(0, n, 1 << 16):  # in parts: temporaries of the whole would set the peak themselves
    t = np.arange(start, min(n, start + (1 << 16)), dtype=np.float64)
    x[start:start + t.size] = np.sin(2e-3 * t) + 0.3 * np.sin(0.05 * t) + rng.normal(0, 0.02, t.size)
quorvel_tools.encode(x[:4096], max_error=1e-3)  # loads and warms the codec
value = float(value) if value != "None" else n // 2  # a budget of half a byte per sample
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
blob = quorvel_tools.encode(x, **{kind: value}, effort=effort)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(base * 1024, peak * 1024, len(blob))
"""


def measure(n: int, kind: str, effort: str) -> tuple[int, int, int]:
    """Resident bytes before and at the peak of one encode in a fresh interpreter, and the container's size."""
    out = subprocess.run([sys.executable, "-c", CHILD, str(n), kind, str(TARGETS[kind]), effort],
                         check=True, capture_output=True, text=True).stdout.split()
    base, peak, size = (int(v) for v in out)
    return base, peak, size


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("n", type=int, nargs="?", default=10**7)
    parser.add_argument("kinds", nargs="*", default=list(TARGETS))
    parser.add_argument("--effort", nargs="+", default=["default"], choices=["fast", "default", "best"])
    args = parser.parse_args()
    signal = 4 * args.n
    print(f"{args.n} float32 samples ({signal / 1e6:.0f} MB)")
    print(f"{'target':10} {'effort':8} {'added MB':>9} {'added/signal':>13} {'peak MB':>8} {'peak/signal':>12} "
          f"{'bytes':>10}")
    for effort in args.effort:
        for kind in args.kinds:
            base, peak, size = measure(args.n, kind, effort)
            print(f"{kind:10} {effort:8} {(peak - base) / 1e6:9.0f} {(peak - base) / signal:13.2f} "
                  f"{peak / 1e6:8.0f} {peak / signal:12.2f} {size:10}", flush=True)


if __name__ == "__main__":
    main()
