"""Reading containers: the decoded signal and the header's fields."""
from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from quorvel_tools import _codec
from quorvel_tools.errors import CodecError

if TYPE_CHECKING:
    from typing_extensions import Buffer

_HEADER_SIZE = 52


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


def decode(container: Buffer) -> npt.NDArray[np.float32]:
    """Decompress a container held in any buffer (bytes, bytearray, memoryview, a uint8 array...).

    Returns a new writable 1-D float32 array, the same samples as
    ``quorvel.decompress_signal(bytes(container))``. Raises ``ValueError`` with
    the codec's message for a damaged container and ``TypeError`` for an object
    that is not a buffer. The decoder runs with the interpreter lock released.
    """
    view = _contiguous(container)
    refuse_other_kinds(view, b"QRVL")
    return _codec.decode(view)


@dataclasses.dataclass(frozen=True)
class ContainerInfo:
    """What a container holds: its header's fields, and the range of the signal it decodes to.

    The decoder maps the inverse transform's output ``y`` onto the signal as
    ``(y + shift) * span + offset``: ``offset`` and ``shift`` are free offsets
    and ``span`` (in float32, as the decoder forms it) sets the quantisation
    step ``span * 2**-scale``. The encoder chooses them to suit its search, so
    they need not be the signal's extremes: ``signal_minimum`` and
    ``signal_maximum`` are those, of the decoded samples. ``size`` is the
    number of bytes the container occupies, header and payload (bytes after it
    are not part of it).
    """

    method: str
    levels: int
    scale: int
    sample_count: int
    offset: float
    span: float
    shift: float
    payload_length: int
    size: int
    signal_minimum: float
    signal_maximum: float


def inspect(container: Buffer) -> ContainerInfo:
    """Read the header of a container held in any buffer, and the range of its signal.

    Raises ``ValueError`` with the codec's message when the header is invalid
    (too short, wrong magic, version, format tag or method, non-finite
    statistics) or the payload is damaged.
    """
    view = _contiguous(container)
    refuse_other_kinds(view, b"QRVL")
    method, levels, scale, count, minimum, maximum, mean, payload = _codec.read_header(view)
    samples = _codec.decode(view)
    with np.errstate(over="ignore"):
        span = float(np.float32(maximum) - np.float32(minimum))
    return ContainerInfo(method, levels, scale, count, minimum, span, mean, payload, _HEADER_SIZE + payload,
                         float(samples.min()), float(samples.max()))
