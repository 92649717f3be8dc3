"""The numcodecs codec ``"quorvel"``: float32 and float64 chunks of any shape as frames.

Registered through the ``numcodecs.codecs`` entry point, so that
``numcodecs.get_codec({"id": "quorvel", "max_error": 1e-3})`` finds it, and
usable as a Zarr format 2 compressor. Needs numcodecs (``pip install numcodecs``).
"""
from __future__ import annotations

import warnings
from typing import Any

import numpy as np

try:
    from numcodecs.abc import Codec  # type: ignore[import-untyped]
    from numcodecs.compat import ensure_contiguous_ndarray, ndarray_copy  # type: ignore[import-untyped]
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("quorvel_tools.numcodecs needs numcodecs: pip install numcodecs") from error

from quorvel_tools._frame import LayoutWarning, _axis, checked_time_axis, decode_array, frame_shape, layout_advice
from quorvel_tools._rewrite import encode_chunk, remember
from quorvel_tools.settings import CODEC_PARAMETERS, chunk_settings


class Quorvel(Codec):  # type: ignore[misc]
    """Lossy compression of float32 and float64 chunks, lane by lane along the time axis.

    Time runs along ``time_axis`` (the last by default; ``time_axis=0`` for
    ``(time, channels)`` chunks): every lane along it is coded on its own, so a
    chunk coded across channels compresses poorly, and lanes that look like
    channels raise a :class:`~quorvel_tools.LayoutWarning` that says what to give.
    Give at most one target, which every lane meets on its finite samples:
    ``max_error`` or ``rmse`` in the data's units, or ``prd`` in percent, with
    ``method`` (``"auto"``, ``"cdf53"``, ``"cdf97"``, ``"db4"`` or ``"sym4"``)
    and ``effort`` (``"fast"``, ``"default"`` or ``"best"``). Without a target,
    every lane is encoded with the fixed ``method``, ``scale`` (6 to 12) and
    ``cutoff`` (``"low"``, ``"medium"`` or ``"high"``). NaN, +inf and -inf come
    back exactly. ``format`` is the lanes' container version, as for
    :func:`quorvel_tools.encode`: 2 for a target with method ``"auto"``, 1 for
    fixed settings or a named wavelet. The configuration is the settings in
    their canonical form, format included, so ``Quorvel()`` equals
    ``Quorvel(method="cdf97", scale=11, cutoff="low", format=1)``. A stored
    configuration without ``format`` was written when version 1 was the only
    one, so :meth:`from_config` reads it as ``format=1``. ``time_axis`` is in
    the configuration unless it is -1.
    """

    codec_id = "quorvel"

    def __init__(
        self,
        max_error: float | None = None,
        rmse: float | None = None,
        prd: float | None = None,
        method: str | None = None,
        scale: int | None = None,
        cutoff: str | None = None,
        effort: str | None = None,
        format: int | None = None,
        max_bytes: int | None = None,
        time_axis: int = -1,
    ) -> None:
        self.settings = chunk_settings(max_error=max_error, rmse=rmse, prd=prd, method=method, scale=scale,
                                       cutoff=cutoff, effort=effort, format=format, max_bytes=max_bytes)
        config = self.settings.config()
        for name in CODEC_PARAMETERS:
            setattr(self, name, config.get(name))
        self.time_axis = checked_time_axis(time_axis)

    def _config(self) -> dict[str, Any]:
        # time_axis=-1, the layout of every store written before it existed, is left out.
        config = self.settings.config()
        return config if self.time_axis == -1 else {**config, "time_axis": self.time_axis}

    @classmethod
    def from_config(cls, config: dict[str, Any]) -> Quorvel:
        codec: Quorvel = super().from_config({"format": 1, **config})
        return codec

    def get_config(self) -> dict[str, Any]:
        return {"id": self.codec_id, **self._config()}

    def __repr__(self) -> str:
        arguments = ", ".join(f"{name}={value!r}" for name, value in self._config().items())
        return f"{type(self).__name__}({arguments})"

    def encode(self, buf: Any) -> bytes:
        """A frame of a float32 or float64 ndarray of any shape (C order)."""
        if not isinstance(buf, np.ndarray):
            raise TypeError(f"the quorvel codec encodes float32 or float64 ndarrays, not {type(buf).__name__}")
        if buf.ndim > 1 and buf.flags.f_contiguous and not buf.flags.c_contiguous:
            raise ValueError("the quorvel codec encodes C-ordered arrays; this one is in Fortran order")
        lanes = np.ascontiguousarray(np.moveaxis(buf, _axis(self.time_axis, buf.ndim), -1)) if buf.ndim else buf
        advice = layout_advice(lanes.shape, self.time_axis, "time_axis=")
        if advice:
            warnings.warn(advice, LayoutWarning, stacklevel=2)
        return encode_chunk(lanes, self.settings)

    def decode(self, buf: Any, out: Any = None) -> Any:
        """The array of a frame held in any buffer; fills ``out`` when given."""
        frame = ensure_contiguous_ndarray(buf)
        if out is None:
            array = decode_array(frame)
            remember(frame, array)  # a partial write encodes it again: its other samples must not move
            return self._in_layout(array)
        target = ensure_contiguous_ndarray(out)
        dtype, shape = frame_shape(frame)  # from the header: a chunk of the wrong shape costs no decoding
        count = int(np.prod(shape, dtype=np.int64))
        if target.nbytes != count * dtype.itemsize:
            raise ValueError(f"the chunk's frame holds {dtype} of shape {shape}, which does not fit an output "
                             f"of {target.nbytes} bytes")
        if target.dtype == dtype and self.time_axis in (-1, len(shape) - 1):
            decode_array(frame, out=target)
            return out
        return ndarray_copy(self._in_layout(decode_array(frame)), out)

    def _in_layout(self, array: np.ndarray) -> np.ndarray:
        """A decoded chunk (time last, as frames hold it) with time back on the codec's axis."""
        if array.ndim < 2 or _axis(self.time_axis, array.ndim) == array.ndim - 1:
            return array
        return np.ascontiguousarray(np.moveaxis(array, -1, _axis(self.time_axis, array.ndim)))
