"""Progress on stderr while one long call runs, when stderr is a terminal and tqdm is installed."""
from __future__ import annotations

import argparse
import contextlib
import sys
import threading
from typing import Any, Iterator

__all__ = ["busy", "progress_wanted"]


def progress_wanted(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


@contextlib.contextmanager
def busy(label: str, enabled: bool) -> Iterator[None]:
    """A tqdm spinner with the elapsed time on stderr while one long call runs.

    The codec releases the interpreter lock, so a helper thread can keep the line alive.
    """
    tqdm = _tqdm() if enabled else None
    if tqdm is None:
        yield
        return
    bar = tqdm(desc=label, total=None, file=sys.stderr, leave=False, bar_format="{desc} {elapsed}")
    stop = threading.Event()

    def tick() -> None:
        while not stop.wait(0.2):
            bar.refresh()

    thread = threading.Thread(target=tick, daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()
        bar.close()


def _tqdm() -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm
