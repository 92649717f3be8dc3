"""Both container versions through every road, version 2's ranges, idempotence and integrity,
and the quorvel module refusing version 2."""
import pathlib

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import quorvel
import quorvel_tools
from aim_oracle import assert_meets
from quorvel_tools._frame import frame_layout
from quorvel_tools.numcodecs import Quorvel


def walk(n, seed=0):
    rng = np.random.default_rng(seed)
    return (np.cumsum(rng.standard_normal(n)) + 0.3 * rng.standard_normal(n)).astype(np.float32)


@pytest.mark.parametrize("format", [1, 2])
def test_both_versions_round_trip_through_every_road(format):
    x = walk(3000)
    target = 1e-3 * float(np.ptp(x))
    blob = quorvel_tools.encode(x, max_error=target, format=format)
    info = quorvel_tools.inspect(blob)
    assert (info.version, info.sample_count, info.size) == (format, x.size, len(blob))
    assert_meets(x, blob, "max_error", target)
    rows = np.stack([x, -x])
    assert quorvel_tools.encode_rows(rows, max_error=target, format=format, threads=2)[0] == blob
    frame = quorvel_tools.encode_array(rows, max_error=target, format=format)
    _, _, lanes = frame_layout(frame)
    assert [quorvel_tools.inspect(frame[at:at + size]).version for at, size in lanes] == [format, format]
    assert np.max(np.abs(quorvel_tools.decode_array(frame) - rows)) <= target
    codec = Quorvel(max_error=target, format=format)
    assert codec.get_config()["format"] == format
    assert np.max(np.abs(codec.decode(codec.encode(rows)) - rows)) <= target


def test_version_2_is_the_default_wherever_only_it_can_serve():
    x = walk(500)
    assert quorvel_tools.inspect(quorvel_tools.encode(x, rmse=0.1)).version == 2
    assert quorvel_tools.Settings.of(prd=1.0).format == 2
    # What only version 1 has (a wavelet, fixed settings) writes version 1 unless asked otherwise.
    assert quorvel_tools.inspect(quorvel_tools.encode(x, rmse=0.1, method="db4")).version == 1
    assert quorvel_tools.Settings.of(scale=9).format == 1
    with pytest.raises(ValueError, match="format 2 uses no wavelet: method must be 'auto', got 'db4'"):
        quorvel_tools.encode(x, rmse=0.1, method="db4", format=2)
    with pytest.raises(ValueError, match="format 2 is encoded to a target"):
        quorvel_tools.encode_array(x, scale=9, format=2)
    with pytest.raises(ValueError, match="format must be 1 or 2, got 3"):
        quorvel_tools.encode(x, rmse=0.1, format=3)


def test_the_quorvel_module_refuses_version_2_as_any_unknown_version():
    blob = quorvel_tools.encode(walk(500), max_error=0.01)
    version_1 = bytearray(quorvel_tools.encode(walk(500), max_error=0.01, format=1))
    version_1[4:6] = blob[4:6]
    with pytest.raises(ValueError) as relabelled:
        quorvel.decompress_signal(bytes(version_1))
    with pytest.raises(ValueError) as refused:
        quorvel.decompress_signal(blob)
    assert str(refused.value) == str(relabelled.value) and "version" in str(refused.value).lower()


def test_inspect_names_both_scaled_codings():
    corpus = pathlib.Path(__file__).resolve().parents[2] / "data" / "conformance"
    for name, mode in (("v2_speech_scaled.qrvl", "scaled"), ("w_scaled_linear.qrvl", "scaled_linear")):
        assert quorvel_tools.inspect((corpus / name).read_bytes()).mode == mode


def test_inspect_shows_what_a_version_2_header_says():
    x = walk(40000)
    info = quorvel_tools.inspect(quorvel_tools.encode(x, max_error=0.01))
    assert info.method is None and info.mode in ("grid", "interpolated", "corrected", "scaled", "scaled_linear")
    assert info.block_count == -(-x.size // info.block_length) and info.block_count > 1
    assert info.grid_step > 0
    # Samples that sit on a grid finer than the target come back exactly, coded as grid codes.
    pcm = np.round(walk(2000) * 300) / 32768
    lossless = quorvel_tools.encode(pcm.astype(np.float32), max_error=0.4 / 32768)
    np.testing.assert_array_equal(quorvel_tools.decode(lossless), pcm.astype(np.float32))
    assert quorvel_tools.inspect(lossless).grid_step == pytest.approx(1 / 32768)


@pytest.fixture(scope="module", params=[1, 2])
def long_container(request):
    x = walk(50000, seed=3)
    blob = quorvel_tools.encode(x, max_error=0.01, format=request.param)
    return blob, quorvel_tools.decode(blob)


indices = st.none() | st.integers(-60000, 60000)


@settings(max_examples=40, deadline=None)
@given(start=indices, stop=indices, threads=st.integers(1, 3))
def test_a_range_is_the_slice_of_the_whole(long_container, start, stop, threads):
    blob, whole = long_container
    part = quorvel_tools.decode(blob, start=start, stop=stop, threads=threads)
    assert part.dtype == np.float32 and part.flags.writeable
    np.testing.assert_array_equal(part, whole[start:stop])


# Random walks with constant runs and spikes, at magnitudes from tiny to huge.
@st.composite
def signals(draw):
    n = draw(st.integers(1, 3000))
    steps = draw(hnp.arrays(np.float64, n, elements=st.floats(-1, 1)))
    x = np.cumsum(steps)
    if n > 10 and draw(st.booleans()):
        x[n // 4: n // 2] = x[n // 4]
        x[n // 3] += 50.0
    return (x * draw(st.sampled_from([1e-30, 1e-3, 1.0, 1e4, 1e30]))).astype(np.float32)


@settings(max_examples=40, deadline=None)
@given(x=signals(), kind=st.sampled_from(["max_error", "rmse", "prd"]), fraction=st.sampled_from([0.0, 1e-4, 1e-2]),
       effort=st.sampled_from(["fast", "default", "best"]))
def test_version_2_re_encodes_its_decoded_signal_into_the_same_container(x, kind, fraction, effort):
    spread = float(np.ptp(x.astype(np.float64)))
    target = 100 * fraction if kind == "prd" else fraction * spread
    blob = quorvel_tools.encode(x, **{kind: target}, effort=effort)
    assert_meets(x, blob, kind, target)
    assert quorvel_tools.encode(quorvel_tools.decode(blob), **{kind: target}, effort=effort) == blob


def test_every_truncation_and_flipped_byte_of_version_2_is_an_error_or_within_the_target():
    x = walk(1500, seed=7)
    blob = quorvel_tools.encode(x, max_error=0.05)
    assert quorvel_tools.inspect(blob).size == len(blob)
    for end in range(len(blob)):
        with pytest.raises(quorvel_tools.CodecError):
            quorvel_tools.decode(blob[:end])
    for at in range(len(blob)):
        for bit in (0x01, 0x80):
            damaged = bytearray(blob)
            damaged[at] ^= bit
            try:
                decoded = quorvel_tools.decode(bytes(damaged))
            except quorvel_tools.CodecError:
                continue
            assert np.max(np.abs(decoded.astype(np.float64) - x)) <= 0.05, f"byte {at} ^ {bit:#x}"
