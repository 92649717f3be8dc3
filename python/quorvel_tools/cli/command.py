"""The `quorvel` command: its parser, the four subcommands, and one line for every failure."""
from __future__ import annotations

import argparse
import math
import os
import pathlib
import sys
import warnings
from typing import Any, Callable, NoReturn, Optional, Sequence

from ..settings import AUTO, CUTOFFS, EFFORTS, FORMATS, METHODS, SCALES
from .._atomic import run_stoppable
from .paths import for_user
from .subcommands import UsageError, run_decode, run_encode, run_info, run_report

__all__ = ["PROG", "build_parser", "main"]

PROG = "quorvel"


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
            return run_stoppable(lambda: run(args), PROG)  # a signal ends the process from there
    except BrokenPipeError:  # the reader of stdout went away (`quorvel report x | head`)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:  # outside the main thread, where signals are not caught
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
    parser.add_argument("--version", action=_Version, help="show the version, the DEFLATE library and the "
                        "processor tier in use, and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    _add_encode(commands)
    _add_decode(commands)
    _add_info_and_report(commands)
    completion = commands.add_parser("completion", help="print a shell completion script",
                                     description="Print a completion script for SHELL; for bash: "
                                     "eval \"$(quorvel completion bash)\" in ~/.bashrc.")
    completion.add_argument("shell", metavar="SHELL", choices=("bash",), help="bash")
    completion.set_defaults(run=_run_completion, prog=f"{PROG} completion")
    return parser


def _add_encode(commands: Any) -> None:
    from .formats import READERS, listing
    encode = commands.add_parser("encode", help="compress signal files into .qrvl files",
                                 description=f"Compress INPUT ({listing(READERS)}) into OUTPUT. "
                                 "Give one target, or fixed codec settings. Several inputs go into "
                                 "an existing folder, each as NAME.qrvl; - reads standard input or "
                                 "writes standard output.")
    encode.add_argument("paths", metavar="INPUT... OUTPUT", type=_path, nargs="+",
                        help="signal files to compress, then the .qrvl file or folder to write")
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
    encode.add_argument("--json", action="store_true", help="print the summary as one JSON object per input")
    _add_force(encode)
    encode.set_defaults(run=run_encode, prog=f"{PROG} encode")


def _add_decode(commands: Any) -> None:
    from .formats import WRITERS, listing
    from .formats.wav import SUBTYPES
    decode = commands.add_parser("decode", help="rebuild signal files from .qrvl files",
                                 description="Decode INPUT into OUTPUT, whose suffix chooses the format: "
                                 f"{listing(WRITERS)}. Several inputs go into an existing folder, each in "
                                 "its source's format (or --to's); - reads standard input or writes "
                                 "standard output.")
    decode.add_argument("paths", metavar="INPUT... OUTPUT", type=_path, nargs="+",
                        help=".qrvl files, then the signal file or folder to write")
    decode.add_argument("--to", metavar="SUFFIX",
                        help="format of outputs named in a folder or written to -, such as .npy "
                        "(default: the source's own)")
    decode.add_argument("--subtype", type=str.upper, choices=tuple(SUBTYPES),
                        help="WAV sample format (default: the source's, else FLOAT)")
    decode.add_argument("--rate", type=_positive_float, metavar="HZ",
                        help="sample rate for .wav and .edf when the file carries none")
    decode.add_argument("--split-rates", action="store_true",
                        help="write a recording whose channels run at several rates as one .wav or .flac "
                        "per rate, NAME-<rate>Hz.wav (all of them or none)")
    decode.add_argument("--lossy-output", action="store_true",
                        help="allow a lossy output (.ogg), which adds its own error; its figures are reported")
    decode.add_argument("--quiet", "-q", action="store_true", help="no progress and no summary")
    _add_force(decode)
    decode.set_defaults(run=run_decode, prog=f"{PROG} decode")


def _add_info_and_report(commands: Any) -> None:
    info = commands.add_parser("info", help="show what a .qrvl file holds",
                               description="Print the fields of a .qrvl file: layout, channels, "
                               "sample count, ratio against the source's samples, and per channel method, "
                               "levels and scale.")
    info.add_argument("file", metavar="FILE", type=pathlib.Path, help="a .qrvl file, or - for standard input")
    info.add_argument("--json", action="store_true", help="print one JSON object")
    info.set_defaults(run=run_info, prog=f"{PROG} info")

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
    report.set_defaults(run=run_report, prog=f"{PROG} report")


class _Version(argparse.Action):
    """--version: the package's version, with the DEFLATE library and the processor tier in use."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        from .. import __version__, build_info
        print(f"{PROG} {__version__} ({build_info()})")
        parser.exit()


def _add_force(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--force", "-f", action="store_true",
                        help="replace existing outputs (never an input), keeping their permissions")


def _run_completion(args: argparse.Namespace) -> int:
    from .completion import bash_script
    print(bash_script(build_parser()), end="")
    return 0


def _add_target(parser: argparse.ArgumentParser, title: str) -> None:
    group = parser.add_argument_group(title).add_mutually_exclusive_group()
    group.add_argument("--max-error", type=_non_negative_float, metavar="E",
                       help="largest absolute error, in the signal's units (0: every sample bit for bit)")
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


def _path(text: str) -> pathlib.Path:
    """A path as given; one ending in / names a folder, which must exist (pathlib drops the slash,
    and `encode x.edf nofolder/` would write a file called nofolder)."""
    if text.endswith(os.sep) and not os.path.isdir(text):
        raise argparse.ArgumentTypeError(f"{text}: no such folder")
    return pathlib.Path(text)


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def _positive_float(text: str) -> float:
    value = _number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def _non_negative_float(text: str) -> float:
    value = _number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be zero or a positive number, got {text}")
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, got {text}")
    return value


def _describe(error: BaseException) -> str:
    """One line for any failure, with the user's file name when the system gave one."""
    if isinstance(error, OSError) and error.strerror:
        where = f"{error.filename}: " if error.filename else ""
        return for_user(f"{where}{error.strerror[:1].lower()}{error.strerror[1:]}")
    text = " ".join(str(error).split()) or type(error).__name__
    if isinstance(error, MemoryError):
        return "not enough memory"
    return for_user(text)


def _warning_line(message: Any, category: Any, filename: str, lineno: int, file: Any = None,
                  line: Optional[str] = None) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _fail(message: str, status: int) -> int:
    print(message, file=sys.stderr)
    return status
