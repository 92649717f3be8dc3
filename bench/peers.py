"""quorvel against the error-bounded peers, in one process, on the real signals of tests/data.

    .venv/bin/python -m pip install -r bench/requirements.txt     # the peers (benchmark only)
    apt-get install flac xz-utils                                 # the lossless references
    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/peers.py [--json out.json] [--signals ecg,co2]
    OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/peers.py --speed [--rounds 7]
    .venv/bin/python bench/peers.py --corpus tuning|checking|all [--json out.json] [--against old.json]
        [--peers-from old.json]                                 # only quorvel measured, the peers' rows kept
    .venv/bin/python bench/peers.py --speed --corpus all        # the corpus' speed signals at 10^6 samples

Targets are relative to each signal's range: max error = range x {1e-2, 3e-3, 1e-3, 3e-4, 1e-4} and
RMSE = range x {3e-3, 1e-3, 3e-4, 1e-4}. Each searched peer gets the largest bound (its own parameter)
whose decoded output meets the target, and of every bound tried that meets it the smallest output
counts; quorvel aims at the target itself. Every output is decoded and measured in float64 against
the input. Ratios are float32 bytes / compressed bytes. `--json` keeps every figure (the entropy
probe reads the peers' bytes from it).

`--corpus` measures the 1-D signals of bench/corpus.json's halves instead (extract them first with
bench/corpus.py): SZ3's three algorithms and FixedScaleOffset + pcodec against version 2 at its three
efforts, with each signal and target's best peer bytes / ours, each signal's geomean of that and the
geomean per half; `--against` prints the same figures of an earlier `--json` beside them.

`--speed` times encode and decode of the ECG tiled to 10^6 samples (each tile rotated by an odd
number of samples) at max error 1e-3 x range, one thread, wall time, medians of interleaved rounds.
quorvel runs on one thread too (`threads=1`); one more line decodes its version-2 container on
2 threads.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import dataclasses  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import pathlib  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from typing import Callable  # noqa: E402

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
sys.path.insert(0, str(ROOT / "bench"))
from aimed import ecg_tiled  # noqa: E402

MAX_ERROR_FRACTIONS = (1e-2, 3e-3, 1e-3, 3e-4, 1e-4)
RMSE_FRACTIONS = (3e-3, 1e-3, 3e-4, 1e-4)
SIGNALS = {
    "ecg": "ecg_mitbih208_360hz.npy",
    "speech": "speech_alsa_front_center_48k.npy",
    "eeg": "eeg_fp1_128hz.npy",
    "membrane": "mpl_membrane.npy",
    "co2": "co2_weekly_mauna_loa.npy",
    "sst": "sst_elnino_monthly.npy",
    "sunspots": "sunspots_yearly.npy",
    "goog": "goog_adj_close_daily.npy",
}


def load_signals(names: list[str] | None = None) -> dict[str, np.ndarray]:
    chosen = names or list(SIGNALS)
    return {name: np.load(DATA / SIGNALS[name]).astype(np.float32) for name in chosen}


CORPUS_CATALOGUE = ROOT / "bench" / "corpus.json"
CORPUS_CACHE = ROOT / "bench" / ".corpus"
# One signal of each kind the speed table covers: ECG, seismogram, an oversampled smooth one, speech.
CORPUS_SPEED = ("ecg_spkit_contact_2048hz", "seismic_bw_kw1_ehz", "eda_spkit_sample1", "voice_apollo11_a11wlk01")


def corpus_halves(half: str, cache: pathlib.Path = CORPUS_CACHE) -> dict[str, str]:
    """Name -> half of the corpus' 1-D signals in `half` (tuning, checking or all)."""
    entries = json.loads(CORPUS_CATALOGUE.read_text())["signals"]
    chosen = {e["name"]: e["half"] for e in entries
              if e["layout"] == "1-D" and half in ("all", e["half"])}
    missing = [name for name in chosen if not (cache / f"{name}.npy").exists()]
    if missing:
        sys.exit(f"{len(missing)} corpus signals missing in {cache} (run bench/corpus.py): {missing[:3]}")
    return chosen


def load_corpus(names: list[str], cache: pathlib.Path = CORPUS_CACHE) -> dict[str, np.ndarray]:
    return {name: np.load(cache / f"{name}.npy").astype(np.float32) for name in names}


def tiled(x: np.ndarray, n: int) -> np.ndarray:
    """x repeated to n samples, each tile rotated by an odd number of samples (as aimed.ecg_tiled)."""
    tiles, tile = [], 0
    while sum(t.size for t in tiles) < n:
        tiles.append(np.roll(x, -(((2 * tile + 1) * 7919 % x.size) | 1)))
        tile += 1
    return np.concatenate(tiles)[:n]


def meets(x: np.ndarray, y: np.ndarray, kind: str, target: float) -> bool:
    if y.shape != x.shape:
        return False
    error = y.astype(np.float64) - x.astype(np.float64)
    figure = np.max(np.abs(error)) if kind == "max_error" else math.sqrt(np.mean(error * error))
    return bool(figure <= target)


@dataclasses.dataclass(frozen=True)
class Peer:
    """A codec with one error-like parameter (in signal units), or one that aims at the target itself.

    decode(blob, x, bound) gets the input's shape from x and the parameter used, as a numcodecs
    codec's configuration (offset, scale, dtypes) lives in a store's JSON, not in the chunk's bytes.
    """

    name: str
    encode: Callable[[np.ndarray, float], bytes]
    decode: Callable[[bytes, np.ndarray, float], np.ndarray]
    aims: Callable[[np.ndarray, str, float], bytes] | None = None


# ---------------------------------------------------------------- the peers


def sz3_peer(algorithm: int, name: str) -> Peer:
    from pysz import sz, szConfig, szErrorBoundMode

    def encode(x: np.ndarray, bound: float) -> bytes:
        config = szConfig()
        config.errorBoundMode = szErrorBoundMode.ABS
        config.absErrorBound = bound
        config.cmprAlgo = algorithm
        return sz.compress(x, config)[0].tobytes()

    def decode(blob: bytes, x: np.ndarray, bound: float) -> np.ndarray:
        return sz.decompress(np.frombuffer(blob, np.uint8), np.float32, x.shape)[0]

    return Peer(name, encode, decode)


def fixed_scale_offset(x: np.ndarray, bound: float, astype: str):
    from numcodecs import FixedScaleOffset

    return FixedScaleOffset(offset=float(x.min()), scale=1.0 / (2.0 * bound), dtype="<f4", astype=astype)


def code_type(x: np.ndarray, bound: float) -> str:
    top = (float(x.max()) - float(x.min())) / (2.0 * bound) + 1
    return "<i2" if top < 2**15 else "<i4" if top < 2**31 else "<i8"


def fso_pcodec_peer() -> Peer:
    from numcodecs import PCodec

    def codecs(x: np.ndarray, bound: float):
        astype = "<i4" if code_type(x, bound) != "<i8" else "<i8"
        return fixed_scale_offset(x, bound, astype), PCodec(level=8)

    def encode(x: np.ndarray, bound: float) -> bytes:
        fso, pco = codecs(x, bound)
        return bytes(pco.encode(fso.encode(x)))

    def decode(blob: bytes, x: np.ndarray, bound: float) -> np.ndarray:
        fso, pco = codecs(x, bound)
        return fso.decode(pco.decode(blob))

    return Peer("fso+pcodec", encode, decode)


def fso_delta_zlib_peer() -> Peer:
    from numcodecs import Delta, Zlib

    def codecs(x: np.ndarray, bound: float):
        astype = code_type(x, bound)
        return fixed_scale_offset(x, bound, astype), Delta(dtype=astype), Zlib(level=9)

    def encode(x: np.ndarray, bound: float) -> bytes:
        fso, delta, zlib = codecs(x, bound)
        return bytes(zlib.encode(delta.encode(fso.encode(x))))

    def decode(blob: bytes, x: np.ndarray, bound: float) -> np.ndarray:
        fso, delta, zlib = codecs(x, bound)
        return fso.decode(delta.decode(zlib.decode(blob)))

    return Peer("fso+delta+zlib", encode, decode)


def quorvel_peers(threads: int = 1) -> list[Peer]:
    """quorvel_tools' aimed encoder at two efforts and both container versions, on `threads` threads."""
    import quorvel_tools

    def aimed(effort: str, version: int) -> Peer:
        def encode(x: np.ndarray, kind: str, target: float) -> bytes:
            return quorvel_tools.encode(x, **{kind: target}, effort=effort, format=version, threads=threads)

        def decode(blob: bytes, x: np.ndarray, bound: float) -> np.ndarray:
            return quorvel_tools.decode(blob, threads=threads)

        return Peer(f"v{version}-{effort}", lambda x, b: b"", decode, aims=encode)

    return [aimed(effort, version) for version in (1, 2) for effort in ("best", "default")]


def corpus_peers() -> list[Peer]:
    """SZ3's algorithms, FixedScaleOffset + pcodec, and version 2 at each effort."""
    import quorvel_tools

    def aimed(effort: str) -> Peer:
        def encode(x: np.ndarray, kind: str, target: float) -> bytes:
            return quorvel_tools.encode(x, **{kind: target}, effort=effort, format=2, threads=1)

        return Peer(f"v2-{effort}", lambda x, b: b"", lambda blob, x, b: quorvel_tools.decode(blob, threads=1),
                    aims=encode)

    return [p for p in all_peers() if p.aims is None and p.name != "fso+delta+zlib"] + [
        aimed("fast"), aimed("default"), aimed("best")]


def all_peers() -> list[Peer]:
    from pysz import szAlgorithm

    sz3 = [
        sz3_peer(szAlgorithm.LORENZO_REG, "sz3-lorenzo"),
        sz3_peer(szAlgorithm.INTERP_LORENZO, "sz3-interp-lorenzo"),
        sz3_peer(szAlgorithm.INTERP, "sz3-interp"),
    ]
    return sz3 + [fso_pcodec_peer(), fso_delta_zlib_peer()] + quorvel_peers()


# ---------------------------------------------------------------- the search


def smallest_meeting(peer: Peer, x: np.ndarray, kind: str, target: float) -> tuple[int, float] | None:
    """(bytes, bound) of the smallest output meeting the target, or None when nothing tried does."""
    if peer.aims is not None:
        try:
            blob = peer.aims(x, kind, target)
        except ValueError:
            return None
        return (len(blob), target) if meets(x, peer.decode(blob, x, target), kind, target) else None
    best: tuple[int, float] | None = None

    def attempt(bound: float) -> bool:
        nonlocal best
        blob = peer.encode(x, bound)
        if not meets(x, peer.decode(blob, x, bound), kind, target):
            return False
        size = len(blob)
        if best is None or size < best[0]:
            best = (size, bound)
        return True

    if kind == "max_error":
        # A strict bound of b gives errors up to b; float32 rounding of the output may add an ulp.
        for shrink in (1.0, 0.9999, 0.999, 0.99, 0.95, 0.8, 0.5):
            if attempt(target * shrink):
                break
        return best
    lo, hi = math.log(target * 0.25), math.log(target * 16.0)
    if not attempt(math.exp(lo)):
        return None
    for _ in range(14):
        middle = 0.5 * (lo + hi)
        lo, hi = (middle, hi) if attempt(math.exp(middle)) else (lo, middle)
    return best


def targets() -> list[tuple[str, float]]:
    return [("max_error", f) for f in MAX_ERROR_FRACTIONS] + [("rmse", f) for f in RMSE_FRACTIONS]


def measure_all(signals: dict[str, np.ndarray], peers: list[Peer]) -> list[dict]:
    rows = []
    for name, x in signals.items():
        span = float(x.max()) - float(x.min())
        for kind, fraction in targets():
            for peer in peers:
                found = smallest_meeting(peer, x, kind, fraction * span)
                rows.append({
                    "signal": name, "kind": kind, "fraction": fraction, "peer": peer.name,
                    "bytes": None if found is None else found[0],
                    "bound": None if found is None else found[1],
                    "ratio": None if found is None else 4.0 * x.size / found[0],
                })
    return rows


# ---------------------------------------------------------------- tables


def geomean(values: list[float]) -> float:
    values = [v for v in values if v]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def with_best_peer(rows: list[dict]) -> list[dict]:
    """Adds the rows `sz3` (best of its algorithms) and `best-peer` (better of sz3 and fso+pcodec)."""
    out = list(rows)
    keyed: dict[tuple, dict[str, dict]] = {}
    for row in rows:
        keyed.setdefault((row["signal"], row["kind"], row["fraction"]), {})[row["peer"]] = row
    for key, by_peer in keyed.items():
        for label, members in (("sz3", [p for p in by_peer if p.startswith("sz3-")]), ("best-peer", None)):
            members = members if members is not None else ["sz3", "fso+pcodec"]
            candidates = [by_peer[p] for p in members if p in by_peer and by_peer[p]["bytes"]]
            best = min(candidates, key=lambda r: r["bytes"], default=None)
            row = dict(best or {"bytes": None, "bound": None, "ratio": None}, peer=label)
            row.update(signal=key[0], kind=key[1], fraction=key[2])
            by_peer[label] = row
            out.append(row)
    return out


def print_tables(rows: list[dict], columns: list[str]) -> None:
    signals = list(dict.fromkeys(r["signal"] for r in rows))
    cell = {(r["signal"], r["kind"], r["fraction"], r["peer"]): r["ratio"] for r in rows}
    header = f"{'target':<16}" + "".join(f"{c:>20}" for c in columns)
    for signal in signals:
        print(f"\n## {signal}\n{header}")
        for kind, fraction in targets():
            label = f"{'maxerr' if kind == 'max_error' else 'rmse'} {fraction:g}"
            values = [cell.get((signal, kind, fraction, c)) for c in columns]
            print(f"{label:<16}" + "".join(f"{v:>20.2f}" if v else f"{'miss':>20}" for v in values))
    print("\n## geomean ratio over signals and targets")
    print(f"{'kind':<16}" + "".join(f"{c:>20}" for c in columns))
    for kind in ("max_error", "rmse"):
        values = [geomean([r["ratio"] for r in rows if r["kind"] == kind and r["peer"] == c]) for c in columns]
        print(f"{kind:<16}" + "".join(f"{v:>20.2f}" for v in values))
    print("\n## per-signal geomean relative to best-peer (sz3 or fso+pcodec)")
    for kind in ("max_error", "rmse"):
        for column in columns:
            line = []
            for signal in signals:
                pairs = [(cell.get((signal, k, f, column)), cell.get((signal, k, f, "best-peer")))
                         for k, f in targets() if k == kind]
                line.append(geomean([a / b for a, b in pairs if a and b]))
            print(f"{kind:<10} {column:<20}" + "".join(f"{s:>10}{v:6.2f}" for s, v in zip(signals, line)))


# ---------------------------------------------------------------- lossless on the grid


def external_size(command: list[str], path: pathlib.Path) -> int:
    return len(subprocess.run([*command, str(path)], check=True, capture_output=True).stdout)


def lossless_tables(peers: list[Peer]) -> None:
    """The PCM speech below half an LSB and the EDF below half its digital step, against flac and xz."""
    import pyedflib

    wav = DATA / "speech_alsa_front_center.wav"
    edf = DATA / "eeg_fp1_128hz.edf"
    with pyedflib.EdfReader(str(edf)) as reader:
        step = abs(reader.getPhysicalMaximum(0) - reader.getPhysicalMinimum(0)) / (
            reader.getDigitalMaximum(0) - reader.getDigitalMinimum(0))
    cases = [("speech wav", wav, "speech", 0.49 / 32768), ("eeg edf", edf, "eeg", 0.49 * step)]
    print("\n## lossless on the grid: bytes (file size for reference)")
    for label, path, signal, bound in cases:
        x = load_signals([signal])[signal]
        sizes = {"file": path.stat().st_size, "xz -9": external_size(["xz", "-9", "-c", "-k"], path),
                 "gzip -9": external_size(["gzip", "-9", "-c"], path)}
        if path.suffix == ".wav":
            sizes["flac -8"] = external_size(["flac", "-8", "--silent", "-c"], path)
        for peer in peers:
            if peer.name in ("fso+pcodec", "fso+delta+zlib") or peer.aims is not None:
                found = smallest_meeting(peer, x, "max_error", bound)
                sizes[peer.name] = found[0] if found else None
        print(f"{label:<12} max error {bound:.4g}: " + ", ".join(f"{k} {v}" for k, v in sizes.items()))


# ---------------------------------------------------------------- speed


def speed(peers: list[Peer], rounds: int, x: np.ndarray | None = None, label: str = "ECG") -> None:
    x = ecg_tiled(1_000_000).astype(np.float32) if x is None else x
    target = 1e-3 * (float(x.max()) - float(x.min()))
    jobs = []
    for peer in peers:
        found = smallest_meeting(peer, x, "max_error", target)
        if found is None:
            continue
        if peer.aims is not None:
            encode = lambda p=peer: p.aims(x, "max_error", target)  # noqa: E731
        else:
            encode = lambda p=peer, b=found[1]: p.encode(x, b)  # noqa: E731
        jobs.append((peer, encode, encode(), found[1]))
    times: dict[str, list[tuple[float, float]]] = {job[0].name: [] for job in jobs}
    for _ in range(rounds):
        for peer, encode, blob, bound in jobs:
            start = time.perf_counter()
            encode()
            middle = time.perf_counter()
            peer.decode(blob, x, bound)
            times[peer.name].append((middle - start, time.perf_counter() - middle))
    megabytes = x.nbytes / 1e6
    print(f"\n## speed: {label} tiled to {x.size} samples, max error 1e-3 x range, one thread, "
          f"medians of {rounds} interleaved rounds")
    print(f"{'codec':<22}{'ratio':>8}{'encode MB/s':>14}{'decode MB/s':>14}")
    medians = {}
    for peer, _, blob, _ in jobs:
        encode_s = float(np.median([t[0] for t in times[peer.name]]))
        decode_s = float(np.median([t[1] for t in times[peer.name]]))
        medians[peer.name] = (encode_s, decode_s)
        print(f"{peer.name:<22}{x.nbytes / len(blob):>8.2f}"
              f"{megabytes / encode_s:>14.0f}{megabytes / decode_s:>14.0f}")
    others = [name for name in medians if not name.startswith("v")]
    if others:
        fastest_encode = min(others, key=lambda n: medians[n][0])
        fastest_decode = min(others, key=lambda n: medians[n][1])
        for name in (n for n in medians if n.startswith("v2")):
            print(f"{name}: encode {medians[fastest_encode][0] / medians[name][0]:.2f}x {fastest_encode}, "
                  f"decode {medians[fastest_decode][1] / medians[name][1]:.2f}x {fastest_decode}")


# ---------------------------------------------------------------- the corpus


def gains(rows: list[dict], ours: str = "v2-default") -> dict[tuple, float]:
    """(signal, kind, fraction) -> best peer's bytes / ours (above 1: ours is smaller)."""
    cell = {(r["signal"], r["kind"], r["fraction"], r["peer"]): r["bytes"] for r in rows}
    out = {}
    for signal, kind, fraction, peer in cell:
        if peer == ours and cell[signal, kind, fraction, peer]:
            best = cell.get((signal, kind, fraction, "best-peer"))
            if best:
                out[signal, kind, fraction] = best / cell[signal, kind, fraction, peer]
    return out


def corpus_tables(rows: list[dict], halves: dict[str, str], against: list[dict] | None) -> None:
    """Best peer / ours per signal and target, each signal's geomean, the geomean per half (and before)."""
    columns = ["v2-fast", "v2-default", "v2-best"]
    now = {c: gains(rows, c) for c in columns}
    before = gains(against) if against else {}
    misses = [(r["signal"], r["kind"], r["fraction"], r["peer"]) for r in rows
              if r["peer"].startswith("v2") and r["bytes"] is None]
    print("\n## best peer bytes / v2 bytes (above 1: v2 is smaller)" + (", and before" if before else ""))
    print(f"{'signal':<28}{'target':<14}{'best peer':>11}" + "".join(f"{c:>12}" for c in columns)
          + (f"{'before':>10}" if before else ""))
    cell = {(r["signal"], r["kind"], r["fraction"], r["peer"]): r for r in rows}
    for signal in halves:
        for kind, fraction in targets():
            key = (signal, kind, fraction)
            best = cell.get((*key, "best-peer"), {}).get("bytes")
            label = f"{'maxerr' if kind == 'max_error' else 'rmse'} {fraction:g}"
            values = "".join(f"{now[c][key]:>12.3f}" if key in now[c] else f"{'miss':>12}" for c in columns)
            print(f"{signal:<28}{label:<14}{best or 0:>11}{values}"
                  + (f"{before[key]:>10.3f}" if key in before else ""))
    print("\n## per signal: geomean of best peer / v2 over the targets (max error, RMSE, all)")
    for signal, half in halves.items():
        parts = []
        for kinds in (("max_error",), ("rmse",), ("max_error", "rmse")):
            g = geomean([v for k, v in now["v2-default"].items() if k[0] == signal and k[1] in kinds])
            b = geomean([v for k, v in before.items() if k[0] == signal and k[1] in kinds])
            parts.append(f"{g:7.3f}" + (f" ({b:.3f})" if before else ""))
        print(f"{signal:<28}{half:<10}" + "".join(f"{p:>18}" for p in parts))
    print("\n## geomean of best peer / v2 per half" + (" (before in brackets)" if before else ""))
    for half in ("tuning", "checking"):
        names = {s for s, h in halves.items() if h == half}
        if not names:
            continue
        for kinds in (("max_error",), ("rmse",), ("max_error", "rmse")):
            line = []
            for c in columns:
                g = geomean([v for k, v in now[c].items() if k[0] in names and k[1] in kinds])
                line.append(f"{c} {g:.3f}")
            b = geomean([v for k, v in before.items() if k[0] in names and k[1] in kinds])
            print(f"{half:<10}{'+'.join(kinds):<18}" + "  ".join(line) + (f"  (before {b:.3f})" if before else ""))
    print(f"\nmissed targets: {len(misses)}" + "".join(f"\n  {m}" for m in misses))


def corpus_speed(rounds: int) -> None:
    peers = [p for p in corpus_peers() if p.name != "v2-best"]
    for name in CORPUS_SPEED:
        x = tiled(load_corpus([name])[name], 1_000_000)
        speed(peers, rounds, x, name)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--signals", help="comma-separated subset of " + ",".join(SIGNALS))
    parser.add_argument("--json", help="write every measured row here")
    parser.add_argument("--speed", action="store_true", help="time encode and decode instead")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--corpus", choices=("tuning", "checking", "all"), help="the corpus' 1-D signals")
    parser.add_argument("--against", help="an earlier --corpus --json whose figures print beside")
    parser.add_argument("--peers-from", help="an earlier --corpus --json whose peers' rows are taken as they are: "
                        "only quorvel is measured (the peers' outputs do not change between runs)")
    options = parser.parse_args()
    if options.corpus and options.speed:
        corpus_speed(options.rounds)
        return
    if options.corpus:
        halves = corpus_halves(options.corpus)
        if options.signals:
            halves = {k: v for k, v in halves.items() if k in options.signals.split(",")}
        peers, kept = corpus_peers(), []
        if options.peers_from:
            kept = [row for row in json.loads(pathlib.Path(options.peers_from).read_text())
                    if row["signal"] in halves and row["peer"] not in ("sz3", "best-peer")
                    and not row["peer"].startswith("v2-")]
            peers = [p for p in peers if p.name.startswith("v2-")]
        rows = with_best_peer(kept + measure_all(load_corpus(list(halves)), peers))
        for row in rows:
            row["half"] = halves[row["signal"]]
        if options.json:
            pathlib.Path(options.json).write_text(json.dumps(rows, indent=0))
        against = json.loads(pathlib.Path(options.against).read_text()) if options.against else None
        corpus_tables(rows, halves, against)
        return
    peers = all_peers()
    if options.speed:
        on_two = [dataclasses.replace(p, name=p.name + " 2 threads") for p in quorvel_peers(threads=2)
                  if p.name == "v2-default"]
        speed([p for p in peers if not p.name.endswith("-best")] + on_two, options.rounds)
        return
    rows = with_best_peer(measure_all(load_signals(options.signals and options.signals.split(",")), peers))
    columns = [p.name for p in peers] + ["sz3", "best-peer"]
    print_tables(rows, columns)
    lossless_tables(peers)
    if options.json:
        pathlib.Path(options.json).write_text(json.dumps(rows, indent=0))


if __name__ == "__main__":
    main()
