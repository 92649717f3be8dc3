"""The exceptions of quorvel_tools: what the codec refused, with its particulars as attributes.

Both are ``ValueError`` subclasses, so ``except ValueError`` keeps catching them.
"""
from __future__ import annotations

import math
from typing import Optional


class CodecError(ValueError):
    """The codec refused the input or failed; ``str(error)`` is its message.

    - ``kind``: the failure, as the codec names it: ``"invalid_input"``,
      ``"invalid_frame"``, ``"invalid_magic"``, ``"decompression_failed"``,
      ``"unreachable"`` and so on;
    - ``lane``: the lane of a frame the failure belongs to, or ``None``;
    - ``row``: the row of :func:`quorvel_tools.encode_rows` it belongs to, or ``None``.
    """

    kind: str = "codec"
    lane: Optional[int] = None
    row: Optional[int] = None


class UnreachableTargetError(CodecError):
    """No container meets the target on this signal.

    ``target`` names the target (``"max_error"``, ``"rmse"``, ``"prd"`` or
    ``"max_bytes"``), ``value`` is the figure asked for, and ``best_reachable``
    the finest figure (for a budget, the smallest size in bytes) the encoder can
    promise: a target at or above it is met.
    """

    kind: str = "unreachable"
    target: str = ""
    value: float = math.nan
    best_reachable: float = math.nan
