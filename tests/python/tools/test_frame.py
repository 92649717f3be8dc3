"""encode_array / decode_array: frames of N-D float arrays, read back and checked by hand."""
import inspect
import math
import pathlib
import re
import struct
import subprocess
import sys
import threading
import zlib

import numpy as np
import pytest

import quorvel
import quorvel_tools
from aim_oracle import decoded_samples

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "reference"))
import v2_container  # noqa: E402


def recording(shape, seed=0, dtype=np.float32):
    """Channels of different loudness along the last axis: slow waves plus noise."""
    rng = np.random.default_rng(seed)
    n = shape[-1] if shape else 1
    t = np.arange(n, dtype=np.float64)
    lanes = int(np.prod(shape[:-1], dtype=np.int64)) if shape else 1
    gains = 10.0 ** rng.uniform(-1, 1, size=(lanes, 1))
    x = gains * (np.sin(2 * np.pi * t / 50.0) + 0.3 * rng.standard_normal((lanes, n)))
    return x.reshape(shape).astype(dtype)


def frame_parts(frame):
    """Shape, containers and inflated masks of a frame, read from the documented layouts alone.
    The frame's version is that of its lanes' containers."""
    magic, version, dtype, ndim, flags = struct.unpack_from("<4sBBBB", frame)
    assert magic == b"QRVC" and version in (1, 2) and flags & 1  # a CRC-32 follows the masks
    if flags & 4:  # compact: the plain decoder's reading of the LEB128 head and the walk
        shape, containers, packed, _ = v2_container.compact_parts(bytes(frame))
        masks = [zlib.decompress(m, wbits=-15) if m else None for m in packed]
        return ["float32", "float64"][dtype], shape, containers, masks
    assert flags == 1
    mask_lengths = struct.unpack_from("<3I", frame, 8)
    shape = struct.unpack_from(f"<{ndim}Q", frame, 20)
    lanes = math.prod(shape[:-1]) if ndim else 1
    lengths = struct.unpack_from(f"<{lanes}I", frame, 20 + 8 * ndim)
    at = 20 + 8 * ndim + 4 * lanes
    containers = []
    for length in lengths:
        containers.append(bytes(frame[at:at + length]))
        at += length
    masks = []
    masks_at = at
    for length in mask_lengths:
        masks.append(zlib.decompress(bytes(frame[at:at + length]), wbits=-15) if length else None)
        at += length
    head = 20 + 8 * ndim + 4 * lanes
    assert struct.unpack_from("<I", frame, at)[0] == zlib.crc32(bytes(frame[:head]) + bytes(frame[masks_at:at]))
    assert at + 4 == len(frame)
    return ["float32", "float64"][dtype], shape, containers, masks


def with_gaps(x):
    """NaN, +inf and -inf at both ends of lanes, alone and in runs."""
    y = x.copy()
    lanes = y.reshape(-1, y.shape[-1])
    n = lanes.shape[1]
    lanes[0, 0] = np.nan
    lanes[0, -1] = np.inf
    lanes[-1, : max(1, n // 3)] = -np.inf
    lanes[len(lanes) // 2, n // 2:] = np.nan
    if n > 4:
        lanes[0, 2:4] = np.nan
    return y


SHAPES = [(1,), (7,), (1000,), (3, 1), (2, 2), (4, 3), (2, 4), (3, 5), (2, 6), (5, 7), (3, 400), (2, 3, 4),
          (2, 2, 300)]


@pytest.mark.parametrize("dtype, format", [(np.float32, 2), (np.float64, 2), (np.float32, 1)])
@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_every_lane_meets_the_target_and_gaps_come_back_exactly(shape, dtype, format):
    clean = recording(shape, seed=len(shape), dtype=dtype)
    target = 1e-3 * float(np.max(np.abs(clean)))
    x = with_gaps(clean)
    frame = quorvel_tools.encode_array(x, max_error=target, format=format)
    y = quorvel_tools.decode_array(frame)
    assert y.dtype == dtype and y.shape == x.shape
    finite = np.isfinite(x)
    np.testing.assert_array_equal(np.isnan(y), np.isnan(x))
    np.testing.assert_array_equal(y[~finite & ~np.isnan(x)], x[~finite & ~np.isnan(x)])
    assert np.all(np.isfinite(y[finite]))
    assert np.max(np.abs(y[finite].astype(np.float64) - x[finite]), initial=0) <= target

    # Each lane is a standard container: quorvel's own decoder reads it, and
    # the masks are exactly the positions of each kind.
    kind, stored_shape, containers, masks = frame_parts(frame)
    assert (kind, stored_shape) == (np.dtype(dtype).name, shape)
    lanes_in, lanes_out = x.reshape(-1, shape[-1]), y.reshape(-1, shape[-1])
    for lane, container in enumerate(containers):
        lane_finite = np.isfinite(lanes_in[lane])
        if not container:
            assert not lane_finite.any()
            continue
        decoded = decoded_samples(container)
        np.testing.assert_array_equal(decoded[lane_finite], lanes_out[lane][lane_finite])
    for mask, present in zip(masks, (np.isnan(x), np.isposinf(x), np.isneginf(x))):
        if mask is None:
            assert not present.any()
        else:
            bits = np.unpackbits(np.frombuffer(mask, np.uint8), bitorder="little")[: x.size]
            np.testing.assert_array_equal(bits.astype(bool), present.reshape(-1))


@pytest.mark.parametrize("name", ["rmse", "prd"])
def test_mean_targets_hold_on_the_finite_samples_of_lanes_with_gaps(name):
    x = recording((3, 3000), seed=5)
    x[1, 200:2400] = np.nan
    x[2, :1500] = np.inf
    target = {"rmse": 1e-3, "prd": 0.5}[name]
    y = quorvel_tools.decode_array(quorvel_tools.encode_array(x, **{name: target}))
    for lane in range(3):
        keep = np.isfinite(x[lane])
        a, b = x[lane][keep].astype(np.float64), y[lane][keep].astype(np.float64)
        measured = np.sqrt(np.mean((a - b) ** 2)) if name == "rmse" else 100 * np.sqrt(
            np.sum((a - b) ** 2) / np.sum(a ** 2))
        assert measured <= target, lane


def test_fixed_settings_give_each_lane_the_quorvel_modules_container():
    x = recording((3, 500))
    options = quorvel.TarvoCompressionOptions(method="db4", scale=9, cutoff="medium")
    _, _, containers, _ = frame_parts(quorvel_tools.encode_array(x, method="db4", scale=9, cutoff="medium"))
    assert containers == [quorvel.compress_signal(lane, options) for lane in x]
    # No settings at all: compress_signal's defaults.
    _, _, containers, _ = frame_parts(quorvel_tools.encode_array(x[:1]))
    assert containers == [quorvel.compress_signal(x[0])]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_bit_exact_frame_keeps_every_bit_but_nan_payloads(dtype):
    # float32 values held in either dtype, with gaps of every kind: at max_error 0 the
    # finite samples come back bit for bit, the infinities with their signs, and every NaN
    # (whatever its sign and payload) as the quiet NaN.
    x = with_gaps(recording((3, 2000), seed=9).astype(dtype))
    x[1, 700:705] = -np.nan
    bits = x.view(np.uint32 if dtype == np.float32 else np.uint64)
    bits[2, 10] = 0x7FC00123 if dtype == np.float32 else 0x7FF8000000000123  # a NaN with a payload
    y = quorvel_tools.decode_array(quorvel_tools.encode_array(x, max_error=0))
    expected = np.where(np.isnan(x), np.array(np.nan, dtype), x)
    assert y.dtype == dtype
    np.testing.assert_array_equal(y.view(bits.dtype), expected.view(bits.dtype))


def test_lanes_of_nan_only_cost_almost_nothing():
    x = np.full((8, 100_000), np.nan, dtype=np.float32)
    frame = quorvel_tools.encode_array(x, max_error=1e-3)
    assert len(frame) < 200
    assert np.isnan(quorvel_tools.decode_array(frame)).all()


def test_zero_dimensional_and_empty_arrays_round_trip():
    scalar = np.array(2.5, dtype=np.float64)
    back = quorvel_tools.decode_array(quorvel_tools.encode_array(scalar, max_error=1e-3))
    assert back.shape == () and abs(back - 2.5) <= 1e-3
    for shape in [(0,), (3, 0), (0, 4)]:
        assert quorvel_tools.decode_array(quorvel_tools.encode_array(np.zeros(shape))).shape == shape


def test_any_buffer_decodes_and_out_is_filled_in_place():
    x = with_gaps(recording((2, 3, 50)))
    frame = quorvel_tools.encode_array(x, max_error=1e-2)
    expected = quorvel_tools.decode_array(frame)
    for buffer in (frame, bytearray(frame), memoryview(frame), np.frombuffer(frame, np.uint8),
                   np.frombuffer(frame + b"\0", np.uint8)[:-1]):
        np.testing.assert_array_equal(quorvel_tools.decode_array(buffer), expected)
    out = np.empty((6, 50), dtype=np.float32)  # same count, any shape
    assert quorvel_tools.decode_array(frame, out=out) is out
    np.testing.assert_array_equal(out, expected.reshape(6, 50))


def test_thread_counts_and_concurrent_callers_give_identical_frames():
    x = with_gaps(recording((16, 2000)))
    serial = quorvel_tools.encode_array(x, max_error=1e-3, threads=1)
    assert quorvel_tools.encode_array(x, max_error=1e-3, threads=3) == serial
    results = [None] * 6

    def work(i):
        results[i] = quorvel_tools.encode_array(x, max_error=1e-3, threads=2)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [serial] * len(results)
    np.testing.assert_array_equal(quorvel_tools.decode_array(serial, threads=1),
                                  quorvel_tools.decode_array(serial, threads=4))


BAD_SETTINGS = [
    (dict(max_error=1e-3, rmse=1e-3), ValueError,
     "exactly one target is required (max_error, rmse, prd or max_bytes); got max_error and rmse"),
    (dict(max_error=1e-3, scale=10), ValueError,
     "scale and cutoff fix the quantisation; they cannot be combined with a target"),
    (dict(effort="best"), ValueError,
     "effort applies to a target (max_error, rmse, prd or max_bytes); none was given"),
    (dict(method="auto"), ValueError, "unknown method 'auto'; expected one of 'cdf53', 'cdf97', 'db4', 'sym4'"),
    (dict(cutoff="max"), ValueError, "unknown cutoff 'max'; expected one of 'low', 'medium', 'high'"),
    (dict(scale=13), ValueError, "scale must be 6 to 12, got 13"),
    (dict(scale=10.0), TypeError, "scale must be an int, not float"),
    (dict(max_error=-1.0), ValueError, "max_error must be a non-negative number, got -1.0"),
    (dict(max_bytes=2**1024), ValueError, "max_bytes must be at most 2**63 - 1, got an integer of 1025 bits"),
    (dict(max_error=1e-3, threads=0), ValueError, "threads must be at least 1, got 0"),
]


@pytest.mark.parametrize("settings, error, message", BAD_SETTINGS)
def test_bad_settings_are_refused_with_a_clear_message(settings, error, message):
    with pytest.raises(error, match=re.escape(message)):
        quorvel_tools.encode_array(np.zeros(8, np.float32), **settings)


def test_data_that_is_not_float32_or_float64_is_a_type_error():
    for data in (np.arange(8), np.zeros(8, np.float16), np.zeros(8, np.complex64), ["a"]):
        with pytest.raises(TypeError, match="quorvel encodes float32 or float64 arrays"):
            quorvel_tools.encode_array(data, max_error=1e-3)


def test_lane_failures_name_the_lane():
    x = np.zeros((3, 4), np.float64)
    x[2, 1] = 1e300  # beyond what a float32 container can hold
    with pytest.raises(quorvel_tools.CodecError, match=r"^lane 2: ") as raised:
        quorvel_tools.encode_array(x)
    assert (raised.value.lane, raised.value.kind) == (2, "invalid_input")
    # A lane's unreachable target keeps its figures beside the lane.
    with pytest.raises(quorvel_tools.UnreachableTargetError, match=r"^lane 0: ") as raised:
        quorvel_tools.encode_array(recording((2, 300)), max_bytes=20)
    assert (raised.value.lane, raised.value.target, raised.value.value) == (0, "max_bytes", 20)
    assert raised.value.best_reachable >= 52


def test_big_endian_and_strided_input_encode_like_native_contiguous_input():
    x = recording((3, 200))
    expected = quorvel_tools.encode_array(x, max_error=1e-3)
    assert quorvel_tools.encode_array(x.astype(">f4"), max_error=1e-3) == expected
    wide = np.zeros((3, 400), np.float32)
    wide[:, ::2] = x
    assert quorvel_tools.encode_array(wide[:, ::2], max_error=1e-3) == expected


def test_array_functions_take_their_options_by_keyword_only():
    encode = list(inspect.signature(quorvel_tools.encode_array).parameters.values())
    assert [p.name for p in encode] == ["data", "max_error", "rmse", "prd", "max_bytes", "method", "scale", "cutoff",
                                        "effort", "format", "threads", "time_axis", "joint"]
    decode = list(inspect.signature(quorvel_tools.decode_array).parameters.values())
    assert [p.name for p in decode] == ["frame", "out", "threads", "time_axis", "lanes", "start", "stop"]
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in encode[1:] + decode[1:])


def test_importing_the_package_leaves_the_storage_libraries_unimported():
    code = "import sys, quorvel_tools; print(sorted({'numcodecs', 'zarr', 'dask'} & set(sys.modules)))"
    assert subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                          text=True).stdout.strip() == "[]"
