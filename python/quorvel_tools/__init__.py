"""Lossy compression of 1-D signals aimed at an error bound or a size, in standard quorvel containers.

``encode`` meets one target (a maximum absolute error, an RMSE, a PRD in percent
or a byte budget) and returns a container: version 2 unless asked otherwise,
which ``decode`` reads, or with ``format=1`` (or a named wavelet) version 1,
which ``quorvel.decompress_signal`` reads as well; ``encode_rows`` does the
same for every row of a 2-D array on a pool of threads. ``decode`` reads a container from any buffer, ``measure`` compares a
signal with its decoded form and ``inspect`` reads a container's header.

``encode_array`` and ``decode_array`` store a float32 or float64 array of any
shape as one frame, a container per lane along the last axis, with NaN and
infinities kept. The same frames serve the numcodecs codec
(``quorvel_tools.numcodecs.Quorvel``) and the Zarr codec
(``quorvel_tools.zarr.QuorvelCodec``), both found by the name ``"quorvel"``.

``load`` reads the .qrvl files the ``quorvel`` command writes (the channels,
their rates, labels, units and annotations, as a ``Recording``) and ``save``
writes them. ``build_info`` says which DEFLATE library and processor tier the
codec uses.

``Settings`` is what all of them take, checked once: a target for the aimed
encoder or the fixed method, scale and cutoff. The codec's refusals are
``CodecError`` and ``UnreachableTargetError``, both ``ValueError``, with their
particulars (the lane, the best reachable figure) as attributes.
"""
from importlib import metadata as _metadata

from quorvel_tools._build import BuildInfo, build_info
from quorvel_tools._container import ContainerInfo, decode, inspect
from quorvel_tools._encode import encode, encode_rows
from quorvel_tools._files import Recording, load, save
from quorvel_tools._frame import LayoutWarning, decode_array, encode_array
from quorvel_tools._measure import Measurement, measure
from quorvel_tools._ranges import decode_array_ranges
from quorvel_tools.errors import CodecError, UnreachableTargetError
from quorvel_tools.settings import Settings

try:
    __version__: str = _metadata.version("quorvel")
except _metadata.PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "BuildInfo",
    "CodecError",
    "ContainerInfo",
    "LayoutWarning",
    "Measurement",
    "Recording",
    "Settings",
    "UnreachableTargetError",
    "__version__",
    "build_info",
    "decode",
    "decode_array",
    "decode_array_ranges",
    "encode",
    "encode_array",
    "encode_rows",
    "inspect",
    "load",
    "measure",
    "save",
]
