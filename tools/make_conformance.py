#!/usr/bin/env python3
"""Writes tests/data/conformance/: small containers and frames, and manifest.tsv with the SHA-256 of each
one's decoded samples.

Two sources. The codec itself (quorvel_tools.encode, quorvel.compress_signal, encode_array) on slices of
the real signals of tests/data/ and tiny edge cases, for what its encoders choose on their own: each
coding, palettes, the cell filter, lifted bands, version 1 with every method, frames. And the plain
Python writer of tests/python/reference/ for what the public encoders never write by themselves: block
lengths 2^8 to 2^13, every predictor on every segment (local sign-LMS with each taps and step, the periodic predictor), edge
lengths 1, 2, B - 1, B, B + 1, wide grid fields, short lifted blocks. Every file's digest is taken from
quorvel_tools.decode (or decode_array); a version-2 file must give the same samples through the plain
Python decoder, or the script stops.

A file already in the folder is never rewritten (its bytes are what stored files hold): only new cases
are written, and every digest is taken anew from the bytes in the folder.

For each file the script reads back from the bytes (header, block heads) what it exercises, prints it,
and prints the features no file covers, so the coverage is read, not assumed:

    python3 tools/make_conformance.py          # from the repository root, with quorvel_tools installed

Version-1 samples come from a float32 wavelet transform whose last bits depend on the processor tier:
the manifest's digests are those of the tier named on its first line, and tiers.tsv holds the others,
which the C++ suite prints when capped at each tier:

    QUORVEL_CONFORMANCE_DIGESTS=1 build/tests/cpp/quorvel_tests --gtest_filter='Conformance.Every*' \
        --quorvel_tier_cap=sse      # and =portable; lines "tier, file, digest" for tiers.tsv
"""

from __future__ import annotations

import hashlib
import pathlib
import struct
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python" / "reference"))
import v2_block  # noqa: E402
import v2_container as vc  # noqa: E402
import v2_model as m  # noqa: E402

import quorvel  # noqa: E402
import quorvel_tools  # noqa: E402

DATA = ROOT / "tests" / "data"
OUT = DATA / "conformance"
LOCAL_LMS = [(taps, step) for taps in (2, 4, 8, 16) for step in (1, 2, 4, 8)]


def signal(name: str, start: int = 0, count: int | None = None) -> np.ndarray:
    x = np.load(DATA / f"{name}.npy").astype(np.float32)
    return x[start : None if count is None else start + count]


# ---------------------------------------------------------------- files the codec writes


def codec_cases():
    ecg, speech = signal("ecg_mitbih208_360hz", 0, 6000), signal("speech_alsa_front_center_48k", 20000, 5000)
    eeg, membrane = signal("eeg_fp1_128hz", 0, 5000), signal("mpl_membrane", 0, 4000)
    co2, sunspots = signal("co2_weekly_mauna_loa"), signal("sunspots_yearly")
    goog, sst = signal("goog_adj_close_daily"), signal("sst_elnino_monthly")
    rng = np.random.default_rng(20261209)
    noise = rng.standard_normal(3000).astype(np.float32)
    v2 = lambda x, **kw: quorvel_tools.encode(x, format=2, **kw)  # noqa: E731
    yield "v2_ecg_max_error", "ECG at max error 5 uV", v2(ecg, max_error=0.005)
    yield "v2_ecg_fast", "ECG, fast effort", v2(ecg, max_error=0.002, effort="fast")
    yield "v2_ecg_best", "ECG, best effort", v2(ecg, max_error=0.002, effort="best")
    yield "v2_ecg_rmse", "ECG at an RMSE target", v2(ecg, rmse=0.01)
    yield "v2_ecg_prd_coarse", "ECG at a coarse PRD", v2(ecg, prd=8.0)
    yield "v2_speech_lossless", "speech on its PCM grid, exact", v2(speech, max_error=1e-6)
    yield "v2_speech_rmse", "speech at an RMSE target", v2(speech, rmse=0.002)
    yield "v2_speech_scaled", "speech at a loose max error, scaled residuals", v2(speech, max_error=0.0006)
    yield "v2_ecg_scaled_linear", "ECG at a loose max error, scaled linear residuals", v2(
        ecg, max_error=0.03 * (float(ecg.max()) - float(ecg.min())))
    yield "v2_speech_coarse_rmse", "speech at a coarse RMSE", v2(speech, rmse=0.02)
    yield "v2_eeg_grid", "EEG on its EDF grid, exact", v2(eeg, max_error=0.01)
    yield "v2_eeg_rmse", "EEG at an RMSE target", v2(eeg, rmse=2.0)
    yield "v2_membrane", "membrane potential, max error", v2(membrane, max_error=1e-3)
    yield "v2_co2_exact", "CO2, bit-exact", v2(co2, max_error=0.0)
    yield "v2_sunspots", "sunspots, max error", v2(sunspots, max_error=0.5)
    yield "v2_goog_exact", "share price, bit-exact", v2(goog, max_error=0.0)
    yield "v2_sst_prd", "sea temperature at a PRD", v2(sst, prd=0.5)
    yield "v2_noise_exact", "float32 noise, bit-exact", v2(noise, max_error=0.0)
    yield "v2_noise_bytes", "noise at a byte budget", v2(noise, max_bytes=2000)
    yield "v2_levels_palette", "a few distinct levels, exact", v2(np.repeat(rng.choice(
        np.float32([-3.5, 0.25, 7.0, 1e3]), 700), 3), max_error=0.0)
    yield "v2_ordinal_palette", "few distinct random floats, exact", v2(
        rng.choice(rng.standard_normal(40).astype(np.float32), 2000), max_error=0.0)
    mostly = signal("speech_alsa_front_center_48k", 30000, 3000).copy()
    mostly[::97] += np.float32(1e-6)
    yield "v2_mostly_grid", "PCM with a few samples nudged off its grid, exact", v2(mostly, max_error=0.0)
    yield "v2_one_sample", "one sample", v2(np.float32([2.5]), max_error=0.1)
    yield "v2_two_samples", "two samples", v2(np.float32([-1.0, 3.0]), max_error=0.0)
    yield "v2_constant", "a constant", v2(np.full(1000, 4.25, np.float32), max_error=0.01)
    yield "v2_extremes", "float32 extremes, exact", v2(np.float32([3.4e38, -3.4e38, 1e-45, -0.0, 0.0] * 20),
                                                          max_error=0.0)
    yield "v2_speech_cascade", "speech on its PCM grid, bit-exact: cascade segments among others", v2(
        signal("speech_alsa_front_center_48k", 40000, 20000), max_error=0.0)
    for n in (16383, 16384, 16385):
        yield f"v2_edge_{n}", f"{n} samples: one block of 2^14 give or take one", v2(
            signal("speech_alsa_front_center_48k", 0, n), max_error=4e-3)
    for method in ("cdf53", "cdf97", "db4", "sym4"):
        options = quorvel.TarvoCompressionOptions(method=method, scale=10, cutoff="medium")
        yield f"v1_{method}", f"version 1, {method}, scale 10", quorvel.compress_signal(ecg[:3000], options)
    yield "v1_cdf97_short", "version 1, 5 samples (padded to the filter)", quorvel.compress_signal(
        np.float32([1, 2, 3, 2, 1]), quorvel.TarvoCompressionOptions(method="cdf97", scale=12, cutoff="low"))
    yield "v1_aimed", "version 1 from the aimed encoder", quorvel_tools.encode(ecg[:2000], max_error=0.01, format=1)
    yield from frame_cases(ecg)


def frame_cases(ecg: np.ndarray):
    """Frames of both versions: masks, an empty lane, float64, no axes, the CRC, joint lanes."""
    chunk = np.stack([ecg[:1500], -ecg[1500:3000], np.zeros(1500, np.float32)])
    chunk[1, 100:140] = np.nan
    chunk[0, 7], chunk[0, 9] = np.inf, -np.inf
    chunk[2] = np.nan
    yield "frame_v2_masks", "frame v2, 3 lanes, NaN, +inf, -inf, an empty lane", quorvel_tools.encode_array(
        chunk, max_error=0.01, format=2)
    yield "frame_v1", "frame v1, 2 lanes", quorvel_tools.encode_array(chunk[:2, :800], max_error=0.01, format=1)
    yield "frame_v2_float64", "frame v2 of float64, 2-D", quorvel_tools.encode_array(
        chunk[:2, :600].astype(np.float64).reshape(2, 3, 200), max_error=0.01, format=2)
    yield "frame_v2_scalar", "frame v2 of a single sample (no axes)", quorvel_tools.encode_array(
        np.float32(1.5), max_error=0.0, format=2)
    yield "frame_v2_checked", "frame v2 with its CRC-32, 3 lanes, NaN, +inf, -inf", quorvel_tools.encode_array(
        chunk[:, :700], max_error=0.01, format=2)
    leads = np.stack([ecg[:2000], 0.5 * ecg[:2000] + 0.01 * ecg[2000:4000], -ecg[:2000] + 0.02 * ecg[4000:6000]])
    leads[2, 300:320] = np.nan
    yield "frame_v2_joint", "frame v2 with joint lanes, a gap in a joint lane", quorvel_tools.encode_array(
        leads, max_error=0.005, format=2)
    yield from compact_frame_cases(chunk, leads)


def compact_frame_cases(chunk: np.ndarray, leads: np.ndarray):
    """The compact layout: a lane bitmap and two mask lengths, every sample masked, short version-2
    containers stored unpadded, version 1, joint lanes, no axes."""
    yield "frame_compact_masks", "compact frame v2, NaN, +inf, -inf, an empty lane", quorvel_tools.encode_array(
        chunk[:, :900], max_error=0.01, format=2)
    yield "frame_compact_all_masked", "compact frame, every sample NaN or -inf", quorvel_tools.encode_array(
        np.where(np.arange(600).reshape(2, 300) % 7 == 0, -np.inf, np.nan).astype(np.float32), max_error=0.01)
    yield "frame_compact_short", "compact frame v2, 3-D, lanes of 5 samples unpadded", quorvel_tools.encode_array(
        chunk[:2, :15].reshape(2, 3, 5).astype(np.float64), max_error=0.01, format=2)
    yield "frame_compact_v1", "compact frame v1, 2 lanes", quorvel_tools.encode_array(
        chunk[:2, 200:700], max_error=0.01, format=1)
    yield "frame_compact_joint", "compact frame v2 with joint lanes", quorvel_tools.encode_array(
        leads[:, 500:1800], max_error=0.005, format=2)
    yield "frame_compact_scalar", "compact frame of a single sample", quorvel_tools.encode_array(
        np.float32(-2.25), max_error=0.0, format=2)


# ---------------------------------------------------------------- files the plain writer makes


def blocks_of(codes: np.ndarray, block_log2: int, make) -> list[bytes]:
    size = 1 << block_log2
    return [make(codes[s : s + size]) for s in range(0, codes.size, size)]


def grid_container(codes, origin, step, block_log2=14, only=None, effort="default", **fields) -> bytes:
    header = vc.Header(0, block_log2, codes.size, origin, step, **fields)
    return vc.assemble(header, blocks_of(codes, block_log2, lambda q: v2_block.encode_block(q, effort, only)))


def forward_lifting(values: list[int], levels: int) -> list[int]:
    lengths, _, _ = vc.band_layout(len(values), levels)
    a, b, g, d = vc.LIFTING
    for length in lengths:
        s = values[:length]
        e, o = s[0::2], s[1::2]
        ne, no = len(e), len(o)
        for c, odd in ((a, True), (b, False), (g, True), (d, False)):
            if odd:
                for i in range(no):
                    o[i] += vc.scaled(c, e[i] + (e[i + 1] if i + 1 < ne else e[i]))
            else:
                for i in range(ne):
                    e[i] += vc.scaled(c, (o[i - 1] if i else o[0]) + (o[i] if i < no else o[no - 1]))
        values[:length] = e + o
    return values


def lifted_container(codes: np.ndarray, block_log2: int, band_steps: list[int]) -> bytes:
    levels = len(band_steps) - 1

    def block(q: np.ndarray) -> bytes:
        bands = forward_lifting([int(v) for v in q], levels)
        _, starts, steps = vc.band_layout(q.size, levels)
        out = np.zeros(q.size, np.int64)
        for band in range(len(starts) - 1):
            step = band_steps[steps[band]]
            for i in range(starts[band], starts[band + 1]):
                out[i] = round(bands[i] / step)
        return v2_block.encode_block(out)

    header = vc.Header(4, block_log2, codes.size, 0.0, 2.0**-10, band_steps=band_steps)
    return vc.assemble(header, blocks_of(codes, block_log2, block))


def writer_cases():
    speech = signal("speech_alsa_front_center_48k", 10000, 9000)
    pcm = np.rint(speech.astype(np.float64) * 32768).astype(np.int64)  # its 2^-15 grid
    ecg = np.rint(signal("ecg_mitbih208_360hz", 0, 9000).astype(np.float64) / 0.005).astype(np.int64)
    step = 2.0**-15
    for log2 in range(8, 14):
        yield f"w_block_2e{log2}", f"block length 2^{log2}", grid_container(pcm[:3 * (1 << log2) + 5], 0.0, step, log2)
    kinds = ["identity", "d1", "d2", "d3", "interp", "lms"]
    for kind in kinds:
        yield f"w_predictor_{kind}", f"every segment with predictor {kind}", grid_container(
            ecg[:8200], 0.0, 0.005, 14, m.Choice(kind))
    for order in (1, 3, 8, 32):
        yield f"w_predictor_lpc{order}", f"every segment with LPC of order {order}", grid_container(
            pcm[:6000], 0.0, step, 14, m.fit_lpc(pcm[:6000], 0, 4096, order))
    for taps, lms_step in LOCAL_LMS:
        yield f"w_lms_local_{taps}_{lms_step}", f"local sign-LMS, {taps} taps, step {lms_step}", grid_container(
            pcm[:1500], 0.0, step, 14, m.Choice("lms_local", taps=taps, step=lms_step))
    for n in (4095, 4097, 9000):
        yield f"w_cascade_{n}", f"every segment with the cascade, {n} samples", grid_container(
            pcm[:n], 0.0, step, 14, m.Choice("cascade"))
    for n, cycle in ((9000, 0), (4095, 5000)):  # the block's own cycle; one whose taps all reach before it
        yield f"w_periodic_{n}", f"every segment with the periodic predictor, period {cycle or 'found'}", grid_container(
            ecg[:n], 0.0, 0.005, 14, m.Choice("periodic", 8, period=cycle))
    for n in (1, 2, 255, 256, 257, 511, 513):
        yield f"w_length_{n}", f"{n} samples in blocks of 256", grid_container(ecg[:n], -1.5, 0.005, 8)
    yield "w_wide_grid", "origin and step as float64", grid_container(
        ecg[:700], 0.1, 0.005, 9, wide_origin=True, wide_step=True)
    yield "w_interpolated_filter", "interpolation residuals with a cell filter", interpolated_container(ecg[:3000])
    yield "w_corrections", "grid codes with corrections, blocks of 2^10", corrected_container(speech[:2500])
    yield "w_ordinal_palette", "float ordinals through a palette, blocks of 2^9", ordinal_palette_container()
    yield "w_lifted_levels", "lifted bands, 8 levels, blocks of 2^8 and a short last block", lifted_container(
        pcm[:700], 8, [64, 48, 40, 32, 24, 16, 8, 6, 4])
    yield "w_lifted_short", "lifted bands, 5 levels over a block of 3 samples", lifted_container(
        pcm[:259], 8, [9, 7, 5, 3, 2, 1])
    yield "w_lifted_one", "lifted bands, one level, one sample", lifted_container(pcm[:1], 8, [3, 2])
    fine = np.rint(signal("ecg_mitbih208_360hz", 0, 3000).astype(np.float64) / 0.0005).astype(np.int64)
    yield "w_scaled_3", "scaled residuals, K = 3, blocks of 2^9 and a short last block", scaled_container(
        fine[:1100], 3, 9, 0.0005)
    yield "w_scaled_wide", "scaled residuals, K = 65536, wide grid fields, 2 samples", scaled_container(
        np.array([0, 70000]), 65536, 8, 0.1, wide=True)
    yield "w_scaled_257", "scaled residuals, K = 10, 257 samples in blocks of 2^8", scaled_container(
        fine[:257], 10, 8, 0.0005)
    yield "w_scaled_linear", "scaled linear residuals, K = 5, blocks of 2^9 and a short last block", \
        scaled_container(fine[:1300], 5, 9, 0.0005, linear=True)


def scaled_container(target: np.ndarray, multiplier: int, block_log2: int, step: float, wide: bool = False,
                     linear: bool = False) -> bytes:
    """Coding 5 (6 when `linear`) closing the loop on `target` codes: each residual is the target's distance
    from the prediction of the codes already restored, rounded to a multiple of K."""

    def block(q: np.ndarray) -> bytes:
        codes, residuals = [0] * q.size, []
        for i, stride in [(0, 0)] + m.interpolation_order(q.size):
            p = vc.predicted(codes, i, stride, linear)
            residuals.append(round((int(q[i]) - p) / multiplier))
            codes[i] = p + multiplier * residuals[-1]
        return v2_block.encode_block(np.array(residuals, np.int64))

    header = vc.Header(6 if linear else 5, block_log2, target.size, 0.25 if wide else 0.0, step, wide_origin=wide, wide_step=wide,
                       multiplier=multiplier)
    return vc.assemble(header, blocks_of(target, block_log2, block))


def interpolated_container(codes: np.ndarray) -> bytes:
    def block(q: np.ndarray) -> bytes:
        return v2_block.encode_block(m.predict(q, 0, q.size, m.Choice("interp")), "default", m.Choice("identity"))

    header = vc.Header(1, 10, codes.size, 0.0, 0.005, cell_filter=(300, -120, 40, -8))
    return vc.assemble(header, blocks_of(codes, 10, block))


def corrected_container(x: np.ndarray) -> bytes:
    y = x.copy()
    y[::13] = np.nextafter(y[::13], np.float32(np.inf))
    grid = vc.Header(2, 10, y.size, 0.0, 2.0**-15)
    codes = np.rint(y.astype(np.float64) / grid.step).astype(np.int64)
    corrections = m.wrap(vc.ordinal(y) - vc.ordinal(vc.grid_samples(grid, codes)))

    def block(start: int) -> bytes:
        q, d = codes[start : start + 1024], corrections[start : start + 1024]
        coded = v2_block.encode_block(q)
        return vc.leb128(len(coded)) + coded + v2_block.encode_block(d)

    return vc.assemble(grid, [block(s) for s in range(0, y.size, 1024)])


def ordinal_palette_container() -> bytes:
    rng = np.random.default_rng(7)
    values = np.unique(vc.ordinal(rng.standard_normal(50).astype(np.float32)))
    ranks = rng.integers(0, values.size, 1200)
    header = vc.Header(3, 9, ranks.size, palette=[int(v) for v in values])
    return vc.assemble(header, blocks_of(ranks, 9, v2_block.encode_block))


# ---------------------------------------------------------------- what each file exercises, read back


def stream_features(data: bytes, n: int) -> set[str]:
    """Predictors, table sets, lanes and raw bits of one sequence-coder stream of n codes."""
    head, found, segments = v2_block.BitReader(data), set(), -(-n // m.SEGMENT)
    kinds = []
    for s in range(segments):
        choice = v2_block.read_predictor(head)
        found.add(f"predictor {choice.kind}")
        if choice.kind == "cascade" and kinds and kinds[-1] != "cascade":
            found.add("cascade after another predictor")  # the decoder catches the cascade up
        kinds.append(choice.kind)
        if choice.kind == "lms_local":
            found.add(f"local sign-LMS {choice.taps} taps step {choice.step}")
        if choice.kind == "lpc":
            found.add(f"LPC order {'1' if choice.order == 1 else '2-8' if choice.order <= 8 else '9-32'}")
        if s == 0 or head.get(1):
            table_set = v2_block.read_table_set(head)
            found.add(f"table merge {table_set['merge']}")
            found.update("table preset" if "preset" in t else "table codes" for t in table_set["tables"])
        else:
            found.add("table set shared by segments")
    count, at = v2_block.read_varint(data, head.aligned())
    found.add(f"rANS lanes {m.ways_for(n)}")
    found.add("several segments" if segments > 1 else "one segment")
    if len(data) > at + 2 * count:
        found.add("raw bits")
    return found


def container_features(data: bytes) -> set[str]:
    if data[4:6] == b"\x01\x00":
        levels, scale = data[12], data[13]
        return {"version 1", f"v1 method {data[8:12].decode()}", f"v1 levels {levels}", f"v1 scale {scale}"}
    h, _, parts = vc.parse(data)
    found = {"version 2", f"coding {vc.MODES[h.mode]}", f"block 2^{h.block_log2}"}
    found.update(name for name, on in (("palette", bool(h.palette)), ("cell filter", h.cell_filter is not None),
                                       ("origin f64", h.wide_origin), ("step f64", h.wide_step)) if on)
    if h.palette:
        found.add(f"palette with coding {vc.MODES[h.mode]}")
        found.update(stream_features(palette_stream(data), len(h.palette)))
    if h.mode == 4:
        found.add(f"lifting levels {len(h.band_steps) - 1}")
    size = h.block_length
    found.update(f"n = {h.count}" for _ in [0] if h.count <= 2)
    found.update(f"last block B{d:+d}" for d in (-1, 0, 1) if h.count >= size - 1 and (h.count - size) % size == d % size)
    found.add("several blocks" if len(parts) > 1 else "one block")
    for b, (at, length) in enumerate(parts):
        n = min(size, h.count - b * size)
        if h.mode == 4 and len(vc.band_layout(n, len(h.band_steps) - 1)[0]) < len(h.band_steps) - 1:
            found.add("lifted block shorter than its levels")
        streams = [data[at : at + length]]
        if h.mode == 2:
            r = vc.Reader(streams[0])
            first = r.leb128(32)
            streams = [r.take(first), streams[0][r.at :]]
        for stream in streams:
            found.update(stream_features(stream, n))
    return found


def palette_stream(data: bytes) -> bytes:
    """The palette's sequence-coder block, found by reading the header up to it."""
    h, _, _ = vc.parse(data)
    r = vc.Reader(data, 8)
    r.leb128(32)
    if h.mode != 3:
        r.take(8 if h.wide_origin else 4)
        r.take(8 if h.wide_step else 4)
    r.leb128(32)
    return r.take(r.leb128(32))


def frame_features(data: bytes) -> set[str]:
    ndim, flags = data[6], data[7]
    if flags & 4:
        _, containers, masks, _ = vc.compact_parts(data)
        masks = [len(m) for m in masks]
    else:
        shape = struct.unpack_from(f"<{ndim}Q", data, 20)
        lanes = int(np.prod(shape[:-1], dtype=np.int64)) if ndim else 1
        masks = struct.unpack_from("<3I", data, 8)
        sizes = struct.unpack_from(f"<{lanes}I", data, 20 + 8 * ndim)
        at = 20 + 8 * ndim + 4 * lanes
        if flags & 2:
            at += 4 + 10 * struct.unpack_from("<I", data, at)[0]  # the reference table
        containers = []
        for size in sizes:
            containers.append(data[at : at + size])
            at += size
    found = {f"frame version {data[4]}", f"frame {('float32', 'float64')[data[5]]}", f"frame {ndim} axes",
             "frame compact" if flags & 4 else "frame lane table"}
    if flags & 1:
        found.add("frame CRC-32")
    if flags & 2:
        found.add("frame joint lanes")
    found.update(f"frame {name} mask" for name, size in zip(("NaN", "+inf", "-inf"), masks) if size)
    found.update({64: {"frame every sample masked"}, 128: {"frame lane bitmap"}}.get(flags & 192, set()))
    if not all(containers):
        found.add("frame lane without a container")
    if any(0 < len(c) < 52 for c in containers):
        found.add("frame unpadded short container")
    for container in containers:
        if container:
            found.update(container_features(container))
    return found


# ---------------------------------------------------------------- the corpus


def summary(features: set[str]) -> str:
    """The manifest's short list of what a file exercises: its codings, flags and predictors."""
    keys = ("coding", "frame version", "frame compact", "frame lane", "frame every", "frame unpadded", "v1 method", "palette with", "cell filter", "block 2", "lifting", "predictor",
            "local", "LPC", "n =", "last block", "origin", "step", "cascade")
    return ", ".join(sorted(f for f in features if f.startswith(keys)))



def decoded(data: bytes) -> np.ndarray:
    """The samples as the codec gives them; version 2 checked against the plain decoder."""
    if data[:4] == b"QRVC":
        y = np.asarray(quorvel_tools.decode_array(data))
        model = vc.decode_frame(data, lambda c: quorvel.decompress_signal(c))
    else:
        y = quorvel_tools.decode(data)
        model = quorvel.decompress_signal(data) if data[4] == 1 else vc.decode(data)
    if y.tobytes() != np.asarray(model, y.dtype).tobytes():
        raise SystemExit("the plain decoder disagrees with the codec")
    return y


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    tier = quorvel_tools.build_info().processor_tier
    rows, covered = [], {}
    for name, what, data in [*codec_cases(), *writer_cases()]:
        data = bytes(data)
        suffix = ".qrvc" if data[:4] == b"QRVC" else ".qrvl"
        path = OUT / f"{name}{suffix}"
        # A file once written is a promise that it keeps decoding: it is never rewritten, however
        # the encoder's bytes for the same case have moved since.
        if path.exists():
            if path.read_bytes() != data:
                print(f"{path.name}: kept as it was written (the encoder now writes other bytes)")
            data = path.read_bytes()
        else:
            path.write_bytes(data)
        y = decoded(data)
        features = frame_features(data) if suffix == ".qrvc" else container_features(data)
        for feature in features:
            covered.setdefault(feature, []).append(name)
        digest = hashlib.sha256(y.astype(y.dtype.newbyteorder("<")).tobytes()).hexdigest()
        rows.append(f"{name}{suffix}\t{what}: {summary(features)}\t{y.size}\t{y.dtype}\t{digest}")
        print(f"{name}{suffix:6} {len(data):6} B  {'; '.join(sorted(features))}")
    header = f"# processor tier {tier}\nfile\tcovers\tsamples\tdtype\tsha256"
    (OUT / "manifest.tsv").write_text(header + "\n" + "\n".join(rows) + "\n")
    print("\nfeature -> files")
    for feature in sorted(covered):
        print(f"  {feature}: {', '.join(covered[feature])}")
    wanted = {f"predictor {k}" for k in m.PREDICTORS} | {f"coding {k}" for k in vc.MODES} | {
        f"block 2^{k}" for k in range(8, 15)} | {f"local sign-LMS {t} taps step {s}" for t, s in LOCAL_LMS} | {
        f"v1 method {t}" for t in ("cf53", "cf97", "db04", "sym4")} | {"table preset", "table codes",
        "table set shared by segments", "rANS lanes 1", "rANS lanes 4", "rANS lanes 8", "palette with coding grid",
        "palette with coding ordinals", "cell filter", "origin f64", "step f64", "n = 1", "n = 2", "last block B-1",
        "last block B+0", "last block B+1", "lifted block shorter than its levels", "raw bits", "frame CRC-32", "frame joint lanes",
        "frame compact", "frame lane table", "frame every sample masked", "frame lane bitmap",
        "frame unpadded short container", "cascade after another predictor"}
    missing = sorted(wanted - covered.keys())
    print(f"\n{len(rows)} files, {sum(p.stat().st_size for p in OUT.iterdir())} bytes; not covered: {missing or 'none'}")


if __name__ == "__main__":
    main()
