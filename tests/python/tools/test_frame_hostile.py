"""Damaged and forged frames: a clear ValueError, never a crash, never memory the bytes cannot justify."""
import re
import resource
import struct
import zlib

import numpy as np
import pytest

import quorvel_tools


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(3)
    x = rng.standard_normal((3, 7, 40)).astype(np.float32)
    x[0, 0, :3] = np.nan
    x[1, 2, -1] = np.inf
    x[2, 6, 10:20] = -np.inf
    x[1, 4, :] = np.nan
    return quorvel_tools.encode_array(x, max_error=1e-2)


def test_every_prefix_is_refused(frame):
    for n in range(len(frame)):
        with pytest.raises(ValueError):
            quorvel_tools.decode_array(frame[:n])


def test_random_byte_flips_fail_cleanly_or_decode_to_the_frames_shape(frame):
    rng = np.random.default_rng(14)
    for trial in range(2000):
        damaged = bytearray(frame)
        for _ in range(1 + trial % 3):
            damaged[rng.integers(len(damaged))] ^= 1 << int(rng.integers(8))
        try:
            y = quorvel_tools.decode_array(damaged)
        except ValueError as error:
            assert str(error)
        else:  # a flip the frame cannot tell apart, such as one inside a DEFLATE literal
            assert y.shape == (3, 7, 40)


def header(shape, lanes=(), masks=(0, 0, 0), dtype=0):
    head = b"QRVC" + bytes([1, dtype, len(shape), 0]) + struct.pack("<3I", *masks)
    return head + struct.pack(f"<{len(shape)}Q", *shape) + struct.pack(f"<{len(lanes)}I", *lanes)


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


@pytest.mark.parametrize("forged, message", [
    (b"QRVX" + bytes(30), "Not a frame: bad magic"),
    (b"QRVL" + bytes(30), "this is a container: read it with quorvel_tools.decode"),
    (header((1 << 40, 1 << 20)), "Shape holds too many samples"),
    (header((1 << 28, 4)), "Frame is too short for the lane table of 268435456 lanes"),
    # A 3-byte NaN mask (all ones) for a billion samples: DEFLATE cannot inflate that far.
    (header((1, 1 << 30), lanes=(0,), masks=(3, 0, 0)) + zlib.compress(b"\xff", wbits=-15)[:3],
     "NaN mask of 3 bytes cannot cover 1073741824 samples"),
])
def test_tiny_frames_claiming_huge_shapes_fail_before_allocating(forged, message):
    before = peak_rss()
    with pytest.raises(ValueError, match=re.escape(message)):
        quorvel_tools.decode_array(forged)
    assert peak_rss() - before < 64 << 20


def test_out_must_fit_the_frame(frame):
    with pytest.raises(TypeError, match="out must be a C-contiguous float32 array"):
        quorvel_tools.decode_array(frame, out=np.empty(3 * 7 * 40, np.float64))
    with pytest.raises(ValueError, match=re.escape("out has 10 samples but the frame holds shape (3, 7, 40)")):
        quorvel_tools.decode_array(frame, out=np.empty(10, np.float32))
