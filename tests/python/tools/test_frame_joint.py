"""Joint lanes of a frame: lanes coded against another lane's decoded samples keep their own targets,
damage never turns into another lane's samples, and the restore is the documented arithmetic."""
import math
import pathlib
import struct
import sys
import zlib

import numpy as np
import pytest

import quorvel_tools
from conftest import DATA_DIR
from quorvel_tools._frame import frame_layout, frame_overhead, frame_references

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "reference"))
import v2_container  # noqa: E402


def references(frame):
    """The reference table of a frame, read from the documented layouts: {lane: (reference, weight)}."""
    if frame[7] & 4:
        return v2_container.compact_parts(bytes(frame))[3]
    ndim, flags = frame[6], frame[7]
    shape = struct.unpack_from(f"<{ndim}Q", frame, 20)
    lanes = math.prod(shape[:-1]) if ndim else 1
    if not flags & 2:
        return {}
    at = 20 + 8 * ndim + 4 * lanes
    (count,) = struct.unpack_from("<I", frame, at)
    entries = [struct.unpack_from("<IIh", frame, at + 4 + 10 * e) for e in range(count)]
    return {lane: (reference, weight) for lane, reference, weight in entries}


def container_spans(frame):
    """(offset, size) of each lane's container, from the lane table and the reference table, or in
    a compact frame from the containers' own sizes, which end where the masks and the CRC begin."""
    if frame[7] & 4:
        _, containers, masks, _ = v2_container.compact_parts(bytes(frame))
        lengths = [len(c) for c in containers]
        at = len(frame) - 4 - sum(len(m) for m in masks) - sum(lengths)
    else:
        ndim = frame[6]
        shape = struct.unpack_from(f"<{ndim}Q", frame, 20)
        lanes = math.prod(shape[:-1]) if ndim else 1
        lengths = struct.unpack_from(f"<{lanes}I", frame, 20 + 8 * ndim)
        at = 20 + 8 * ndim + 4 * lanes + (4 + 10 * len(references(frame)) if frame[7] & 2 else 0)
    spans = []
    for length in lengths:
        spans.append((at, length))
        at += length
    return spans


def lanes_of(kind, seed=0, n=3000):
    """Four lanes that share a reference, a hum and events, as multi-channel recordings do."""
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    common = np.cumsum(rng.standard_normal(n)) + 5 * np.sin(2 * np.pi * t / 60)
    own = [0.05 * np.cumsum(rng.standard_normal(n)) for _ in range(4)]
    if kind == "correlated":
        x = [common + o for o in own]
    elif kind == "anti-correlated":
        x = [common + own[0], -common + own[1], 0.5 * common + own[2], -2 * common + own[3]]
    elif kind == "scaled copies":
        x = [common, 0.75 * common, -1.25 * common, 3 * common]
    elif kind == "constant lanes":
        x = [common + own[0], np.full(n, 2.5), common + own[2], np.zeros(n)]
    elif kind == "NaN runs":
        x = [common + o for o in own]
        x[0][100:180] = np.nan  # the likely reference has a gap
        x[1][:40] = np.nan
        x[2][1000:1500] = np.inf
        x[3][:] = np.nan  # no container at all
    return np.array(x)


def measured(x, y, kind):
    """The lane's figure on its finite samples, in float64, as a user would measure it."""
    keep = np.isfinite(x)
    error = y[keep].astype(np.float64) - x[keep].astype(np.float64)
    if kind == "max_error":
        return np.max(np.abs(error), initial=0.0)
    if kind == "rmse":
        return math.sqrt(np.mean(error * error)) if error.size else 0.0
    energy = np.sum(x[keep].astype(np.float64) ** 2)
    return 100 * math.sqrt(np.sum(error * error) / energy) if energy else 0.0


KINDS = ["correlated", "anti-correlated", "scaled copies", "constant lanes", "NaN runs"]
TARGETS = [("max_error", 0.05), ("max_error", 0.002), ("rmse", 0.03), ("prd", 0.5)]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("kind", KINDS)
def test_every_lane_meets_its_target_and_the_frame_never_grows(kind, dtype):
    x = lanes_of(kind).astype(dtype)
    for target, value in TARGETS:
        joint = quorvel_tools.encode_array(x, **{target: value}, format=2)
        assert frame_references(joint) == {k: (r, w / 4096) for k, (r, w) in references(joint).items()}
        alone = quorvel_tools.encode_array(x, **{target: value}, format=2, joint=False)
        assert len(joint) <= len(alone), (target, len(joint), len(alone))
        y = quorvel_tools.decode_array(joint)
        assert y.dtype == x.dtype
        np.testing.assert_array_equal(np.isnan(y), np.isnan(x))
        np.testing.assert_array_equal(np.isinf(y) & (y > 0), np.isposinf(x))
        for lane in range(len(x)):
            if target == "prd" and not np.any(x[lane][np.isfinite(x[lane])]):
                continue  # PRD of an all-zero lane has no meaning
            assert measured(x[lane], y[lane], target) <= value, (target, lane, references(joint))
        if kind in ("correlated", "scaled copies") and target != "prd":
            assert references(joint), target  # these are what the coding is for


def test_lossless_lanes_on_a_shared_grid_stay_bit_exact():
    rng = np.random.default_rng(3)
    common = np.cumsum(rng.integers(-200, 200, 5000))
    pcm = np.array([common + rng.integers(-3, 4, 5000), common, -common + rng.integers(-3, 4, 5000), common,
                    -common]) / 2**15
    x = pcm.astype(np.float32)
    frame = quorvel_tools.encode_array(x, max_error=0.0, format=2)
    assert len(references(frame)) >= 1  # the difference of codes on one grid is exact
    copies = quorvel_tools.encode_array(x[1:], max_error=0.0, format=2)  # a lane and two exact copies
    assert len(copies) < len(quorvel_tools.encode_array(x[1:], max_error=0.0, format=2, joint=False))
    np.testing.assert_array_equal(quorvel_tools.decode_array(copies).view(np.uint32), x[1:].view(np.uint32))
    np.testing.assert_array_equal(quorvel_tools.decode_array(frame).view(np.uint32), x.view(np.uint32))
    # Off any shared grid: still exact, whichever way each lane went.
    odd = (x * np.float32(1.0001)).astype(np.float32) + np.float32(1e-7)
    back = quorvel_tools.decode_array(quorvel_tools.encode_array(odd, max_error=0.0, format=2))
    np.testing.assert_array_equal(back.view(np.uint32), odd.view(np.uint32))


@pytest.mark.parametrize("where", ["reference's first byte", "reference's middle", "reference's last byte",
                                   "reference table"])
def test_damage_is_an_error_not_a_wrong_lane(where):
    x = lanes_of("correlated").astype(np.float32)
    frame = quorvel_tools.encode_array(x, max_error=0.002, format=2)
    table = references(frame)
    assert table
    offset, size = container_spans(frame)[next(iter(table.values()))[0]]
    head_end = container_spans(frame)[0][0]  # compact: the reference table ends the head
    places = {"reference's first byte": [offset], "reference's middle": [offset + size // 2],
              "reference's last byte": [offset + size - 1],
              "reference table": range(8, head_end)}
    for at in places[where]:
        damaged = bytearray(frame)
        damaged[at] ^= 0x10
        with pytest.raises(ValueError):
            quorvel_tools.decode_array(bytes(damaged))


def test_joint_off_writes_the_frames_it_always_wrote():
    x = lanes_of("correlated").astype(np.float32)
    alone = quorvel_tools.encode_array(x, max_error=0.002, format=2, joint=False)
    assert alone[7] == 1 | 4  # a CRC-32, compact, no reference table
    assert len(alone) <= frame_overhead(x.shape) + sum(s for _, s in container_spans(alone))
    assert frame_overhead(x.shape) <= 16 + 2 * len(x)
    # Targets the joint coder does not take: a byte budget and fixed settings.
    for options in ({"max_bytes": 2000}, {"method": "cdf97", "scale": 9}):
        frame = quorvel_tools.encode_array(x, **options)
        assert frame == quorvel_tools.encode_array(x, **options, joint=False)


# ---------------------------------------------------------------- frames built by hand


def hand_frame(lanes, table, n, flags=3):
    """A float32 frame of these containers (bytes, or b"" for none) and reference table entries."""
    head = struct.pack("<4sBBBB3I", b"QRVC", 2, 0, 2, flags, 0, 0, 0) + struct.pack("<2Q", len(lanes), n)
    head += struct.pack(f"<{len(lanes)}I", *(len(c) for c in lanes))
    if flags & 2:
        head += struct.pack("<I", len(table)) + b"".join(struct.pack("<IIh", *entry) for entry in table)
    return head + b"".join(lanes) + struct.pack("<I", zlib.crc32(head))


def restored(reference, weight, residual):
    """The documented restore in NumPy: double product, double sum, one rounding to float32."""
    return (np.float64(weight) * reference.astype(np.float64) * 2.0**-12 + residual.astype(np.float64)).astype(
        np.float32)


def test_a_hand_built_joint_frame_decodes_to_the_documented_arithmetic():
    rng = np.random.default_rng(7)
    n = 777
    y0 = np.cumsum(rng.standard_normal(n)).astype(np.float32)
    r = (0.01 * rng.standard_normal(n)).astype(np.float32)
    exact = {"max_error": 0.0}
    c0 = quorvel_tools.encode(y0, **exact, format=2)
    c1 = quorvel_tools.encode(r, **exact, format=2)
    weight = -3001  # about -0.73: products that round
    y = quorvel_tools.decode_array(hand_frame([c1, c0, c1], [(0, 1, weight), (2, 1, 4096)], n))
    np.testing.assert_array_equal(y[1], y0)
    np.testing.assert_array_equal(y[0].view(np.uint32), restored(y0, weight, r).view(np.uint32))
    np.testing.assert_array_equal(y[2].view(np.uint32), restored(y0, 4096, r).view(np.uint32))
    # Without flag bit 1 the same containers are plain lanes.
    plain = quorvel_tools.decode_array(hand_frame([c1, c0, c1], [], n, flags=1))
    np.testing.assert_array_equal(plain[0], r)


@pytest.mark.parametrize("table, lanes", [
    ([(0, 0, 4096)], "abc"),                     # a lane against itself
    ([(0, 3, 4096)], "abc"),                     # a reference beyond the lanes
    ([(5, 0, 4096)], "abc"),                     # a lane beyond the lanes
    ([(0, 1, 0)], "abc"),                        # weight 0
    ([(1, 0, 4096), (0, 2, 4096)], "abc"),       # lanes out of order
    ([(0, 1, 4096), (1, 2, 4096)], "abc"),       # a chain: the reference is itself joint
    ([(0, 1, 4096), (1, 0, 4096)], "abc"),       # a cycle
    ([(0, 1, 4096)], "a-c"),                     # a reference without a container
    ([(1, 0, 4096)], "a-c"),                     # a joint lane without a container
    ([], "abc"),                                 # an empty table with the flag
    ([(0, 1, 4096), (2, 1, 4096), (1, 0, 4096)], "abc"),  # as many entries as lanes
])
def test_a_decoder_refuses_a_bad_reference_table(table, lanes):
    n = 300
    c = quorvel_tools.encode(np.linspace(0, 1, n, dtype=np.float32), max_error=0.0, format=2)
    containers = [c if ch != "-" else b"" for ch in lanes]
    frame = hand_frame(containers, table, n)
    with pytest.raises(ValueError):
        quorvel_tools.decode_array(frame)
    with pytest.raises(ValueError):
        frame_layout(frame)


def test_a_table_cut_short_is_refused():
    n = 300
    c = quorvel_tools.encode(np.linspace(0, 1, n, dtype=np.float32), max_error=0.0, format=2)
    head = struct.pack("<4sBBBB3I", b"QRVC", 2, 0, 2, 3, 0, 0, 0) + struct.pack("<2Q", 2, n) + struct.pack("<2I", 0, 0)
    for cut in (struct.pack("<I", 1), struct.pack("<I", 1) + b"\0" * 9, struct.pack("<I", 2**31)):
        with pytest.raises(ValueError):
            quorvel_tools.decode_array(head + cut + c)


# ---------------------------------------------------------------- what a frame costs


def frame_cost(frame):
    """Bytes of a frame besides its containers and masks: the head, reference table and CRC."""
    _, containers, masks, _ = v2_container.compact_parts(bytes(frame))
    return len(frame) - sum(map(len, containers)) - sum(map(len, masks))


@pytest.mark.parametrize("name, channels", [("ecg_mitbih208_360hz", 12), ("eeg_fp1_128hz", 4),
                                            ("speech_alsa_front_center_48k", 2), ("sst_elnino_monthly", 1)])
def test_a_frame_costs_at_most_16_bytes_and_2_per_lane_over_its_containers(name, channels):
    """Real recordings cut into channels (joint lanes, a NaN run, a lane of NaN alone, float64), in 1 to
    3 axes: the compact layout stays within 16 + 2 N bytes over the containers it holds, where the lane
    table cost 24 + 8 d + 4 N."""
    signal = np.load(DATA_DIR / f"{name}.npy").astype(np.float64)
    n = min(len(signal) // channels, 4000)
    x = signal[: n * channels].reshape(channels, n)
    gappy = x.copy()
    gappy[0, 10:50] = np.nan
    gappy[-1] = np.nan
    for array in (x, x.astype(np.float32), gappy, x.reshape(1, channels, n), x[:1].reshape(n)):
        lanes = int(np.prod(array.shape[:-1]))
        frame = quorvel_tools.encode_array(array, max_error=1e-3 * np.ptp(x), format=2)
        assert frame[7] & 4
        assert frame_cost(frame) <= 16 + 2 * lanes, (array.shape, frame_cost(frame))
        np.testing.assert_array_equal(np.isnan(quorvel_tools.decode_array(frame)), np.isnan(array))


# ---------------------------------------------------------------- a part of a frame


def test_a_part_is_the_same_slice_of_the_whole_frame():
    """Real multichannel data with joint lanes, NaN runs and float64: lanes in any order (a joint lane
    without its reference, repeats, negative indices) over ranges inside and across blocks."""
    ecg = np.load(DATA_DIR / "ecg_mitbih208_360hz.npy").astype(np.float64)
    n = len(ecg) // 4  # two blocks of 2^14 and a part of one
    x = np.stack([ecg[:n], 0.5 * ecg[:n] + 0.01 * ecg[n:2 * n], -ecg[:n] + 0.02 * ecg[2 * n:3 * n], ecg[3 * n:4 * n]])
    x[1, 16000:17000] = np.nan
    x[3, 5:9] = np.inf
    frame = quorvel_tools.encode_array(x, max_error=0.005, format=2)
    assert frame_references(frame)
    whole = quorvel_tools.decode_array(frame)
    for lanes in ([2], [1, 1, 0], [-1, 2, 0, 1], np.array([3, 2])):
        for start, stop in ((0, n), (16300, n - 9), (n - 1, n), (100, 100), (-5000, None), (None, 10)):
            part = quorvel_tools.decode_array(frame, lanes=lanes, start=start, stop=stop)
            np.testing.assert_array_equal(part, whole[np.asarray(lanes)][:, start:stop])
    np.testing.assert_array_equal(quorvel_tools.decode_array(frame, lanes=2, start=7, stop=70), whole[2, 7:70])
    by_time = quorvel_tools.decode_array(quorvel_tools.encode_array(x.T.copy(), max_error=0.005, format=2,
                                                                    time_axis=0), lanes=[0, 3], stop=500, time_axis=0)
    assert by_time.shape == (500, 2)


def test_a_part_outside_the_frame_is_a_clear_error():
    frame = quorvel_tools.encode_array(np.zeros((3, 100), np.float32), max_error=0.01)
    with pytest.raises(IndexError, match="lane 3 is out of range for a frame of 3 lanes"):
        quorvel_tools.decode_array(frame, lanes=[0, 3])
    with pytest.raises(IndexError, match="lane -4 is out of range"):
        quorvel_tools.decode_array(frame, lanes=-4)
    for start, stop in ((0, 101), (50, 40), (-101, None)):
        with pytest.raises(ValueError, match="not a range inside lanes of 100 samples"):
            quorvel_tools.decode_array(frame, lanes=[0], start=start, stop=stop)
    with pytest.raises(TypeError, match="lanes must be"):
        quorvel_tools.decode_array(frame, lanes=[0.5])
    with pytest.raises(TypeError, match="out takes the whole frame"):
        quorvel_tools.decode_array(frame, lanes=[0], out=np.empty(300, np.float32))


@pytest.mark.parametrize("target, fraction", [("max_error", 0.01), ("rmse", 0.003)])
def test_nearly_identical_channels_cost_little_more_than_one_under_a_coarse_target(target, fraction):
    # Stereo whose channels differ by far less than the target: the residual against the decoded
    # reference is that reference's quantisation noise, which a max error codes as zeros on a
    # lattice centred on zero and an RMSE drops.
    rng = np.random.default_rng(11)
    n = 40000
    left = np.convolve(rng.standard_normal(n), np.hanning(40), mode="same") / 8
    right = left + 1e-4 * rng.standard_normal(n)
    x = np.round(np.array([left, right]) * 2**15).astype(np.float32) / 2**15
    value = fraction * float(x.max() - x.min())
    frame = quorvel_tools.encode_array(x, **{target: value}, format=2)
    alone = quorvel_tools.encode_array(x, **{target: value}, format=2, joint=False)
    assert len(references(frame)) == 1
    assert len(frame) < 0.65 * len(alone), (len(frame), len(alone))
    y = quorvel_tools.decode_array(frame)
    for lane in range(2):
        assert measured(x[lane], y[lane], target) <= value


def test_pcm_on_its_grid_codes_no_larger_than_the_same_sound_off_it():
    # A max error of many steps of a 16-bit grid: the grid's multiples and the scaled coding are both asked.
    rng = np.random.default_rng(5)
    t = np.arange(60000)
    sound = 0.3 * np.sin(2 * np.pi * t / 97) * np.exp(-(t % 15000) / 4000) + 0.01 * rng.standard_normal(t.size)
    pcm = (np.round(sound * 2**15) / 2**15).astype(np.float32)
    off = (pcm * np.float32(1.0000003)).astype(np.float32)
    bound = 0.01 * float(pcm.max() - pcm.min())
    on_grid = quorvel_tools.encode(pcm, max_error=bound, format=2)
    assert len(on_grid) <= 1.05 * len(quorvel_tools.encode(off, max_error=bound, format=2))
    assert np.max(np.abs(quorvel_tools.decode(on_grid).astype(np.float64) - pcm)) <= bound
