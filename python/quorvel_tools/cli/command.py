"""The `quorvel` command: its parser, the four subcommands, and one line for every failure."""
from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import pathlib
import sys
import threading
import warnings
from typing import Any, Callable, Iterator, NoReturn, Optional, Sequence

from ..settings import AUTO, CUTOFFS, EFFORTS, FORMATS, METHODS, SCALES, Settings

__all__ = ["main"]

PROG = "quorvel"


class UsageError(Exception):
    """A command line that asks for something impossible; exits with status 2."""


class _Parser(argparse.ArgumentParser):
    """argparse, but a usage mistake is one line on stderr rather than usage plus message."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status (0 on success)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        run: Callable[[argparse.Namespace], int] = args.run
        with warnings.catch_warnings():
            warnings.showwarning = _warning_line
            return run(args)
    except BrokenPipeError:  # the reader of stdout went away (`quorvel report x | head`)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except UsageError as error:
        return _fail(f"{args.prog}: error: {error}", 2)
    except Exception as error:  # every failure becomes one line; QUORVEL_DEBUG=1 shows the traceback
        if os.environ.get("QUORVEL_DEBUG"):
            raise
        return _fail(f"{args.prog}: error: {_describe(error)}", 1)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Lossy wavelet compression of signal files, "
                     "aimed at the error or size you ask for.")
    from .. import __version__
    from .formats import READERS, WRITERS, listing
    from .formats.wav import SUBTYPES
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    encode = commands.add_parser("encode", help="compress a signal file into a .qrvl file",
                                 description=f"Compress INPUT ({listing(READERS)}) into OUTPUT. "
                                 "Give one target, or fixed codec settings.")
    encode.add_argument("input", metavar="INPUT", type=pathlib.Path, help="signal file to compress")
    encode.add_argument("output", metavar="OUTPUT", type=pathlib.Path, help="the .qrvl file to write")
    _add_target(encode, "target (one of)")
    encode.add_argument("--method", choices=(AUTO,) + METHODS, default=AUTO,
                        help="wavelet (default: auto, the encoder chooses; with a fixed setting: cdf97)")
    encode.add_argument("--scale", type=int, choices=SCALES, metavar="6..12",
                        help="fixed quantisation scale, no target (default 11)")
    encode.add_argument("--cutoff", choices=CUTOFFS,
                        help="fixed dead-zone strength, no target (default low)")
    encode.add_argument("--format", type=int, choices=FORMATS,
                        help="container version: 2 (default with a target) or 1 (wavelets, read by the quorvel module)")
    _add_common(encode)
    encode.set_defaults(run=_run_encode, prog=f"{PROG} encode")

    decode = commands.add_parser("decode", help="rebuild a signal file from a .qrvl file",
                                 description="Decode INPUT into OUTPUT, whose suffix chooses the format: "
                                 f"{listing(WRITERS)}.")
    decode.add_argument("input", metavar="INPUT", type=pathlib.Path, help="a .qrvl file")
    decode.add_argument("output", metavar="OUTPUT", type=pathlib.Path, help="the signal file to write")
    decode.add_argument("--subtype", type=str.upper, choices=tuple(SUBTYPES),
                        help="WAV sample format (default: the source's, else FLOAT)")
    decode.add_argument("--rate", type=_positive_float, metavar="HZ",
                        help="sample rate for .wav and .edf when the file carries none")
    decode.add_argument("--quiet", "-q", action="store_true", help="no progress and no summary")
    decode.set_defaults(run=_run_decode, prog=f"{PROG} decode")

    info = commands.add_parser("info", help="show what a .qrvl file holds",
                               description="Print the fields of a .qrvl file: layout, channels, "
                               "sample count, ratio, and per channel method, levels and scale.")
    info.add_argument("file", metavar="FILE", type=pathlib.Path, help="a .qrvl file")
    info.add_argument("--json", action="store_true", help="print one JSON object")
    info.set_defaults(run=_run_info, prog=f"{PROG} info")

    report = commands.add_parser("report", help="compare targets and methods on your own signal",
                                 description="Encode INPUT over a ladder of targets with every method; "
                                 "print a table and write PNG pictures and an HTML page into DIR.")
    report.add_argument("input", metavar="INPUT", type=pathlib.Path, help="signal file to study")
    report.add_argument("--out", metavar="DIR", type=pathlib.Path,
                        help="folder for the pictures and the page (default: INPUT's name + '-report')")
    report.add_argument("--channel", type=int, default=0, metavar="N",
                        help="channel to study, counted from 0 (default 0)")
    report.add_argument("--rate", type=_positive_float, metavar="HZ",
                        help="sample rate for the time axis when the file carries none")
    _add_target(report, "target of the pictured encoding (default: max error 0.1 % of the range)")
    _add_common(report)
    report.set_defaults(run=_run_report, prog=f"{PROG} report")
    return parser


def _add_target(parser: argparse.ArgumentParser, title: str) -> None:
    group = parser.add_argument_group(title).add_mutually_exclusive_group()
    group.add_argument("--max-error", type=_positive_float, metavar="E",
                       help="largest absolute error, in the signal's units")
    group.add_argument("--rmse", type=_positive_float, metavar="E", help="root-mean-square error")
    group.add_argument("--prd", type=_positive_float, metavar="P", help="percent root-mean-square difference")
    group.add_argument("--bytes", type=_positive_int, metavar="N", help="size budget in bytes")
    group.add_argument("--snr", type=_positive_float, metavar="DB",
                       help="signal-to-noise ratio in decibels, at least (a PRD of 100 * 10**(-DB/20) %%)")


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--effort", choices=EFFORTS, default="default",
                        help="how hard the encoder searches (default: default)")
    parser.add_argument("--column", metavar="NAME",
                        help="CSV/TSV column by name or position from 0 (default: every numeric one)")
    parser.add_argument("--time-axis", type=int, choices=(0, 1), default=None, metavar="AXIS",
                        help="axis along which time runs in a 2-D .npy array (default 1: channels x time)")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress and no summary")


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, got {text}")
    return value


def _target(args: argparse.Namespace) -> Optional[tuple[str, float]]:
    """The target asked for, as (name, value): a float, or an int of bytes."""
    for kind, name in (("max_error", "max_error"), ("rmse", "rmse"), ("prd", "prd"), ("max_bytes", "bytes")):
        value = getattr(args, name, None)
        if value is not None:
            return kind, value
    snr = getattr(args, "snr", None)
    return ("prd", 100.0 * 10.0 ** (-snr / 20.0)) if snr is not None else None


# --- commands ----------------------------------------------------------------------------

def _run_encode(args: argparse.Namespace) -> int:
    from .atomic import write_bytes
    from .formats import read_signal
    from .signal_file import decode_signal, encode_signal

    target = _target(args)
    if target is not None and (args.scale is not None or args.cutoff is not None):
        raise UsageError("--scale and --cutoff are fixed settings; they cannot be combined with a target")
    if target is None and args.method == "auto" and args.scale is None and args.cutoff is None:
        raise UsageError("give a target (--max-error, --rmse, --prd or --bytes) "
                         "or fixed settings (--method, --scale, --cutoff)")
    if target is not None:
        aimed: dict[str, Any] = {target[0]: target[1], "method": args.method, "effort": args.effort,
                                 "format": args.format}
        settings = Settings.of(**aimed)
    else:
        settings = Settings.of(method="cdf97" if args.method == "auto" else args.method, scale=args.scale,
                               cutoff=args.cutoff, format=args.format)
    show = _progress_wanted(args)
    with _busy("reading", show):
        signal = read_signal(args.input, column=args.column, time_axis=args.time_axis)
    with _busy("encoding", show):
        blob = encode_signal(signal, settings)
    write_bytes(args.output, blob)
    if not args.quiet:
        with _busy("checking", show):
            restored = decode_signal(blob)
        print(_summary(args.input, args.output, signal, restored.data, len(blob)))
    return 0


def _run_decode(args: argparse.Namespace) -> int:
    from .formats import write_signal, writer_for
    from .signal_file import decode_signal

    writer_for(args.output)  # an unknown suffix fails before any work
    data = _read_file(args.input)
    with _busy("decoding", _progress_wanted(args)):
        signal = decode_signal(data)
    write_signal(args.output, signal, subtype=args.subtype,
                 sample_rate=args.rate if signal.sample_rate is None else None)
    if not args.quiet:
        shape = "x".join(str(n) for n in signal.data.shape)
        print(f"{args.input} -> {args.output}: {shape} samples")
    return 0


def _run_info(args: argparse.Namespace) -> int:
    from .signal_file import describe

    description = describe(_read_file(args.file))
    if args.json:
        print(json.dumps(description, indent=2))
        return 0
    width = 14
    for key, value in description.items():
        if key == "lanes" or (isinstance(value, list) and not any(str(v) for v in value)):
            continue
        shown = f"{value:.3f}" if isinstance(value, float) and key == "ratio" else value
        if isinstance(value, list):
            shown = ", ".join(str(v) for v in value)
        print(f"{key + ':':<{width}} {shown}")
    lanes = description["lanes"]
    for index, lane in enumerate(lanes):
        name = f"lane {index}:" if len(lanes) > 1 else "codec:"
        if "method" in lane:
            coding = f"method {lane['method']}, levels {lane['levels']}, scale {lane['scale']:g}"
        else:
            step = "" if lane["grid_step"] is None else f", grid step {lane['grid_step']:.6g}"
            coding = f"version 2, mode {lane['mode']}, {lane['blocks']} blocks{step}"
        print(f"{name:<{width}} {coding}, {lane['sample_count']} samples, {lane['size']} bytes")
    return 0


def _run_report(args: argparse.Namespace) -> int:
    from . import report
    from .formats import read_signal

    signal = read_signal(args.input, column=args.column, time_axis=args.time_axis)
    if signal.sample_rate is None and args.rate is not None:
        signal.sample_rate = args.rate
    if not 0 <= args.channel < signal.channel_count:
        raise UsageError(f"--channel {args.channel}: the signal has {signal.channel_count} channel(s)")
    out = args.out or args.input.with_name(args.input.stem + "-report")
    results = report.run(signal, channel=args.channel, out=out, effort=args.effort,
                         shown_target=_target(args), name=args.input.name,
                         progress=_progress_wanted(args))
    print(f"{results.title} (* marks the target asked for)\n{report.format_table(results.rows)}")
    if not args.quiet:
        print(f"\nwrote {out / 'index.html'}", file=sys.stderr)
    return 0


# --- helpers -----------------------------------------------------------------------------

def _read_file(path: pathlib.Path) -> bytes:
    if not path.is_file():
        raise FileNotFoundError(2, "no such file", str(path))
    return path.read_bytes()


def _summary(source: pathlib.Path, output: pathlib.Path, signal: Any, restored: Any, size: int) -> str:
    from .fidelity import file_figures
    shape = "x".join(str(n) for n in signal.data.shape)
    figures = file_figures(signal, restored)
    from .formats import input_size
    source_size = input_size(source)
    return (f"{source} -> {output}: {shape} samples, {size} bytes (ratio {source_size / size:.2f} against "
            f"the input file), {figures}")


def _progress_wanted(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


@contextlib.contextmanager
def _busy(label: str, enabled: bool) -> Iterator[None]:
    """A tqdm spinner with the elapsed time on stderr while one long call runs.

    The codec releases the interpreter lock, so a helper thread can keep the line alive.
    """
    tqdm = _tqdm() if enabled else None
    if tqdm is None:
        yield
        return
    bar = tqdm(desc=label, total=None, file=sys.stderr, leave=False, bar_format="{desc} {elapsed}")
    stop = threading.Event()

    def tick() -> None:
        while not stop.wait(0.2):
            bar.refresh()

    thread = threading.Thread(target=tick, daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()
        bar.close()


def _tqdm() -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm


def _describe(error: BaseException) -> str:
    """One line for any failure, with the file name when the system gave one."""
    if isinstance(error, OSError) and error.strerror:
        where = f"{error.filename}: " if error.filename else ""
        return f"{where}{error.strerror.lower() if error.errno == 2 else error.strerror}"
    text = " ".join(str(error).split()) or type(error).__name__
    if isinstance(error, MemoryError):
        return "not enough memory"
    return text


def _warning_line(message: Any, category: Any, filename: str, lineno: int, file: Any = None,
                  line: Optional[str] = None) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _fail(message: str, status: int) -> int:
    print(message, file=sys.stderr)
    return status
