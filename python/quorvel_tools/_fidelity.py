"""Targets that hold in the file a .qrvl file is decoded to: decoded values are rounded back onto the
source's grid (integer PCM, EDF digital units), and every channel is measured after that."""
from __future__ import annotations

import dataclasses
import math
from typing import Any, Callable, Optional

import numpy as np

from ._measure import Measurement, measure
from ._signal import Signal, channel_lengths
from .settings import Settings

ERROR_TARGETS = ("max_error", "rmse", "prd")
_ATTEMPTS = 6


def on_grid(signal: Signal, rows: np.ndarray) -> np.ndarray:
    """`rows` (channels, time) rounded onto the values the source could hold, as its writer rounds them."""
    steps, origins = grid_of(signal)
    if not steps:
        return rows
    step = np.asarray(steps, np.float64)[:, None]
    origin = np.asarray(origins, np.float64)[:, None]
    rounded: np.ndarray = origin + np.rint((np.asarray(rows, np.float64) - origin) / step) * step
    return rounded


def grid_of(signal: Signal) -> tuple[list[float], list[float]]:
    """Each channel's grid step and origin ([] when the signal has none, or one that is not finite
    and positive)."""
    steps = list(signal.grid_step or [])
    if not steps or not all(math.isfinite(v) and v > 0 for v in steps):
        return [], []
    return steps, list(signal.grid_origin or [0.0] * len(steps))


def channel_figures(signal: Signal, restored: np.ndarray) -> list[Measurement]:
    """Each channel's figures in the written file: `restored` on the source's grid, each
    channel over its own length (channels of lower rates end early)."""
    original, decoded = signal.rows(), on_grid(signal, restored.reshape(signal.rows().shape))
    return [measure(x[:n], y[:n]) for x, y, n in zip(original, decoded, channel_lengths(signal))]


def reached(signal: Signal, settings: Settings, restored: np.ndarray) -> dict[str, Any]:
    """What a .qrvl file keeps of its target, so that a decoded file can be checked against it
    without the original: per channel the room left under the target by the decoded values as
    they are and, when the source has a grid, once on it (both rounded down); for PRD each
    channel's RMS (rounded down). A writer that moves the decoded values by d keeps the figure
    below the target less that room plus d's own (the triangle inequality): see `bound`."""
    kind, value = str(settings.target), float(settings.value or 0.0)
    rows, lengths = signal.rows(), channel_lengths(signal)
    decoded = restored.reshape(rows.shape)
    figures = [[getattr(measure(x[:n], y[:n]), kind)] for x, y, n in zip(rows, decoded, lengths)]
    if grid_of(signal)[0]:
        for line, m in zip(figures, channel_figures(signal, restored)):
            line.append(getattr(m, kind))
    kept: dict[str, Any] = {"target": kind, "value": value,
                            "room": [[_down(value - v) for v in line] for line in figures]}
    if kind == "prd":
        finite = [row[:n][np.isfinite(row[:n])].astype(np.float64) for row, n in zip(rows, lengths)]
        kept["rms"] = [_down(float(np.sqrt(np.mean(np.square(x)))) if x.size else 0.0) for x in finite]
    return kept


def _down(value: float) -> Optional[float]:
    """`value` to 4 digits, rounded towards minus infinity; None if not finite (no room known)."""
    return float(f"{value * (0.999 if value >= 0 else 1.001):.4g}") if math.isfinite(value) else None


def bound(kept: dict[str, Any], channel: int, moved: np.ndarray, moved_on_grid: Optional[np.ndarray]) -> float:
    """The most the kept target's figure can be for `channel` of a written file whose values moved
    by `moved` from the decoded ones (by `moved_on_grid` from them once on the source's grid)."""
    kind, value = kept["target"], float(kept["value"])
    line = kept["room"][channel]
    rms = kept["rms"][channel] if kind == "prd" else 1.0

    def norm(d: np.ndarray) -> float:
        if kind == "max_error":
            return float(np.max(np.abs(d))) if d.size else 0.0
        rmse = math.sqrt(float(np.mean(np.square(d)))) if d.size else 0.0
        if kind == "rmse":
            return rmse
        return 100.0 * rmse / rms if rms else (0.0 if rmse == 0 else math.inf)

    pairs = [(line[0], moved)] + ([(line[1], moved_on_grid)] if len(line) > 1 and moved_on_grid is not None else [])
    return min(value - room + norm(d) if room is not None else math.inf for room, d in pairs)


def worst(figures: list[Measurement]) -> Measurement:
    """The worst of each figure over the channels."""
    return Measurement(max(f.max_error for f in figures), max(f.rmse for f in figures),
                       max(f.prd for f in figures), min(f.snr_db for f in figures),
                       sum(f.mismatched for f in figures))


def encode_meeting_target(signal: Signal, settings: Settings, encode: Callable[[Settings], bytes],
                          decode: Callable[[bytes], np.ndarray]) -> bytes:
    """`encode` under settings tightened until every channel meets the target once rounded
    onto the source's grid. The first try is tightened by what rounding can add at most,
    so it holds as a rule; the check after decoding makes sure."""
    if settings.target not in ERROR_TARGETS:
        return encode(settings)
    if not signal.grid_step:
        return encode(room_for_steps(signal, settings))
    asked = float(settings.value or 0.0)
    trial = safe_settings(signal, settings)
    for _ in range(_ATTEMPTS):
        blob = encode(trial)
        reached = getattr(worst(channel_figures(signal, decode(blob))), str(settings.target))
        if reached <= asked:
            return blob
        if trial.target != settings.target:
            break  # already on the grid's own precision
        shrink = 0.9 * asked / reached if math.isfinite(reached) and reached > 0 else 0.5
        trial = dataclasses.replace(trial, value=float(trial.value or 0.0) * shrink)
    raise ValueError(f"cannot meet a {settings.target.replace('_', ' ')} of {asked:g} once the decoded values "
                     f"are rounded onto the file's own grid")


_ROOM = 0.05  # the largest share of a target set aside for the steps of a decoded file


def room_for_steps(signal: Signal, settings: Settings) -> Settings:
    """A float source's target, tightened by half a 16-bit step over each channel's range (the
    steps of the EDF or WFDB file `decode` may write, coarser than float32's), so that a file on
    such steps still meets it. Never by more than 5 % of the target: a target finer than that
    asks for .bdf or .npy, and `decode` says so."""
    value = float(settings.value or 0.0)
    margins = []
    for row, n in zip(signal.rows(), channel_lengths(signal)):
        finite = np.asarray(row[:n][np.isfinite(row[:n])], np.float64)
        if not finite.size:
            continue
        half = 1.01 * float(finite.max() - finite.min()) / 131070  # EDF widens the range a little
        rms = float(np.sqrt(np.mean(np.square(finite))))
        margins.append(half if settings.target != "prd" else (100.0 * half / rms if rms > 0 else 0.0))
    margin = max(margins, default=0.0)
    return dataclasses.replace(settings, value=value - margin) if 0 < margin <= _ROOM * value else settings


def safe_settings(signal: Signal, settings: Settings) -> Settings:
    """An error target tightened so that it still holds, for every channel, once decoded
    values are rounded back onto the source's grid.

    The source values lie on the grid, so rounding moves a decoded value by at
    most half a step h: the error e becomes e + d with |d| <= h, and by the
    triangle inequality max error and RMSE grow by at most h (PRD by h over the
    channel's RMS). A lane whose max error stays below h comes back exactly
    instead, which is the way for a channel whose grid is too coarse for the
    margin. The frame takes one target for all lanes: the tightest of them.
    """
    assert signal.grid_step
    half = np.asarray(signal.grid_step, np.float64) / 2
    value = float(settings.value or 0.0)
    margin = half
    if settings.target == "prd":
        rows = signal.rows()
        lengths = channel_lengths(signal)
        rms = np.array([np.sqrt(np.mean(np.square(row[:n], dtype=np.float64))) for row, n in zip(rows, lengths)])
        margin = np.where(rms > 0, 100.0 * half / np.where(rms > 0, rms, 1.0), math.inf)
    allowed = value - margin
    exact = 0.98 * half  # a max error that rounds back to the source's values
    if settings.target == "max_error":
        return dataclasses.replace(settings, value=float(np.min(np.maximum(allowed, exact))))
    if (allowed > 0).all():
        return dataclasses.replace(settings, value=float(np.min(allowed)))
    # Some channel can only be met exactly: a max error that does so, and that meets the
    # others' tightened targets as a max error bounds their RMSE (and PRD) as well.
    if settings.target == "prd":
        allowed = allowed * rms / 100.0
    return dataclasses.replace(settings, target="max_error", value=float(np.min(np.where(allowed > 0, allowed, exact))))


def file_figures(signal: Signal, restored: np.ndarray) -> str:
    """The summary's figures: those of the file `decode` writes, the worst channel's of each."""
    figures = channel_figures(signal, restored)
    w = worst(figures)
    text = f"max error {w.max_error:.4g}, RMSE {w.rmse:.4g}, PRD {w.prd:.4g} %, SNR {w.snr_db:.4g} dB"
    return text + (f" (worst of {len(figures)} channels)" if len(figures) > 1 else "")
