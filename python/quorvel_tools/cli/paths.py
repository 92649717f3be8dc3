"""Where a command reads and writes: its inputs checked for what they are, outputs paired with inputs
(one file, a folder for several inputs, or `-` for standard input and output) and checked before any work."""
from __future__ import annotations

import contextlib
import dataclasses
import os
import pathlib
import stat
import sys
from typing import Callable, Iterator

from .._atomic import OutputError, check_output, private_folder

__all__ = ["ALIASES", "STDIO", "Pair", "UsageError", "check_input", "check_stdout", "for_user", "muted_stdout",
           "pairs", "signal_suffixes", "stdin_copy", "to_stdout"]

STDIO = pathlib.Path("-")


class UsageError(Exception):
    """A command line that asks for something impossible; exits with status 2."""


@dataclasses.dataclass(frozen=True)
class Pair:
    input: pathlib.Path
    output: pathlib.Path


def pairs(paths: list[pathlib.Path], name_for: Callable[[pathlib.Path], str], *, force: bool,
          inputs_of: Callable[[pathlib.Path], list[pathlib.Path]] = lambda p: [p]) -> list[Pair]:
    """INPUT... OUTPUT as (input, output) pairs, every output checked before anything runs.

    Several inputs need OUTPUT to be a folder; one input may name one too. In a
    folder each output is named `name_for(input)`.
    """
    if len(paths) < 2:
        raise UsageError("give an input and an output (- for standard input or output)")
    *sources, last = paths
    into_folder = last != STDIO and last.is_dir()
    if len(sources) > 1 and not into_folder:
        raise OutputError(f"{last}: several inputs need an existing folder as the output")
    if sources.count(STDIO) > 1 or (STDIO in sources and into_folder):
        raise UsageError("standard input (-) can only be read once, into one named output")
    if last == STDIO and sys.stdout.isatty():
        raise OutputError("standard output is a terminal; redirect it to a file or a pipe")
    read = [file for source in sources if source != STDIO for file in inputs_of(source)]
    check_stdout(read)
    planned = [Pair(source, last / name_for(source) if into_folder else last) for source in sources]
    outputs = [pair.output for pair in planned]
    for pair in planned:
        if outputs.count(pair.output) > 1:
            raise OutputError(f"{pair.output}: several inputs would write this output")
        if pair.input != STDIO:
            check_input(pair.input)
        if pair.output != STDIO:
            check_output(pair.output, inputs=read, force=force)
    return planned


def check_input(path: pathlib.Path) -> None:
    """Says what an input is when it is not a file that can be read: missing, a folder, a device, a pipe."""
    try:
        mode = path.stat().st_mode
    except FileNotFoundError:
        if path.suffix == "" and path.with_suffix(".hea").is_file():  # a WFDB record named without its suffix
            return
        raise OutputError(f"{path}: no such file") from None
    except OSError as error:
        raise OSError(error.errno, error.strerror, str(path)) from None
    kind = ("a folder" if stat.S_ISDIR(mode) else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode)
            else "a named pipe (FIFO)" if stat.S_ISFIFO(mode) else "a socket" if stat.S_ISSOCK(mode) else None)
    if kind is not None:
        hint = f"; to read a stream, give - and redirect it: < {path}" if not stat.S_ISDIR(mode) else ""
        raise OutputError(f"{path}: is {kind}, not a signal file{hint}")


def check_stdout(inputs: list[pathlib.Path]) -> None:
    """Refuses to run with standard output open on one of the inputs (`1<>sig.npy`, `>> sig.npy`):
    data or a summary written there would overwrite the input."""
    try:
        out = os.fstat(1)
    except OSError:
        return
    if not stat.S_ISREG(out.st_mode):
        return
    for path in inputs:
        with contextlib.suppress(OSError):
            found = path.stat()
            if (found.st_dev, found.st_ino) == (out.st_dev, out.st_ino):
                raise OutputError(f"{path}: is also standard output; writing there would overwrite the input")


def signal_suffixes() -> set[str]:
    """Every suffix a signal file of a known format carries."""
    from .formats import FORMATS
    return {suffix for entry in FORMATS for suffix in entry.suffixes}


# Signal files recognised by their first bytes, for a stream that has no name.
_MAGIC = ((b"\x93NUMPY", ".npy"), (b"RIFF", ".wav"), (b"\xffBIOSEMI", ".bdf"), (b"0       ", ".edf"),
          (b"fLaC", ".flac"), (b"OggS", ".ogg"))


@contextlib.contextmanager
def stdin_copy() -> Iterator[pathlib.Path]:
    """Standard input saved in a private file whose suffix its first bytes show (text: .csv)."""
    data = sys.stdin.buffer.read()
    suffix = next((suffix for magic, suffix in _MAGIC if data.startswith(magic)), ".csv")
    with private_folder() as folder:
        path = folder / f"stdin{suffix}"
        path.write_bytes(data)
        ALIASES[str(path)] = "-"
        yield path


def to_stdout(write: Callable[[pathlib.Path], None], suffix: str) -> int:
    """Runs a writer that needs a path and copies what it wrote to standard output; returns the size."""
    with private_folder() as folder:
        path = folder / f"stdout{suffix}"
        ALIASES[str(path)] = "-"
        write(path)
        data = path.read_bytes()
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()
    return len(data)


@contextlib.contextmanager
def muted_stdout() -> Iterator[None]:
    """Keeps what libraries print (pyedflib on a damaged file) off standard output, which carries data."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    try:
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


# Private temporary paths, and what messages call them instead ("-").
ALIASES: dict[str, str] = {}


def for_user(message: str) -> str:
    """`message` with private temporary paths replaced by what the user gave."""
    for temporary, given in ALIASES.items():
        message = message.replace(temporary, given)
    return message
