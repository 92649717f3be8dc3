# Typing for quorvel_tools._native, the extension module behind the package.
# Samples may be any C-contiguous buffer of native float32 or float64; the
# package always passes NumPy arrays.
from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

def encode(
    samples: npt.NDArray[np.floating[Any]], target_kind: int, target_value: float, method: int, effort: int, /
) -> bytes: ...
def encode_rows(
    samples: npt.NDArray[np.floating[Any]],
    target_kind: int,
    target_value: float,
    method: int,
    effort: int,
    threads: int,
    /,
) -> list[bytes]: ...
def decode(container: Buffer, /) -> npt.NDArray[np.float32]: ...
def read_header(container: Buffer, /) -> tuple[str, int, int, int, float, float, float, int]: ...
