"""Reading containers: the decoded signal and the header's fields."""
from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from quorvel_tools import _codec
from quorvel_tools.errors import CodecError
from quorvel_tools.settings import thread_count

if TYPE_CHECKING:
    from typing_extensions import Buffer


def _contiguous(container: Buffer) -> memoryview:
    """A C-contiguous byte view of any buffer (a copy only for a strided one)."""
    view = memoryview(container)
    return view if view.c_contiguous else memoryview(view.tobytes())


# What each kind of quorvel byte string begins with, and the function that reads it.
_READERS = {b"QRVL": "a container: read it with quorvel_tools.decode",
            b"QRVC": "a chunk frame: read it with quorvel_tools.decode_array",
            b"QRVS": "a signal file written by the quorvel command: read it with quorvel_tools.load"}


def refuse_other_kinds(view: memoryview, magic: bytes) -> None:
    """Says which function reads a quorvel byte string that is not of the kind `magic` names."""
    head = np.frombuffer(view, np.uint8, count=4).tobytes() if view.nbytes >= 4 else b""
    if head != magic and head in _READERS:
        error = CodecError(f"this is {_READERS[head]}")
        error.kind = "invalid_magic"
        raise error


def decode(
    container: Buffer, *, start: int | None = None, stop: int | None = None, threads: int | None = None
) -> npt.NDArray[np.float32]:
    """Decompress a container of either version held in any buffer (bytes, bytearray, memoryview, a uint8 array...).

    Returns a new writable 1-D float32 array: every sample, or those of
    ``decoded[start:stop]`` (the same slice, negative indices included) when
    ``start`` or ``stop`` is given. A version-2 container is then read only in
    the blocks that cover the range; a version-1 container has no blocks and
    is decoded whole first. ``threads`` blocks of a version-2 container are
    decoded at once (``None``: one per processor). A version-1 container gives
    the same samples as ``quorvel.decompress_signal(bytes(container))``.

    Raises :class:`~quorvel_tools.CodecError` (a ``ValueError``) with the
    codec's message for a damaged container (a version-2 block whose CRC-32
    fails is named), or naming the function that reads a chunk frame or a
    signal file; ``TypeError`` for an object that is not a buffer. The
    decoder runs with the interpreter lock released.
    """
    view = _contiguous(container)
    refuse_other_kinds(view, b"QRVL")
    count = thread_count(threads)
    if start is None and stop is None:
        return _codec.decode(view, count)
    first, end, _ = slice(start, stop).indices(_codec.inspect(view)["sample_count"])
    return _codec.decode_range(view, first, max(first, end), count)


@dataclasses.dataclass(frozen=True)
class ContainerInfo:
    """What a container's header says.

    Every container has its ``version`` (1 or 2), ``sample_count`` and
    ``size``, the bytes it occupies (bytes after it are not part of it).
    ``signal_minimum`` and ``signal_maximum`` are always None: no header holds
    the decoded signal's extremes, and finding them would mean decoding the
    whole container (take them from :func:`decode` instead).

    Version 1 (the others None for version 2): the wavelet ``method``,
    ``levels`` and ``scale``; the decoder maps the inverse transform's output
    ``y`` onto the signal as ``(y + shift) * span + offset``: ``offset`` and
    ``shift`` are free offsets and ``span`` (in float32, as the decoder forms
    it) sets the quantisation step ``span * 2**-scale``. The encoder chooses
    them to suit its search, so they need not be the signal's extremes.
    ``payload_length`` is the DEFLATE stream's size.

    Version 2 (None for version 1): ``mode``, how the samples are coded
    (``"grid"``: codes on a grid, ``"interpolated"``: the codes' residuals
    against interpolation, ``"corrected"``: grid codes with per-sample
    corrections, ``"ordinals"``: the float32 values themselves, ``"lifted"``: a
    step per band of the integer 9/7 lifting of codes on a grid from 0,
    ``"scaled"``: interpolation residuals in whole multiples of a coarser step,
    ``"scaled_linear"``: the same against linear interpolation);
    ``block_length`` and ``block_count``, the independently decodable blocks;
    ``grid_origin`` and ``grid_step``, the grid (sample = float32(origin + step
    * code); None for ``"ordinals"``); ``palette_size``, the number of
    distinct codes listed in a palette (0: none); ``cell_filter``, the four
    integer weights of the smoothing that moves each sample inside its code's
    cell (None: the samples are the grid points), which the encoder fits for
    RMSE and PRD targets.
    """

    version: int
    sample_count: int
    size: int
    signal_minimum: float | None = None
    signal_maximum: float | None = None
    method: str | None = None
    levels: int | None = None
    scale: int | None = None
    offset: float | None = None
    span: float | None = None
    shift: float | None = None
    payload_length: int | None = None
    mode: str | None = None
    block_length: int | None = None
    block_count: int | None = None
    grid_origin: float | None = None
    grid_step: float | None = None
    palette_size: int | None = None
    cell_filter: tuple[int, int, int, int] | None = None


def _header_fields(view: memoryview) -> dict[str, Any]:
    """The header's fields under ContainerInfo's names."""
    refuse_other_kinds(view, b"QRVL")
    fields: dict[str, Any] = _codec.inspect(view)
    if fields["version"] == 1:
        minimum, maximum = fields.pop("minimum"), fields.pop("maximum")
        with np.errstate(over="ignore"):
            fields["span"] = float(np.float32(maximum) - np.float32(minimum))
        fields["offset"], fields["shift"] = minimum, fields.pop("mean")
    return fields


def inspect(container: Buffer) -> ContainerInfo:
    """Read the header of a container of either version held in any buffer.

    Only the header (and a version-2 container's block index) is read: time
    and memory grow with those, not with the number of samples the container
    claims, and a damaged payload goes unnoticed until :func:`decode`.
    Raises :class:`~quorvel_tools.CodecError` (a ``ValueError``) with the
    codec's message when the header is invalid (too short, wrong magic,
    unknown version, format tag, method or mode, non-finite statistics, a
    block index that runs past the bytes).
    """
    return ContainerInfo(**_header_fields(_contiguous(container)))
