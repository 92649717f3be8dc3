"""The Zarr format 3 array->bytes codec ``"quorvel"``: each chunk is stored as one frame.

Registered through the ``zarr.codecs`` entry point, so a store whose metadata
names ``"quorvel"`` opens in any process where quorvel is installed::

    zarr.create_array(store, shape=(8, 10**6), chunks=(8, 10**5), dtype="float32",
                      serializer=QuorvelCodec(max_error=1e-3), compressors=None)

The configuration is that of :class:`quorvel_tools.numcodecs.Quorvel`. Needs
zarr 3 (``pip install "zarr>=3"``).
"""
from __future__ import annotations

import asyncio
import warnings
from dataclasses import InitVar, dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

try:
    from zarr.abc.codec import ArrayBytesCodec, ArrayBytesCodecPartialDecodeMixin
    from zarr.abc.store import RangeByteRequest, Store
    from zarr.core.common import parse_named_configuration
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError('quorvel_tools.zarr needs zarr 3: pip install "zarr>=3"') from error

from quorvel_tools._frame import LayoutWarning, _axis, checked_time_axis, decode_array, frame_shape, layout_advice
from quorvel_tools._ranges import fetch_part_async
from quorvel_tools._rewrite import encode_chunk, remember
from quorvel_tools.settings import CODEC_PARAMETERS, Settings, chunk_settings

if TYPE_CHECKING:
    from typing import Self

    from zarr.abc.store import ByteGetter
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer
    from zarr.core.chunk_grids import ChunkGrid
    from zarr.core.dtype.wrapper import TBaseDType, TBaseScalar, ZDType
    from zarr.core.indexing import SelectorTuple

CODEC_NAME = "quorvel"


@dataclass(frozen=True, kw_only=True)
class QuorvelCodec(ArrayBytesCodec, ArrayBytesCodecPartialDecodeMixin):
    """Lossy compression of float32 and float64 chunks, lane by lane along the time axis.

    The settings are those of :class:`quorvel_tools.numcodecs.Quorvel`: at most
    one target (``max_error``, ``rmse``, ``prd``) with ``method`` and ``effort``,
    or the fixed ``method``, ``scale`` and ``cutoff``, the ``format``, and the
    ``time_axis`` of the chunks (-1, the last, unless given; ``time_axis=0`` for
    ``(time, channels)`` arrays). An array whose chunks' lanes look like
    channels raises a :class:`~quorvel_tools.LayoutWarning` when the array is
    made. NaN and infinities, and so a NaN fill value, come back exactly.
    Reading a box of a chunk (ints and slices: some channels over a time
    range) fetches only the byte ranges its lanes and blocks need, when the
    codec is the array's only one (``compressors=None``, no filters) and the
    store tells a chunk's size without reading it; other stores give the
    chunk whole and only the box is decoded.
    Metadata without ``format`` was written when version 1 was the only one, so
    :meth:`from_dict` reads it as ``format=1``.
    """

    is_fixed_size = False

    max_error: float | None = None
    rmse: float | None = None
    prd: float | None = None
    method: str | None = None
    scale: int | None = None
    cutoff: str | None = None
    effort: str | None = None
    format: int | None = None
    time_axis: int = -1

    max_bytes: InitVar[int | None] = None  # refused: see chunk_settings

    def __post_init__(self, max_bytes: int | None) -> None:
        given = {name: getattr(self, name) for name in CODEC_PARAMETERS}
        for name, value in chunk_settings(max_bytes=max_bytes, **given).config().items():
            object.__setattr__(self, name, value)
        object.__setattr__(self, "time_axis", checked_time_axis(self.time_axis))

    def _settings(self) -> Settings:
        return Settings.of(**{name: getattr(self, name) for name in CODEC_PARAMETERS if getattr(self, name) is not None})

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Self:
        _, configuration = parse_named_configuration(data, CODEC_NAME, require_configuration=False)
        settings: dict[str, Any] = {"format": 1, **(configuration or {})}
        return cls(**settings)

    def to_dict(self) -> dict[str, Any]:
        # time_axis=-1, the layout of every store written before it existed, is left out.
        extra = {} if self.time_axis == -1 else {"time_axis": self.time_axis}
        return {"name": CODEC_NAME, "configuration": {**self._settings().config(), **extra}}

    def validate(
        self,
        *,
        shape: tuple[int, ...],
        dtype: ZDType[TBaseDType, TBaseScalar],
        chunk_grid: ChunkGrid,
    ) -> None:
        native = dtype.to_native_dtype()
        if native.type not in (np.float32, np.float64):
            raise ValueError(f"the quorvel codec stores float32 or float64 arrays, not {native}")
        axis = _axis(self.time_axis, len(shape))
        chunks = getattr(chunk_grid, "chunk_shape", None)
        if chunks is not None and len(chunks) > 1:
            advice = layout_advice(tuple(np.moveaxis(np.empty(chunks, np.bool_), axis, -1).shape), self.time_axis,
                                   "time_axis=")
            if advice:
                warnings.warn(advice, LayoutWarning, stacklevel=2)

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        chunk = chunk_array.as_numpy_array()
        lanes = np.ascontiguousarray(np.moveaxis(chunk, _axis(self.time_axis, chunk.ndim), -1)) if chunk.ndim else chunk
        frame = encode_chunk(lanes, self._settings(), narrow=True)  # see _decode_sync
        return chunk_spec.prototype.buffer.from_bytes(frame)

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        frame = chunk_bytes.as_numpy_array()
        axis = self._checked_shape(frame, tuple(chunk_spec.shape))
        array = decode_array(frame)
        array = array.astype(chunk_spec.dtype.to_native_dtype(), copy=False)
        remember(frame, array)  # a partial write encodes it again: its other samples must not move
        array = np.moveaxis(array, -1, axis) if array.ndim > 1 else array
        return chunk_spec.prototype.nd_buffer.from_numpy_array(array)

    def _checked_shape(self, frame: Any, expected: tuple[int, ...]) -> int:
        """The chunk's time axis, once the frame's header says it holds a chunk of the `expected` shape."""
        _, shape = frame_shape(frame)  # from the header: a chunk of the wrong shape costs no decoding
        axis = _axis(self.time_axis, len(expected)) if expected else 0
        in_frame = expected[:axis] + expected[axis + 1:] + expected[axis:axis + 1] if expected else expected
        if shape != in_frame:
            layout = "" if in_frame == expected else f" (its chunks {expected} with time last)"
            raise ValueError(f"the chunk's frame holds shape {shape}, the array expects {in_frame}{layout}")
        return axis

    async def _decode_partial_single(
        self, byte_getter: ByteGetter, selection: SelectorTuple, chunk_spec: ArraySpec
    ) -> NDBuffer | None:
        shape = tuple(chunk_spec.shape)
        box = _box(selection, shape)
        size = None if box is None else await _stored_size(byte_getter)
        chunk_bytes = None if size is not None else await byte_getter.get(prototype=chunk_spec.prototype)
        if box is None:
            if chunk_bytes is None:
                return None
            whole = await self._decode_single(chunk_bytes, chunk_spec)
            return chunk_spec.prototype.nd_buffer.from_numpy_array(whole.as_numpy_array()[selection])
        outer, inner = box
        axis = _axis(self.time_axis, len(shape))
        channel_axes = [k for k in range(len(shape)) if k != axis]
        grids = np.meshgrid(*(np.arange(outer[k].start, outer[k].stop) for k in channel_axes), indexing="ij")
        lanes = (np.ravel_multi_index(tuple(grids), tuple(shape[k] for k in channel_axes)).reshape(-1)
                 if channel_axes else np.zeros(1, np.int64))

        async def read(offset: int, length: int) -> bytes:
            piece = await byte_getter.get(prototype=chunk_spec.prototype,
                                          byte_range=RangeByteRequest(offset, offset + length))
            return b"" if piece is None else piece.to_bytes()

        time = outer[axis]
        if size is not None:
            frame: Any = (await fetch_part_async(read, size, lanes, time.start, time.stop)).bytes
        elif chunk_bytes is not None:  # a store that cannot tell the chunk's size gave it whole
            frame = chunk_bytes.as_numpy_array()
        else:
            return None
        self._checked_shape(frame, shape)
        part = await asyncio.to_thread(decode_array, frame, lanes=lanes, start=time.start, stop=time.stop)
        part = part.reshape(*(outer[k].stop - outer[k].start for k in channel_axes), time.stop - time.start)
        part = np.moveaxis(part, -1, axis).astype(chunk_spec.dtype.to_native_dtype(), copy=False)
        return chunk_spec.prototype.nd_buffer.from_numpy_array(part[inner])

    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: ArraySpec) -> int:
        raise NotImplementedError("quorvel frames have no fixed size")


def _box(selection: SelectorTuple, shape: tuple[int, ...]) -> tuple[tuple[slice, ...], tuple[Any, ...]] | None:
    """The box of the chunk that `selection` lies in (a slice per axis) and the selection inside it, when
    every axis is picked by an int or a slice with a positive step and the box is not the whole chunk."""
    if not shape or not isinstance(selection, tuple) or len(selection) != len(shape):
        return None
    outer: list[slice] = []
    inner: list[Any] = []
    for picked, n in zip(selection, shape, strict=True):
        if isinstance(picked, (int, np.integer)) and not isinstance(picked, bool) and -n <= picked < n:
            first = int(picked) % n
            outer.append(slice(first, first + 1))
            inner.append(0)
        elif isinstance(picked, slice) and picked.indices(n)[2] > 0 and len(range(n)[picked]):
            first, stop, step = picked.indices(n)
            end = first + (stop - first - 1) // step * step + 1
            outer.append(slice(first, end))
            inner.append(slice(0, end - first, step))
        else:
            return None
    if all(box.stop - box.start == n for box, n in zip(outer, shape, strict=True)):
        return None
    return tuple(outer), tuple(inner)


async def _stored_size(byte_getter: ByteGetter) -> int | None:
    """The chunk's size in the store; None when it has none, or the store cannot tell it without
    reading the chunk (then it is read whole)."""
    store, path = getattr(byte_getter, "store", None), getattr(byte_getter, "path", None)
    if store is None or path is None or type(store).getsize is Store.getsize:  # the default reads the value
        return None
    try:
        return int(await store.getsize(path))
    except (FileNotFoundError, NotImplementedError):
        return None
