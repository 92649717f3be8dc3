"""quorvel's frames against the error-bounded peers on the corpus' multi-channel recordings.

    .venv/bin/python -m pip install -r bench/requirements.txt     # the peers (benchmark only)
    .venv/bin/python bench/corpus.py                              # extract the corpus into bench/.corpus
    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/multichannel.py [--half tuning|checking|all]
        [--signals a,b] [--cache DIR] [--json out.json] [--peers-from earlier.json] [--speed-only] [--rounds 5]

Each recording x of shape (channels, n), both halves reported separately. R = max - min over all
channels; targets are max error R x {1e-2, 3e-3, 1e-3, 3e-4} (every sample) and RMSE R x {3e-3,
1e-3, 3e-4} met by every channel on its own. Ours: `encode_array(x, ..., format=2)` with each lane
coded alone (`joint=False`, before) and with joint lanes (`joint=True`, after). The best peer is the
smallest of: SZ3 (pysz, best of its three algorithms) on the whole array as (channels, n) or (n,
channels), SZ3 per channel (each channel its best algorithm), FixedScaleOffset + pcodec per channel
or on the interleaved samples. Each peer gets its smallest output that meets the target, searched as
bench/peers.py does (peers.smallest_meeting); every output, ours included, is decoded and measured
per channel. The tables print best peer bytes / ours per target, each recording's geomean and each
half's.

The speed lines time `encode_array` and `decode_array` at max error 1e-3 x R of 64-lane frames
made of three recordings' channels (their first 65536 samples) tiled (each tile rotated in time by an odd number of samples, so no
two lanes are copies), joint against alone, one thread, medians of interleaved rounds.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import pathlib  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import peers  # noqa: E402

MAX_ERROR_FRACTIONS = (1e-2, 3e-3, 1e-3, 3e-4)
RMSE_FRACTIONS = (3e-3, 1e-3, 3e-4)
# Recordings whose channels gain nothing, some and much from joint lanes, cut to SPEED_LENGTH samples.
SPEED_SIGNALS = ("multi_egm_spkit_5ch", "multi_ecg_spkit_12lead_s1", "multi_stereo_sonicpi_loop_tabla")
SPEED_LANES = 64
SPEED_LENGTH = 65536


def targets() -> list[tuple[str, float]]:
    return [("max_error", f) for f in MAX_ERROR_FRACTIONS] + [("rmse", f) for f in RMSE_FRACTIONS]


_one_lane_meets = peers.meets


def meets_per_channel(x: np.ndarray, y: np.ndarray, kind: str, target: float) -> bool:
    """peers.meets for every channel of a (channels, n) array on its own (an RMSE per channel)."""
    if x.ndim < 2:
        return _one_lane_meets(x, y, kind, target)
    return y.shape == x.shape and all(_one_lane_meets(a, b, kind, target) for a, b in zip(x, y))


# The searched peers measure their outputs with peers.meets: per channel here.
peers.meets = meets_per_channel


def recordings(half: str, cache: pathlib.Path) -> dict[str, str]:
    entries = json.loads(peers.CORPUS_CATALOGUE.read_text())["signals"]
    chosen = {e["name"]: e["half"] for e in entries if e["layout"] != "1-D" and half in ("all", e["half"])}
    missing = [name for name in chosen if not (cache / f"{name}.npy").exists()]
    if missing:
        sys.exit(f"{len(missing)} recordings missing in {cache} (run bench/corpus.py): {missing[:3]}")
    return chosen


# ---------------------------------------------------------------- the peers, on a (channels, n) array


def transposed(peer: peers.Peer) -> peers.Peer:
    """The peer on the (n, channels) layout of the array: interleaved samples."""
    def encode(x: np.ndarray, bound: float) -> bytes:
        return peer.encode(np.ascontiguousarray(x.T), bound)

    def decode(blob: bytes, x: np.ndarray, bound: float) -> np.ndarray:
        return np.asarray(peer.decode(blob, np.ascontiguousarray(x.T), bound)).reshape(x.shape[::-1]).T

    return peers.Peer(peer.name + " (n, ch)", encode, decode)


def flattened(peer: peers.Peer) -> peers.Peer:
    """A 1-D peer on the interleaved samples of the array."""
    def encode(x: np.ndarray, bound: float) -> bytes:
        return peer.encode(np.ascontiguousarray(x.T).reshape(-1), bound)

    def decode(blob: bytes, x: np.ndarray, bound: float) -> np.ndarray:
        flat = np.ascontiguousarray(x.T).reshape(-1)
        return np.asarray(peer.decode(blob, flat, bound)).reshape(x.shape[::-1]).T

    return peers.Peer(peer.name + " interleaved", encode, decode)


def best_peer(x: np.ndarray, kind: str, target: float) -> tuple[int, str] | None:
    """(bytes, name) of the smallest peer output that meets the target on every channel."""
    sz3 = [p for p in peers.all_peers() if p.name.startswith("sz3-")]
    pcodec = peers.fso_pcodec_peer()
    found: list[tuple[int, str]] = []
    for peer in [*sz3, *(transposed(p) for p in sz3), flattened(pcodec)]:
        result = peers.smallest_meeting(peer, x, kind, target)
        if result:
            found.append((result[0], peer.name))
    per_channel = {"sz3 per channel": sz3, "fso+pcodec per channel": [pcodec]}
    for name, options in per_channel.items():
        total = 0
        for lane in x:
            sizes = [r[0] for r in (peers.smallest_meeting(p, lane, kind, target) for p in options) if r]
            if not sizes:
                break
            total += min(sizes)
        else:
            found.append((total, name))
    return min(found, default=None)


def ours(x: np.ndarray, kind: str, target: float, joint: bool) -> int | None:
    """Bytes of our frame, when it decodes within the target on every channel."""
    import quorvel_tools

    try:
        frame = quorvel_tools.encode_array(x, **{kind: target}, format=2, joint=joint, threads=1)
    except ValueError:
        return None
    return len(frame) if meets_per_channel(x, quorvel_tools.decode_array(frame, threads=1), kind, target) else None


# ---------------------------------------------------------------- tables


def measure(names: dict[str, str], cache: pathlib.Path, known: dict[tuple, dict]) -> list[dict]:
    """Every recording and target; the best peer and lanes alone come from `known` where it has them."""
    rows = []
    for name, half in names.items():
        x = np.load(cache / f"{name}.npy").astype(np.float32)
        span = float(x.max()) - float(x.min())
        for kind, fraction in targets():
            target = fraction * span
            row = known.get((name, kind, fraction))
            if row is None:
                best = best_peer(x, kind, target)
                row = {"signal": name, "half": half, "kind": kind, "fraction": fraction,
                       "peer": best[1] if best else None, "peer_bytes": best[0] if best else None,
                       "alone": ours(x, kind, target, False)}
            rows.append({**row, "joint": ours(x, kind, target, True)})
            print(f"  {name} {kind} {fraction:g}: {rows[-1]}", file=sys.stderr, flush=True)
    return rows


def gain(row: dict, column: str) -> float | None:
    return row["peer_bytes"] / row[column] if row["peer_bytes"] and row[column] else None


def before_after(rows: list[dict]) -> list[str]:
    """Geomeans of best peer / ours over the rows, lanes alone -> joint: max error, RMSE, all."""
    parts = []
    for kinds in (("max_error",), ("rmse",), ("max_error", "rmse")):
        chosen = [r for r in rows if r["kind"] in kinds]
        before = peers.geomean([gain(r, "alone") for r in chosen])
        after = peers.geomean([gain(r, "joint") for r in chosen])
        parts.append(f"{before:6.3f} -> {after:6.3f}")
    return parts


def print_tables(rows: list[dict]) -> None:
    print("\n## best peer bytes / ours (above 1: ours is smaller); before = lanes alone, after = joint lanes")
    print(f"{'recording':<34}{'target':<14}{'best peer':>11} {'which':<26}{'before':>9}{'after':>9}")
    for row in rows:
        label = f"{'maxerr' if row['kind'] == 'max_error' else 'rmse'} {row['fraction']:g}"
        cells = "".join(f"{g:>9.3f}" if g else f"{'miss':>9}" for g in (gain(row, "alone"), gain(row, "joint")))
        print(f"{row['signal']:<34}{label:<14}{row['peer_bytes'] or 0:>11} {row['peer'] or '-':<26}{cells}")
    print("\n## per recording: geomean of best peer / ours, before -> after (max error, RMSE, all)")
    for name in dict.fromkeys(r["signal"] for r in rows):
        mine = [r for r in rows if r["signal"] == name]
        print(f"{name:<34}{mine[0]['half']:<10}" + "".join(f"{p:>20}" for p in before_after(mine)))
    print("\n## per half: geomean of best peer / ours, before -> after")
    for half in ("tuning", "checking"):
        mine = [r for r in rows if r["half"] == half]
        if not mine:
            continue
        kinds = ("max error", "rmse", "all")
        print(f"{half:<10}" + "   ".join(f"{k} {p}" for k, p in zip(kinds, before_after(mine))))
    misses = [(r["signal"], r["kind"], r["fraction"], c) for r in rows for c in ("alone", "joint") if not r[c]]
    print(f"\nmissed targets: {len(misses)}" + "".join(f"\n  {m}" for m in misses))


# ---------------------------------------------------------------- speed


def lanes_tiled(x: np.ndarray, lanes: int) -> np.ndarray:
    """`lanes` lanes made of x's channels, each tile of them rotated by its own odd number of samples."""
    tiles = [np.roll(x, -(((2 * t + 1) * 7919 % x.shape[1]) | 1), axis=1) for t in range(-(-lanes // len(x)))]
    return np.ascontiguousarray(np.concatenate(tiles)[:lanes])


def speed(cache: pathlib.Path, rounds: int, name: str) -> None:
    import quorvel_tools

    x = lanes_tiled(np.load(cache / f"{name}.npy").astype(np.float32)[:, :SPEED_LENGTH], SPEED_LANES)
    target = 1e-3 * (float(x.max()) - float(x.min()))
    # Wall and processor time: on a busy machine the processor time of one thread is the steadier figure.
    times: dict[bool, list[tuple[float, float, float, float]]] = {False: [], True: []}
    frames = {joint: quorvel_tools.encode_array(x, max_error=target, format=2, joint=joint, threads=1)
              for joint in (False, True)}
    for _ in range(rounds):
        for joint in (False, True):
            start, start_cpu = time.perf_counter(), time.process_time()
            quorvel_tools.encode_array(x, max_error=target, format=2, joint=joint, threads=1)
            middle, middle_cpu = time.perf_counter(), time.process_time()
            quorvel_tools.decode_array(frames[joint], threads=1)
            times[joint].append((middle - start, time.perf_counter() - middle, middle_cpu - start_cpu,
                                 time.process_time() - middle_cpu))
    print(f"\n## speed: {name} tiled to {x.shape[0]} lanes x {x.shape[1]} samples, max error 1e-3 x R, "
          f"one thread, medians of {rounds} interleaved rounds")
    medians = {j: [float(np.median([t[i] for t in times[j]])) for i in range(4)] for j in times}
    for joint in (False, True):
        wall_encode, wall_decode, cpu_encode, cpu_decode = (1e3 * m for m in medians[joint])
        print(f"{'joint' if joint else 'alone':<8}{len(frames[joint]):>10} bytes   encode {wall_encode:8.1f} ms "
              f"(processor {cpu_encode:8.1f})   decode {wall_decode:7.1f} ms (processor {cpu_decode:7.1f})")
    ratios = [medians[True][i] / medians[False][i] for i in range(4)]
    print(f"joint / alone: encode {ratios[0]:.2f}x (processor {ratios[2]:.2f}x), decode {ratios[1]:.2f}x "
          f"(processor {ratios[3]:.2f}x), bytes {len(frames[True]) / len(frames[False]):.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--half", choices=("tuning", "checking", "all"), default="all")
    parser.add_argument("--signals", help="comma-separated subset of the recordings")
    parser.add_argument("--cache", type=pathlib.Path, default=peers.CORPUS_CACHE)
    parser.add_argument("--json", help="write every measured row here")
    parser.add_argument("--peers-from", help="an earlier --json: its best peers and lanes alone are reused")
    parser.add_argument("--speed-only", action="store_true")
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    if not options.speed_only:
        names = recordings(options.half, options.cache)
        if options.signals:
            names = {k: v for k, v in names.items() if k in options.signals.split(",")}
        names = dict(sorted(names.items(), key=lambda item: (item[1] != "tuning", item[0])))
        known = {}
        if options.peers_from:
            known = {(r["signal"], r["kind"], r["fraction"]): r
                     for r in json.loads(pathlib.Path(options.peers_from).read_text())}
        rows = measure(names, options.cache, known)
        if options.json:
            pathlib.Path(options.json).write_text(json.dumps(rows, indent=0))
        print_tables(rows)
    for name in SPEED_SIGNALS:
        speed(options.cache, options.rounds, name)


if __name__ == "__main__":
    main()
