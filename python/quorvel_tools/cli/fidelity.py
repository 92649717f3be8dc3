"""Targets that hold in the file `decode` writes: decoded values are rounded back onto the
source's grid (integer PCM, EDF digital units), and every channel is measured after that."""
from __future__ import annotations

import dataclasses
import math
from typing import Callable

import numpy as np

from .._measure import Measurement, measure
from ..settings import Settings
from .formats import Signal

ERROR_TARGETS = ("max_error", "rmse", "prd")
_ATTEMPTS = 6


def on_grid(signal: Signal, rows: np.ndarray) -> np.ndarray:
    """`rows` (channels, time) rounded onto the values the source could hold, as its writer rounds them."""
    if not signal.grid_step:
        return rows
    step = np.asarray(signal.grid_step, np.float64)[:, None]
    origin = np.asarray(signal.grid_origin or [0.0] * len(signal.grid_step), np.float64)[:, None]
    rounded: np.ndarray = origin + np.rint((np.asarray(rows, np.float64) - origin) / step) * step
    return rounded


def channel_figures(signal: Signal, restored: np.ndarray) -> list[Measurement]:
    """Each channel's figures in the written file: `restored` on the source's grid, each
    channel over its own length (channels of lower rates end early)."""
    original, decoded = signal.rows(), on_grid(signal, restored.reshape(signal.rows().shape))
    lengths = signal.extra.get("lengths")
    if not (isinstance(lengths, list) and len(lengths) == len(original)):
        lengths = [original.shape[1]] * len(original)
    return [measure(x[:n], y[:n]) for x, y, n in zip(original, decoded, lengths)]


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
    if settings.target not in ERROR_TARGETS or not signal.grid_step:
        return encode(settings)
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
        lengths = signal.extra.get("lengths") or [rows.shape[1]] * len(rows)
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
