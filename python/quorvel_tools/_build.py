"""What this build of the codec runs on: its DEFLATE library and the processor tier it chose."""
from __future__ import annotations

import dataclasses


@dataclasses.dataclass(frozen=True)
class BuildInfo:
    """The libraries and instructions behind this installation.

    - ``deflate``: the library that compresses and inflates whole streams,
      ``"libdeflate"`` (two to three times faster) or ``"zlib"`` alone;
    - ``deflate_version``: its version;
    - ``zlib_version``: zlib's version (zlib always inflates damaged streams);
    - ``processor_tier``: the wavelet kernels in use on this processor,
      ``"avx"``, ``"sse"`` or ``"portable"``.
    """

    deflate: str
    deflate_version: str
    zlib_version: str
    processor_tier: str

    def __str__(self) -> str:
        zlib = "" if self.deflate == "zlib" else f", zlib {self.zlib_version}"
        return f"DEFLATE by {self.deflate} {self.deflate_version}{zlib}; processor tier {self.processor_tier}"


def build_info() -> BuildInfo:
    """The DEFLATE library and processor tier this installation uses."""
    from quorvel_tools import _codec
    return BuildInfo(*_codec.build_info())
