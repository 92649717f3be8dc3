"""What a chunk frame costs over its lanes' containers, in the lane-table layout and the compact one.

    .venv/bin/python bench/corpus.py                  # extract the corpus into bench/.corpus
    .venv/bin/python bench/frame_overhead.py [--cache DIR]

Overhead = frame bytes - the containers it holds - its mask streams: the header, shape, lane table or
bitmap, mask lengths, reference table and CRC. Each multi-channel recording of the corpus is coded at
max error 1e-3 x R (R = max - min) with joint lanes, as the encoder does by default; so are the 64-lane
frames of bench/multichannel.py's speed lines, and 1-lane 1-D frames of a few sizes. The budget is the
compact layout's promise, 16 + 2 N bytes for N lanes.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import multichannel  # noqa: E402
import peers  # noqa: E402


def overhead(frame: bytes) -> int:
    """Frame bytes less its containers and its masks (which lie between the last container and the CRC)."""
    from quorvel_tools import _codec

    _, _, lanes, _ = _codec.frame_info(frame)
    containers = sum(size for _, size in lanes)
    end = max((offset + size for offset, size in lanes if size), default=None)
    masks = len(frame) - 4 - end if end is not None else 0  # frames here have a container
    return len(frame) - containers - masks


def both(x: np.ndarray, **options) -> tuple[int, int, int]:
    """Lanes, and the overhead in the lane-table layout and the compact one, of the same containers."""
    from quorvel_tools import Settings
    from quorvel_tools._frame import encode_settings

    settings = Settings.of(**options, format=2)
    table = encode_settings(x, settings, compact=False)
    compact = encode_settings(x, settings)
    lanes = int(np.prod(x.shape[:-1], dtype=np.int64)) if x.ndim > 1 else 1
    return lanes, overhead(table), overhead(compact)


def row(name: str, x: np.ndarray) -> str:
    lanes, before, after = both(x, max_error=1e-3 * (float(x.max()) - float(x.min())))
    flag = "" if after <= 16 + 2 * lanes else "  OVER BUDGET"
    return f"{name:<40}{str(x.shape):>16}{before:>8}{after:>8}{16 + 2 * lanes:>8}{flag}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=pathlib.Path, default=peers.CORPUS_CACHE)
    args = parser.parse_args()
    print(f"{'frame':<40}{'shape':>16}{'table':>8}{'compact':>8}{'budget':>8}")
    entries = json.loads(peers.CORPUS_CATALOGUE.read_text())["signals"]
    for e in entries:
        if e["layout"] != "1-D":
            print(row(e["name"], np.load(args.cache / e["file"]).astype(np.float32)))
    for name in multichannel.SPEED_SIGNALS:
        x = np.load(args.cache / f"{name}.npy").astype(np.float32)[:, : multichannel.SPEED_LENGTH]
        print(row(f"{name} x64 lanes", multichannel.lanes_tiled(x, multichannel.SPEED_LANES)))
    walk = np.cumsum(np.random.default_rng(0).standard_normal(1_000_000)).astype(np.float32)
    for n in (1, 100, 10_000, 1_000_000):
        print(row(f"1 lane, {n} samples", walk[:n]))
    print(row("1 lane in 3 axes, 1000000 samples", walk.reshape(1, 1, -1)))


if __name__ == "__main__":
    main()
