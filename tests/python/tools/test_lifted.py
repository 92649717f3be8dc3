"""Version 2's lifted coding against a plain numpy model of its integer 9/7 lifting: a container built by
hand decodes to the model's samples, and the encoder's own lifted containers hold bands the model finds."""
import struct
import zlib

import numpy as np

import quorvel_tools

FACTORS = (-103949, -3472, 57862, 29066)  # the 9/7 lifting factors in units of 2^-16


def times(c, v):
    return (c * v + (1 << 15)) >> 16  # int64: the shift floors


def odd_neighbours(e, n_odd):  # e[i] + e[i + 1], mirrored at the end
    return e[:n_odd] + np.r_[e[1:], e[-1:]][:n_odd]


def even_neighbours(o, n_even):  # o[i - 1] + o[i], mirrored at both ends
    return np.r_[o[:1], o][:n_even] + np.r_[o, o[-1:]][:n_even]


def forward(s, levels):
    bands = []
    while len(bands) < levels and len(s) >= 2:
        e, o = s[0::2].copy(), s[1::2].copy()
        for k, c in enumerate(FACTORS):
            if k % 2 == 0:
                o += times(c, odd_neighbours(e, len(o)))
            else:
                e += times(c, even_neighbours(o, len(e)))
        bands.append(o)
        s = e
    return [s] + bands[::-1]


def inverse(bands):
    s = bands[0]
    for o in bands[1:]:
        e, o = s.copy(), o.copy()
        for k, c in reversed(list(enumerate(FACTORS))):
            if k % 2 == 0:
                o -= times(c, odd_neighbours(e, len(o)))
            else:
                e -= times(c, even_neighbours(o, len(e)))
        s = np.empty(len(e) + len(o), np.int64)
        s[0::2], s[1::2] = e, o
    return s


def leb128(v):
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    return bytes(out + bytes([v]))


def read_leb128(b, at):
    value = shift = 0
    while True:
        value |= (b[at] & 0x7F) << shift
        shift += 7
        at += 1
        if b[at - 1] < 0x80:
            return value, at


def blocks_of(container):
    """The coded parts of a version-2 container with a float32 grid and no palette or filter."""
    count, at = read_leb128(container, 8)
    block_length = 1 << container[7]
    at += 8  # origin and step
    sizes = []
    for _ in range((count + block_length - 1) // block_length):
        size, at = read_leb128(container, at)
        sizes.append(size)
    parts = []
    for size in sizes:
        parts.append(container[at:at + size])
        at += size + 4
    return parts


def lifted_container(count, step, band_steps, parts):
    header = b"QRVL" + struct.pack("<HBB", 2, 4, 14) + leb128(count) + struct.pack("<ff", 0.0, step)
    header += bytes([len(band_steps) - 1]) + b"".join(leb128(s) for s in band_steps)
    header += b"".join(leb128(len(p)) for p in parts)
    crc = zlib.crc32(header)
    return header + b"".join(p + struct.pack("<I", zlib.crc32(p, crc)) for p in parts)


def test_a_handmade_lifted_container_decodes_to_the_models_samples():
    # A whole block of 2^14 at 8 levels, and a short one of 40 whose approximation reaches one sample after
    # 6: its details take the steps of their own levels.
    rng = np.random.default_rng(3)
    n, levels, step = 16384 + 40, 8, 2.0 ** -10
    band_steps = [int(s) for s in rng.integers(1, 40, levels + 1)]
    q = rng.integers(-60, 61, n).astype(np.int64)
    carrier = quorvel_tools.encode(q.astype(np.float32), max_error=0, effort="fast", format=2)
    info = quorvel_tools.inspect(carrier)
    assert (info.mode, info.grid_origin, info.grid_step, info.palette_size) == ("grid", 0.0, 1.0, 0)
    container = lifted_container(n, step, band_steps, blocks_of(carrier))
    expected = []
    for start in (0, 16384):
        block = q[start:start + 16384]
        sizes = [len(b) for b in forward(np.zeros(len(block), np.int64), levels)]
        taken = len(sizes) - 1
        bands, at = [], 0
        for b, size in enumerate(sizes):
            steps_index = 0 if b == 0 else levels - taken + b
            bands.append(block[at:at + size] * band_steps[steps_index])
            at += size
        expected.append(np.float32(step) * inverse(bands).astype(np.float64))
    decoded = quorvel_tools.decode(container)
    assert np.array_equal(decoded, np.concatenate(expected).astype(np.float32))
    assert quorvel_tools.inspect(container).mode == "lifted"


def test_the_encoders_lifted_bands_are_multiples_of_their_steps_in_the_model():
    t = np.arange(20000)
    rng = np.random.default_rng(5)
    x = (np.sin(0.003 * t) + 0.4 * np.sin(0.021 * t) + 0.05 * rng.standard_normal(len(t))).astype(np.float32)
    rmse = 3e-3 * float(np.ptp(x))
    container = quorvel_tools.encode(x, rmse=rmse)
    info = quorvel_tools.inspect(container)
    assert info.mode == "lifted"
    y = quorvel_tools.decode(container)
    assert np.sqrt(np.mean((y.astype(np.float64) - x) ** 2)) <= rmse
    assert np.array_equal(quorvel_tools.decode(container, start=100, stop=17000, threads=2), y[100:17000])
    codes = np.round(y.astype(np.float64) / info.grid_step).astype(np.int64)
    assert np.array_equal((np.float32(info.grid_step) * codes).astype(np.float32), y)
    at = 8 + len(leb128(len(x))) + 8
    levels = container[at]
    band_steps = []
    at += 1
    for _ in range(levels + 1):
        s, at = read_leb128(container, at)
        band_steps.append(s)
    for start in (0, 16384):
        bands = forward(codes[start:start + 16384], levels)
        assert len(bands) == levels + 1
        for band, s in zip(bands, band_steps):
            assert s >= 2 or not band.any()
            assert not (band % s).any()
