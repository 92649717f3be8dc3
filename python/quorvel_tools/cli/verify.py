"""Every file `decode` writes is read back, with the library its users read it with, and measured
before it takes its name: a file that would not hold the recording is an error, and is not kept.

A .qrvl file made for an error target keeps, per channel, the figure its decoded samples reached
(see `quorvel_tools._fidelity.reached`), so the written file is held to the target itself: a writer that moves
the decoded values by d (rounding onto 16-bit steps, float32) leaves the figure below the kept
one plus d's. Without a kept target the file is held to the decoded samples, within the
format's own steps.
"""
from __future__ import annotations

import math
import pathlib
from typing import Any, Optional

import numpy as np

from .._measure import measure
from .._fidelity import ERROR_TARGETS, bound, grid_of, on_grid
from .formats.base import FormatError, Readback, Signal, channel_lengths, channel_rates

__all__ = ["check_written"]


def check_written(path: pathlib.Path, signal: Signal, back: Readback) -> Optional[str]:
    """Raises FormatError, naming `path` and saying what to do instead (`advice`), when the file read
    back as `back` does not hold `signal`; returns what a lossy file measures, else None."""
    advice = back.advice
    with np.errstate(invalid="ignore"):  # a signalling NaN read as float32 stays a NaN in float64
        rows = np.asarray(signal.rows(), np.float64)
    kept = _kept_target(signal)
    grid = on_grid(signal, rows) if grid_of(signal)[0] else None
    if len(back.channels) != len(rows):
        _miss(path, f"it holds {len(back.channels)} channels, the recording {len(rows)}", advice)
    lossy = []
    for index, (want_row, n, rate) in enumerate(zip(rows, channel_lengths(signal), channel_rates(signal))):
        want, got = want_row[:n], _trimmed(path, index, np.asarray(back.channels[index], np.float64), n, advice)
        written_rate = back.rates[index]
        if rate is not None and written_rate is not None and not math.isclose(rate, written_rate, rel_tol=1e-9):
            _miss(path, f"channel {index} runs at {written_rate:g} Hz instead of {rate:g} Hz", advice)
        finite = np.isfinite(want)
        if (np.isnan(want) != np.isnan(got)).any() or (got[np.isinf(want)] != want[np.isinf(want)]).any():
            _miss(path, f"channel {index} does not keep the gaps (NaN) and infinities where they were", advice)
        step = back.steps[index]
        if step is None:  # a lossy coding: measured, and said
            lossy.append((index, measure(want, got), kept))
            continue
        moved = got[finite] - want[finite]
        clipped = _clipped(back, index, want, got)[finite]
        moved[clipped] = 0.0  # the original lay inside the range: the edge is nearer to it
        if kept is not None:
            moved_on_grid = None
            if grid is not None:
                moved_on_grid = got[finite] - grid[index][:n][finite]
                moved_on_grid[clipped] = 0.0
            reached = bound(kept, index, moved, moved_on_grid)
            if not reached <= kept["value"] * (1 + 1e-9):
                name = kept["target"].replace("_", " ")
                _miss(path, f"channel {index} would reach a {name} of {reached:.4g} against the {kept['value']:g} "
                      f"the file was made for", advice)
        else:
            tolerance = step / 2 * (1 + 1e-6) + np.abs(want[finite]) * 2.0 ** -23
            worst = np.flatnonzero(np.abs(moved) > tolerance)
            if worst.size:
                _miss(path, f"channel {index} moves a sample by {abs(moved[worst[0]]):.4g}, more than the file's "
                      f"step of {step:.4g} allows", advice)
    return _lossy_note(path, lossy) if lossy else None


def _kept_target(signal: Signal) -> Optional[dict[str, Any]]:
    """The target the .qrvl file was made for, with what each channel reached, when it kept them."""
    kept = signal.extra.get("fidelity")
    if not isinstance(kept, dict) or kept.get("target") not in ERROR_TARGETS:
        return None
    value, lines, rms = kept.get("value"), kept.get("room"), kept.get("rms")

    def numbers(values: Any, count: int) -> bool:
        return isinstance(values, list) and 0 < len(values) == count and all(
            v is None or (isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)) for v in values)

    if not (isinstance(value, (int, float)) and 0 < value < math.inf and isinstance(lines, list)
            and len(lines) == signal.channel_count and all(numbers(line, len(line)) and len(line) <= 2
                                                           for line in lines)):
        return None  # damaged: the file is held to the decoded samples instead
    if kept["target"] == "prd" and not numbers(rms, len(lines)):
        return None
    return kept


def _trimmed(path: pathlib.Path, index: int, got: np.ndarray, length: int, advice: str) -> np.ndarray:
    """A channel's first `length` samples; what follows may only be padding (NaN)."""
    if got.size < length:
        _miss(path, f"channel {index} holds {got.size} of its {length} samples", advice)
    if not np.isnan(got[length:]).all():
        _miss(path, f"channel {index} holds {got.size - length} samples after its end", advice)
    return got[:length]


def _clipped(back: Readback, index: int, want: np.ndarray, got: np.ndarray) -> np.ndarray:
    """Samples the writer put on the edge of the range the file holds, the decoded value lying beyond it."""
    if back.limits is None:
        return np.zeros(want.shape, bool)
    low, high = back.limits[index]
    slack = (back.steps[index] or 0.0) * 1e-6 + 1e-12 * max(abs(low), abs(high))
    with np.errstate(invalid="ignore"):
        return ((want < low) & (got <= low + slack)) | ((want > high) & (got >= high - slack))


def _lossy_note(path: pathlib.Path, lossy: list[Any]) -> str:
    """What a lossy file measures: its worst channel against the decoded samples, and the most it can
    lie from the original when the .qrvl file kept its target."""
    worst = max(lossy, key=lambda item: item[1].prd)[1]
    text = (f"lossy {path.suffix} output: max error {worst.max_error:.4g}, RMSE {worst.rmse:.4g}, "
            f"PRD {worst.prd:.4g} % against the decoded samples")
    kept = lossy[0][2]
    if kept is not None:
        # What the lossy coding adds, on top of what the decoded samples reached (triangle inequality).
        kind, rooms = kept["target"], kept["room"]
        reached = max(kept["value"] - (rooms[i][0] if rooms[i][0] is not None else -math.inf) + getattr(m, kind)
                      for i, m, _ in lossy)
        name, unit = {"max_error": ("max error", ""), "rmse": ("RMSE", ""), "prd": ("PRD", " %")}[kind]
        text += (f"; about {name} {reached:.4g}{unit} from the original (the file was made for "
                 f"{kept['value']:g}{unit})")
    return text


def _miss(path: pathlib.Path, why: str, advice: str) -> None:
    raise FormatError(f"{path}: not written, it would not hold the recording ({why}); {advice}")
