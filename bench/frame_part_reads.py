"""How many of a frame's bytes decoding a part of it needs: one lane of 64 over a tenth of the time.

    .venv/bin/python bench/corpus.py                  # extract the corpus into bench/.corpus
    .venv/bin/python bench/frame_part_reads.py [--cache DIR]

The 64-lane frames of bench/multichannel.py's speed lines (max error 1e-3 x R, joint lanes, compact
layout). A reader of a part reads: the frame's head; every container's header and block index (the
walk that finds where each container starts); of the lane asked for, and of its reference when it is
a joint lane, the blocks that hold the samples (each with its CRC); the masks and the CRC. The byte
ranges are counted from the frame's layout as docs/format.md gives it (the plain decoder of
tests/python/reference reads it), and decode_array(frame, lanes=..., start=..., stop=...) is checked
against the same slice of the whole frame.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tests" / "python" / "reference"))
import multichannel  # noqa: E402
import peers  # noqa: E402
import v2_container  # noqa: E402


def bytes_read(frame: bytes, lane: int, start: int, stop: int) -> int:
    """Bytes of `frame` that decoding samples [start, stop) of `lane` reads."""
    _, containers, masks, references = v2_container.compact_parts(frame)
    head = len(frame) - 4 - sum(map(len, masks)) - sum(map(len, containers))
    total = head + sum(map(len, masks)) + 4
    needed = {lane} | ({references[lane][0]} if lane in references else set())
    for k, container in enumerate(containers):
        if not container:
            continue
        header, header_end, parts = v2_container.parse(container)
        total += header_end  # the walk reads every container's header and block index
        if k in needed:
            first, last = start // header.block_length, (stop - 1) // header.block_length
            total += sum(size + 4 for _, size in parts[first : last + 1])
    return total


def main() -> None:
    import quorvel_tools

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=pathlib.Path, default=peers.CORPUS_CACHE)
    args = parser.parse_args()
    print(f"{'frame':<34}{'bytes':>10}{'lane':>6}{'joint':>7}{'read':>9}{'share':>8}")
    for name in multichannel.SPEED_SIGNALS:
        x = np.load(args.cache / f"{name}.npy").astype(np.float32)[:, : multichannel.SPEED_LENGTH]
        x = multichannel.lanes_tiled(x, multichannel.SPEED_LANES)
        frame = quorvel_tools.encode_array(x, max_error=1e-3 * (float(x.max()) - float(x.min())), format=2)
        references = v2_container.compact_parts(frame)[3]
        n = x.shape[1]
        start, stop = 4 * n // 10, 5 * n // 10  # a tenth of the time
        whole = quorvel_tools.decode_array(frame)
        for lane in sorted({0, 63} | set(list(references)[:1])):
            part = quorvel_tools.decode_array(frame, lanes=[lane], start=start, stop=stop)
            assert np.array_equal(part[0], whole[lane, start:stop], equal_nan=True)
            read = bytes_read(frame, lane, start, stop)
            print(f"{name:<34}{len(frame):>10}{lane:>6}{'yes' if lane in references else 'no':>7}{read:>9}"
                  f"{read / len(frame):>8.1%}")


if __name__ == "__main__":
    main()
