"""Aimed encoder against the best fixed setting meeting the same target, per signal, with a rate-distortion plot.

    cmake -S . -B build-bench -DQUORVEL_BUILD_BENCH=ON && cmake --build build-bench --target quorvel_aimed_compare
    OPENBLAS_NUM_THREADS=1 python3 bench/aimed.py --compare build-bench/bench/quorvel_aimed_compare [--plot bench/aimed_rd.png]

For every signal (the real ones in tests/data, the ECG tiled to 10^6 samples with each tile rotated by
an odd number of samples, and three synthetic ones) and every target (max error and RMSE at fixed
fractions of the signal's range), quorvel_aimed_compare finds the smallest container among the 84
fixed settings (4 methods x scales 6..12 x 3 cutoffs) whose decoded signal meets the target, and
encodes with compress_aimed at each effort. Gains are fixed bytes / aimed bytes; times are medians of
interleaved runs against compress at its default settings (cdf97, scale 11, cutoff low).
"""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import subprocess
import tempfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
MAX_ERROR_FRACTIONS = (1e-3, 3e-3, 1e-2, 3e-2)
RMSE_FRACTIONS = (3e-4, 1e-3, 3e-3)


def ecg_tiled(n: int) -> np.ndarray:
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")
    tiles, tile = [], 0
    while sum(t.size for t in tiles) < n:
        tiles.append(np.roll(ecg, -(((2 * tile + 1) * 7919 % ecg.size) | 1)))
        tile += 1
    return np.concatenate(tiles)[:n]


def signals() -> dict[str, np.ndarray]:
    rng = np.random.default_rng(20261208)
    t = np.arange(200_000) / 8000.0
    phase = 2 * np.pi * (150 * t + 400 * t * t)
    envelope = 0.5 + 0.5 * np.sin(2 * np.pi * 3 * t)
    i = np.arange(200_000)
    return {
        "ecg": np.load(DATA / "ecg_mitbih208_360hz.npy"),
        "co2": np.load(DATA / "co2_weekly_mauna_loa.npy"),
        "membrane": np.load(DATA / "mpl_membrane.npy"),
        "ecg 10^6 tiled": ecg_tiled(1_000_000),
        "chirp (speech-like)": envelope * (np.sin(phase) + 0.4 * np.sin(3 * phase)) + rng.normal(0, 0.01, t.size),
        "noise": rng.normal(0, 1, 100_000),
        "smooth": 20 + 5 * np.sin(0.001 * i) + 0.01 * np.sin(0.3 * i),
    }


def run(compare: str, x: np.ndarray, args: list[str]) -> list[dict]:
    with tempfile.NamedTemporaryFile(suffix=".f32") as f:
        x.astype("<f4").tofile(f.name)
        out = subprocess.run([compare, f.name, *args], check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def geomean(values: list[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--compare", required=True, help="path of quorvel_aimed_compare")
    parser.add_argument("--plot", help="write the rate-distortion PNG here")
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args()

    rows, gains, times = [], {}, {}
    for name, x in signals().items():
        x = np.asarray(x, dtype=np.float32)
        span = float(x.max() - x.min())
        targets = [f"max_error={f * span:.6g}" for f in MAX_ERROR_FRACTIONS]
        targets += [f"rmse={f * span:.6g}" for f in RMSE_FRACTIONS]
        repeats = options.repeats if x.size >= 100_000 else 1
        for r in run(options.compare, x, ["--repeats", str(repeats), *targets]):
            if r["aimed_bytes"] is None:
                raise SystemExit(f"{name}: {r['kind']} {r['target']} {r['effort']}: {r['error']}")
            if not r["met"]:
                raise SystemExit(f"{name}: target missed: {r}")
            gain = r["fixed_bytes"] / r["aimed_bytes"] if r["fixed_bytes"] else None
            time_ratio = r["aimed_seconds"] / r["default_seconds"]
            rows.append((name, r["kind"], r["target"] / span, r["effort"], gain, time_ratio, r["method"]))
            if gain:
                gains.setdefault((name, r["kind"], r["effort"]), []).append(gain)
            if x.size >= 100_000 and r["kind"] == "max_error":
                times.setdefault((name, r["effort"]), []).append(time_ratio)
            print(f"{name:20s} {r['kind']:9s} {r['target'] / span:7.0e} of range  {r['effort']:7s} "
                  f"gain {gain or float('nan'):5.2f}x  time {time_ratio:5.2f}x compress  {r['method']}", flush=True)

    print("\nGeometric-mean gain over the best fixed setting meeting the same target:\n")
    print("| signal | kind | fast | default | best |")
    print("|---|---|---|---|---|")
    names = list(dict.fromkeys(k[0] for k in gains))
    for name in names:
        for kind in ("max_error", "rmse"):
            cells = [f"{geomean(gains.get((name, kind, e), [])):.2f}x" for e in ("fast", "default", "best")]
            print(f"| {name} | {kind} | " + " | ".join(cells) + " |")
    for kind in ("max_error", "rmse"):
        cells = [f"{geomean([g for (n, k, e), v in gains.items() if k == kind and e == effort for g in v]):.2f}x"
                 for effort in ("fast", "default", "best")]
        print(f"| all signals | {kind} | " + " | ".join(cells) + " |")
    print("\nEncode time against compress (default settings), median ratio over the max-error targets:\n")
    print("| signal | fast | default | best |")
    print("|---|---|---|---|")
    for name in dict.fromkeys(k[0] for k in times):
        cells = [f"{np.median(times.get((name, e), [float('nan')])):.2f}x" for e in ("fast", "default", "best")]
        print(f"| {name} | " + " | ".join(cells) + " |")

    if options.plot:
        plot(options.compare, options.plot)


def plot(compare: str, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    for axis, name, x in ((axes[0], "ECG (MIT-BIH 208)", signals()["ecg"]),
                          (axes[1], "chirp (speech-like)", signals()["chirp (speech-like)"])):
        x = np.asarray(x, dtype=np.float32)
        span = float(x.max() - x.min())
        fixed = run(compare, x, ["--points"])
        axis.scatter([p["max_abs"] / span for p in fixed], [8 * p["bytes"] / x.size for p in fixed], s=9,
                     color="0.6", label="84 fixed settings")
        fractions = np.geomspace(3e-4, 0.1, 14)
        aimed = run(compare, x, ["--no-fixed", "--efforts", "fast,default,best",
                                 *[f"max_error={f * span:.6g}" for f in fractions]])
        for effort, style in (("fast", "C2.-"), ("default", "C0.-"), ("best", "C3.-")):
            points = [r for r in aimed if r["effort"] == effort and r["aimed_bytes"]]
            axis.plot([r["achieved"] / span for r in points], [8 * r["aimed_bytes"] / x.size for r in points], style,
                      label=f"aimed, {effort}")
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("max error / range")
        axis.set_ylabel("bits per sample")
        axis.set_title(name)
        axis.grid(True, which="both", alpha=0.3)
        axis.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nwrote {path}")


if __name__ == "__main__":
    main()
