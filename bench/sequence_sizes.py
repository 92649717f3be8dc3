"""Sizes of the C++ sequence coder on the corpus codes, against the peers and the research's estimate.

    cmake -S . -B build-bench -DQUORVEL_BUILD_BENCH=ON && cmake --build build-bench --target quorvel_sequence_coder_speed
    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/peers.py --json /tmp/peers.json
    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/sequence_sizes.py --peers /tmp/peers.json [--signals ecg,co2]

Each signal is quantised for each max-error target as tests/python/reference/v2_model.py does (grid detection, step 2e or a
multiple of the data's grid), and its codes go through the C++ coder (blocks of 16384) at each effort.
A container is charged the research's framing: a 29-byte header, and per block 7 bytes (its length in the
index, its CRC32C). `research` is the research probe's estimate of its own default design for the same
codes (bench/entropy_probe.py, without the palette and the grid with exceptions, which are the signal
layer's). Ratios are the better of SZ3 and FixedScaleOffset+pcodec over ours (above 1: we are smaller).
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import pathlib
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python" / "reference"))
import entropy_probe as probe  # noqa: E402
import v2_model as m  # noqa: E402
from peers import MAX_ERROR_FRACTIONS, geomean, load_signals  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER_BYTES, BLOCK_BYTES = 29, 7


def cpp_sizes(binary: pathlib.Path, q: np.ndarray) -> list[int]:
    with tempfile.NamedTemporaryFile(suffix=".i32") as codes:
        codes.write(m.wrap(q).astype("<i4").tobytes())
        codes.flush()
        fields = subprocess.run([str(binary), "--codes", codes.name], capture_output=True, text=True, check=True).stdout.split()
    numbers = [int(f) for f in fields]
    return [HEADER_BYTES + numbers[2 * i] + BLOCK_BYTES * numbers[2 * i + 1] for i in range(3)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--peers", required=True, help="JSON written by bench/peers.py --json")
    parser.add_argument("--signals", help="comma-separated subset")
    parser.add_argument("--binary", default=str(ROOT / "build-bench" / "bench" / "quorvel_sequence_coder_speed"))
    options = parser.parse_args()
    rows = json.loads(pathlib.Path(options.peers).read_text())
    peers = {(r["signal"], r["fraction"]): r["bytes"] for r in rows if r["peer"] == "best-peer" and r["kind"] == "max_error"}
    research = dataclasses.replace([v for v in probe.VARIANTS if v.name == "default"][0], palette=False, robust_grid=False)
    gains: dict[str, dict[str, list[float]]] = {}
    print(f"{'signal':<10}{'target':>8}{'peer':>8}{'research':>10}{'fast':>8}{'default':>9}{'best':>8}   ratio (default, best)")
    for name, x in load_signals(options.signals and options.signals.split(",")).items():
        span = float(x.max()) - float(x.min())
        for fraction in MAX_ERROR_FRACTIONS:
            q = m.quantise_max_error(x, fraction * span)[1]
            sizes = cpp_sizes(pathlib.Path(options.binary), q)
            estimate = probe.blocks_bytes(q, research, {})
            peer = peers[(name, fraction)]
            for label, size in (("research", estimate), ("fast", sizes[0]), ("default", sizes[1]), ("best", sizes[2])):
                gains.setdefault(label, {}).setdefault(name, []).append(peer / size)
            print(f"{name:<10}{fraction:>8g}{peer:>8}{estimate:>10}{sizes[0]:>8}{sizes[1]:>9}{sizes[2]:>8}   "
                  f"{peer / sizes[1]:.3f} {peer / sizes[2]:.3f}", flush=True)
    print("\ngeomean ratio to the better peer at equal max error (same quantiser for every column)")
    names = list(next(iter(gains.values())))
    print(f"{'':<10}" + "".join(f"{n:>10}" for n in names) + f"{'all':>10}")
    for label, per in gains.items():
        print(f"{label:<10}" + "".join(f"{geomean(per[n]):>10.3f}" for n in names)
              + f"{geomean([g for n in names for g in per[n]]):>10.3f}")


if __name__ == "__main__":
    main()
