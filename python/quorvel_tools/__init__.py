"""Lossy compression of 1-D signals aimed at an error bound or a size, in standard quorvel containers.

``encode`` meets one target (a maximum absolute error, an RMSE, a PRD in percent
or a byte budget) and returns a container that ``quorvel.decompress_signal``
reads; ``encode_rows`` does the same for every row of a 2-D array on a pool of
threads. ``decode`` reads a container from any buffer, ``measure`` compares a
signal with its decoded form and ``inspect`` reads a container's header.
"""
from importlib import metadata as _metadata

from quorvel_tools._container import ContainerInfo, decode, inspect
from quorvel_tools._encode import encode, encode_rows
from quorvel_tools._measure import Measurement, measure

try:
    __version__: str = _metadata.version("quorvel")
except _metadata.PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "ContainerInfo",
    "Measurement",
    "__version__",
    "decode",
    "encode",
    "encode_rows",
    "inspect",
    "measure",
]
