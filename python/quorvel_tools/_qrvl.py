"""The .qrvl file that `save` and the command line write: a container or a chunk frame, and a metadata block.

The metadata block is (integers little-endian)

    offset  size  field
    0       4     magic "QRVS"
    4       1     version, 2
    5       3     reserved, zero
    8       4     length M of the metadata (u32)
    12      4     CRC-32 (zlib's) of bytes 0 to 11 followed by the M bytes of metadata
    16      M     metadata: UTF-8 JSON object (source format, sample rate,
                  channel names and units, WAV subtype, the source's own header)

so that a damaged block is an error rather than another recording (a sample
rate of 9000 Hz for 8000). Version 1, written before, is the same without the
CRC field (the metadata starts at offset 12); it is still read.

A finite 1-D signal is stored as a plain version-1 container, followed by the
block when there is something to remember (a CSV column's name); decoders ignore
bytes after a container, so `quorvel.decompress_signal` reads the file as it is.
Anything else (several channels, NaN or infinities, a sample rate) is stored as
the block followed by a chunk frame ("QRVC": one container per lane, NaN and
infinity masks, shape and sample type), so that `quorvel decode` can write the
recording back in its own format.
"""
from __future__ import annotations

import dataclasses
import json
import math
import struct
import zlib
from typing import Any, Callable, Mapping, Optional

import numpy as np

from ._signal import Signal
from .errors import UnreachableTargetError
from .settings import Settings

__all__ = ["FileError", "Settings", "encode_signal", "decode_signal", "describe", "source_of"]

FILE_MAGIC = b"QRVS"
FILE_VERSION = 2
_UNCHECKED_VERSION = 1  # files written before the block carried its CRC
CONTAINER_MAGIC = b"QRVL"
FRAME_MAGIC = b"QRVC"
_PREFIX = struct.Struct("<4sB3xI")
_CHECK = struct.Struct("<I")
_MAX_METADATA = 1 << 24


SampleBytes = Callable[[Mapping[str, Any]], Optional[float]]


class FileError(Exception):
    """A .qrvl file that cannot be read; the message says why, in one line."""


def encode_signal(signal: Signal, settings: Settings) -> bytes:
    """The bytes of a .qrvl file holding `signal`."""
    if signal.data.size == 0:
        raise ValueError("the signal is empty")
    from ._fidelity import ERROR_TARGETS, encode_meeting_target, reached
    blob = encode_meeting_target(signal, settings, lambda trial: _encoded(signal, trial),
                                 lambda blob: decode_signal(blob).data)
    if settings.target not in ERROR_TARGETS:
        return blob
    # The target and the room each channel left under it go into the metadata, so that `decode`
    # can hold the file it writes to the target.
    kind, _, body = _split(blob)
    extra = {**signal.extra, "fidelity": reached(signal, settings, decode_signal(blob).data)}
    block = _block(dataclasses.replace(signal, extra=extra))
    return body + block if kind == "container" else block + body


def _encoded(signal: Signal, settings: Settings) -> bytes:
    if signal.data.ndim == 1 and bool(np.isfinite(signal.data).all()):
        from ._encode import encode_settings
        container = encode_settings(signal.data, settings)
        return container + _block(signal) if _remembers_something(signal) else container
    block = _block(signal)
    return block + _encode_frame(signal.data, settings, len(block))


def decode_signal(data: bytes) -> Signal:
    """The signal a .qrvl file holds, with its metadata when it has some."""
    from . import decode, decode_array
    kind, metadata, body = _split(data)
    samples = decode(body) if kind == "container" else np.asarray(decode_array(body))
    return _signal_from(samples, metadata)


def source_of(data: bytes) -> Optional[str]:
    """The format the signal of a .qrvl file was read from, when the file says."""
    source = _split(data)[1].get("source")
    return source if isinstance(source, str) else None


def describe(data: bytes, sample_bytes: SampleBytes = lambda metadata: None) -> dict[str, Any]:
    """The fields `quorvel info` shows: layout, shape, codec settings and ratio. `sample_bytes` gives
    the bytes one sample took in the source file from the metadata (None: the decoded sample's), so
    that the ratio compares with what the user had."""
    from ._container import inspect  # `info` shows header fields: nothing to decode
    kind, metadata, body = _split(data)
    if kind == "container":
        info = inspect(body)
        lanes = [info]
        shape: list[int] = [info.sample_count]
        itemsize = 4
    else:
        from ._frame import frame_layout
        dtype, frame_shape, parts = frame_layout(body)
        shape, itemsize = [int(n) for n in frame_shape], dtype.itemsize
        lanes = [inspect(body[offset:offset + size]) for offset, size in parts if size]
    description: dict[str, Any] = {"layout": "container" if kind == "container" else "frame",
                                   "size": len(data), "shape": shape,
                                   "channels": 1 if len(shape) < 2 else int(np.prod(shape[:-1])),
                                   "sample_count": int(np.prod(shape))}
    description.update({key: metadata[key] for key in ("source", "sample_rate", "channel_names", "units",
                                                      "wav_subtype") if metadata.get(key) is not None})
    lengths = metadata.get("extra", {}).get("lengths") if isinstance(metadata.get("extra"), dict) else None
    if isinstance(lengths, list) and all(isinstance(n, int) for n in lengths):
        description["sample_count"] = sum(lengths)  # signals of lower rates end early, NaN after
    source_bytes = sample_bytes(metadata) or itemsize
    description["ratio"] = description["sample_count"] * source_bytes / len(data)
    kind = str(metadata.get("source")) if source_bytes != itemsize else f"float{8 * itemsize}"
    description["ratio_basis"] = f"{source_bytes:g}-byte {kind} samples"
    description["lanes"] = [_lane_fields(lane) for lane in lanes]
    return description


def _lane_fields(lane: Any) -> dict[str, Any]:
    """What `quorvel info` shows of one container: its wavelet settings, or version 2's coding."""
    if lane.version == 1:
        fields = {"method": lane.method, "levels": lane.levels, "scale": lane.scale}
    else:
        fields = {"version": 2, "mode": lane.mode, "blocks": lane.block_count, "grid_step": lane.grid_step}
    return {**fields, "sample_count": lane.sample_count, "size": lane.size}


def _remembers_something(signal: Signal) -> bool:
    """Whether a 1-D signal carries more than its samples (a .npy vector does not)."""
    return bool(signal.sample_rate is not None or signal.wav_subtype or signal.extra or signal.annotations
                or any(signal.channel_names) or any(signal.units))


def _block(signal: Signal) -> bytes:
    """The metadata block: what `decode` needs to write the signal back in its own format."""
    metadata = {"source": signal.source, "sample_rate": signal.sample_rate,
                "channel_names": signal.channel_names, "units": signal.units,
                "wav_subtype": signal.wav_subtype, "extra": signal.extra,
                "annotations": [list(event) for event in signal.annotations]}
    kept = {key: value for key, value in metadata.items() if value and (not isinstance(value, list) or any(value))}
    text = json.dumps(kept, separators=(",", ":")).encode()
    prefix = _PREFIX.pack(FILE_MAGIC, FILE_VERSION, len(text))
    return prefix + _CHECK.pack(zlib.crc32(text, zlib.crc32(prefix))) + text


def _signal_from(samples: np.ndarray, metadata: dict[str, Any]) -> Signal:
    count = 1 if samples.ndim == 1 else int(samples.shape[0])

    def strings(key: str) -> list[str]:
        values = metadata.get(key)
        if isinstance(values, list) and len(values) == count and all(isinstance(v, str) for v in values):
            return [str(v) for v in values]
        return []

    rate = metadata.get("sample_rate")
    subtype = metadata.get("wav_subtype")
    extra = metadata.get("extra")
    return Signal(data=samples, source=str(metadata.get("source", "npy")),
                  sample_rate=float(rate) if isinstance(rate, (int, float)) and rate > 0 else None,
                  channel_names=strings("channel_names"), units=strings("units"),
                  wav_subtype=subtype if isinstance(subtype, str) else None,
                  extra=extra if isinstance(extra, dict) else {}, annotations=_annotations(metadata))


def _annotations(metadata: dict[str, Any]) -> list[tuple[float, float, str]]:
    """The timed events of the metadata, those that are well formed."""
    events = metadata.get("annotations")
    if not isinstance(events, list):
        return []
    return [(float(event[0]), float(event[1]), event[2]) for event in events
            if isinstance(event, list) and len(event) == 3 and all(isinstance(v, (int, float)) for v in event[:2])
            and isinstance(event[2], str)]


def _split(data: bytes) -> tuple[str, dict[str, Any], bytes]:
    """(kind, metadata, body) of a .qrvl file; kind is "container" or "frame"."""
    head = bytes(data[:4])
    if head == CONTAINER_MAGIC:
        size = _container_size(data)
        if size > len(data):
            raise FileError(f"corrupt quorvel file: the container is truncated ({len(data)} of {size} bytes)")
        if size == len(data):
            return "container", {}, data
        metadata, end = _read_block(data, size)
        if end != len(data):
            raise FileError("corrupt quorvel file: unexpected bytes after the metadata")
        return "container", metadata, data[:size]
    if head == FRAME_MAGIC:
        return "frame", {}, data
    if head != FILE_MAGIC:
        raise FileError("not a quorvel file (unknown magic)")
    metadata, end = _read_block(data, 0)
    return "frame", metadata, data[end:]


def _container_size(data: bytes) -> int:
    """Bytes the container at the start of `data` occupies, from its header alone."""
    from . import _codec
    return int(_codec.inspect(memoryview(data))["size"])


def _read_block(data: bytes, start: int) -> tuple[dict[str, Any], int]:
    """The metadata of the block at `start`, and the offset just after it."""
    if len(data) - start < _PREFIX.size or bytes(data[start:start + 4]) != FILE_MAGIC:
        raise FileError("corrupt quorvel file: a damaged metadata block")
    _, version, length = _PREFIX.unpack_from(data, start)
    if version not in (FILE_VERSION, _UNCHECKED_VERSION):
        raise FileError(f"unsupported quorvel file version {version}")
    begin = start + _PREFIX.size + (_CHECK.size if version == FILE_VERSION else 0)
    if length > min(len(data) - begin, _MAX_METADATA):
        raise FileError("corrupt quorvel file: truncated, the metadata runs past the end")
    text = bytes(data[begin:begin + length])
    if version == FILE_VERSION:
        prefix = bytes(data[start:start + _PREFIX.size])
        (stored,) = _CHECK.unpack_from(data, start + _PREFIX.size)
        if zlib.crc32(text, zlib.crc32(prefix)) != stored:
            raise FileError("corrupt quorvel file: the metadata block fails its check (CRC-32)")
    try:
        metadata = json.loads(text.decode())
    except (UnicodeDecodeError, ValueError):
        raise FileError("corrupt quorvel file: unreadable metadata") from None
    if not isinstance(metadata, dict):
        raise FileError("corrupt quorvel file: unreadable metadata")
    return metadata, begin + length


# --- codec calls -------------------------------------------------------------------------

def _encode_frame(samples: np.ndarray, settings: Settings, overhead: int) -> bytes:
    from ._frame import encode_settings, frame_overhead
    if settings.target != "max_bytes":
        return bytes(encode_settings(samples, settings))
    # The frame's budget is per lane: share out what the file may take, and
    # quote a refusal in the file's own terms.
    lanes = 1 if samples.ndim == 1 else int(np.prod(samples.shape[:-1]))
    fixed = _PREFIX.size + overhead + frame_overhead(samples.shape)
    total = int(settings.value or 0)
    try:
        return bytes(encode_settings(samples, dataclasses.replace(settings, value=max(1, (total - fixed) // lanes))))
    except UnreachableTargetError as refused:
        needed = fixed + lanes * math.ceil(refused.best_reachable)
        error = UnreachableTargetError(f"Can't fit this file in {total} bytes: ask for {needed} bytes or more")
        error.target, error.value, error.best_reachable = "max_bytes", float(total), float(needed)
        raise error from None
