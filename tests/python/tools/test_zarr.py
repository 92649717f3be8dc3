"""Zarr stores on disk in formats 3 and 2 with the "quorvel" codec, reopened in fresh processes."""
import json
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

zarr = pytest.importorskip("zarr", minversion="3")
pytest.importorskip("numcodecs")

import quorvel_tools  # noqa: E402
from quorvel_tools.numcodecs import Quorvel  # noqa: E402
from quorvel_tools.zarr import QuorvelCodec  # noqa: E402


def recording(channels, n, dtype=np.float32):
    """Channels of different loudness, a dropout of NaN, a saturated run and NaN at the very ends."""
    t = np.arange(n)
    x = np.stack([(c + 1) ** 2 * np.sin(t / (7.0 + 3 * c)) + 0.1 * np.cos(t / 1.7) for c in range(channels)])
    x = x.astype(dtype)
    x[0, 100:400] = np.nan
    x[1 % channels, 1500:1510] = np.inf
    x[-1, 0] = x[-1, -1] = np.nan
    x[-1, 777] = -np.inf
    return x


def check_against(x, y, max_error):
    assert y.shape == x.shape and y.dtype == x.dtype
    np.testing.assert_array_equal(np.isnan(y), np.isnan(x))
    infinite = np.isinf(x)
    np.testing.assert_array_equal(y[infinite], x[infinite])
    finite = np.isfinite(x)
    assert np.max(np.abs(y[finite].astype(np.float64) - x[finite])) <= max_error


# Reads the store in a new interpreter: only the name in the metadata leads to the codec.
READER = textwrap.dedent("""
    import sys, numpy as np, zarr
    y = zarr.open_array(sys.argv[1], mode="r")[...]
    np.save(sys.argv[2], y)
""")


def read_in_fresh_process(store, tmp_path):
    result = tmp_path / "read.npy"
    subprocess.run([sys.executable, "-c", READER, str(store), str(result)], check=True)
    return np.load(result)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_format_3_store_names_the_codec_and_reopens_by_name(tmp_path, dtype):
    x = recording(3, 5000, dtype)
    store = tmp_path / "recording.zarr"
    a = zarr.create_array(store, shape=x.shape, chunks=(2, 1200), dtype=dtype, fill_value=np.nan,
                          serializer=QuorvelCodec(max_error=1e-3), compressors=None)
    a[...] = x
    metadata = json.loads((store / "zarr.json").read_text())
    assert metadata["codecs"] == [
        {"name": "quorvel", "configuration": {"max_error": 1e-3, "method": "auto", "effort": "default", "format": 2}}]
    check_against(x, zarr.open_array(store, mode="r")[...], 1e-3)
    check_against(x, read_in_fresh_process(store, tmp_path), 1e-3)
    # A partial read decodes only the chunks it touches, with the same values.
    np.testing.assert_array_equal(zarr.open_array(store, mode="r")[1:, 2000:2100], a[...][1:, 2000:2100])


def test_format_2_store_with_the_numcodecs_compressor_reopens_by_name(tmp_path):
    x = recording(2, 3000)
    store = tmp_path / "recording_v2.zarr"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zarr warns that numcodecs codecs are outside its core set
        a = zarr.create_array(store, shape=x.shape, chunks=(1, 1000), dtype="float32", zarr_format=2,
                              fill_value=np.nan, compressors=Quorvel(prd=0.5), filters=None)
        a[...] = x
    compressor = json.loads((store / ".zarray").read_text())["compressor"]
    assert compressor == {"id": "quorvel", "prd": 0.5, "method": "auto", "effort": "default", "format": 2}
    y = read_in_fresh_process(store, tmp_path)
    np.testing.assert_array_equal(np.isnan(y), np.isnan(x))
    for lane, back in zip(x, y):
        keep = np.isfinite(lane)
        a64, b64 = lane[keep].astype(np.float64), back[keep].astype(np.float64)
        assert 100 * np.sqrt(np.sum((a64 - b64) ** 2) / np.sum(a64 ** 2)) <= 0.5


def test_fixed_settings_and_a_codec_built_from_its_metadata(tmp_path):
    codec = QuorvelCodec(method="cdf53", scale=9, cutoff="medium")
    assert QuorvelCodec.from_dict(codec.to_dict()) == codec
    assert codec.to_dict() == {"name": "quorvel",
                               "configuration": {"method": "cdf53", "scale": 9, "cutoff": "medium", "format": 1}}
    # Metadata written before version 2 existed has no format: it means version 1.
    stored = QuorvelCodec.from_dict({"name": "quorvel", "configuration": {"max_error": 1e-3}})
    assert stored.format == 1 and QuorvelCodec(max_error=1e-3).format == 2
    assert QuorvelCodec() == QuorvelCodec(method="cdf97", scale=11, cutoff="low")
    x = recording(2, 2000)
    a = zarr.create_array(tmp_path / "fixed.zarr", shape=x.shape, chunks=(2, 2000), dtype="float32",
                          fill_value=np.nan, serializer=codec, compressors=None)
    a[...] = x
    # Scale 9 of a channel range near 8: steps of 1/64, a few steps of error.
    check_against(x, a[...], 0.2)


def test_settings_and_data_types_the_codec_cannot_take_are_refused(tmp_path):
    with pytest.raises(ValueError, match="exactly one target is required"):
        QuorvelCodec.from_dict({"name": "quorvel", "configuration": {"max_error": 1e-3, "rmse": 1.0}})
    with pytest.raises(ValueError, match="max_bytes is not a chunk codec target: a byte budget gives every chunk"):
        QuorvelCodec(max_bytes=1000)
    with pytest.raises(ValueError, match="the quorvel codec stores float32 or float64 arrays, not int16"):
        zarr.create_array(tmp_path / "ints.zarr", shape=(10,), dtype="int16", serializer=QuorvelCodec(),
                          compressors=None)


def test_a_chunk_of_the_wrong_shape_is_refused_before_it_is_decoded(tmp_path, monkeypatch):
    import quorvel_tools.numcodecs
    import quorvel_tools.zarr
    a = zarr.create_array(tmp_path / "z.zarr", shape=(100,), chunks=(100,), dtype="float32",
                          serializer=QuorvelCodec(max_error=1e-3), compressors=None)
    a[:] = np.arange(100, dtype=np.float32)
    chunk = next(p for p in (tmp_path / "z.zarr").rglob("*") if p.is_file() and p.name != "zarr.json")
    frame = quorvel_tools.encode_array(np.full(10**6, np.nan, np.float32), max_error=1e-3)
    chunk.write_bytes(frame)

    def no_decoding(*args, **kwargs):
        raise AssertionError("decoded a chunk whose shape its header shows to be wrong")

    monkeypatch.setattr(quorvel_tools.zarr, "decode_array", no_decoding)
    monkeypatch.setattr(quorvel_tools.numcodecs, "decode_array", no_decoding)
    with pytest.raises(ValueError, match=r"holds shape \(1000000,\), the array expects \(100,\)"):
        a[:]
    with pytest.raises(ValueError, match="does not fit an output of 400 bytes"):
        Quorvel(max_error=1e-3).decode(frame, out=np.empty(100, np.float32))


# Zarr writes part of a chunk by decoding it, changing some samples and encoding it again.
PARTIAL = [("zarr3", {"max_error": 0.05}), ("zarr3", {"rmse": 0.05}), ("zarr3", {"prd": 2.0}),
           ("zarr3", {"rmse": 0.05, "method": "cdf97"}), ("numcodecs", {"prd": 2.0})]


@pytest.mark.parametrize("through, target", PARTIAL)
def test_partial_writes_leave_the_other_samples_of_a_chunk_as_they_were(tmp_path, through, target):
    x = recording(2, 2048, np.float64 if "method" in target else np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zarr warns that numcodecs codecs are outside its core set
        if through == "zarr3":
            a = zarr.create_array(tmp_path / "z.zarr", shape=x.shape, chunks=(2, 512), dtype=x.dtype,
                                  serializer=QuorvelCodec(**target), compressors=None)
        else:
            a = zarr.create_array(tmp_path / "z.zarr", shape=x.shape, chunks=(2, 512), dtype=x.dtype,
                                  zarr_format=2, compressors=Quorvel(**target), filters=None)
        a[...] = x
    stored = a[...]
    written = np.zeros(x.shape, bool)
    rng = np.random.default_rng(5)
    for _ in range(100):
        row, start = int(rng.integers(0, 2)), int(rng.integers(0, 2040))
        stop = start + int(rng.integers(1, 8))
        a[row, start:stop] = x[row, start:stop] + rng.normal(0, 0.5, stop - start)
        written[row, start:stop] = True
    now = a[...]
    np.testing.assert_array_equal(now[~written], stored[~written])  # NaN where NaN was
    assert np.isfinite(now[written & np.isfinite(x)]).all()
    # Writing back what was read changes no byte of a chunk.
    before = {p.name: p.read_bytes() for p in (tmp_path / "z.zarr").rglob("*") if p.is_file()}
    a[:, 100:101] = a[:, 100:101]
    assert {p.name: p.read_bytes() for p in (tmp_path / "z.zarr").rglob("*") if p.is_file()} == before


@pytest.mark.parametrize("through", ["zarr3", "numcodecs"])
def test_time_on_the_first_axis_is_coded_along_time(tmp_path, through):
    # A (time, channels) array with time_axis=0 stores the very frames of its transpose with time last.
    x = recording(3, 5000)

    def store(name, data, chunks, **axis):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            if through == "zarr3":
                a = zarr.create_array(tmp_path / name, shape=data.shape, chunks=chunks, dtype=data.dtype,
                                      fill_value=np.nan, serializer=QuorvelCodec(max_error=1e-3, **axis),
                                      compressors=None)
            else:
                a = zarr.create_array(tmp_path / name, shape=data.shape, chunks=chunks, dtype=data.dtype,
                                      fill_value=np.nan, zarr_format=2, compressors=Quorvel(max_error=1e-3, **axis),
                                      filters=None)
            a[...] = data
        warned = [str(w.message) for w in caught if issubclass(w.category, quorvel_tools.LayoutWarning)]
        frames = sorted(p.read_bytes() for p in (tmp_path / name).rglob("*") if p.is_file() and p.name[0].isdigit())
        return a, frames, warned

    across, frames, warned = store("t.zarr", np.ascontiguousarray(x.T), (1200, 3), time_axis=0)
    assert not warned and frames == store("c.zarr", x, (3, 1200))[1]
    check_against(x.T, read_in_fresh_process(tmp_path / "t.zarr", tmp_path), 1e-3)
    stored = across[...]
    across[2000:2005, 1] = 0.5
    written = np.zeros(stored.shape, bool)
    written[2000:2005, 1] = True
    np.testing.assert_array_equal(across[...][~written], stored[~written])
    assert "give time_axis=0" in store("wrong.zarr", np.ascontiguousarray(x.T), (1200, 3))[2][0]
