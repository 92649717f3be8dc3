"""The package surface: names, signatures, argument errors, decode, inspect and measure."""
import dataclasses
import importlib
import importlib.metadata
import inspect as pyinspect
import math
import pathlib
import platform
import shutil
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import quorvel
import quorvel_tools
from conftest import make_signal, raises_exactly
from quorvel_tools.settings import TARGETS


@pytest.fixture(scope="module")
def signal():
    return make_signal(700)


@pytest.fixture(scope="module")
def container(signal):
    return quorvel_tools.encode(signal, max_error=0.01, format=1)


def test_public_names_and_version():
    assert sorted(quorvel_tools.__all__) == ["BuildInfo", "CodecError", "ContainerInfo", "LayoutWarning",
                                             "Measurement", "Recording", "Settings", "UnreachableTargetError",
                                             "__version__", "build_info", "decode", "decode_array",
                                             "decode_array_ranges", "encode",
                                             "encode_array", "encode_rows", "inspect", "load", "measure", "save"]
    assert quorvel_tools.__version__ == importlib.metadata.version("quorvel")


def test_build_info_names_the_tier_this_processor_runs_and_the_loaded_zlib():
    info = quorvel_tools.build_info()
    assert info.deflate in ("libdeflate", "zlib") and info.deflate_version
    assert info.zlib_version == zlib.ZLIB_RUNTIME_VERSION  # one libz in the process
    with open("/proc/cpuinfo") as cpuinfo:  # the kernel's word for what the processor runs
        flags = {flag for line in cpuinfo if line.startswith("flags") for flag in line.split(":")[1].split()}
    expected = "avx" if {"avx2", "fma"} <= flags else "sse" if "sse4_2" in flags else "portable"
    if platform.machine() in ("x86_64", "AMD64"):
        assert info.processor_tier == expected
    assert info.processor_tier in str(info) and info.deflate in str(info)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_the_extension_exports_only_its_init_function():
    from quorvel_tools import _codec
    listing = subprocess.run(["nm", "-D", "--defined-only", _codec.__file__],
                             check=True, capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit__codec"]


@pytest.mark.skipif(not pathlib.Path("/proc/self/maps").exists(), reason="needs /proc/self/maps")
def test_both_extension_modules_load_one_shared_codec():
    # In a fresh process, importing both maps the two modules and one core: the codec's state
    # (DEFLATE workers, the processor tier) exists once.
    script = ("import pathlib, quorvel, quorvel_tools._codec\n"
              "for line in pathlib.Path('/proc/self/maps').read_text().splitlines():\n"
              "    print(pathlib.Path(line.split()[-1]).name)")
    mapped = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout
    names = sorted({name.split(".")[0] for name in mapped.split() if "quorvel" in name or name.startswith("_codec")})
    assert names == ["_codec", "libquorvel_core", "quorvel"]


@pytest.mark.parametrize("function, extra", [
    (quorvel_tools.encode, ["format", "threads"]),
    (quorvel_tools.encode_rows, ["format", "threads"]),
])
def test_options_are_keyword_only(function, extra):
    parameters = list(pyinspect.signature(function).parameters.values())
    assert parameters[0].kind is pyinspect.Parameter.POSITIONAL_OR_KEYWORD
    names = [p.name for p in parameters[1:]]
    assert names == ["max_error", "rmse", "prd", "max_bytes", "method", "effort", *extra]
    assert all(p.kind is pyinspect.Parameter.KEYWORD_ONLY for p in parameters[1:])
    with pytest.raises(TypeError):
        function(np.zeros((1, 4)), 0.1)


def _faces():
    faces = [(quorvel_tools.encode, TARGETS), (quorvel_tools.encode_rows, TARGETS),
             (quorvel_tools.encode_array, TARGETS), (quorvel_tools.save, TARGETS)]
    # The storage codecs where their libraries are installed; the HDF5 filter's client data has no
    # word for a byte budget.
    for module, name, targets in (("numcodecs", "Quorvel", TARGETS), ("zarr", "QuorvelCodec", TARGETS),
                                  ("hdf5", "Quorvel", TARGETS[:3])):
        try:
            faces.append((getattr(importlib.import_module(f"quorvel_tools.{module}"), name), targets))
        except ImportError:
            pass
    return faces


def test_every_face_takes_the_target_keywords_of_settings():
    # Each face spells its keywords out for help() and type checkers, and hands them to Settings.of,
    # which owns their checks and messages: a target added there must reach every face.
    for face, targets in _faces():
        names = list(pyinspect.signature(face).parameters)
        assert [name for name in names if name in TARGETS] == list(targets), face


@pytest.mark.parametrize("targets, text", [
    ({}, "exactly one target is required (max_error, rmse, prd or max_bytes); got none"),
    ({"max_error": 0.1, "rmse": 0.1}, "exactly one target is required (max_error, rmse, prd or max_bytes); "
                                      "got max_error and rmse"),
    ({"max_error": -0.5}, "max_error must be a non-negative number, got -0.5"),
    ({"prd": float("nan")}, "prd must be a non-negative number, got nan"),
    ({"rmse": float("inf")}, "rmse must be finite, got inf"),
    ({"max_bytes": -1}, "max_bytes must be a non-negative number, got -1"),
    ({"max_bytes": 2**1024}, "max_bytes must be at most 2**63 - 1, got an integer of 1025 bits"),
    ({"max_error": 10**400}, "max_error must be finite, got an integer of 1329 bits"),
    ({"prd": -10**400}, "prd must be a non-negative number, got an integer of 1329 bits"),
    ({"max_error": 0.1, "method": "haar"},
     "unknown method 'haar'; expected one of 'auto', 'cdf53', 'cdf97', 'db4', 'sym4'"),
    ({"max_error": 0.1, "effort": "normal"}, "unknown effort 'normal'; expected one of 'fast', 'default', 'best'"),
])
def test_bad_options_raise_value_error(signal, targets, text):
    with raises_exactly(ValueError, text):
        quorvel_tools.encode(signal, **targets)
    with raises_exactly(ValueError, text):
        quorvel_tools.encode_rows(signal.reshape(7, 100), **targets)


@pytest.mark.parametrize("targets", [
    {"max_error": "0.1"}, {"rmse": True}, {"max_bytes": 100.0}, {"max_error": 0.1, "method": 3},
    {"max_error": 0.1, "effort": None},
])
def test_options_of_the_wrong_type_raise_type_error(signal, targets):
    with pytest.raises(TypeError):
        quorvel_tools.encode(signal, **targets)


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-2, ValueError), (1.5, TypeError), (True, TypeError)])
def test_thread_counts_are_checked(signal, threads, error):
    with pytest.raises(error):
        quorvel_tools.encode_rows(signal.reshape(7, 100), max_error=0.1, threads=threads)


# --- settings and errors -------------------------------------------------------

def test_the_vocabulary_is_the_codecs_own():
    from quorvel_tools import _codec, settings
    assert _codec.vocabulary() == {"methods": settings.METHODS, "cutoffs": settings.CUTOFFS,
                                    "targets": settings.TARGETS, "efforts": settings.EFFORTS}


def test_settings_are_checked_once_however_they_are_made():
    aimed = quorvel_tools.Settings.of(max_bytes=900)
    assert aimed == quorvel_tools.Settings("max_bytes", 900, "auto", "default", None, None)
    assert aimed.config() == {"max_bytes": 900, "method": "auto", "effort": "default", "format": 2}
    assert quorvel_tools.Settings.of().config() == {"method": "cdf97", "scale": 11, "cutoff": "low", "format": 1}
    with pytest.raises(dataclasses.FrozenInstanceError):
        aimed.value = 1  # type: ignore[misc]
    for fields, error in [(dict(target="max_error", value=-1.0, method="auto", effort="fast", scale=None, cutoff=None),
                           ValueError),
                          (dict(target="psnr", value=1.0, method="auto", effort="fast", scale=None, cutoff=None),
                           ValueError),
                          (dict(scale=13), ValueError), (dict(method="auto"), ValueError), (dict(effort="best"), ValueError),
                          (dict(scale=11.0), TypeError)]:
        with pytest.raises(error):
            quorvel_tools.Settings(**fields)


def test_codec_errors_are_value_errors_with_their_particulars(signal):
    assert issubclass(quorvel_tools.UnreachableTargetError, quorvel_tools.CodecError)
    assert issubclass(quorvel_tools.CodecError, ValueError)
    with pytest.raises(quorvel_tools.UnreachableTargetError) as raised:
        quorvel_tools.encode(signal, rmse=0.0, format=1)
    error = raised.value
    assert (error.kind, error.target, error.value, error.lane, error.row) == ("unreachable", "rmse", 0.0, None, None)
    # The figure to ask for, rounded up to the six digits shown: asking for it is met.
    shown = str(error).removeprefix("Can't reach an RMSE of 0 on this signal: ask for ").removesuffix(" or more")
    assert float(shown) >= error.best_reachable > 0 and f"{float(shown):.6g}" == shown
    quorvel_tools.encode(signal, rmse=float(shown))
    with pytest.raises(quorvel_tools.CodecError) as raised:
        quorvel_tools.encode(np.array([1.0, np.nan]), max_error=0.1)
    assert raised.value.kind == "invalid_input" and type(raised.value) is quorvel_tools.CodecError


# --- decode ---------------------------------------------------------------------

def test_decode_reads_any_buffer_like_the_module_decoder(container):
    expected = quorvel.decompress_signal(container)
    strided = np.zeros(2 * len(container), dtype=np.uint8)
    strided[::2] = np.frombuffer(container, dtype=np.uint8)
    for buffer in (container, bytearray(container), memoryview(container),
                   np.frombuffer(container, dtype=np.uint8), memoryview(strided)[::2], container + b"trailing"):
        decoded = quorvel_tools.decode(buffer)
        assert decoded.dtype == np.float32 and decoded.flags.writeable and decoded.flags.c_contiguous
        np.testing.assert_array_equal(decoded, expected)


@pytest.mark.parametrize("damage", [lambda c: c[:51], lambda c: b"QRVX" + c[4:], lambda c: c[:-3]])
def test_decode_errors_are_the_codec_messages(container, damage):
    bad = damage(container)
    with pytest.raises(ValueError) as expected:
        quorvel.decompress_signal(bad)
    with raises_exactly(quorvel_tools.CodecError, str(expected.value)):
        quorvel_tools.decode(bad)


def test_decode_of_a_non_buffer_is_a_type_error():
    for thing in (None, 12, "QRVL", [81, 82]):
        with pytest.raises(TypeError):
            quorvel_tools.decode(thing)


# --- inspect against a container built by hand ------------------------------------

def handmade_container(coefficients, levels, scale, minimum, maximum, mean, tag=b"cf53", reserved=b"\0" * 16,
                       count=None):
    payload = zlib.compressobj(6, zlib.DEFLATED, -15)
    payload = payload.compress(np.asarray(coefficients, dtype="<i2").tobytes()) + payload.flush()
    header = struct.pack("<4sH2s4sBBHIfffI16s", b"QRVL", 1, b"f3", tag, levels, scale, 0, count or len(coefficients),
                         minimum, maximum, mean, len(payload), reserved)
    return header + payload


def test_inspect_reads_every_field_of_a_handmade_header():
    # 100 samples with cdf53 and 4 levels hold 100 coefficients (7 + 50 + 25 + 12 + 6).
    container = handmade_container(np.arange(100) - 50, 4, 9, -2.5, 7.25, 0.125, reserved=b"\x07" * 16)
    info = quorvel_tools.inspect(container + b"\xff" * 10)
    decoded = quorvel_tools.decode(container)
    assert info == quorvel_tools.ContainerInfo(version=1, method="cdf53", levels=4, scale=9, sample_count=100,
                                               offset=-2.5, span=9.75, shift=0.125, payload_length=len(container) - 52,
                                               size=len(container))
    assert decoded.size == 100
    with pytest.raises(AttributeError):
        info.levels = 5  # frozen


@pytest.mark.parametrize("tag, method", [(b"cf53", "cdf53"), (b"cf97", "cdf97"), (b"db04", "db4"),
                                         (b"sym4", "sym4")])
def test_inspect_names_each_method(tag, method):
    # 16 samples at one level take 16 coefficients by lifting, 2 x 11 with the 8-tap filter banks.
    count = 16 if tag.startswith(b"cf") else 22
    container = handmade_container([0] * count, 1, 12, 0.0, 1.0, 0.0, tag=tag, count=16)
    assert quorvel_tools.inspect(container).method == method


@pytest.mark.parametrize("header", [
    b"QRVL\1\0" + b"QRVL" * 10 + b"QR",             # too short
    b"QRVM" + b"\0" * 48,                           # magic
    handmade_container([0] * 8, 1, 12, 0.0, 1.0, 0.0, tag=b"CF53"),
    handmade_container([0] * 8, 1, 12, 0.0, math.inf, 0.0),
])
def test_inspect_rejects_bad_headers_with_the_codec_message(header):
    with pytest.raises(ValueError) as expected:
        quorvel.decompress_signal(header)
    with raises_exactly(quorvel_tools.CodecError, str(expected.value)) as raised:
        quorvel_tools.inspect(header)
    assert raised.value.kind in ("invalid_header", "invalid_magic", "invalid_compression_method")


# --- measure against figures worked out by hand ---------------------------------

def test_measure_matches_hand_computed_figures():
    # Error (0, 0, 0, -2): energy 4 against a signal energy of 1 + 4 + 9 + 16 = 30.
    m = quorvel_tools.measure([1, 2, 3, 4], np.array([1, 2, 3, 6], dtype=np.float32))
    assert m.max_error == 2.0
    assert m.rmse == 1.0
    assert m.prd == pytest.approx(100 * math.sqrt(4 / 30), rel=1e-15)
    assert m.snr_db == pytest.approx(10 * math.log10(30 / 4), rel=1e-15)


def test_measure_works_in_float64_even_for_float32_inputs():
    # In float32, 1e38 squared overflows and 1 + 1e-7 is 1; in float64 neither happens.
    big = np.full(8, 1e38, dtype=np.float32)
    m = quorvel_tools.measure(big, big * np.float32(0.5))
    assert m.max_error == pytest.approx(0.5 * float(np.float32(1e38)), rel=1e-12)
    assert m.prd == pytest.approx(50.0, rel=1e-12)
    assert m.snr_db == pytest.approx(20 * math.log10(2), rel=1e-12)
    fine = quorvel_tools.measure(np.ones(4), np.ones(4) + 1e-12)
    assert fine.rmse == pytest.approx(1e-12, rel=1e-3)


@pytest.mark.parametrize("original, decoded, expected", [
    ([], [], (0.0, 0.0, 0.0, math.inf)),
    ([0.0, 0.0], [0.0, 0.0], (0.0, 0.0, 0.0, math.inf)),
    ([0.0, 0.0], [0.0, 3.0], (3.0, math.sqrt(4.5), math.inf, -math.inf)),
    ([5.0, -5.0], [5.0, -5.0], (0.0, 0.0, 0.0, math.inf)),
])
def test_measure_defines_the_degenerate_cases(original, decoded, expected):
    m = quorvel_tools.measure(original, decoded)
    assert (m.max_error, m.rmse, m.prd, m.snr_db) == pytest.approx(expected, rel=1e-15)


def test_measure_takes_the_finite_positions_and_counts_those_that_differ_in_kind():
    inf, nan = math.inf, math.nan
    original = [1.0, nan, inf, -inf, 2.0, nan, inf, 4.0, 3.0]
    decoded = [1.0, nan, inf, -inf, 2.5, inf, -inf, nan, 3.0]
    m = quorvel_tools.measure(original, decoded)
    finite = quorvel_tools.measure([1.0, 2.0, 3.0], [1.0, 2.5, 3.0])
    assert (m.max_error, m.rmse, m.prd, m.snr_db) == (finite.max_error, finite.rmse, finite.prd, finite.snr_db)
    assert (m.mismatched, finite.mismatched) == (3, 0)


def test_inspect_reads_the_header_alone_whatever_the_payload_claims(ecg):
    # A payload of 8 bytes for 2**31 - 1 samples: decoding refuses it at once,
    # and inspect never looks (it once decoded the whole container for the range).
    claim = handmade_container([0] * 4, 1, 12, 0.0, 1.0, 0.0, count=2**31 - 1)
    with pytest.raises(quorvel_tools.CodecError):
        quorvel_tools.decode(claim)
    info = quorvel_tools.inspect(claim)
    assert (info.sample_count, info.size, info.signal_minimum, info.signal_maximum) == (2**31 - 1, len(claim), None,
                                                                                        None)
    for format in (1, 2):
        container = bytearray(quorvel_tools.encode(ecg, max_error=1e-3, format=format))
        fields = quorvel_tools.inspect(container)
        container[-1] ^= 0xFF  # the end of the DEFLATE payload (version 1), the last block's CRC (version 2)
        if format == 2:
            with pytest.raises(quorvel_tools.CodecError):
                quorvel_tools.decode(container)
        assert quorvel_tools.inspect(container) == fields


def test_measure_rejects_shapes_that_differ():
    with raises_exactly(ValueError, "original and decoded differ in shape: (3,) and (4,)"):
        quorvel_tools.measure(np.zeros(3), np.zeros(4))


def test_measure_agrees_with_the_judge(signal, container):
    from aim_oracle import figures
    m = quorvel_tools.measure(signal, quorvel_tools.decode(container))
    judged = figures(signal, container)
    assert m.max_error == judged["max_error"]
    assert (m.rmse, m.prd) == pytest.approx((judged["rmse"], judged["prd"]), rel=1e-12)
