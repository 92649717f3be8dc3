#!/usr/bin/env python3
"""Writes tests/data/golden_containers.bin: inputs, settings and the exact bytes the encoders gave.

Every encoder road is recorded: the plain encoder (quorvel.compress_signal) over
every method, scale and cutoff at lengths 1 to 10^4 around the filter lengths
and the level plan's edges, NaN and infinities included; the aimed encoder
(quorvel_tools.encode) for every target kind and effort, float32 and float64,
the method chosen and fixed; chunk frames (quorvel_tools.encode_array) of 0 to
3 axes, both dtypes, with masks, fixed and aimed. Refusals are recorded with
their message. The tests re-encode every case and demand the same bytes
(tests/cpp/golden_test.cpp, tests/python/tools/test_golden.py).

Float transforms differ in their last bits between processor tiers, so the
file names the tier it was made on (that of this machine: avx with AVX2 and
FMA, sse with SSE4.2, portable otherwise) and the tests compare the bytes
only there. For the other tiers, tests/data/golden_containers_tiers.txt holds
a digest of every case: remake it with the C++ golden test, on the same tree,
QUORVEL_GOLDEN_DIGESTS=1 and --quorvel_tier_cap=sse, then =portable.

File format, little-endian:
  magic "QGLD", u32 version 1, u32 length + tier name;
  u32 source count, then per source: u8 dtype (0 float32, 1 float64), u32
  sample count, the samples;
  u32 case count, then per case: u8 road (0 plain, 1 aimed, 2 frame), u32
  length + settings ("key=value" words separated by spaces, the keyword
  arguments of the Python call), u32 source, u32 first sample, u8 ndim, ndim x
  u64 shape (the input is that many samples of the source from the first one,
  in C order), u8 outcome (0 bytes, 1 refusal), u32 length + the output bytes
  or the refusal's message.

Run from the repository root with the packages installed: python3 tools/make_golden.py
"""
import struct
from pathlib import Path

import numpy as np

import quorvel
import quorvel_tools
from quorvel_tools._frame import encode_settings

SEED = 20270101
DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
OUT = DATA / "golden_containers.bin"
ROADS = {"plain": 0, "aimed": 1, "frame": 2}
METHODS = ("cdf53", "cdf97", "db4", "sym4")
FILTER_LENGTHS = {"cdf53": 6, "cdf97": 10, "db4": 8, "sym4": 8}
CUTOFFS = ("low", "medium", "high")
TARGETS = ("max_error", "rmse", "prd", "max_bytes")
EFFORTS = ("fast", "default", "best")


def tier() -> str:
    """The processor tier the factory picks here, read from the flags Linux reports."""
    flags = set()
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("flags"):
            flags = set(line.split(":", 1)[1].split())
            break
    if {"avx2", "fma", "xsave"} <= flags:
        return "avx"
    return "sse" if "sse4_2" in flags else "portable"


class Sources:
    """The arrays the cases read from, each stored once."""

    def __init__(self):
        self.arrays = []

    def case(self, road, settings, source, start=0, shape=None):
        if not any(a is source for a in self.arrays):
            self.arrays.append(source)
        index = next(i for i, a in enumerate(self.arrays) if a is source)
        shape = (source.size - start,) if shape is None else tuple(shape)
        return road, settings, index, start, shape


def plain_lengths(method):
    """1 to 10^4: around the filter length, the level plan's thresholds and its powers of two."""
    f = FILTER_LENGTHS[method]
    edges = {f - 1, f, f + 1, 19, 20, 39, 40, 59, 60, 79, 80, 81}
    edges |= {f * 2**k + d for k in range(4, 9) for d in (-1, 0)}
    return sorted({1, 2, 3, 5} | edges | {1000, 4097, 10000})


def plain_cases(src, rng, bases):
    cases = []
    for m, method in enumerate(METHODS):
        for i, n in enumerate(plain_lengths(method)):
            fitting = [b for b in bases if b.size >= n]
            base = fitting[(i + m) % len(fitting)]
            start = int(rng.integers(0, base.size - n + 1))
            settings = {"method": method, "scale": 6 + (i + 3 * m) % 7, "cutoff": CUTOFFS[(i // 7 + m) % 3]}
            cases.append(src.case("plain", settings, base, start, (n,)))
    special = [
        np.array([np.nan, 1.0, np.inf, -np.inf, 2.0, 3.0] * 50, np.float32),  # sanitised to 0 and 1
        np.full(300, 7.25, np.float32),                                        # constant
        (1 + 1e-6 * rng.standard_normal(500)).astype(np.float32),               # range near the constant threshold
        np.array([-3.4e38, 0.0, 1e-30] * 40, np.float32),                      # range near the float32 limit
        np.array([3e38, -3e38, 1.0], np.float32),                              # range overflows: refused
        (1e30 * rng.standard_normal(777)).astype(np.float32),
    ]
    for k, x in enumerate(special):
        cases.append(src.case("plain", {"method": METHODS[k % 4], "scale": 6 + k, "cutoff": CUTOFFS[k % 3]}, x))
    return cases


def aimed_cases(src, rng, ecg, chirp, co2):
    # Float64 versions carry values float32 cannot hold.
    wide = [x.astype(np.float64) + 1e-4 * rng.standard_normal(x.size) for x in (ecg[:3000], chirp[:2000], co2)]
    narrow = [ecg, chirp, co2]
    lengths = [3000, 2000, co2.size]
    cases = []
    for k, kind in enumerate(TARGETS):
        for e, effort in enumerate(EFFORTS):
            for d, pool in enumerate((narrow, wide)):
                which = (k + e + d) % 3
                x, n = pool[which], lengths[which]
                span = float(np.ptp(x[:n]))
                value = {"max_error": 3e-3 * span, "rmse": 1e-3 * span, "prd": 2.0, "max_bytes": n // 2}[kind]
                method = "auto" if (e + d) % 2 == 0 else METHODS[(k + e) % 4]
                cases.append(src.case("aimed", {kind: value, "method": method, "effort": effort}, x, 0, (n,)))
    ramp = np.linspace(-1, 1, 700)
    edge = [
        ({"max_error": 0.01}, np.array([0.5], np.float32)),
        ({"rmse": 0.0}, np.full(50, -2.5, np.float32)),                      # constant, exact
        ({"max_error": 1e-9, "effort": "fast"}, 0.5 + np.array([0.0, 6e-13, 3e-13])),  # float32 sees a constant
        ({"prd": 0.5, "method": "db4"}, np.sin(np.arange(7)).astype(np.float32)),
        ({"max_error": 1e34}, (3e38 * np.sin(ramp)).astype(np.float32)),       # near the float32 limit
        ({"max_error": 0.0}, ramp.astype(np.float32)),                          # unreachable
        ({"max_bytes": 40}, ramp.astype(np.float32)),                           # below the header: unreachable
        ({"max_error": 0.1}, np.array([1.0, np.nan, 2.0], np.float32)),         # refused input
    ]
    cases += [src.case("aimed", settings, x) for settings, x in edge]
    return cases


def frame_cases(src, ecg, chirp):
    with_gaps = ecg[:1200].reshape(3, 400).copy()
    with_gaps[0, 10:40] = np.nan
    with_gaps[1, :] = np.nan
    with_gaps[2, 5] = np.inf
    with_gaps[2, 399] = -np.inf
    with_gaps = with_gaps.ravel()
    wide_gaps = with_gaps.astype(np.float64)
    cube = chirp[:1000].astype(np.float64)
    cube[600:610] = np.nan
    cases = [
        ({}, ecg, 0, (900,)),
        ({"method": "sym4", "scale": 9, "cutoff": "high"}, with_gaps, 0, (3, 400)),
        ({"method": "db4", "scale": 12, "cutoff": "medium"}, cube, 0, (2, 2, 250)),
        ({"max_error": 0.01}, with_gaps, 0, (3, 400)),
        ({"rmse": 0.002, "method": "cdf53", "effort": "fast"}, cube, 0, (2, 2, 250)),
        ({"prd": 3.0, "effort": "best"}, chirp, 0, (2, 300)),
        ({"max_bytes": 200, "method": "cdf97"}, wide_gaps, 0, (3, 400)),
        ({}, ecg, 5, ()),                                                        # no axes: one sample
        ({"max_error": 0.5}, cube, 0, (2, 0)),                                   # empty lanes
        ({"method": "cdf53"}, np.array([1.0, 2.0, 1e300, 0.0]), 0, (2, 2)),      # a lane beyond float32: refused
    ]
    return [src.case("frame", settings, x, start, shape) for settings, x, start, shape in cases]


def encode(road, settings, x):
    """The output bytes, or the refusal's message."""
    try:
        if road == "plain":
            options = quorvel.TarvoCompressionOptions(settings["method"], settings["scale"], settings["cutoff"])
            return 0, bytes(quorvel.compress_signal(x, options))
        # The records hold version-1 containers and frames, written before version 2 existed.
        if road == "aimed":
            return 0, quorvel_tools.encode(x, format=1, **settings)
        # Frames in the lane-table layout they were recorded in (the encoder now writes the compact one).
        return 0, encode_settings(x, quorvel_tools.Settings.of(format=1, **settings), compact=False)
    except ValueError as error:
        return 1, str(error).encode()


def settings_text(settings):
    return " ".join(f"{key}={value!r}" if isinstance(value, float) else f"{key}={value}"
                    for key, value in settings.items())


def parse_settings(text):
    """The keyword arguments a settings text stands for."""
    def value(word):
        for kind in (int, float):
            try:
                return kind(word)
            except ValueError:
                pass
        return word
    return {key: value(word) for key, word in (item.split("=", 1) for item in text.split())}


def read(path=OUT):
    """(tier, cases) of a golden file; a case is (road, settings, input array, outcome, output bytes)."""
    blob = Path(path).read_bytes()
    assert blob[:4] == b"QGLD" and struct.unpack_from("<I", blob, 4)[0] == 1
    at = 8

    def take(layout):
        nonlocal at
        values = struct.unpack_from("<" + layout, blob, at)
        at += struct.calcsize("<" + layout)
        return values

    def chunk(size):
        nonlocal at
        at += size
        return blob[at - size:at]

    name = chunk(*take("I")).decode()
    sources = []
    for _ in range(*take("I")):
        dtype, count = take("BI")
        sources.append(np.frombuffer(chunk(count * (8 if dtype else 4)), (np.float32, np.float64)[dtype]))
    cases = []
    for _ in range(*take("I")):
        road, length = take("BI")
        settings = parse_settings(chunk(length).decode())
        index, start, ndim = take("IIB")
        shape = take(f"{ndim}Q")
        x = sources[index][start:start + int(np.prod(shape, dtype=np.int64))].reshape(shape)
        outcome, length = take("BI")
        cases.append((list(ROADS)[road], settings, x, outcome, chunk(length)))
    return name, cases


def main():
    rng = np.random.default_rng(SEED)
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[20000:30000]
    membrane = np.load(DATA / "mpl_membrane.npy")[:4100]
    co2 = np.load(DATA / "co2_weekly_mauna_loa.npy")
    t = np.arange(4100)
    chirp = (np.sin(2e-5 * t * t) + 0.05 * rng.standard_normal(t.size)).astype(np.float32)
    src = Sources()
    cases = (plain_cases(src, rng, [ecg, membrane, co2, chirp]) + aimed_cases(src, rng, ecg, chirp, co2)
             + frame_cases(src, ecg, chirp))
    name = tier().encode()
    out = [b"QGLD", struct.pack("<II", 1, len(name)), name, struct.pack("<I", len(src.arrays))]
    for array in src.arrays:
        assert array.dtype in (np.float32, np.float64) and array.ndim == 1, array.dtype
        out += [struct.pack("<BI", int(array.dtype == np.float64), array.size), array.tobytes()]
    out.append(struct.pack("<I", len(cases)))
    refused = 0
    for road, settings, index, start, shape in cases:
        count = int(np.prod(shape, dtype=np.int64))
        x = src.arrays[index][start:start + count].reshape(shape)
        outcome, result = encode(road, settings, x)
        refused += outcome
        text = settings_text(settings).encode()
        out += [struct.pack("<BI", ROADS[road], len(text)), text,
                struct.pack(f"<IIB{len(shape)}Q", index, start, len(shape), *shape),
                struct.pack("<BI", outcome, len(result)), result]
    blob = b"".join(out)
    OUT.write_bytes(blob)
    print(f"{OUT.name}: {len(src.arrays)} sources, {len(cases)} cases ({refused} refusals) at tier "
          f"{name.decode()}, {len(blob)} bytes")


if __name__ == "__main__":
    main()
