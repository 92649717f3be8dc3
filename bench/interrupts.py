#!/usr/bin/env python3
"""Stops every subcommand with SIGINT, SIGTERM and SIGHUP at random moments of long work.

Each case gets an input sized so that the subcommand runs about --seconds here
(from timed runs on a tiny and a small input, capped at --max-samples), is timed once to
the end, then started again and sent each signal at --moments random moments
of that span. Per case and signal it reports how long the process took to
exit after the signal (median and worst), the exit statuses seen, and every
run that left an output or a temporary file behind (in the output's folder or
in TMPDIR). A run whose output was in place before its moment shows as "done":

    python3 bench/interrupts.py                          # every case, 10 moments per signal (long)
    python3 bench/interrupts.py --moments 2 --seconds 20
    python3 bench/interrupts.py --cases encode decode-csv --folder /tmp/stops
"""
import argparse
import contextlib
import os
import pathlib
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
PROBE = 200_000  # samples of the timed small run each case is sized from
RATE = "250"


def recording(n: int) -> np.ndarray:
    """Two channels of slow waves and noise in a fixed range (16-bit EDF holds them), made in parts
    so that the bench itself stays small."""
    rng = np.random.default_rng(3)
    out = np.empty((2, n), np.float32)
    for start in range(0, n, 1 << 20):
        t = np.arange(start, min(n, start + (1 << 20)), dtype=np.float64)
        out[:, start:start + t.size] = (np.sin(2e-3 * t) + 0.3 * np.sin([[0.05], [0.07]] * t)
                                        + rng.normal(0, 0.02, (2, t.size)))
    return out


def quorvel(*args: object, **kwargs: object) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "quorvel_tools.cli", *map(str, args)], check=True,
                          capture_output=True, **kwargs)


class Case:
    """A subcommand on an input of `n` samples per channel, made in `folder`."""

    def __init__(self, name: str, folder: pathlib.Path) -> None:
        self.name, self.folder = name, folder
        self.stream = b""  # what `info -` reads from a slow pipe

    def make(self, n: int) -> None:
        np.save(self.folder / "in.npy", recording(n))
        if self.name.startswith("decode") or self.name == "info":
            quorvel("encode", self.folder / "in.npy", self.folder / "in.qrvl", "--rmse", "0.01", "-q", "--force")
        if self.name == "info":
            self.stream = (self.folder / "in.qrvl").read_bytes()

    def args(self) -> list[object]:
        d = self.folder
        if self.name == "encode":
            return ["encode", d / "in.npy", d / "out.qrvl", "--rmse", "0.01", "-q"]
        if self.name.startswith("decode-"):
            return ["decode", d / "in.qrvl", d / f"out.{self.name[7:]}", "--rate", RATE, "-q"]
        if self.name == "report":
            return ["report", d / "in.npy", "--out", d / "out", "-q"]
        return ["info", "-"]

    def clear(self) -> None:
        for entry in self.folder.iterdir():
            if entry.name.startswith("out") or entry.name.startswith("."):
                shutil.rmtree(entry) if entry.is_dir() else entry.unlink()


CASES = ["encode", "decode-csv", "decode-edf", "decode-wav", "decode-npy", "info", "report"]


def start(case: Case, scratch: pathlib.Path, seconds: float) -> tuple[subprocess.Popen, threading.Thread]:
    process = subprocess.Popen([sys.executable, "-m", "quorvel_tools.cli", *map(str, case.args())],
                               env={**os.environ, "TMPDIR": str(scratch)}, stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # Every case but `info -` finds its standard input at its end at once.
    feeder = threading.Thread(target=feed, args=(process, case.stream, seconds), daemon=True)
    feeder.start()
    return process, feeder


def feed(process: subprocess.Popen, blob: bytes, seconds: float) -> None:
    """Writes `blob` to the process's standard input over about `seconds`, as a slow pipe would."""
    pieces = 200
    size = max(1, len(blob) // pieces)
    for begin in range(0, len(blob), size):
        if process.poll() is not None:
            return
        with contextlib.suppress(BrokenPipeError, ValueError):
            process.stdin.write(blob[begin:begin + size])
            process.stdin.flush()
        time.sleep(seconds / pieces)
    with contextlib.suppress(BrokenPipeError, ValueError):
        process.stdin.close()


def full_run(case: Case, scratch: pathlib.Path, seconds: float) -> float:
    began = time.monotonic()
    process, feeder = start(case, scratch, seconds)
    err = process.stderr.read()
    process.wait()
    feeder.join()
    if process.returncode != 0:
        raise SystemExit(f"{case.name}: {err.decode().strip()}")
    span = time.monotonic() - began
    case.clear()
    return span


def sized(case: Case, scratch: pathlib.Path, seconds: float, most: int) -> tuple[int, float]:
    """The input size that keeps the case busy about `seconds`, and the span of a run on it."""
    if case.name == "info":  # the slow pipe sets the pace
        case.make(PROBE)
        return PROBE, full_run(case, scratch, seconds)
    case.make(1000)
    setup = full_run(case, scratch, seconds)  # starting Python and the command: the same at any size
    case.make(PROBE)
    probe = full_run(case, scratch, seconds)
    n = int(min(most, max(PROBE, PROBE * (seconds - setup) / max(probe - setup, 1e-3))))
    case.make(n)
    return n, full_run(case, scratch, seconds)


def leftovers(case: Case, before: set[str], scratch: pathlib.Path) -> list[str]:
    left = sorted({entry.name for entry in case.folder.iterdir()} - before)
    return left + [f"TMPDIR/{entry.name}" for entry in scratch.iterdir()]


def stop_once(case: Case, scratch: pathlib.Path, span: float, moment: float,
              signum: int) -> tuple[float, object, list[str]]:
    """Time to exit after the signal, exit status (None: the work ended before the moment; negative:
    the signal's own action, before the command set up) and what was left behind."""
    before = {entry.name for entry in case.folder.iterdir()}
    process, feeder = start(case, scratch, span)
    time.sleep(moment)
    # The work done before the moment came (the machine ran faster this time), or its output already
    # in place (a signal then finds only the interpreter's shutdown to stop): nothing to measure.
    # (The report's folder is there from the start, filling: only its end counts.)
    placed = any(case.folder.glob("out.*")) or (case.folder / "out" / "index.html").exists()
    if process.poll() is not None or placed:
        process.wait()
        process.stderr.close()
        feeder.join()
        case.clear()
        return 0.0, None, []
    sent = time.monotonic()
    process.send_signal(signum)
    try:
        status = process.wait(timeout=60)
    except subprocess.TimeoutExpired:
        status = "hung"
    took = time.monotonic() - sent
    process.kill()
    process.wait()
    process.stderr.close()
    feeder.join()
    left = leftovers(case, before, scratch)
    case.clear()
    for entry in scratch.iterdir():
        shutil.rmtree(entry) if entry.is_dir() else entry.unlink()
    return took, status, left


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", nargs="*", default=CASES, choices=CASES)
    parser.add_argument("--seconds", type=float, default=30.0, help="how long each case should work (default 30)")
    parser.add_argument("--moments", type=int, default=10, help="random moments per case and signal (default 10)")
    parser.add_argument("--max-samples", type=int, default=50_000_000, help="largest input, samples per channel")
    parser.add_argument("--folder", type=pathlib.Path, help="where the inputs go (default: a temporary folder)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    root = args.folder or pathlib.Path(tempfile.mkdtemp(prefix="quorvel-interrupts-"))
    failures = 0
    print(f"{'case':11} {'samples':>10} {'run s':>6} {'signal':8} {'exit s median':>14} {'worst':>6} "
          f"{'statuses':16} leftovers", flush=True)
    try:
        for name in args.cases:
            folder = root / name
            scratch = folder.with_name(name + "-tmp")
            folder.mkdir(parents=True, exist_ok=True)
            scratch.mkdir(exist_ok=True)
            case = Case(name, folder)
            n, span = sized(case, scratch, args.seconds, args.max_samples)
            for signum in SIGNALS:
                times, statuses, left = [], set(), []
                for _ in range(args.moments):
                    took, status, files = stop_once(case, scratch, span, rng.uniform(0.02, 0.95) * span, signum)
                    statuses.add("done" if status is None else status)
                    times += [took] if status is not None else []
                    left += files
                times = times or [0.0]
                bad = left or max(times) > 1.0 or not statuses <= {128 + signum, -signum, "done"}
                failures += bool(bad)
                print(f"{name:11} {n:10} {span:6.1f} {signal.Signals(signum).name:8} "
                      f"{statistics.median(times):14.2f} {max(times):6.2f} "
                      f"{','.join(map(str, sorted(statuses, key=str))):16} {' '.join(left) or 'none'}", flush=True)
            shutil.rmtree(folder, ignore_errors=True)
            shutil.rmtree(scratch, ignore_errors=True)
    finally:
        if args.folder is None:
            shutil.rmtree(root, ignore_errors=True)
    print("every case stopped within a second and left nothing" if not failures else
          f"{failures} case(s) missed: a run over a second, an unexpected status or something left behind")


if __name__ == "__main__":
    main()
