"""A part of a stored frame, read from byte ranges: only the bytes decoding it needs.

The reader fetches the head, walks the containers by their headers and block
indexes, and fetches the blocks of the asked lanes (and of their references)
that hold the asked samples, then the masks and the CRC. Those bytes go into a
buffer of the frame's size whose other bytes are zeros that the decoder never
reads; decode_array of that buffer checks and decodes the part as it would
from the whole frame (the head's and masks' CRC, each block's CRC). A frame in
the lane-table layout, or one whose head or containers do not parse from the
bytes fetched, is fetched whole: decode_array then decodes it or names the damage.
"""
from __future__ import annotations

from collections.abc import Awaitable, Callable, Generator
from typing import Any

import numpy as np
import numpy.typing as npt

from quorvel_tools import _codec
from quorvel_tools._frame import decode_array, part_of
from quorvel_tools.errors import CodecError

HEAD_BYTES = 256  # the first fetch: the head of most frames, and the start of the first container
CONTAINER_BYTES = 64  # the first container's first fetch; the next ones fetch what their predecessor's header took

Ranges = list[tuple[int, int]]  # [start, end) byte ranges of the frame
Plan = Generator[Ranges, list[bytes], None]


class HeldFrame:
    """A frame of `size` bytes as far as it has been fetched; zeros elsewhere."""

    def __init__(self, size: int) -> None:
        self.bytes = bytearray(size)
        self.view = memoryview(self.bytes)
        self.held: list[tuple[int, int]] = []  # disjoint, sorted
        self.fetched = 0

    def missing(self, start: int, end: int) -> Ranges:
        """The parts of [start, end) not fetched yet."""
        gaps = []
        for a, b in self.held:
            if b <= start or a >= end:
                continue
            if a > start:
                gaps.append((start, a))
            start = max(start, b)
        return gaps + ([(start, end)] if start < end else [])

    def need(self, ranges: Ranges) -> Plan:
        """Fetches what `ranges` hold that is not held yet (yielded to the caller, who sends the bytes back)."""
        gaps = [gap for a, b in ranges for gap in self.missing(a, min(b, len(self.bytes)))]
        if not gaps:
            return
        pieces = yield gaps
        for (a, b), piece in zip(gaps, pieces, strict=True):
            if len(piece) != b - a:
                raise CodecError(f"the store gave {len(piece)} bytes for bytes {a} to {b} of a frame of "
                                 f"{len(self.bytes)}: the chunk is shorter than its size says, or changed")
            self.bytes[a:b] = piece
            self.fetched += b - a
        self.held = sorted(self.held + gaps)
        merged: list[tuple[int, int]] = []
        for a, b in self.held:
            if merged and a <= merged[-1][1]:
                merged[-1] = (merged[-1][0], max(merged[-1][1], b))
            else:
                merged.append((a, b))
        self.held = merged


def _container(frame: HeldFrame, at: int, limit: int, version: int,
               guess: int) -> Generator[Ranges, list[bytes], Any]:
    """(sample count, block length, block starts) of the container at `at`, fetching its header and
    block index (`guess` bytes first); None when it does not parse even from every byte up to `limit`."""
    held = min(max(guess, 1), limit - at)
    while True:
        yield from frame.need([(at, at + held)])
        try:
            blocks = _codec.container_blocks(frame.view[at:limit], version)
        except ValueError:
            if held >= limit - at:
                return None
            held = min(2 * held, limit - at)
            continue
        if blocks[2][0] <= held:  # the header and index were read from fetched bytes only
            return blocks
        held = blocks[2][0]


def plan(frame: HeldFrame, lanes: Any, start: int | None, stop: int | None) -> Plan:
    """Fetches into `frame` what decode_array(frame, lanes=lanes, start=start, stop=stop) reads."""
    size = len(frame.bytes)
    prefix = min(HEAD_BYTES, size)
    while True:
        yield from frame.need([(0, prefix)])
        if size >= 8 and frame.bytes[7] & 4 == 0:  # the lane-table layout: fetched whole
            break
        try:
            head = _codec.frame_head(frame.view[:prefix])
        except ValueError:
            if prefix == size:
                return
            prefix = min(2 * prefix, size)
            continue
        ranges = yield from _walk(frame, head, lanes, start, stop)
        yield from frame.need(ranges if ranges is not None else [(0, size)])
        return
    yield from frame.need([(0, size)])


def _walk(frame: HeldFrame, head: tuple[Any, ...], lanes: Any, start: int | None,
          stop: int | None) -> Generator[Ranges, list[bytes], Ranges | None]:
    """Fetches the containers' headers; the ranges of the blocks the part needs, the masks and the CRC
    (None when a container does not parse, or the part lies outside the frame)."""
    version, _, shape, count, at, bitmap, any_container, references = head
    size = len(frame.bytes)
    limit = size - (4 if frame.bytes[7] & 1 else 0)
    has = np.unpackbits(np.frombuffer(bitmap, np.uint8), bitorder="little") if bitmap else None
    needed: set[int] | None = None
    first = last = 0
    blocks = []
    guess = CONTAINER_BYTES
    for lane in range(count if any_container else 0):
        if has is not None and not has[lane]:
            continue
        container = yield from _container(frame, at, limit, version, guess)
        if container is None:
            return None
        n, block_length, starts = container
        guess = starts[0]
        if needed is None:  # the first container gives the lanes' length, and so the part
            try:
                picked, first, last, _ = part_of((*shape[:-1], n) if shape else (), lanes, start, stop)
            except (IndexError, ValueError, TypeError):
                return None  # decode_array says what is wrong with the part
            needed = _with_references(set(picked.tolist()), references)
        if lane in needed and first < last:
            a, b = first // block_length, (last - 1) // block_length + 1
            blocks.append((at + starts[a], at + starts[b]))
        at += starts[-1]
    return [*blocks, (at, size)]


def _with_references(lanes: set[int], references: tuple[tuple[int, int, int], ...]) -> set[int]:
    """`lanes` and the lanes their joint lanes are coded against."""
    against = {lane: reference for lane, reference, _ in references}
    while True:
        more = lanes | {against[lane] for lane in lanes if lane in against}
        if more == lanes:
            return lanes
        lanes = more


def fetch_part(read: Callable[[int, int], bytes], size: int, lanes: Any = None, start: int | None = None,
               stop: int | None = None) -> HeldFrame:
    """The frame of `size` bytes that `read(offset, length)` gives, as far as decoding the part needs."""
    frame = HeldFrame(size)
    steps = plan(frame, lanes, start, stop)
    try:
        gaps = next(steps)
        while True:
            gaps = steps.send([read(a, b - a) for a, b in gaps])
    except StopIteration:
        return frame


async def fetch_part_async(read: Callable[[int, int], Awaitable[bytes]], size: int, lanes: Any = None,
                           start: int | None = None, stop: int | None = None) -> HeldFrame:
    """fetch_part with a `read` to await; the ranges of each step are fetched at once."""
    import asyncio

    frame = HeldFrame(size)
    steps = plan(frame, lanes, start, stop)
    try:
        gaps = next(steps)
        while True:
            gaps = steps.send(list(await asyncio.gather(*(read(a, b - a) for a, b in gaps))))
    except StopIteration:
        return frame


def decode_array_ranges(
    read: Callable[[int, int], bytes],
    size: int,
    *,
    lanes: int | npt.ArrayLike | None = None,
    start: int | None = None,
    stop: int | None = None,
    threads: int | None = None,
    time_axis: int = -1,
) -> npt.NDArray[np.floating]:
    """decode_array(frame, lanes=..., start=..., stop=...) of a stored frame of ``size`` bytes that
    ``read(offset, length)`` gives a piece at a time, fetching only the bytes that part needs.

    What it fetches: the head, every container's header and block index, the
    blocks of the asked lanes (and of the lanes joint ones are coded against)
    that hold samples ``start`` to ``stop``, the masks and the CRC. The same
    checks as on the whole frame apply to them. A frame in the lane-table
    layout, or one whose parts do not parse, is fetched whole and decoded as
    :func:`decode_array` would. Raises :class:`~quorvel_tools.CodecError` when
    ``read`` gives fewer bytes than asked, and what :func:`decode_array` raises.
    """
    frame = fetch_part(read, size, lanes, start, stop)
    return decode_array(frame.bytes, lanes=lanes, start=start, stop=stop, threads=threads, time_axis=time_axis)
