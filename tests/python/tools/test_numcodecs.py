"""The numcodecs codec "quorvel": registry, configuration, buffers, pickling, stored fixtures."""
import copy
import json
import pathlib
import pickle
import re

import numpy as np
import pytest

numcodecs = pytest.importorskip("numcodecs")
import numcodecs.tests.common  # noqa: E402
from numcodecs.tests.common import check_backwards_compatibility, check_config, check_repr  # noqa: E402

import quorvel_tools  # noqa: E402
from quorvel_tools.numcodecs import Quorvel  # noqa: E402

DATA_DIR = pathlib.Path(__file__).resolve().parents[2] / "data"

CONFIGS = [
    {"max_error": 1e-3},
    {"rmse": 0.5, "method": "db4", "effort": "fast"},
    {"prd": 2.0, "effort": "best"},
    {"method": "sym4", "scale": 8, "cutoff": "high"},
    {},
]


def signal(shape, dtype=np.float32, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(shape[-1])
    return (np.sin(t / 9.0) * 4 + 0.2 * rng.standard_normal(shape)).astype(dtype)


def test_the_registry_finds_the_codec_by_name():
    codec = numcodecs.get_codec({"id": "quorvel", "max_error": 1e-3, "format": 2})
    assert type(codec) is Quorvel
    assert codec == Quorvel(max_error=1e-3)
    # A configuration stored before version 2 existed means version 1, whatever it asks for.
    assert numcodecs.get_codec({"id": "quorvel", "max_error": 1e-3}) == Quorvel(max_error=1e-3, format=1)


@pytest.mark.parametrize("config", CONFIGS, ids=str)
def test_config_round_trips_through_json(config):
    codec = Quorvel(**config)
    check_config(codec)
    settings = json.loads(json.dumps(codec.get_config()))
    del settings["id"]
    assert Quorvel.from_config(settings) == codec


def test_config_is_the_canonical_settings_and_equality_follows_it():
    assert Quorvel(max_error=1e-3).get_config() == {
        "id": "quorvel", "max_error": 1e-3, "method": "auto", "effort": "default", "format": 2}
    assert Quorvel().get_config() == {"id": "quorvel", "method": "cdf97", "scale": 11, "cutoff": "low", "format": 1}
    assert Quorvel() == Quorvel(method="cdf97", scale=11, cutoff="low")
    assert Quorvel(max_error=1e-3) == Quorvel(max_error=1e-3, method="auto", effort="default")
    assert Quorvel(max_error=1e-3) != Quorvel(max_error=2e-3)
    assert Quorvel(scale=10) != Quorvel()


@pytest.mark.parametrize("statement", [
    "Quorvel(max_error=0.001, method='auto', effort='default', format=2)",
    "Quorvel(rmse=0.5, method='db4', effort='fast', format=1)",
    "Quorvel(method='cdf53', scale=7, cutoff='medium', format=1)",
])
def test_repr_is_the_constructor_call(statement, monkeypatch):
    # check_repr evaluates the statement in its own module's namespace.
    monkeypatch.setattr(numcodecs.tests.common, "Quorvel", Quorvel, raising=False)
    check_repr(statement)


@pytest.mark.parametrize("config", CONFIGS, ids=str)
def test_pickle_and_deepcopy_keep_the_codec(config):
    codec = Quorvel(**config)
    x = signal((2, 300))
    for clone in (pickle.loads(pickle.dumps(codec)), copy.deepcopy(codec)):
        assert clone == codec and repr(clone) == repr(codec)
        assert clone.encode(x) == codec.encode(x)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_lossy_round_trip_through_every_buffer_type_and_out(dtype):
    codec = Quorvel(max_error=1e-3)
    x = signal((3, 2, 257), dtype)
    x[0, 1, 5:9] = np.nan
    encoded = codec.encode(x)
    buffers = [encoded, bytearray(encoded), memoryview(encoded), np.frombuffer(encoded, np.uint8)]
    for buffer in buffers:
        y = codec.decode(buffer)
        assert y.dtype == dtype and y.shape == x.shape
        np.testing.assert_array_equal(np.isnan(y), np.isnan(x))
        assert np.nanmax(np.abs(y.astype(np.float64) - x)) <= 1e-3
    # out= of the right dtype is filled in place, whatever its shape; a byte
    # buffer of the right size gets the samples' bytes.
    for out in (np.empty_like(x), np.empty(x.size, dtype)):
        assert codec.decode(encoded, out=out) is out
        np.testing.assert_array_equal(out.reshape(x.shape), codec.decode(encoded))
    raw = bytearray(x.nbytes)
    codec.decode(encoded, out=raw)
    np.testing.assert_array_equal(np.frombuffer(raw, dtype).reshape(x.shape), codec.decode(encoded))


def test_encode_refuses_what_is_not_a_float_array():
    codec = Quorvel(max_error=1e-3)
    with pytest.raises(TypeError, match="the quorvel codec encodes float32 or float64 ndarrays, not bytes"):
        codec.encode(b"\0" * 16)
    with pytest.raises(TypeError, match="quorvel encodes float32 or float64 arrays, not int64"):
        codec.encode(np.arange(16))
    with pytest.raises(ValueError, match="Fortran order"):
        codec.encode(np.asfortranarray(signal((4, 5))))


@pytest.mark.parametrize("config, message", [
    ({"max_error": 1e-3, "prd": 1.0}, "exactly one target is required"),
    ({"scale": 3}, "scale must be 6 to 12, got 3"),
    ({"method": "haar"}, "unknown method 'haar'"),
    ({"rmse": 10**400}, "rmse must be finite, got an integer of 1329 bits"),
    ({"max_bytes": 1000}, "max_bytes is not a chunk codec target"),
])
def test_bad_configurations_are_refused_by_the_registry_too(config, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        numcodecs.get_codec({"id": "quorvel", **config})


def test_frames_written_earlier_still_decode(monkeypatch):
    # Fixtures under tests/data/fixture/quorvel were written once by this test
    # (numcodecs writes what is missing); later versions must still read them.
    rng = np.random.default_rng(2026)
    arrays = [
        signal((1000,), np.float32, 1),
        signal((4, 250), np.float64, 2),
        signal((2, 3, 7), np.float32, 3),
        np.where(rng.random((3, 100)) < 0.1, np.nan, signal((3, 100), np.float32, 4)).astype(np.float32),
        np.array([np.inf, -np.inf, 1.0, 2.0, np.nan], np.float64),
    ]
    # The first three configurations were stored without a format, so they mean version 1; the
    # fourth holds version-2 frames.
    codecs = [Quorvel(max_error=1e-3, format=1), Quorvel(prd=1.0, effort="fast", format=1),
              Quorvel(method="db4", scale=10), Quorvel(max_error=1e-3)]
    monkeypatch.chdir(DATA_DIR)
    # Decimal places each codec's error allows: a max error of 1e-3; a PRD of
    # 1 % (and the fixed scale 10) on signals of range about 10, within 0.05.
    check_backwards_compatibility(Quorvel.codec_id, arrays, codecs, precision=[2, 1, 1, 2])
