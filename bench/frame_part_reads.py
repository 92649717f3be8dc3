"""How many of a frame's bytes decoding a part of it needs, and how many a Zarr read of it fetches.

    .venv/bin/python bench/corpus.py                  # extract the corpus into bench/.corpus
    .venv/bin/python bench/frame_part_reads.py [--cache DIR]

The 64-lane frames of bench/multichannel.py's speed lines (max error 1e-3 x R, joint lanes, compact
layout). A reader of a part reads: the frame's head; every container's header and block index (the
walk that finds where each container starts); of the lane asked for, and of its reference when it is
a joint lane, the blocks that hold the samples (each with its CRC); the masks and the CRC. The byte
ranges are counted from the frame's layout as docs/format.md gives it (the plain decoder of
tests/python/reference reads it), and decode_array(frame, lanes=..., start=..., stop=...) is checked
against the same slice of the whole frame. The frames are the chunks of a Zarr array on disk (one
chunk of 64 x 65536 samples, QuorvelCodec); "zarr" is what reading array[lane, start:stop] fetched
from the store (byte ranges, counted by a LocalStore that notes what it serves), "reads" how many
ranges that took.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile

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


def counting_store(path: pathlib.Path):  # noqa: ANN201 - a LocalStore that counts what it serves
    from zarr.storage import LocalStore

    class Counting(LocalStore):
        served: list[int] = []

        async def get(self, key, prototype=None, byte_range=None):  # noqa: ANN001, ANN202
            value = await super().get(key, prototype, byte_range)
            if value is not None and not key.endswith("zarr.json"):
                Counting.served.append(len(value))
            return value

    return Counting(path)


def main() -> None:
    import quorvel_tools
    import zarr
    from quorvel_tools.zarr import QuorvelCodec

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=pathlib.Path, default=peers.CORPUS_CACHE)
    args = parser.parse_args()
    print(f"{'frame':<34}{'bytes':>10}{'lane':>6}{'joint':>7}{'layout':>9}{'share':>8}{'zarr':>9}{'share':>8}"
          f"{'reads':>7}")
    for name in multichannel.SPEED_SIGNALS:
        x = np.load(args.cache / f"{name}.npy").astype(np.float32)[:, : multichannel.SPEED_LENGTH]
        x = multichannel.lanes_tiled(x, multichannel.SPEED_LANES)
        with tempfile.TemporaryDirectory() as folder:
            store = counting_store(pathlib.Path(folder))
            codec = QuorvelCodec(max_error=1e-3 * (float(x.max()) - float(x.min())), format=2)
            array = zarr.create_array(store, shape=x.shape, chunks=x.shape, dtype="float32", serializer=codec,
                                      compressors=None)
            array[:] = x
            frame = next(p for p in pathlib.Path(folder).rglob("*") if p.is_file() and p.name != "zarr.json")
            frame = frame.read_bytes()
            references = v2_container.compact_parts(frame)[3]
            n = x.shape[1]
            start, stop = 4 * n // 10, 5 * n // 10  # a tenth of the time
            whole = quorvel_tools.decode_array(frame)
            for lane in sorted({0, 63} | set(list(references)[:1])):
                part = quorvel_tools.decode_array(frame, lanes=[lane], start=start, stop=stop)
                assert np.array_equal(part[0], whole[lane, start:stop], equal_nan=True)
                store.served.clear()
                assert np.array_equal(array[lane, start:stop], whole[lane, start:stop], equal_nan=True)
                read, fetched = bytes_read(frame, lane, start, stop), sum(store.served)
                print(f"{name:<34}{len(frame):>10}{lane:>6}{'yes' if lane in references else 'no':>7}{read:>9}"
                      f"{read / len(frame):>8.1%}{fetched:>9}{fetched / len(frame):>8.1%}{len(store.served):>7}")


if __name__ == "__main__":
    main()
