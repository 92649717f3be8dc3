"""Chunks written back after a partial write: the samples left alone keep their decoded values.

A store (Zarr) writes part of a chunk by decoding the chunk, changing some
samples and encoding the whole chunk again. At a max-error target the
version-2 encoder keeps the grid the decoded samples sit on, so the others come
back unchanged; at RMSE and PRD (and with wavelets) the encoder searches the
coding afresh for the new samples, and every sample of the chunk moves: each
partial write adds error to samples nobody wrote.

So the chunk codecs remember the frames they decoded (a few dozen, by a probe
of the decoded values) and, when asked to encode an array that equals one of
them except in at most half of its samples:

- all equal: the remembered frame is given back, byte for byte;
- some changed: the encoding under the codec's settings is kept when it gives
  back every unchanged sample exactly; otherwise the chunk is encoded exactly
  (max_error 0, the changed samples as float32), which keeps every sample and
  costs more bytes than a lossy chunk (a few times more at RMSE and PRD).
  One case is left as it was: a float64 chunk holding NaN or infinities
  through numcodecs, whose frame must stay float64 and cannot be exact then.

A chunk that is written whole (no chunk decoded before, or most samples new)
is encoded under the settings as usual.
"""
from __future__ import annotations

import collections
import threading

import numpy as np

from quorvel_tools._frame import decode_array, encode_settings
from quorvel_tools.errors import UnreachableTargetError
from quorvel_tools.settings import Settings

__all__ = ["encode_chunk", "remember"]

_PROBES = 64          # samples compared before a remembered chunk is decoded
_REMEMBERED = 32      # frames remembered per process
_MOST_BYTES = 64 << 20  # and their bytes at most
_EXACT = Settings.of(max_error=0.0)

_frames: collections.OrderedDict[int, tuple[tuple[int, ...], np.dtype, np.ndarray, bytes]] = collections.OrderedDict()
_lock = threading.Lock()
_serial = 0


def _probe(array: np.ndarray) -> np.ndarray:
    """The values at a few fixed places of the array, spread over it."""
    flat = array.reshape(-1)
    return flat[np.linspace(0, flat.size - 1, min(_PROBES, flat.size)).astype(np.int64)].copy()


def remember(frame: bytes, decoded: np.ndarray) -> None:
    """Notes a frame and the array it decoded to, for a partial write that may follow."""
    global _serial
    if decoded.size == 0:
        return
    with _lock:
        _serial += 1
        _frames[_serial] = (decoded.shape, decoded.dtype, _probe(decoded), bytes(frame))
        while len(_frames) > _REMEMBERED or sum(len(e[3]) for e in _frames.values()) > _MOST_BYTES:
            _frames.popitem(last=False)


def _same(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    return (a == b) | (np.isnan(a) & np.isnan(b))


def _earlier(array: np.ndarray) -> tuple[bytes, np.ndarray] | None:
    """The remembered frame and decoded array that `array` equals in at least half its samples."""
    probe = _probe(array)
    with _lock:
        candidates = [(int(_same(p, probe).sum()), key, frame) for key, (shape, dtype, p, frame) in _frames.items()
                      if shape == array.shape and dtype == array.dtype]
    for matches, _, frame in sorted(candidates, reverse=True):
        if 2 * matches < probe.size:
            break
        decoded = decode_array(frame)
        if 2 * int(_same(decoded, array).sum()) >= array.size:
            return frame, decoded
    return None


def encode_chunk(array: np.ndarray, settings: Settings, *, narrow: bool = False) -> bytes:
    """The frame of a chunk under `settings`, keeping the decoded values of the samples a partial
    write left alone (see the module's notes). `narrow`: the caller converts what it decodes to the
    chunk's type, so a float32 frame may hold a float64 chunk."""
    earlier = _earlier(array) if array.size else None
    if earlier is None:
        return encode_settings(array, settings)
    frame, decoded = earlier
    kept = _same(decoded, array)
    if kept.all():
        return frame
    fresh = encode_settings(array, settings)
    if _same(decode_array(fresh)[kept], decoded[kept]).all():
        return fresh
    narrowed = array.astype(np.float32)  # what a frame can hold of the new samples
    try:
        return encode_settings(narrowed.astype(array.dtype), _EXACT)
    except UnreachableTargetError:
        # The frame bridges NaN and infinities in float64 with values that are no float32: held
        # as float64, such a chunk cannot be exact; as float32 it can, where the caller converts.
        return encode_settings(narrowed, _EXACT) if narrow else fresh
