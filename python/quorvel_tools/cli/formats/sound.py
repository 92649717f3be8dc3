"""FLAC and Ogg (Vorbis, Opus) audio through soundfile (libsndfile): samples as floats of full scale."""
from __future__ import annotations

import pathlib
from typing import Optional

import numpy as np

from ..._atomic import atomic_path
from .base import (Format, FormatError, Options, Readback, Signal, default_names, on_its_grid, one_rate, pcm_values,
                   require, source_is_pcm)

# Integer PCM subtypes and their bits: their samples lie on a grid of 2**-(bits - 1).
_PCM_BITS = {"PCM_S8": 8, "PCM_16": 16, "PCM_24": 24}
_CONTAINERS = {".flac": "FLAC", ".ogg": "OGG", ".oga": "OGG"}
_DEFAULT_SUBTYPES = {"FLAC": "PCM_24", "OGG": "VORBIS"}
_FLAC_CHANNELS = 8  # the most a FLAC stream holds


def read(path: pathlib.Path, options: Options) -> Signal:
    soundfile = require("soundfile", "audio")
    try:
        samples, rate = soundfile.read(str(path), dtype="float64", always_2d=True)
        subtype = soundfile.info(str(path)).subtype
    except (RuntimeError, TypeError, ValueError) as error:  # soundfile's LibsndfileError is a RuntimeError
        raise FormatError(f"{path}: not a readable audio file ({str(error).strip() or type(error).__name__})") from None
    if samples.size == 0:
        raise FormatError(f"{path}: the file holds no samples")
    channels = samples.shape[1]
    bits = _PCM_BITS.get(subtype)
    data = samples.T.astype(np.float32) if bits is not None and bits <= 24 else samples.T
    return on_its_grid(Signal(data=np.ascontiguousarray(data), source=_CONTAINERS[path.suffix.lower()].lower(),
                              sample_rate=float(rate), channel_names=default_names(channels), units=[""] * channels,
                              extra={"subtype": subtype}), grid)


def grid(signal: Signal) -> Optional[tuple[list[float], Optional[list[float]]]]:
    """Integer PCM's grid: one LSB of full scale."""
    bits = _PCM_BITS.get(str(signal.extra.get("subtype")))
    return ([2.0 ** -(bits - 1)] * signal.channel_count, None) if bits else None


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    soundfile = require("soundfile", "audio")
    if signal.sample_rate is None:
        raise FormatError("the file carries no sample rate; give one with --rate")
    container = _CONTAINERS[path.suffix.lower()]
    one_rate(signal, path, "a FLAC file" if container == "FLAC" else "an Ogg file")
    if round(signal.sample_rate) != signal.sample_rate:
        raise FormatError(f"{path}: a {container} file cannot hold the sample rate {signal.sample_rate:g} Hz "
                          f"(whole hertz only); write .npy or .edf")
    subtype = _subtype(container, signal, options.subtype)
    if not soundfile.check_format(container, subtype):
        raise FormatError(f"{path}: {container} cannot hold {subtype} samples")
    if container == "FLAC" and signal.channel_count > _FLAC_CHANNELS:
        raise FormatError(f"{path}: FLAC holds at most {_FLAC_CHANNELS} channels, the signal has "
                          f"{signal.channel_count}; write .wav or .npy")
    frames = np.asarray(signal.rows(), np.float64).T
    if subtype in _PCM_BITS:
        bits = _PCM_BITS[subtype]
        # As 32-bit integers whose top bits are the samples: libsndfile keeps those bits exactly.
        values = pcm_values(frames, bits, signal, path, "write .wav (FLOAT) or .npy instead")
        frames = np.ascontiguousarray(values.astype(np.int64) << (32 - bits), np.int32)
    elif not options.lossy:
        raise FormatError(f"{path}: {subtype} is a lossy coding that would add its own error to the file's; "
                          "give --lossy-output to write it anyway (its figures are then reported), or write "
                          ".flac or .wav")
    elif not np.isfinite(frames).all():
        raise FormatError(f"{path}: the recording has gaps (NaN) or infinities that {container} cannot hold; "
                          "write .wav (FLOAT) or .npy instead")
    with atomic_path(path) as temp:
        try:
            soundfile.write(str(temp), frames, round(signal.sample_rate), format=container, subtype=subtype)
        except (RuntimeError, TypeError, ValueError) as error:
            reason = str(error).replace(str(temp), str(path)).strip()  # soundfile names the file it opened
            raise FormatError(f"{path}: cannot write {container} ({reason})") from None
        options.verify(temp)


def read_back(path: pathlib.Path, signal: Signal, options: Options) -> Readback:
    """A written FLAC or Ogg file as soundfile reads it; a lossy coding has no steps of its own."""
    soundfile = require("soundfile", "audio")
    samples, rate = soundfile.read(str(path), dtype="float64", always_2d=True)
    bits = _PCM_BITS.get(soundfile.info(str(path)).subtype)
    step = 2.0 ** -(bits - 1) if bits else None
    limits = [(-1.0, 1.0 - step)] * samples.shape[1] if step and source_is_pcm(signal) else None
    return Readback(channels=list(samples.T), rates=[float(rate)] * samples.shape[1], steps=[step] * samples.shape[1],
                    limits=limits, advice="write .wav (FLOAT) or .npy instead")


def _subtype(container: str, signal: Signal, asked: Optional[str]) -> str:
    """The sample format to write: the one asked for, else the source's (a WAV source's
    integer width among them) when this container holds it, else the container's default."""
    kept = signal.extra.get("subtype") if signal.source in ("flac", "ogg") else signal.wav_subtype
    held = tuple(_PCM_BITS) if container == "FLAC" else ("VORBIS", "OPUS")
    return next((str(c) for c in (asked, kept) if c in held), _DEFAULT_SUBTYPES[container])


FORMAT = Format(sources=("flac", "ogg"), suffixes=tuple(_CONTAINERS), shown=(".flac", ".ogg"), read=read,
                write=write, read_back=read_back, grid=grid)
