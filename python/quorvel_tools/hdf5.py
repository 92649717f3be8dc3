"""quorvel as an HDF5 filter: float32 and float64 datasets compressed chunk by chunk, through h5py.

    import h5py, quorvel_tools.hdf5
    with h5py.File("recording.h5", "w") as f:
        f.create_dataset("eeg", data=eeg, chunks=(8, 65536), **quorvel_tools.hdf5.Quorvel(max_error=0.5))

Importing this module registers the filter plugin that ships in this package
with h5py's HDF5, so reading such files back needs only the import. Other HDF5
applications (h5dump, h5repack, netCDF-4, MATLAB) load the plugin from
:data:`PLUGIN_PATH` given as ``HDF5_PLUGIN_PATH``. Needs h5py (``pip install
quorvel[hdf5]``).

Each chunk is one frame, as the numcodecs codec stores it: every lane along the
chunk's time axis meets the target on its own finite samples, and NaN, +inf
and -inf come back exactly. Time runs along the chunk's longest axis unless
``time_axis`` says otherwise, which suits NWB's ``(time, channels)`` series and
``(channels, time)`` arrays alike.
"""
from __future__ import annotations

import ctypes
import math
import struct
from pathlib import Path
from typing import Any, Optional

try:
    import h5py  # type: ignore[import-untyped]
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("quorvel_tools.hdf5 needs h5py: pip install h5py") from error

from quorvel_tools.settings import AUTO, EFFORTS, METHODS, TARGETS, Settings

__all__ = ["FILTER_ID", "PLUGIN_PATH", "Quorvel"]

PLUGIN_PATH: str = str(Path(__file__).with_name("hdf5_plugin"))
"""The folder holding the filter plugin, for ``HDF5_PLUGIN_PATH``."""

# The layout version of the filter's client data (hdf5/filter.hpp describes the words).
_CLIENT_DATA_VERSION = 2
_LONGEST_AXIS = 0x80000000  # word 7: the chunk's longest axis


class _FilterClass(ctypes.Structure):
    """The head of HDF5's H5Z_class2_t, as the plugin returns it."""

    _fields_ = [("version", ctypes.c_int), ("id", ctypes.c_int)]


def _load_plugin() -> tuple[ctypes.CDLL, int, int]:
    """The plugin (kept loaded), the address of its filter class, and the filter id it holds."""
    path = Path(PLUGIN_PATH) / "libquorvel_hdf5.so"
    if not path.is_file():
        raise ImportError(f"the quorvel HDF5 filter plugin is missing ({path}): this quorvel was built without "
                          "HDF5's headers (install libhdf5-dev and reinstall quorvel)")
    library = ctypes.CDLL(str(path))
    info = library.H5PLget_plugin_info
    info.restype = ctypes.c_void_p
    address = info()
    return library, address, _FilterClass.from_address(address).id


_PLUGIN, _CLASS_ADDRESS, FILTER_ID = _load_plugin()
"""FILTER_ID: the filter's id, from the range HDF5 leaves to unregistered filters."""
# HDF5 copies the class into its table; the plugin stays loaded for its callbacks.
h5py.h5z.register_filter(_CLASS_ADDRESS)


class Quorvel(h5py.filters.FilterRefBase):  # type: ignore[misc]
    """The keyword arguments of ``h5py.Group.create_dataset`` that compress a dataset with quorvel.

    Give exactly one target, which every lane of every chunk meets on its
    finite samples: ``max_error`` or ``rmse`` in the data's units, or ``prd``
    in percent; ``effort`` is ``"fast"``, ``"default"`` or ``"best"``.
    ``format`` is the containers' version, chosen as by every encoder of the
    kit (:class:`quorvel_tools.Settings`): 2, smaller, for method ``"auto"``
    (the default), or 1, which the ``quorvel`` module also reads, where
    ``method`` (``"cdf53"``, ``"cdf97"``, ``"db4"`` or ``"sym4"``) picks the
    wavelet. Datasets must be float32 or float64 and chunked (h5py chunks them
    when asked for a filter).

    Time runs along ``time_axis`` of each chunk: the chunk's longest axis when
    it is None (the last of equals), so that NWB's ``(time, channels)`` series
    and ``(channels, time)`` arrays are both coded along time; give it (an
    axis of the dataset, negative from the end) when chunks are shorter in
    time than across channels. The dataset keeps the axis it was created with.

    The mapping holds ``compression``, ``compression_opts`` and
    ``fillvalue=nan``: HDF5 pads the chunks at a dataset's edge with the fill
    value, and NaN padding is masked instead of measured, so that ``rmse`` and
    ``prd`` hold over the data alone (a zero padding would dilute them).
    """

    filter_id: int = FILTER_ID

    def __init__(
        self,
        *,
        max_error: Optional[float] = None,
        rmse: Optional[float] = None,
        prd: Optional[float] = None,
        method: Optional[str] = None,
        effort: Optional[str] = None,
        format: Optional[int] = None,
        time_axis: Optional[int] = None,
    ) -> None:
        settings = Settings.of(max_error=max_error, rmse=rmse, prd=prd, method=method, effort=effort, format=format)
        if settings.target is None:
            raise ValueError("exactly one target is required (max_error, rmse or prd); got none")
        if time_axis is not None and (isinstance(time_axis, bool) or not isinstance(time_axis, int)):
            raise TypeError(f"time_axis must be an int or None, not {type(time_axis).__name__}")
        if time_axis is not None and not -32 <= time_axis < 32:
            raise ValueError(f"time_axis must be an axis of a dataset of at most 32 dimensions, got {time_axis}")
        self.settings = settings
        self.time_axis = time_axis

    @property
    def filter_options(self) -> tuple[int, ...]:
        """The filter's client data: layout version, target, its value as two 32-bit words, method, effort,
        format, time axis (a signed 32-bit word, or the chunk's longest axis)."""
        settings = self.settings
        assert settings.target and settings.value is not None and settings.effort and settings.format
        low, high = struct.unpack("<II", struct.pack("<d", float(settings.value)))
        method = 0 if settings.method == AUTO else METHODS.index(settings.method) + 1
        axis = _LONGEST_AXIS if self.time_axis is None else self.time_axis & 0xFFFFFFFF
        return (_CLIENT_DATA_VERSION, TARGETS.index(settings.target), low, high, method,
                EFFORTS.index(settings.effort), settings.format, axis)

    @property
    def _kwargs(self) -> dict[str, Any]:
        return {"compression": self.filter_id, "compression_opts": self.filter_options, "fillvalue": math.nan}

    def __repr__(self) -> str:
        axis = {} if self.time_axis is None else {"time_axis": self.time_axis}
        arguments = ", ".join(f"{name}={value!r}" for name, value in {**self.settings.config(), **axis}.items())
        return f"{type(self).__name__}({arguments})"
