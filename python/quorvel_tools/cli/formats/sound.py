"""FLAC and Ogg (Vorbis, Opus) audio through soundfile (libsndfile): samples as floats of full scale."""
from __future__ import annotations

import pathlib
from typing import Optional

import numpy as np

from ..atomic import atomic_path
from .base import Format, FormatError, Options, Signal, default_names, require

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
    return Signal(data=np.ascontiguousarray(data), source=_CONTAINERS[path.suffix.lower()].lower(),
                  sample_rate=float(rate), channel_names=default_names(channels), units=[""] * channels,
                  grid_step=[2.0 ** -(bits - 1)] * channels if bits else None, extra={"subtype": subtype})


def write(path: pathlib.Path, signal: Signal, options: Options) -> None:
    soundfile = require("soundfile", "audio")
    if signal.sample_rate is None:
        raise FormatError("the file carries no sample rate; give one with --rate")
    container = _CONTAINERS[path.suffix.lower()]
    subtype = _subtype(container, signal, options.subtype)
    if not soundfile.check_format(container, subtype):
        raise FormatError(f"{path}: {container} cannot hold {subtype} samples")
    if container == "FLAC" and signal.channel_count > _FLAC_CHANNELS:
        raise FormatError(f"{path}: FLAC holds at most {_FLAC_CHANNELS} channels, the signal has "
                          f"{signal.channel_count}; write .wav or .npy")
    frames = np.clip(np.nan_to_num(np.asarray(signal.rows(), np.float64).T), -1.0, 1.0)
    with atomic_path(path) as temp:
        try:
            soundfile.write(str(temp), frames, round(signal.sample_rate), format=container, subtype=subtype)
        except (RuntimeError, TypeError, ValueError) as error:
            reason = str(error).replace(str(temp), str(path)).strip()  # soundfile names the file it opened
            raise FormatError(f"{path}: cannot write {container} ({reason})") from None


def _subtype(container: str, signal: Signal, asked: Optional[str]) -> str:
    """The sample format to write: the one asked for, else the source's (a WAV source's
    integer width among them) when this container holds it, else the container's default."""
    kept = signal.extra.get("subtype") if signal.source in ("flac", "ogg") else signal.wav_subtype
    held = tuple(_PCM_BITS) if container == "FLAC" else ("VORBIS", "OPUS")
    return next((str(c) for c in (asked, kept) if c in held), _DEFAULT_SUBTYPES[container])


FORMAT = Format(sources=("flac", "ogg"), suffixes=tuple(_CONTAINERS), shown=(".flac", ".ogg"), read=read,
                write=write)
