"""Whole version-2 containers and chunk frames in plain Python, read and written as docs/format.md lays
them out: the header, the palette, the block index and CRCs, the six codings, the cell filter and the
integer lifting, on top of the sequence-coder blocks of v2_block.py. Nothing here calls the codec, so the
conformance tests can hold the two against each other.
"""

from __future__ import annotations

import dataclasses
import pathlib
import struct
import sys
import zlib

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import v2_block  # noqa: E402
import v2_model as m  # noqa: E402

MODES = ("grid", "interpolated", "corrected", "ordinals", "lifted", "scaled", "scaled_linear")
SCALED = (5, 6)
PALETTE, ORIGIN_F64, STEP_F64, FILTER = 0x10, 0x20, 0x40, 0x80
FLOAT_MAX = float(np.finfo(np.float32).max)
LIFTING = (-103949, -3472, 57862, 29066)  # A, B, G, D in units of 2^-16
BOUND = 1 << 40


class Damaged(ValueError):
    """A container or frame the format refuses."""


@dataclasses.dataclass
class Header:
    mode: int
    block_log2: int
    count: int
    origin: float = 0.0
    step: float = 1.0
    wide_origin: bool = False
    wide_step: bool = False
    band_steps: list[int] = dataclasses.field(default_factory=list)
    multiplier: int = 0
    cell_filter: tuple[int, ...] | None = None
    palette: list[int] = dataclasses.field(default_factory=list)

    @property
    def block_length(self) -> int:
        return 1 << self.block_log2

    @property
    def block_count(self) -> int:
        return -(-self.count // self.block_length)


class Reader:
    def __init__(self, data: bytes, at: int = 0) -> None:
        self.data, self.at = data, at

    def take(self, count: int) -> bytes:
        if count > len(self.data) - self.at:
            raise Damaged("the container ends inside its header")
        self.at += count
        return self.data[self.at - count : self.at]

    def unpack(self, fmt: str):
        return struct.unpack("<" + fmt, self.take(struct.calcsize("<" + fmt)))[0]

    def leb128(self, max_bits: int = 64) -> int:
        value, shift = 0, 0
        while shift < max_bits:
            byte = self.unpack("B")
            bits = byte & 0x7F
            if max_bits - shift < 7 and bits >> (max_bits - shift):
                raise Damaged("a LEB128 number too large")
            value |= bits << shift
            if byte < 0x80:
                return value
            shift += 7
        raise Damaged("a LEB128 number too long")


def leb128(value: int) -> bytes:
    return v2_block.varint(value)


# ---------------------------------------------------------------- header


def parse(data: bytes) -> tuple[Header, int, list[tuple[int, int]]]:
    """The header, where it ends, and each block's (offset, size) of its coded part."""
    r = Reader(data)
    if r.take(4) != b"QRVL":
        raise Damaged("bad magic")
    if r.unpack("H") != 2:
        raise Damaged("not version 2")
    mode_byte, block_log2, count = r.unpack("B"), r.unpack("B"), r.leb128(32)
    mode, flags = mode_byte & 0x0F, mode_byte & 0xF0
    if mode >= len(MODES):
        raise Damaged(f"unknown coding mode {mode}")
    lifted, has_grid = mode == 4, mode != 3
    if (not has_grid and flags & (ORIGIN_F64 | STEP_F64)) or (flags & PALETTE and mode not in (0, 3)) or (
        flags & FILTER and (flags & PALETTE or mode not in (0, 1))
    ):
        raise Damaged(f"unknown flags in mode byte {mode_byte}")
    if not 8 <= block_log2 <= 14 or not 1 <= count <= 2**31 - 1:
        raise Damaged("block length or sample count out of range")
    h = Header(mode, block_log2, count, wide_origin=bool(flags & ORIGIN_F64), wide_step=bool(flags & STEP_F64))
    if has_grid:
        h.origin = r.unpack("d" if h.wide_origin else "f")
        h.step = r.unpack("d" if h.wide_step else "f")
        if not (np.isfinite(h.origin) and np.isfinite(h.step) and h.step > 0):
            raise Damaged("the grid's origin and step must be finite and the step positive")
    if lifted:
        if h.origin != 0:
            raise Damaged("the lifted coding's grid must start at 0")
        levels = r.unpack("B")
        if not 1 <= levels <= 8:
            raise Damaged("lifting levels outside 1 to 8")
        h.band_steps = [r.leb128() for _ in range(levels + 1)]
        if any(not 1 <= s <= 2**31 - 1 for s in h.band_steps):
            raise Damaged("band step outside 1 to 2^31 - 1")
    if mode in SCALED:
        h.multiplier = r.leb128()
        if not 2 <= h.multiplier <= 65536:
            raise Damaged("multiplier outside 2 to 65536")
    if flags & FILTER:
        h.cell_filter = struct.unpack("<4h", r.take(8))
    if flags & PALETTE:
        h.palette = read_palette(r, count)
    blocks = h.block_count
    if len(data) - r.at < 5 * blocks:
        raise Damaged("blocks cannot fit in the bytes that follow the header")
    sizes = [r.leb128(32) for _ in range(blocks)]
    at, parts = r.at, []
    for size in sizes:
        if len(data) - at < size + 4:
            raise Damaged("the container is truncated")
        parts.append((at, size))
        at += size + 4
    return h, r.at, parts


def read_palette(r: Reader, count: int) -> list[int]:
    entries, length = r.leb128(32), r.leb128(32)
    if not 1 <= entries <= min(count, 65536):
        raise Damaged("palette size out of range")
    gaps = v2_block.decode_block(r.take(length), entries)
    palette = [int(gaps[0])]
    for gap in gaps[1:]:
        palette.append(palette[-1] + 1 + (int(gap) & 0xFFFFFFFF))
        if palette[-1] > 2**31 - 1:
            raise Damaged("the palette's entries leave the int32 codes")
    return palette


def blocks_end(data: bytes) -> int:
    """Where the last block's CRC ends; the container takes max(52, that) bytes."""
    _, _, parts = parse(data)
    return parts[-1][0] + parts[-1][1] + 4


# ---------------------------------------------------------------- samples


def grid_samples(h: Header, k: np.ndarray) -> np.ndarray:
    """float32(origin + step * k), the product and the sum in double (k below 2^53)."""
    return (np.float64(h.origin) + np.float64(h.step) * k.astype(np.float64)).astype(np.float32)


def ordinal(y: np.ndarray) -> np.ndarray:
    return m.float_ordinals(y)


def from_ordinal(o: np.ndarray) -> np.ndarray:
    o = np.asarray(o, np.int64)
    bits = np.where(o >= 0, o, (-(o + 1)) | 0x80000000) & 0xFFFFFFFF
    return bits.astype(np.uint32).view(np.float32)


def mirrored(c: np.ndarray, i: np.ndarray) -> np.ndarray:
    last = c.size - 1
    i = np.where(i < 0, -i, np.where(i > last, 2 * last - i, i))
    return c[np.clip(i, 0, last)]


def filtered_samples(h: Header, c: np.ndarray) -> np.ndarray:
    """Codes through the cell filter: t in 1/1024 of a step, clamped to +-511, 0 for code 0."""
    c = c.astype(np.int64)
    i = np.arange(c.size)
    t = np.zeros(c.size, np.int64)
    for j, g in enumerate(h.cell_filter, start=1):
        t += g * (mirrored(c, i - j) + mirrored(c, i + j) - 2 * c)
    t = np.where(c == 0, 0, np.clip(t, -511, 511))
    fine = np.float64(h.step) / 1024.0
    return (np.float64(h.origin) + fine * (1024.0 * c.astype(np.float64) + t.astype(np.float64))).astype(np.float32)


def band_layout(n: int, levels: int) -> tuple[list[int], list[int], list[int]]:
    """Each level's input length (finest first), the bands' starts (approximation first, then details coarse
    to fine) and the index of each band's step."""
    lengths, length = [], n
    while len(lengths) < levels and length >= 2:
        lengths.append(length)
        length = (length + 1) // 2
    taken = len(lengths)
    starts, steps = [0, length], [0]
    for b in range(1, taken + 1):
        starts.append(starts[-1] + lengths[taken - b] // 2)
        steps.append(levels - taken + b)
    return lengths, starts, steps


def scaled(c: int, v: int) -> int:
    return (c * v + (1 << 15)) >> 16


def check_bound(values: list[int]) -> None:
    if any(not -BOUND <= v < BOUND for v in values):
        raise Damaged("its bands do not lift back to finite samples")


def inverse_level(s: list[int]) -> list[int]:
    size, ne = len(s), (len(s) + 1) // 2
    e, o = s[:ne], s[ne:]
    no = len(o)
    a, b, g, d = LIFTING

    def lift_evens(c: int) -> None:
        for i in range(ne):
            left = o[i - 1] if i >= 1 else o[0]
            right = o[i] if i < no else o[no - 1]
            e[i] -= scaled(c, left + right)

    def lift_odds(c: int) -> None:
        for i in range(no):
            o[i] -= scaled(c, e[i] + (e[i + 1] if i + 1 < ne else e[i]))

    lift_evens(d)
    lift_odds(g)
    lift_evens(b)
    lift_odds(a)
    out = [0] * size
    out[0::2], out[1::2] = e, o
    return out


def lifted_codes(q: np.ndarray, band_steps: list[int]) -> np.ndarray:
    levels = len(band_steps) - 1
    lengths, starts, steps = band_layout(q.size, levels)
    values = [int(v) for v in q]
    for band in range(len(starts) - 1):
        for i in range(starts[band], starts[band + 1]):
            values[i] *= band_steps[steps[band]]
    check_bound(values)
    for length in reversed(lengths):
        values[:length] = inverse_level(values[:length])
        check_bound(values[:length])
    return np.array(values, np.int64)


def predicted(codes: list[int], i: int, stride: int, linear: bool = False) -> int:
    """Coding 1's prediction of point i at `stride` from the codes before it, in Python integers; `linear`
    (coding 6) takes the mean of the two neighbours even where four are known."""
    n = len(codes)
    if stride == 0:
        return 0
    if i + stride >= n:
        return codes[i - stride]
    if linear or i < 3 * stride or i + 3 * stride >= n:
        return (codes[i - stride] + codes[i + stride] + 1) >> 1
    return (9 * (codes[i - stride] + codes[i + stride]) - codes[i - 3 * stride] - codes[i + 3 * stride] + 8) >> 4


def scaled_codes(r: np.ndarray, multiplier: int, linear: bool = False) -> np.ndarray:
    """Codings 5 and 6: in coding 1's order, each code its prediction (never wrapped) plus the multiplier
    times its residual; a code outside int32 is refused."""
    codes = [0] * r.size
    for (i, stride), residual in zip([(0, 0)] + m.interpolation_order(r.size), r.tolist()):
        codes[i] = predicted(codes, i, stride, linear) + multiplier * int(residual)
        if not -(2**31) <= codes[i] < 2**31:
            raise Damaged("a code leaves the int32 range")
    return np.array(codes, np.int64)


def block_samples(h: Header, part: bytes, n: int) -> np.ndarray:
    with np.errstate(over="ignore", invalid="ignore"):  # a sample past float32 is refused below, not warned of
        return mapped_samples(h, part, n)


def mapped_samples(h: Header, part: bytes, n: int) -> np.ndarray:
    if h.mode == 2:
        r = Reader(part)
        length = r.leb128(32)
        codes = v2_block.decode_block(r.take(length), n)
        corrections = v2_block.decode_block(part[r.at :], n)
    else:
        codes = v2_block.decode_block(part, n)
    if h.palette and h.mode in (0, 3):
        ranks = codes & 0xFFFFFFFF
        if np.any(ranks >= len(h.palette)):
            raise Damaged("a rank leaves the palette")
        codes = np.array(h.palette, np.int64)[ranks]
    if h.mode == 1:
        restored = np.zeros(n, np.int64)
        m.reconstruct(restored, 0, n, m.Choice("interp"), codes)
        codes = restored
    if h.mode in SCALED:
        codes = scaled_codes(codes, h.multiplier, linear=h.mode == 6)
    if h.mode == 4:
        y = grid_samples(h, lifted_codes(codes, h.band_steps))
    elif h.mode == 3:
        y = from_ordinal(codes)
    elif h.mode == 2:
        y = from_ordinal(m.wrap(ordinal(grid_samples(h, codes)) + corrections))
    elif h.cell_filter is not None:
        y = filtered_samples(h, codes)
    else:
        y = grid_samples(h, codes)
    if not np.all(np.abs(y.astype(np.float64)) <= FLOAT_MAX):
        raise Damaged("a code does not decode to a finite sample")
    return y


def decode(data: bytes) -> np.ndarray:
    """Every sample of a version-2 container, each block checked against its CRC-32 first."""
    data = bytes(data)
    h, header_end, parts = parse(data)
    header_crc = zlib.crc32(data[:header_end])
    out = []
    for b, (at, size) in enumerate(parts):
        part = data[at : at + size]
        if zlib.crc32(part, header_crc) != struct.unpack_from("<I", data, at + size)[0]:
            raise Damaged(f"block {b} is damaged")
        out.append(block_samples(h, part, min(h.block_length, h.count - (b << h.block_log2))))
    return np.concatenate(out)


# ---------------------------------------------------------------- writing (for the conformance corpus)


def assemble(h: Header, blocks: list[bytes]) -> bytes:
    """The container of a header and its blocks' coded parts (codes the palette itself)."""
    assert len(blocks) == h.block_count
    mode = h.mode | (PALETTE if h.palette else 0) | (FILTER if h.cell_filter else 0)
    mode |= (ORIGIN_F64 if h.wide_origin else 0) | (STEP_F64 if h.wide_step else 0)
    out = bytearray(b"QRVL" + struct.pack("<HBB", 2, mode, h.block_log2) + leb128(h.count))
    if h.mode != 3:
        out += struct.pack("<d" if h.wide_origin else "<f", h.origin)
        out += struct.pack("<d" if h.wide_step else "<f", h.step)
    if h.mode == 4:
        out += struct.pack("<B", len(h.band_steps) - 1) + b"".join(leb128(s) for s in h.band_steps)
    if h.mode in SCALED:
        out += leb128(h.multiplier)
    if h.cell_filter:
        out += struct.pack("<4h", *h.cell_filter)
    if h.palette:
        gaps = [h.palette[0]] + [m.wrap(b - a - 1) for a, b in zip(h.palette, h.palette[1:])]
        coded = v2_block.encode_block(np.array(gaps, np.int64))
        out += leb128(len(h.palette)) + leb128(len(coded)) + coded
    out += b"".join(leb128(len(b)) for b in blocks)
    header_crc = zlib.crc32(bytes(out))
    for b in blocks:
        out += b + struct.pack("<I", zlib.crc32(b, header_crc))
    return bytes(out) + bytes(max(0, 52 - len(out)))


# ---------------------------------------------------------------- frames


def decode_frame(data: bytes, version_1=None) -> np.ndarray:
    """A chunk frame's array; version-1 lanes go through `version_1(container) -> float32 samples`."""
    data = bytes(data)
    if len(data) < 8 or data[:4] != b"QRVC" or data[4] not in (1, 2) or data[5] > 1 or data[6] > 32:
        raise Damaged("bad frame header")
    version, dtype = data[4], (np.float32, np.float64)[data[5]]
    shape, containers, masks, references = compact_parts(data) if data[7] & 4 else lane_table_parts(data)
    lanes, length = len(containers), shape[-1] if shape else 1
    if length > 2**31 - 1 or lanes * length > 2**64 // 16:
        raise Damaged("a shape the frame cannot hold")
    check_references(references, containers)
    out = np.zeros(lanes * length, dtype)
    for lane, container in enumerate(containers):
        if container:
            check_lane(container, version, length, padded=not data[7] & 4)
            out[lane * length : (lane + 1) * length] = decode(container) if version == 2 else version_1(container)
    for lane, (reference, weight) in references.items():  # before the masks: the reference's own values
        y, r = (out[k * length : (k + 1) * length].astype(np.float64) for k in (reference, lane))
        out[lane * length : (lane + 1) * length] = (np.float64(weight) * y * 2.0**-12 + r).astype(np.float32)
    marked = np.zeros(out.size, bool)
    for mask, value in zip(masks, (np.nan, np.inf, -np.inf)):
        if mask:
            bits = inflate_mask(mask, out.size)
            if (marked & bits).any():
                raise Damaged("a sample is marked in two masks")
            marked |= bits
            out[bits] = value
    if any(not c and not marked[lane * length : (lane + 1) * length].all() for lane, c in enumerate(containers)):
        raise Damaged("a lane without a container has samples no mask marks")
    return out.reshape(shape)


def checked_crc(data: bytes, covered: bytes) -> None:
    """With flag bit 0, the CRC-32 of every byte but the containers ends the frame."""
    if data[7] & 1 and zlib.crc32(covered) != struct.unpack_from("<I", data, len(data) - 4)[0]:
        raise Damaged("the frame's CRC-32 fails")


def lane_table_parts(data: bytes):
    """Shape, containers (b"" for none), masks and reference table of a frame with a lane table."""
    checked, ndim = bool(data[7] & 1), data[6]
    if len(data) < 20 or data[7] > 3 or len(data) < 20 + 8 * ndim:
        raise Damaged("bad frame header")
    shape = struct.unpack_from(f"<{ndim}Q", data, 20)
    lanes = int(np.prod(shape[:-1], dtype=object)) if ndim else 1
    table = 20 + 8 * ndim
    if (len(data) - table) // 4 < lanes:
        raise Damaged("a lane table the frame cannot hold")
    sizes = struct.unpack_from(f"<{lanes}I", data, table)
    mask_sizes = struct.unpack_from("<3I", data, 8)
    at = table + 4 * lanes
    references, at = read_references(data, at, lanes) if data[7] & 2 else ({}, at)
    if at + sum(sizes) + sum(mask_sizes) + 4 * checked != len(data):
        raise Damaged("frame parts do not add up")
    checked_crc(data, data[:at] + data[at + sum(sizes):len(data) - 4 * checked])
    containers = []
    for size in sizes:
        containers.append(data[at : at + size])
        at += size
    masks = []
    for size in mask_sizes:
        masks.append(data[at : at + size])
        at += size
    return shape, containers, masks, references


def compact_parts(data: bytes):
    """The same of a compact frame: LEB128 fields, each container as long as its own header says."""
    flags, ndim, r = data[7], data[6], Reader(data, 8)
    if flags & 64 and flags & 128:
        raise Damaged("flags say both no container and a lane bitmap")
    shape = [r.leb128() for _ in range(ndim - 1)] if ndim else []
    lanes = int(np.prod(shape, dtype=object))
    if lanes > 8 * len(data) and not flags & 64:  # every lane takes a container's bytes or a bitmap bit
        raise Damaged("more lanes than the frame can describe")
    has = [lanes > 0 and not flags & 64]
    if flags & 128:
        bitmap = r.take(-(-lanes // 8)) if lanes else b""
        has = [bool(bitmap[i // 8] >> (i % 8) & 1) for i in range(lanes)]
        if not lanes or all(has) or bitmap[-1] >> (lanes % 8 or 8):
            raise Damaged("a bad lane bitmap")
    present = [m for m in range(3) if flags >> (3 + m) & 1]
    if ndim and not any(has):
        shape.append(r.leb128())
        if lanes * shape[-1] > 8256 * len(data):
            raise Damaged("masks that cannot cover the samples")
    has = has if flags & 128 else has * lanes
    mask_sizes = [r.leb128(32) for _ in present[:-1]]
    if 0 in mask_sizes:
        raise Damaged("a mask of 0 bytes")
    references = {}
    if flags & 2:
        count, lane = r.leb128(32), -1
        if not 0 < count < lanes:
            raise Damaged("a reference table the frame cannot hold")
        for _ in range(count):
            lane += 1 + r.leb128(32)
            offset = r.leb128(33)
            references[lane] = (lane + (offset >> 1 if offset % 2 == 0 else -(offset + 1) // 2), r.unpack("h"))
    head, end = r.at, len(data) - 4 * (flags & 1)
    containers = []
    for lane in range(lanes):
        size = 0
        if has[lane]:
            container = data[r.at : end]
            if data[4] == 1 and len(container) < 52:
                raise Damaged("a container runs past the frame")
            size = blocks_end(container) if data[4] == 2 else 52 + struct.unpack_from("<I", container, 32)[0]
            if size > len(container):
                raise Damaged("a container runs past the frame")
            if not shape[ndim - 1:]:
                shape.append(parse(container)[0].count if data[4] == 2 else struct.unpack_from("<I", container, 16)[0])
        containers.append(r.take(size))
    if ndim and not shape[ndim - 1:]:
        raise Damaged("a frame whose lanes' length nothing gives")
    rest = end - r.at
    if (rest != 0) if not present else sum(mask_sizes) >= rest:
        raise Damaged("frame parts do not add up")
    checked_crc(data, data[:head] + data[r.at:end])
    masks = [b"", b"", b""]
    for m, size in zip(present, mask_sizes + [rest - sum(mask_sizes)]):
        masks[m] = r.take(size)
    samples = lanes * (shape[-1] if ndim else 1)
    if not any(has) and bool(flags & 64) != (samples > 0):
        raise Damaged("flag 6 where samples are not all masked")
    return tuple(shape), containers, masks, references


def read_references(data: bytes, at: int, lanes: int) -> tuple[dict[int, tuple[int, int]], int]:
    """The reference table after the lane table: {joint lane: (reference lane, weight in Q12)}, and
    where the containers start."""
    if len(data) < at + 4:
        raise Damaged("a reference table the frame cannot hold")
    (count,) = struct.unpack_from("<I", data, at)
    if count == 0 or count >= lanes or len(data) < at + 4 + 10 * count:
        raise Damaged("a reference table the frame cannot hold")
    entries = [struct.unpack_from("<IIh", data, at + 4 + 10 * i) for i in range(count)]
    if [lane for lane, _, _ in entries] != sorted({lane for lane, _, _ in entries}):
        raise Damaged("reference table lanes out of order")
    return {lane: (reference, weight) for lane, reference, weight in entries}, at + 4 + 10 * count


def check_references(references: dict[int, tuple[int, int]], containers: list[bytes]) -> None:
    """Every entry: lanes in range, not itself, weight not 0, a reference coded alone, both with containers."""
    for lane, (reference, weight) in references.items():
        if (not 0 <= lane < len(containers) or not 0 <= reference < len(containers) or lane == reference
                or weight == 0 or reference in references or not containers[lane] or not containers[reference]):
            raise Damaged("a bad entry in the reference table")


def check_lane(container: bytes, version: int, length: int, padded: bool = True) -> None:
    """A lane's container: the frame's version, the lane's sample count, its part filled exactly
    (`padded`: a short version-2 container with zeros up to 52 bytes, as a lane table lays it)."""
    if length == 0:
        raise Damaged("an empty lane has a container")
    if version == 2:
        count, end = parse(container)[0].count, blocks_end(container)
        if len(container) != (max(end, 52) if padded else end) or any(container[end:]):
            raise Damaged("a container does not fill its part")
    else:
        if len(container) < 52 or container[:6] != b"QRVL\x01\x00":
            raise Damaged("not a version-1 container")
        count, payload = struct.unpack_from("<I", container, 16)[0], struct.unpack_from("<I", container, 32)[0]
        if len(container) != 52 + payload or count > 516 * payload:
            raise Damaged("a container does not fill its part")
    if count != length:
        raise Damaged("a lane's container holds another sample count")


def inflate_mask(packed: bytes, samples: int) -> np.ndarray:
    """One bit per sample, exactly: a raw DEFLATE stream with nothing after it, spare bits zero."""
    if samples == 0 or (samples + 7) // 8 > 1032 * len(packed):
        raise Damaged("a mask that cannot cover the samples")
    inflater = zlib.decompressobj(-15)
    try:
        bits = inflater.decompress(packed, (samples + 7) // 8 + 1)
    except zlib.error:
        raise Damaged("a mask is not a DEFLATE stream") from None
    if len(bits) != (samples + 7) // 8 or not inflater.eof or inflater.unused_data:
        raise Damaged("a mask is not one bit per sample")
    marked = np.unpackbits(np.frombuffer(bits, np.uint8), bitorder="little")
    if marked[samples:].any():
        raise Damaged("a mask marks samples beyond the shape")
    return marked[:samples].astype(bool)
