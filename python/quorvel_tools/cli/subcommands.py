"""What `quorvel encode`, `decode`, `info` and `report` do once the command line is parsed."""
from __future__ import annotations

import argparse
import contextlib
import json
import pathlib
import shutil
import sys
from typing import Any, Iterator, Optional

from ..settings import Settings
from .._atomic import atomic_paths, check_output, check_room, folder_output, human_size, private_folder, write_bytes
from .paths import (ALIASES, STDIO, Pair, UsageError, check_input, check_stdout, muted_stdout, pairs,
                    signal_suffixes, stdin_copy, to_stdout)
from .progress import busy, progress_wanted

__all__ = ["UsageError", "run_decode", "run_encode", "run_info", "run_report"]

CONTAINER_SUFFIX = ".qrvl"
_RECORD_FILES = (".hea", ".dat")
_ONE_RATE_FILES = (".wav", ".flac")  # --split-rates writes one of these per rate
_LOUD = 100_000_000  # outputs from this size up are announced before they are written


def target_of(args: argparse.Namespace) -> Optional[tuple[str, float]]:
    """The target asked for, as (name, value): a float, or an int of bytes."""
    for kind, name in (("max_error", "max_error"), ("rmse", "rmse"), ("prd", "prd"), ("max_bytes", "bytes")):
        value = getattr(args, name, None)
        if value is not None:
            return kind, value
    snr = getattr(args, "snr", None)
    return ("prd", 100.0 * 10.0 ** (-snr / 20.0)) if snr is not None else None


def _settings(args: argparse.Namespace) -> Settings:
    target = target_of(args)
    if target is not None and (args.scale is not None or args.cutoff is not None):
        raise UsageError("--scale and --cutoff are fixed settings; they cannot be combined with a target")
    if target is None and args.method == "auto" and args.scale is None and args.cutoff is None:
        raise UsageError("give a target (--max-error, --rmse, --prd or --bytes) "
                         "or fixed settings (--method, --scale, --cutoff)")
    if target is not None:
        aimed: dict[str, Any] = {target[0]: target[1], "method": args.method, "effort": args.effort,
                                 "format": args.format}
        return Settings.of(**aimed)
    return Settings.of(method="cdf97" if args.method == "auto" else args.method, scale=args.scale,
                       cutoff=args.cutoff, format=args.format)


# --- encode ------------------------------------------------------------------------------

def run_encode(args: argparse.Namespace) -> int:
    settings = _settings(args)
    planned = pairs(args.paths, lambda source: source.with_suffix(CONTAINER_SUFFIX).name, force=args.force,
                    inputs_of=_input_files)
    suffixes = signal_suffixes()
    for pair in planned:
        if pair.output != STDIO and pair.output.suffix.lower() in suffixes:
            raise UsageError(f"{pair.output}: a quorvel file named {pair.output.suffix} would pass for a "
                             f"signal file; name it {pair.output.with_suffix(CONTAINER_SUFFIX).name}")
    for pair in planned:
        _encode_one(pair, settings, args)
    return 0


def _encode_one(pair: Pair, settings: Settings, args: argparse.Namespace) -> None:
    from .formats import input_size, read_signal
    from .._qrvl import encode_signal

    show = progress_wanted(args)
    with _readable(pair.input) as path:
        with busy("reading", show), muted_stdout():
            signal = read_signal(path, column=args.column, time_axis=args.time_axis)
        source_size = input_size(path)
    with busy("encoding", show), _named(pair.input):
        blob = encode_signal(signal, settings)
    if pair.output == STDIO:
        sys.stdout.buffer.write(blob)
        sys.stdout.buffer.flush()
    else:
        write_bytes(pair.output, blob)
    if args.quiet and not args.json:
        return
    with busy("checking", show):
        record, figures = _encode_record(pair, signal, blob, source_size)
    summary = sys.stderr if pair.output == STDIO else sys.stdout  # standard output may carry the data
    print(json.dumps(record) if args.json else _encode_line(record, figures), file=summary)


def _encode_record(pair: Pair, signal: Any, blob: bytes, source_size: int) -> tuple[dict[str, Any], str]:
    """What an encode made, with the figures of the file `decode` writes (the worst channel's), as
    numbers and as the summary's text."""
    from .._fidelity import channel_figures, file_figures, worst
    from .._qrvl import decode_signal
    restored = decode_signal(blob).data
    figures = worst(channel_figures(signal, restored))
    record = {"input": str(pair.input), "output": str(pair.output), "shape": list(signal.data.shape),
              "bytes": len(blob), "input_bytes": source_size, "ratio": source_size / len(blob),
              "ratio_basis": "the input file", "max_error": figures.max_error, "rmse": figures.rmse,
              "prd": figures.prd, "snr_db": figures.snr_db}
    return record, file_figures(signal, restored)


def _encode_line(record: dict[str, Any], figures: str) -> str:
    shape = "x".join(str(n) for n in record["shape"])
    return (f"{record['input']} -> {record['output']}: {shape} samples, {record['bytes']} bytes (ratio "
            f"{record['ratio']:.2f} against the input file's {record['input_bytes']} bytes), {figures}")


def _input_files(path: pathlib.Path) -> list[pathlib.Path]:
    """The files an input occupies (a WFDB record: its header and its signal file)."""
    from .formats import READERS
    reader = next((entry for entry in READERS if entry.claims(path)), None)
    return reader.files(path) if reader is not None else [path]


@contextlib.contextmanager
def _readable(path: pathlib.Path) -> Iterator[pathlib.Path]:
    """The input as a path a reader opens: itself, or standard input saved aside."""
    if path != STDIO:
        yield path
        return
    with stdin_copy() as copy:
        yield copy


@contextlib.contextmanager
def _named(path: pathlib.Path) -> Iterator[None]:
    """Names the input in a failure of the codec or of the file's layout, which knows no names."""
    from .._qrvl import FileError
    try:
        yield
    except (ValueError, FileError) as error:
        text = " ".join(str(error).split())
        if path == STDIO or str(path) in text:
            raise
        raise FileError(f"{path}: {text}") from None


# --- decode ------------------------------------------------------------------------------

def run_decode(args: argparse.Namespace) -> int:
    from .formats import writer_for

    if args.to is not None:
        args.to = args.to if args.to.startswith(".") else f".{args.to}"
        writer_for(pathlib.Path(f"output{args.to}"))
    planned = pairs(args.paths, lambda source: source.with_suffix(_decoded_suffix(source, args.to)).name,
                    force=args.force)
    for pair in planned:
        if pair.output != STDIO:
            writer_for(pair.output)  # an unknown suffix fails before any work
        if pair.output.suffix.lower() in _RECORD_FILES:  # a WFDB record is two files: neither may be lost
            for suffix in _RECORD_FILES:
                check_output(pair.output.with_suffix(suffix), inputs=[pair.input], force=args.force)
    for pair in planned:
        _decode_one(pair, args)
    return 0


def _decode_one(pair: Pair, args: argparse.Namespace) -> None:
    from .._qrvl import decode_signal
    from .formats import rate_groups, with_source_grid, write_signal, writer_for

    data = read_input(pair.input)
    with busy("decoding", progress_wanted(args)), _named(pair.input):
        signal = with_source_grid(decode_signal(data))
    rate = args.rate if signal.sample_rate is None else None
    notes: list[str] = []
    shown = str(pair.output)

    def write(path: pathlib.Path) -> None:
        note = write_signal(path, signal, subtype=args.subtype, sample_rate=rate,
                            lossy=getattr(args, "lossy_output", False))
        notes.extend([note] if note else [])

    if pair.output == STDIO:
        size = to_stdout(write, args.to or _source_suffix(signal.source))
    elif args.split_rates and pair.output.suffix.lower() in _ONE_RATE_FILES and len(rate_groups(signal)) > 1:
        size, shown = _write_split(pair, rate_groups(signal), args, notes)
    else:
        expected = estimated_size(pair.output.suffix.lower(), signal, args.subtype)
        check_room(pair.output, expected)
        if expected >= _LOUD and not args.quiet:
            print(f"writing about {human_size(expected)} to {pair.output}", file=sys.stderr)
        write(pair.output)
        size = sum(file.stat().st_size for file in writer_for(pair.output).files(pair.output))  # a record: two
    if not args.quiet:
        shape = "x".join(str(n) for n in signal.data.shape)
        summary = sys.stderr if pair.output == STDIO else sys.stdout
        print(f"{pair.input} -> {shown}: {shape} samples, {human_size(size)}", file=summary)
    for note in notes:  # what a lossy output measures is said even with --quiet
        print(f"{pair.output}: {note}", file=sys.stderr)


def _write_split(pair: Pair, groups: list[tuple[float, Any]], args: argparse.Namespace,
                 notes: list[str]) -> tuple[int, str]:
    """The channels of each rate into NAME-<rate>Hz.wav (or .flac), each verified, placed all together."""
    from .formats import write_signal

    targets = [pair.output.with_name(f"{pair.output.stem}-{rate:g}Hz{pair.output.suffix}") for rate, _ in groups]
    for target in targets:
        check_output(target, inputs=[pair.input], force=args.force)
    check_room(pair.output, sum(estimated_size(target.suffix.lower(), part, args.subtype)
                                for target, (_, part) in zip(targets, groups)))
    with private_folder() as scratch:  # each written and read back aside, then all take their names at once
        for target, (_, part) in zip(targets, groups):
            ALIASES[str(scratch / target.name)] = str(target)  # messages name the user's file
            note = write_signal(scratch / target.name, part, subtype=args.subtype, lossy=args.lossy_output)
            notes.extend([note] if note else [])
        with atomic_paths(targets) as temporaries:
            for target, temporary in zip(targets, temporaries):
                shutil.copyfile(scratch / target.name, temporary)
    return sum(target.stat().st_size for target in targets), ", ".join(map(str, targets))


def _decoded_suffix(source: pathlib.Path, asked: Optional[str]) -> str:
    """The suffix of a decoded file named in a folder: the one asked for, else the source's own format."""
    if asked is not None:
        return asked
    from .._qrvl import FileError, source_of
    try:
        return _source_suffix(source_of(read_input(source)))
    except FileError:
        return ".npy"  # the decode itself will say what is wrong


def _source_suffix(source: Optional[str]) -> str:
    from .formats import by_source
    entry = by_source(source)
    if entry is None or entry.write is None:
        return ".npy"
    own = f".{source}"
    return own if own in entry.suffixes else entry.suffixes[0]


def estimated_size(suffix: str, signal: Any, subtype: Optional[str]) -> int:
    """About how many bytes writing `signal` as `suffix` takes, to check for room before writing."""
    import numpy as np
    from .formats.wav import SUBTYPES
    count = int(signal.data.size)
    if suffix in (".csv", ".tsv", ".txt"):
        sample = np.ravel(signal.data)[:: max(1, count // 1000)]
        return int(count * (np.mean([len(f"{v:.9g}") for v in sample]) + 1)) if sample.size else 0
    per_sample = {".edf": 2, ".bdf": 3}.get(suffix)
    if suffix == ".wav":
        per_sample = SUBTYPES.get((subtype or signal.wav_subtype or "FLOAT").upper(), (0, 32))[1] // 8
    return count * (per_sample or signal.data.dtype.itemsize)


# --- info and report ---------------------------------------------------------------------

def run_info(args: argparse.Namespace) -> int:
    from .._qrvl import describe
    from .formats import source_sample_bytes

    data = read_input(args.file)
    with _named(args.file):
        description = describe(data, source_sample_bytes)
    if args.json:
        print(json.dumps(description, indent=2))
        return 0
    width = 14
    for key, value in description.items():
        if key in ("lanes", "ratio_basis") or (isinstance(value, list) and not any(str(v) for v in value)):
            continue
        shown = f"{value:.3f} against {description['ratio_basis']}" if key == "ratio" else value
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


def run_report(args: argparse.Namespace) -> int:
    from . import report
    from .formats import read_signal

    check_input(args.input)
    check_stdout([args.input])
    with muted_stdout():
        signal = read_signal(args.input, column=args.column, time_axis=args.time_axis)
    if signal.sample_rate is None and args.rate is not None:
        signal.sample_rate = args.rate
    if not 0 <= args.channel < signal.channel_count:
        raise UsageError(f"--channel {args.channel}: the signal has {signal.channel_count} channel(s)")
    out = args.out or args.input.with_name(args.input.stem + "-report")
    with folder_output(out):
        results = report.run(signal, channel=args.channel, out=out, effort=args.effort,
                             shown_target=target_of(args), name=args.input.name,
                             progress=progress_wanted(args))
    print(f"{results.title} (* marks the target asked for)\n{report.format_table(results.rows)}")
    if not args.quiet:
        print(f"\nwrote {out / 'index.html'}", file=sys.stderr)
    return 0


def read_input(path: pathlib.Path) -> bytes:
    """The bytes of a .qrvl input, or of standard input for `-`."""
    if path == STDIO:
        return sys.stdin.buffer.read()
    check_input(path)
    check_stdout([path])
    return path.read_bytes()
