# Types of the quorvel extension module (python/module.cpp, python/options.cpp).
# Installed twice from this one file: beside the module, and as the stub-only
# package quorvel-stubs, which is where mypy looks for a single-file module.
from typing import final

import numpy as np
import numpy.typing as npt

__all__ = ["TarvoCompressionOptions", "compress_signal", "decompress_signal"]

@final
class TarvoCompressionOptions:
    """Wavelet method ("cdf97", "cdf53", "db4", "sym4"), scale 6..12 and cutoff ("low", "medium", "high").

    Checked once when built; the instance has no attributes and only serves as
    the `options` of `compress_signal`.
    """

    def __new__(cls, method: str = "cdf97", scale: int = 11, cutoff: str = "low") -> TarvoCompressionOptions: ...

def compress_signal(data: npt.NDArray[np.float32], options: TarvoCompressionOptions | None = None) -> bytes:
    """Compress a 1-D float32 NumPy array into a Quorvel-encoded bytes object."""

def decompress_signal(data: bytes) -> npt.NDArray[np.float32]:
    """Decompress a Quorvel bytes object into a 1-D float32 NumPy array."""
