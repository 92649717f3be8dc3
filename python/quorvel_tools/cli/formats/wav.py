"""WAV files: integer PCM of 8 to 32 bits and IEEE float, any channel count.

Samples are read as floats of full scale, as soundfile and SciPy users expect:
integer PCM of b bits is divided by 2^(b-1) (8-bit PCM is unsigned, centred on
128), so it lies in [-1, 1). Float WAV is taken as stored.
"""
from __future__ import annotations

import importlib
import pathlib
import struct
from typing import Any, Mapping, Optional

import numpy as np

from ..._atomic import atomic_path
from .base import (Format, FormatError, Options, Readback, Signal, default_names, on_its_grid, one_rate, pcm_values,
                   source_is_pcm)

_PCM = 1
_IEEE_FLOAT = 3
_EXTENSIBLE = 0xFFFE

# subtype -> (format tag, bits per sample)
SUBTYPES = {
    "PCM_U8": (_PCM, 8),
    "PCM_16": (_PCM, 16),
    "PCM_24": (_PCM, 24),
    "PCM_32": (_PCM, 32),
    "FLOAT": (_IEEE_FLOAT, 32),
    "DOUBLE": (_IEEE_FLOAT, 64),
}


def read(path: pathlib.Path, options: Options) -> Signal:
    raw = path.read_bytes()
    fmt, data = _chunks(path, raw)
    tag, channels, rate, block_align, bits = struct.unpack_from("<HHIxxxxHH", fmt)
    if tag == _EXTENSIBLE:
        if len(fmt) < 26:
            raise FormatError(f"{path}: truncated WAV format chunk")
        tag = struct.unpack_from("<H", fmt, 24)[0]
    subtype = next((name for name, layout in SUBTYPES.items() if layout == (tag, bits)), None)
    if subtype is None:
        raise FormatError(f"{path}: unsupported WAV encoding (format {tag}, {bits} bits)")
    if channels == 0 or rate == 0 or block_align != channels * bits // 8:
        raise FormatError(f"{path}: inconsistent WAV format chunk")
    frames = len(data) // block_align  # a chunk cut short keeps its whole frames
    if frames == 0:
        raise FormatError(f"{path}: the WAV file holds no samples")
    samples = _decode(data[: frames * block_align], subtype).reshape(frames, channels).T
    return on_its_grid(Signal(data=np.ascontiguousarray(samples), source="wav", sample_rate=float(rate),
                              channel_names=default_names(channels), units=[""] * channels, wav_subtype=subtype), grid)


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    subtype = _subtype(signal, options.subtype)
    if subtype not in SUBTYPES:
        raise FormatError(f"unknown WAV subtype '{subtype}' (expected {', '.join(SUBTYPES)})")
    if signal.sample_rate is None:
        raise FormatError("the file carries no sample rate; give one with --rate")
    one_rate(signal, path, "a WAV file")
    rate = round(signal.sample_rate)
    if not 1 <= rate < 2**32 or rate != signal.sample_rate:
        raise FormatError(f"{path}: a WAV file cannot hold the sample rate {signal.sample_rate:g} Hz "
                          f"(whole hertz only); write .npy or .edf")
    tag, bits = SUBTYPES[subtype]
    rows = signal.rows()
    payload = _encode(rows.T, subtype, signal, path).tobytes()
    if len(payload) > 0xFFFFFFFF - 36:
        raise FormatError("the signal is too long for a WAV file (4 GiB)")
    channels = rows.shape[0]
    align = channels * bits // 8
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(payload) + len(payload) % 2, b"WAVE",
                         b"fmt ", 16, tag, channels, rate, rate * align, align, bits,
                         b"data", len(payload))
    with atomic_path(path) as temp:
        with open(temp, "wb") as handle:
            handle.write(header)
            handle.write(payload)
            if len(payload) % 2:
                handle.write(b"\0")
        options.verify(temp)


def _subtype(signal: Signal, asked: Optional[str]) -> str:
    """The sample format to write: the one asked for, else the source's, else FLOAT (which holds
    any float32 sample, NaN and samples beyond full scale included)."""
    if asked:
        return asked.upper()
    kept = signal.wav_subtype if signal.source == "wav" else None
    return (kept or "FLOAT").upper()


def read_back(path: pathlib.Path, signal: Signal, options: Options) -> Readback:
    """A written WAV as soundfile reads it (as this module reads it, where soundfile is missing)."""
    try:
        soundfile = importlib.import_module("soundfile")
        samples, rate = soundfile.read(str(path), dtype="float64", always_2d=True)
        data, subtype = samples.T, soundfile.info(str(path)).subtype
    except ImportError:
        own = read(path, Options())
        data, rate, subtype = own.rows().astype(np.float64), own.sample_rate, own.wav_subtype
    tag, bits = SUBTYPES.get(str(subtype), (_IEEE_FLOAT, 64))
    step = 2.0 ** -(bits - 1) if tag == _PCM else 0.0
    limits = [(-1.0, 1.0 - step)] * len(data) if tag == _PCM and source_is_pcm(signal) else None
    return Readback(channels=list(data), rates=[float(rate)] * len(data), steps=[step] * len(data), limits=limits,
                    advice="write --subtype FLOAT (or DOUBLE) or .npy instead" if tag == _PCM else
                    "write .npy instead")


def _chunks(path: pathlib.Path, raw: bytes) -> tuple[bytes, bytes]:
    """Finds the 'fmt ' and 'data' chunks of a RIFF/WAVE file."""
    if len(raw) < 12 or raw[:4] != b"RIFF" or raw[8:12] != b"WAVE":
        raise FormatError(f"{path}: not a WAV file (no RIFF/WAVE header)")
    fmt: Optional[bytes] = None
    position = 12
    while position + 8 <= len(raw):
        name, size = struct.unpack_from("<4sI", raw, position)
        body = raw[position + 8: position + 8 + size]
        if name == b"fmt ":
            fmt = body
        elif name == b"data":
            if fmt is None or len(fmt) < 16:
                raise FormatError(f"{path}: the WAV data chunk comes before a valid format chunk")
            return fmt, body
        position += 8 + size + size % 2
    raise FormatError(f"{path}: the WAV file has no data chunk")


def _decode(data: bytes, subtype: str) -> np.ndarray:
    if subtype == "PCM_U8":
        return (np.frombuffer(data, np.uint8).astype(np.float32) - 128) / np.float32(128)
    if subtype == "PCM_16":
        return np.frombuffer(data, "<i2").astype(np.float32) / np.float32(2**15)
    if subtype == "PCM_24":
        b = np.frombuffer(data, np.uint8).reshape(-1, 3).astype(np.int32)
        values = (b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)) << 8 >> 8  # sign-extend 24 bits
        return values.astype(np.float32) / np.float32(2**23)
    if subtype == "PCM_32":
        # 32-bit integers do not fit a float32 mantissa: keep them as float64.
        return np.frombuffer(data, "<i4").astype(np.float64) / 2.0**31
    if subtype == "FLOAT":
        return np.frombuffer(data, "<f4").astype(np.float32)
    return np.frombuffer(data, "<f8").astype(np.float64)


def _encode(frames: np.ndarray, subtype: str, signal: Signal, path: pathlib.Path) -> np.ndarray:
    """(time, channels) floats of full scale -> the interleaved samples of `subtype`."""
    if subtype == "FLOAT":
        return np.ascontiguousarray(frames, "<f4")
    if subtype == "DOUBLE":
        return np.ascontiguousarray(frames, "<f8")
    bits = SUBTYPES[subtype][1]
    values = pcm_values(frames, bits, signal, path, "write --subtype FLOAT or .npy instead")
    if subtype == "PCM_U8":
        return (values + 128).astype(np.uint8)
    if subtype == "PCM_16":
        return values.astype("<i2")
    if subtype == "PCM_32":
        return values.astype("<i4")
    little = np.ascontiguousarray(values, "<i4").view(np.uint8).reshape(*values.shape, 4)
    return np.ascontiguousarray(little[..., :3])


def grid(signal: Signal) -> Optional[tuple[list[float], Optional[list[float]]]]:
    """Integer PCM's grid: one LSB of full scale."""
    tag, bits = SUBTYPES.get(str(signal.wav_subtype), (_IEEE_FLOAT, 0))
    return ([2.0 ** -(bits - 1)] * signal.channel_count, None) if tag == _PCM else None


def _sample_bytes(metadata: Mapping[str, Any]) -> Optional[float]:
    subtype = metadata.get("wav_subtype")
    return SUBTYPES[subtype][1] / 8 if subtype in SUBTYPES else None


FORMAT = Format(sources=("wav",), suffixes=(".wav",), read=read, write=write, sample_bytes=_sample_bytes,
                read_back=read_back, grid=grid)
