"""The .qrvl files the quorvel command writes, read and written from Python: load() and save()."""
from __future__ import annotations

import dataclasses
import os
import pathlib
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
import numpy.typing as npt

from quorvel_tools.settings import Effort, Method, Settings, TargetKeywords, takes_targets

if TYPE_CHECKING:
    from typing_extensions import Unpack


@dataclasses.dataclass
class Recording:
    """A recording as a .qrvl file holds it: channels that may run at rates of their own.

    - ``signals``: the samples of each channel, a 1-D array each (channels
      sampled at a lower rate are shorter);
    - ``rates``: each channel's sample rate in hertz, or None when the file
      carries none;
    - ``labels`` and ``units``: each channel's name and physical unit ("" when
      unknown);
    - ``annotations``: timed events as (onset in seconds, duration in seconds
      or -1 when it has none, text), as EDF+ and BDF+ files carry them.

    ``source`` is the format the command read the recording from (``"edf"``,
    ``"wav"``, ``"csv"``...), so that ``quorvel decode`` writes it back alike.
    """

    signals: list[npt.NDArray[np.floating[Any]]]
    rates: list[Optional[float]]
    labels: list[str]
    units: list[str]
    annotations: list[tuple[float, float, str]] = dataclasses.field(default_factory=list)
    source: str = "npy"


PathLike = Union[str, "os.PathLike[str]"]


def load(path: PathLike) -> Recording:
    """Read a .qrvl file written by the ``quorvel`` command or by :func:`save`.

    Every kind the command writes is read: a plain container, a chunk frame,
    and a frame or container with the recording's metadata (rates, labels,
    units, annotations, the source's header). Raises ``OSError`` when the file
    cannot be read and ``ValueError`` (the message says why) when it is not a
    quorvel file or is damaged.
    """
    from quorvel_tools._qrvl import FileError, decode_signal
    from quorvel_tools._signal import channel_lengths, channel_rates
    data = pathlib.Path(path).read_bytes()
    try:
        signal = decode_signal(data)
    except FileError as error:
        raise ValueError(str(error)) from None
    rows, lengths = signal.rows(), channel_lengths(signal)
    names = signal.channel_names if len(signal.channel_names) == len(rows) else [""] * len(rows)
    units = signal.units if len(signal.units) == len(rows) else [""] * len(rows)
    return Recording(signals=[row[:n].copy() for row, n in zip(rows, lengths)],
                     rates=channel_rates(signal, keep_unknown=True),
                     labels=list(names), units=list(units), annotations=list(signal.annotations),
                     source=signal.source)


@takes_targets
def save(
    path: PathLike,
    recording: Recording,
    *,
    method: Method = "auto",
    effort: Effort = "default",
    overwrite: bool = False,
    **targets: Unpack[TargetKeywords],
) -> None:
    """Compress ``recording`` into a .qrvl file that :func:`load` and ``quorvel decode`` read.

    The target (exactly one) applies to every channel, as for
    :func:`quorvel_tools.encode`; ``max_bytes`` bounds the whole file. The
    file is written under a temporary name and renamed, and an existing file
    is replaced only with ``overwrite=True`` (``FileExistsError`` otherwise).
    """
    from quorvel_tools._atomic import write_bytes
    from quorvel_tools._qrvl import encode_signal
    settings = Settings.of(**targets, method=method, effort=effort, target_required=True)
    target = pathlib.Path(path)
    if target.exists() and not overwrite:
        raise FileExistsError(17, "the file exists; give overwrite=True to replace it", str(target))
    write_bytes(target, encode_signal(_signal_of(recording), settings))


def _signal_of(recording: Recording) -> Any:
    """The command's signal for a recording: channels padded with NaN to the longest."""
    from quorvel_tools._signal import Signal
    count = len(recording.signals)
    if count == 0 or any(len(field) != count for field in (recording.rates, recording.labels, recording.units)):
        raise ValueError("a recording needs at least one signal, and one rate, label and unit per signal")
    rows = [np.asarray(signal) for signal in recording.signals]
    if any(row.ndim != 1 or row.dtype.kind not in "iuf" for row in rows):
        raise ValueError("each signal must be a 1-D array of real numbers")
    dtype = np.float32 if all(row.dtype == np.float32 for row in rows) else np.float64
    data = np.full((count, max(row.size for row in rows)), np.nan, dtype=dtype)
    for line, row in zip(data, rows):
        line[:row.size] = row
    extra: dict[str, Any] = {}
    if len({row.size for row in rows}) > 1:
        extra["lengths"] = [row.size for row in rows]
    known = [rate for rate in recording.rates if rate is not None]
    if len(set(known)) > 1 or (known and len(known) < count):
        extra["rates"] = [rate for rate in recording.rates]
    return Signal(data=data[0] if count == 1 else data, source=recording.source,
                  sample_rate=max(known) if known else None, channel_names=list(recording.labels),
                  units=list(recording.units), extra=extra,
                  annotations=[(float(t), float(d), str(x)) for t, d, x in recording.annotations])
