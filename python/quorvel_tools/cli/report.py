"""`quorvel report`: the aimed encoder over a ladder of targets and methods, as a table,
PNG pictures and an HTML page."""
from __future__ import annotations

import csv as csv_module
import dataclasses
import html
import io
import math
import pathlib
import sys
import time
from typing import Any, Optional

import numpy as np

from ..settings import AUTO, METHODS
from .._atomic import write_bytes
from .formats import Signal
from .formats.base import channel_lengths, channel_rates

__all__ = ["Row", "Results", "run", "format_table", "METHODS"]

# Max-error rungs as fractions of the signal's peak-to-peak range, and PRD rungs in percent.
MAX_ERROR_LADDER = (1e-4, 3e-4, 1e-3, 3e-3, 1e-2, 3e-2)
PRD_LADDER = (0.25, 0.5, 1.0, 2.0, 4.0, 8.0)
DEFAULT_SHOWN = 1e-3   # max error of the pictured encoding, as a fraction of the range
LIMIT = 1 << 21        # samples studied; the ladder encodes the signal 50 times
# Colours of the methods in the pictures; a method without one takes matplotlib's cycle.
COLOURS = {"cdf53": "#1f77b4", "cdf97": "#d62728", "db4": "#2ca02c", "sym4": "#9467bd", "auto": "#000000"}


@dataclasses.dataclass(frozen=True)
class Row:
    target: str            # "max_error" | "rmse" | "prd" | "max_bytes"
    value: float
    method: str
    ratio: float = math.nan          # float32 bytes of the samples / container bytes
    max_error: float = math.nan
    rmse: float = math.nan
    prd: float = math.nan
    encode_ms: float = math.nan
    decode_ms: float = math.nan
    note: str = ""                   # why no container was made
    marked: bool = False             # the encoding at the target asked for


@dataclasses.dataclass(frozen=True)
class Results:
    rows: list[Row]
    shown: Row
    files: list[pathlib.Path]
    title: str = ""      # the file, the channel studied and its unit


def run(signal: Signal, *, channel: int, out: pathlib.Path, effort: str = "default",
        shown_target: Optional[tuple[str, float]] = None, name: str = "signal",
        progress: bool = False) -> Results:
    """Runs the ladder on one channel and writes ratio.png, signal.png, error.png and index.html."""
    samples = _studied(signal, channel)
    name = _described(signal, channel, name)
    span = float(samples.max() - samples.min())
    if span == 0:
        raise ValueError("the signal is constant: there is nothing to compare")
    ladder = [("max_error", f * span) for f in MAX_ERROR_LADDER] + [("prd", p) for p in PRD_LADDER]
    # The ladder tries every wavelet and the automatic choice the command itself makes.
    jobs = [(kind, value, method) for kind, value in ladder for method in (AUTO,) + METHODS]
    rows = [_measure_one(samples, kind, value, method, effort) for kind, value, method in _bar(jobs, progress)]
    shown_kind, shown_value = shown_target or ("max_error", DEFAULT_SHOWN * span)
    shown, restored = _encode_shown(samples, shown_kind, shown_value, effort)
    rows.append(dataclasses.replace(shown, marked=True))
    out.mkdir(parents=True, exist_ok=True)
    rate = channel_rates(signal)[channel]  # a channel of a lower rate is drawn over its own time
    files = [_save(out / "ratio.png", _ratio_figure(rows, name, shown)),
             _save(out / "signal.png", _signal_figure(samples, restored, rate, shown, name)),
             _save(out / "error.png", _error_figure(samples, restored, rate, shown, name))]
    write_bytes(out / "table.csv", format_table(rows, csv=True).encode())
    write_bytes(out / "index.html", _page(rows, shown, name, samples.size, effort).encode())
    return Results(rows=rows, shown=shown, files=files + [out / "table.csv", out / "index.html"], title=name)


def format_table(rows: list[Row], *, csv: bool = False) -> str:
    """The ladder as aligned text (or CSV): target, method, ratio, errors and times."""
    head = ["target", "method", "ratio_f32", "max_error", "rmse", "prd_%", "encode_ms", "decode_ms"]
    lines = [[_target_text(r), r.method, *(_number(v) for v in (r.ratio, r.max_error, r.rmse, r.prd)),
              *(f"{v:.2f}" if math.isfinite(v) else "-" for v in (r.encode_ms, r.decode_ms))]
             if not r.note else [_target_text(r), r.method, r.note] for r in rows]
    if csv:
        buffer = io.StringIO()
        csv_module.writer(buffer, lineterminator="\n").writerows([head] + lines)
        return buffer.getvalue()
    widths = [max(len(h), *(len(l[i]) for l in lines if len(l) == len(head) or i < 2)) for i, h in enumerate(head)]
    text = ["  ".join(h.rjust(w) for h, w in zip(head, widths))]
    for cells in lines:
        text.append("  ".join(c.rjust(w) for c, w in zip(cells, widths)) if len(cells) == len(head)
                    else "  ".join([cells[0].rjust(widths[0]), cells[1].rjust(widths[1]), cells[2]]))
    return "\n".join(text)


# --- measuring ---------------------------------------------------------------------------

def _studied(signal: Signal, channel: int) -> np.ndarray:
    samples = signal.rows()[channel][:channel_lengths(signal)[channel]]  # a lower rate ends early
    if samples.size == 0:
        raise ValueError("the signal is empty")
    if not np.isfinite(samples).all():
        raise ValueError("the report needs finite samples; this channel holds NaN or infinity")
    if samples.size > LIMIT:
        print(f"quorvel report: studying the first {LIMIT} of {samples.size} samples", file=sys.stderr)
        samples = samples[:LIMIT]
    return np.ascontiguousarray(samples)


def _measure_one(samples: np.ndarray, kind: str, value: float, method: str, effort: str) -> Row:
    return _encode_measured(samples, kind, value, method, effort)[0]


def _encode_measured(samples: np.ndarray, kind: str, value: float, method: str,
                     effort: str) -> tuple[Row, Optional[np.ndarray]]:
    """Encodes, decodes and measures once; a target the encoder refuses gives a row with a note."""
    from .. import decode, encode, measure
    from .._container import inspect
    try:
        start = time.perf_counter()
        settings: dict[str, Any] = {kind: value, "method": method, "effort": effort}
        blob = encode(samples, **settings)
        middle = time.perf_counter()
        restored = decode(blob)
        end = time.perf_counter()
    except ValueError as error:
        return Row(kind, value, method, note=" ".join(str(error).split()) or "failed"), None
    figures = measure(samples, restored)
    info = inspect(blob)  # the method or mode chosen; the samples are decoded already
    chosen = method if method != "auto" else f"auto ({info.method or info.mode})"
    return Row(kind, value, chosen, ratio=samples.size * 4 / len(blob), max_error=figures.max_error,
               rmse=figures.rmse, prd=figures.prd, encode_ms=1e3 * (middle - start),
               decode_ms=1e3 * (end - middle)), restored


def _encode_shown(samples: np.ndarray, kind: str, value: float, effort: str) -> tuple[Row, np.ndarray]:
    row, restored = _encode_measured(samples, kind, value, "auto", effort)
    if restored is None:
        raise ValueError(row.note)
    return row, restored


def _bar(jobs: list[Any], enabled: bool) -> Any:
    if not enabled:
        return jobs
    try:
        from tqdm import tqdm
    except ImportError:
        return jobs
    return tqdm(jobs, desc="report", unit="encoding", file=sys.stderr, leave=False)


# --- pictures ----------------------------------------------------------------------------

def _pyplot() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise ValueError("the report needs matplotlib: pip install 'quorvel[report]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def _ratio_figure(rows: list[Row], name: str, shown: Row) -> Any:
    plt = _pyplot()
    from matplotlib import ticker
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.2), constrained_layout=True)
    panels = (("max_error", "max_error", "max absolute error (signal units)"),
              ("prd", "prd", "PRD (%)"))
    for axis, (ladder, field, label) in zip(axes, panels):
        for method in (AUTO,) + METHODS:
            done = [r for r in rows if r.target == ladder and r.method.split(" ")[0] == method and not r.note
                    and not r.marked]
            done.sort(key=lambda r: getattr(r, field))
            axis.plot([getattr(r, field) for r in done], [r.ratio for r in done], marker="o",
                      markersize=4, label=method, color=COLOURS.get(method))
        axis.set_xscale("log")
        axis.xaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
        axis.xaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        axis.xaxis.set_minor_formatter(ticker.NullFormatter())
        axis.set_xlabel(label)
        axis.set_ylabel("compression ratio (vs float32)")
        axis.grid(True, which="both", alpha=0.3)
        axis.plot([getattr(shown, field)], [shown.ratio], marker="*", markersize=14, linestyle="none",
                  color="#ff7f0e", label=f"asked: {_target_text(shown)}")
        axis.legend(title="method")
    axes[0].set_title("ratio at a max-error target")
    axes[1].set_title("ratio at a PRD target")
    figure.suptitle(f"{name}: what each target costs")
    return figure


def _time_axis(count: int, rate: Optional[float]) -> tuple[np.ndarray, str]:
    if rate:
        return np.arange(count) / rate, "time (s)"
    return np.arange(count, dtype=np.float64), "sample"


def _signal_figure(samples: np.ndarray, restored: np.ndarray, rate: Optional[float], shown: Row, name: str) -> Any:
    """The whole signal, and a close-up around the sample where the error is largest."""
    plt = _pyplot()
    t, unit = _time_axis(samples.size, rate)
    worst = int(np.argmax(np.abs(restored.astype(np.float64) - samples)))
    half = min(samples.size // 2, 200)
    lo = max(0, min(worst - half, samples.size - 2 * half))
    window = slice(lo, lo + 2 * half or samples.size)
    figure, (whole, close) = plt.subplots(2, 1, figsize=(11, 6), constrained_layout=True)
    for axis, part in ((whole, slice(None)), (close, window)):
        axis.plot(*_envelope(t[part], samples[part]), color="0.55", linewidth=2.2, label="original")
        axis.plot(*_envelope(t[part], restored[part]), color="#d62728", linewidth=0.9, label="decoded")
        axis.set_xlabel(unit)
        axis.grid(True, alpha=0.3)
    whole.axvspan(t[window][0], t[window][-1], color="#1f77b4", alpha=0.25)
    whole.set_title(f"{name}: original and decoded at {_target_text(shown)} "
                    f"(ratio {shown.ratio:.1f} against float32, method {shown.method})")
    close.set_title("close-up around the largest error (shaded above)")
    close.legend(loc="upper right")
    return figure


def _error_figure(samples: np.ndarray, restored: np.ndarray, rate: Optional[float], shown: Row, name: str) -> Any:
    plt = _pyplot()
    t, unit = _time_axis(samples.size, rate)
    error = restored.astype(np.float64) - samples
    figure, axis = plt.subplots(figsize=(11, 3.6), constrained_layout=True)
    axis.plot(*_envelope(t, error), color="#d62728", linewidth=0.5)
    if shown.target == "max_error":
        for bound in (-shown.value, shown.value):
            axis.axhline(bound, color="black", linestyle="--", linewidth=0.8)
    axis.set_xlabel(unit)
    axis.set_ylabel("decoded - original")
    axis.grid(True, alpha=0.3)
    axis.set_title(f"{name}: error at {_target_text(shown)}: max {shown.max_error:.3g}, "
                   f"RMSE {shown.rmse:.3g}, PRD {shown.prd:.3g} %")
    return figure


def _envelope(t: np.ndarray, y: np.ndarray, columns: int = 2000) -> tuple[np.ndarray, np.ndarray]:
    """The points a line of `columns` pixel columns shows: each column's lowest and highest value,
    in their order, so that drawing millions of samples (which holds the interpreter for
    seconds, and with it a Ctrl-C) takes a few thousand segments and looks the same."""
    if y.size <= 4 * columns:
        return t, y
    width = y.size // columns
    body = y[:width * columns].reshape(columns, width)
    starts = np.arange(columns) * width
    kept = np.concatenate([starts + body.argmin(axis=1), starts + body.argmax(axis=1),
                           np.arange(width * columns, y.size)])  # the last few samples as they are
    kept = np.unique(kept)
    return t[kept], y[kept]


def _save(path: pathlib.Path, figure: Any) -> pathlib.Path:
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=100)
    _pyplot().close(figure)
    write_bytes(path, buffer.getvalue())
    return path


# --- text --------------------------------------------------------------------------------

def _target_text(row: Row) -> str:
    mark = "* " if row.marked else ""
    if row.target == "prd":
        return f"{mark}prd {row.value:g} %"
    if row.target == "max_bytes":
        return f"{mark}bytes {row.value:g}"
    return f"{mark}{row.target.replace('_', ' ')} {row.value:.3g}"


def _described(signal: Signal, channel: int, name: str) -> str:
    """The file and the channel studied, with its unit: "rec.edf, channel 2 'Fp1' (uV)"."""
    label = signal.channel_names[channel] if channel < len(signal.channel_names) else ""
    unit = signal.units[channel] if channel < len(signal.units) else ""
    return f"{name}, channel {channel}" + (f" '{label}'" if label else "") + (f" ({unit})" if unit else "")


def _number(value: float) -> str:
    return f"{value:.4g}" if math.isfinite(value) else "-"


def _page(rows: list[Row], shown: Row, name: str, count: int, effort: str) -> str:
    title = html.escape(f"quorvel report: {name}")
    cells = list(csv_module.reader(io.StringIO(format_table(rows, csv=True))))
    head = "".join(f"<th>{html.escape(c)}</th>" for c in cells[0])
    body = "\n".join("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in line) + "</tr>" for line in cells[1:])
    return f"""<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>{title}</title>
<style>body{{font-family:sans-serif;max-width:1150px;margin:2em auto}}
table{{border-collapse:collapse;font-size:90%}}td,th{{padding:2px 8px;text-align:right;border-bottom:1px solid #ddd}}
img{{max-width:100%}}</style></head><body>
<h1>{title}</h1>
<p>{count} samples, effort {html.escape(effort)}. Ratio is the float32 size of the samples over the
container's size. Every row was decoded and measured; a target that cannot be met says why.</p>
<h2>Ratio against error</h2><img src="ratio.png" alt="ratio against max error and PRD for each method">
<h2>Original and decoded at {html.escape(_target_text(shown))}</h2>
<img src="signal.png" alt="signal with its reconstruction overlaid">
<img src="error.png" alt="error trace">
<h2>Every encoding</h2>
<table><thead><tr>{head}</tr></thead><tbody>
{body}
</tbody></table>
</body></html>
"""
