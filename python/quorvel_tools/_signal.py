"""A recording as the .qrvl file keeps it: samples, with what is needed to write them back in their
own format (rates, names, units, the source's header, annotations)."""
from __future__ import annotations

import dataclasses
import math
from typing import Any, Optional

import numpy as np

__all__ = ["Signal", "channel_lengths", "channel_rates"]


@dataclasses.dataclass
class Signal:
    """Samples with what is needed to write them back in their own format.

    `data` is 1-D (time) or 2-D (channels, time), float32 or float64. `grid_step`
    gives, per channel, the spacing of the values the source could hold (one
    LSB of integer PCM, one digital unit of EDF) or None for float sources, and
    `grid_origin` a value on each channel's grid (None: zero).
    `annotations` are timed events: (onset in seconds, duration in seconds or
    -1 when it has none, text).
    """

    data: np.ndarray
    source: str
    sample_rate: Optional[float] = None
    channel_names: list[str] = dataclasses.field(default_factory=list)
    units: list[str] = dataclasses.field(default_factory=list)
    wav_subtype: Optional[str] = None
    grid_step: Optional[list[float]] = None
    grid_origin: Optional[list[float]] = None
    extra: dict[str, Any] = dataclasses.field(default_factory=dict)
    annotations: list[tuple[float, float, str]] = dataclasses.field(default_factory=list)

    @property
    def channel_count(self) -> int:
        return 1 if self.data.ndim == 1 else int(self.data.shape[0])

    def rows(self) -> np.ndarray:
        """The samples as (channels, time)."""
        return self.data.reshape(1, -1) if self.data.ndim == 1 else self.data


def channel_rates(signal: Signal, *, keep_unknown: bool = False) -> list[Optional[float]]:
    """Each channel's sample rate: its own where the signal keeps one (a recording saved with rates
    of its own, the EDF signal headers), else the signal's (None where unknown, with `keep_unknown`)."""
    count = signal.channel_count
    headers = signal.extra.get("signal_headers")
    kept = [h.get("sample_frequency") if isinstance(h, dict) else None for h in headers] \
        if isinstance(headers, list) else None
    for rates in (signal.extra.get("rates"), kept):
        if isinstance(rates, list) and len(rates) == count and all(
                rate is None or (isinstance(rate, (int, float)) and not isinstance(rate, bool)
                                 and math.isfinite(rate) and rate > 0) for rate in rates):
            return [(None if keep_unknown else signal.sample_rate) if rate is None else float(rate) for rate in rates]
    return [signal.sample_rate] * count


def channel_lengths(signal: Signal) -> list[int]:
    """Each channel's true length: channels of lower rates end early, NaN after."""
    rows = signal.rows()
    lengths = signal.extra.get("lengths")
    if isinstance(lengths, list) and len(lengths) == len(rows) and all(
            isinstance(n, int) and 0 <= n <= rows.shape[1] for n in lengths):
        return [int(n) for n in lengths]
    return [int(rows.shape[1])] * len(rows)
