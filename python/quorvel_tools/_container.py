"""Reading containers: the decoded signal and the header's fields."""
from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from quorvel_tools import _codec

if TYPE_CHECKING:
    from typing_extensions import Buffer

_HEADER_SIZE = 52


def _contiguous(container: Buffer) -> memoryview:
    """A C-contiguous byte view of any buffer (a copy only for a strided one)."""
    view = memoryview(container)
    return view if view.c_contiguous else memoryview(view.tobytes())


def decode(container: Buffer) -> npt.NDArray[np.float32]:
    """Decompress a container held in any buffer (bytes, bytearray, memoryview, a uint8 array...).

    Returns a new writable 1-D float32 array, the same samples as
    ``quorvel.decompress_signal(bytes(container))``. Raises ``ValueError`` with
    the codec's message for a damaged container and ``TypeError`` for an object
    that is not a buffer. The decoder runs with the interpreter lock released.
    """
    return _codec.decode(_contiguous(container))


@dataclasses.dataclass(frozen=True)
class ContainerInfo:
    """The fields of a container's header.

    ``minimum`` and ``maximum`` are the offset and range the decoder maps the
    normalised signal onto, and ``mean`` the offset of the normalised signal.
    ``size`` is the number of bytes the container occupies, header and payload
    (bytes after it are not part of it).
    """

    method: str
    levels: int
    scale: int
    sample_count: int
    minimum: float
    maximum: float
    mean: float
    payload_length: int
    size: int


def inspect(container: Buffer) -> ContainerInfo:
    """Read the header of a container held in any buffer, without decoding it.

    Raises ``ValueError`` with the codec's message when the header is invalid
    (too short, wrong magic, version, format tag or method, non-finite
    statistics); the payload is not checked.
    """
    method, levels, scale, count, minimum, maximum, mean, payload = _codec.read_header(_contiguous(container))
    return ContainerInfo(method, levels, scale, count, minimum, maximum, mean, payload, _HEADER_SIZE + payload)
