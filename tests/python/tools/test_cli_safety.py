"""The command keeps what users own: no input or existing file overwritten, no partial file left by any
interruption, messages that name the user's paths, and the small things users expect of a command."""
import contextlib
import json
import os
import pathlib
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from test_cli import DATA, ok, run

EEG = DATA / "eeg_fp1_128hz.edf"  # a real EEG channel in EDF (tests/data/README.md)


def quorvel(*args, stdin=None, env=None):
    """Runs the command with bytes on stdin; returns (status, stdout bytes, stderr text)."""
    done = subprocess.run([sys.executable, "-m", "quorvel_tools.cli", *map(str, args)], input=stdin,
                          capture_output=True, env=env)
    return done.returncode, done.stdout, done.stderr.decode()


@pytest.fixture
def eeg(tmp_path):
    pytest.importorskip("pyedflib")
    copy = tmp_path / "a.edf"
    shutil.copyfile(EEG, copy)
    return copy


# --- data safety -------------------------------------------------------------------------

def test_the_input_is_never_an_output_under_any_name_even_forced(eeg):
    original = eeg.read_bytes()
    (eeg.parent / "link.qrvl").symlink_to(eeg)
    os.link(eeg, eeg.parent / "hard.qrvl")
    for output in (eeg, eeg.parent / "link.qrvl", eeg.parent / "hard.qrvl"):
        for force in ([], ["--force"]):
            status, _, err = run("encode", eeg, output, "--prd", "3", *force)
            assert status != 0 and ("is the input" in err or "would pass for a signal file" in err), err
    assert eeg.read_bytes() == original


def test_a_container_is_never_named_as_a_signal_file(eeg):
    for name in ("out.edf", "out.WAV", "out.npy", "out.csv", "out.hea"):
        status, _, err = run("encode", eeg, eeg.parent / name, "--prd", "3", "--force")
        assert status == 2 and "name it out.qrvl" in err
        assert not (eeg.parent / name).exists()


def test_an_existing_output_needs_force_and_keeps_its_permissions(eeg):
    target = eeg.parent / "a.qrvl"
    target.write_bytes(b"precious")
    target.chmod(0o600)
    status, _, err = run("encode", eeg, target, "--prd", "3")
    assert status == 1 and "already exists (use --force" in err and target.read_bytes() == b"precious"
    ok("encode", eeg, target, "--prd", "3", "--force")
    assert target.read_bytes()[:4] == b"QRVS" and stat.S_IMODE(target.stat().st_mode) == 0o600
    ok("decode", target, eeg.parent / "b.edf")
    status, _, err = run("decode", target, eeg.parent / "b.edf")
    assert status == 1 and "already exists" in err


@pytest.mark.filterwarnings("ignore::DeprecationWarning:wfdb", "ignore::FutureWarning:wfdb")
def test_a_wfdb_record_is_refused_when_either_of_its_files_exists(tmp_path):
    wfdb = pytest.importorskip("wfdb")
    t = np.arange(2000) / 250
    wfdb.wrsamp("rec", fs=250, units=["mV"], sig_name=["II"], p_signal=np.sin(t)[:, None], fmt=["16"],
                write_dir=str(tmp_path))
    ok("encode", tmp_path / "rec.hea", tmp_path / "rec.qrvl", "--max-error", "0.01", "-q")
    (tmp_path / "out.dat").write_bytes(b"someone's signal file")
    status, _, err = run("decode", tmp_path / "rec.qrvl", tmp_path / "out.hea")
    assert status == 1 and "out.dat: already exists" in err
    assert (tmp_path / "out.dat").read_bytes() == b"someone's signal file" and not (tmp_path / "out.hea").exists()


@pytest.mark.filterwarnings("ignore::DeprecationWarning:wfdb", "ignore::FutureWarning:wfdb")
@pytest.mark.parametrize("replacing", [False, True], ids=["new", "replacing"])
def test_a_wfdb_record_appears_whole_or_not_at_all(tmp_path, monkeypatch, replacing):
    # The header fails to take its name after the signal file took its own: the folder is
    # left as it was (no lone .dat, no new .dat beside an old header, no hidden leftovers).
    wfdb = pytest.importorskip("wfdb")
    from quorvel_tools import _atomic as atomic
    from quorvel_tools.cli.formats import Signal, write_signal
    t = np.arange(3000) / 250
    new = Signal(data=np.sin(2 * np.pi * t), source="npy", sample_rate=250.0, channel_names=["II"], units=["mV"])
    target = tmp_path / "rec.hea"
    if replacing:
        write_signal(target, Signal(data=0.5 * np.cos(t), source="npy", sample_rate=250.0))
    before = {path.name: path.read_bytes() for path in tmp_path.iterdir()}
    place = atomic._TemporaryOutput._place

    def header_fails(self):
        if self.final.suffix == ".hea":
            raise OSError(5, "injected failure", str(self.final))
        place(self)

    monkeypatch.setattr(atomic._TemporaryOutput, "_place", header_fails)
    with pytest.raises(OSError, match="injected failure"):
        write_signal(target, new)
    assert {path.name: path.read_bytes() for path in tmp_path.iterdir()} == before
    monkeypatch.undo()
    write_signal(target, new)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["rec.dat", "rec.hea"]
    record = wfdb.rdrecord(str(tmp_path / "rec"))
    np.testing.assert_allclose(record.p_signal[:, 0], new.data, atol=1e-4)


# The container is written in small pieces with pauses, so that a signal surely lands mid-write.
SLOW_WRITES = """
import pathlib, time
def write_slowly(self, data):
    with open(self, "wb") as handle:
        for start in range(0, len(data), 1024):
            handle.write(data[start:start + 1024])
            handle.flush()
            time.sleep(0.02)
pathlib.Path.write_bytes = write_slowly
"""
# A hidden name cannot outlive SIGKILL's cleanup; an unnamed file has nothing to clean.
INTERRUPTIONS = [(how, True) for how in ("SIGTERM", "SIGHUP", "SIGINT", "SIGKILL")] + [
    (how, False) for how in ("SIGTERM", "SIGHUP", "SIGINT")]


@pytest.mark.parametrize("how,unnamed", INTERRUPTIONS)
def test_an_interrupted_write_leaves_no_file_behind(tmp_path, how, unnamed):
    np.save(tmp_path / "x.npy", np.random.default_rng(1).standard_normal(20_000))
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    # Without unnamed files the output is written under a hidden name beside the target.
    prelude = SLOW_WRITES + ("" if unnamed else "import os; del os.O_TMPFILE\n")
    args = ["encode", str(tmp_path / "x.npy"), str(tmp_path / "x.qrvl"), "--max-error", "1e-3", "-q"]
    code = prelude + f"import sys; from quorvel_tools.cli import main; sys.exit(main({args!r}))"
    process = subprocess.Popen([sys.executable, "-c", code], env={**os.environ, "TMPDIR": str(scratch)},
                               stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 120
        while not (list(scratch.iterdir()) if unnamed else list(tmp_path.glob(".x.qrvl*"))):
            assert process.poll() is None and time.monotonic() < deadline, "the write never started"
            time.sleep(0.01)
        time.sleep(0.1)
        process.send_signal(getattr(signal, how))
        process.wait(timeout=60)
    finally:
        process.kill()
        process.communicate()
    assert process.returncode != 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["scratch", "x.npy"]
    if how != "SIGKILL":
        assert list(scratch.iterdir()) == []


# Each subcommand on an input that keeps it busy for a few seconds (reading a slow stream for
# info): a signal at any moment stops it at once, with no output and no temporary left behind.
STOPPABLE = {
    "encode": lambda d: ["encode", d / "big.npy", d / "out.qrvl", "--rmse", "0.05", "-q"],
    "decode": lambda d: ["decode", d / "big.qrvl", d / "out.csv", "-q"],
    "report": lambda d: ["report", d / "small.npy", "--out", d / "out", "-q"],
    "info": lambda d: ["info", "-"],
}
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


@pytest.fixture(scope="module")
def busy_inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("busy")
    walk = np.cumsum(np.random.default_rng(3).standard_normal((2, 1_000_000)), axis=1).astype(np.float32)
    np.save(folder / "big.npy", walk)
    np.save(folder / "small.npy", walk[0, :100_000])
    ok("encode", folder / "big.npy", folder / "big.qrvl", "--rmse", "0.05", "-q")
    return folder


def _start(args, folder):
    scratch = folder / "scratch"
    scratch.mkdir(exist_ok=True)
    return subprocess.Popen([sys.executable, "-m", "quorvel_tools.cli", *map(str, args)],
                            env={**os.environ, "TMPDIR": str(scratch)}, stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _feed_slowly(process, blob, seconds):
    """Writes `blob` to the process's standard input over about `seconds`, as a slow pipe would."""
    pieces = 50
    for start in range(0, len(blob), max(1, len(blob) // pieces)):
        if process.poll() is not None:
            break
        with contextlib.suppress(BrokenPipeError):
            process.stdin.write(blob[start:start + max(1, len(blob) // pieces)])
            process.stdin.flush()
        time.sleep(seconds / pieces)


def _outputs(folder, inputs):
    """Every path under `folder` that is not under one of `inputs` (an output takes its name only when it
    is whole, so the names tell a whole output from a partial one)."""
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*") if p.relative_to(folder).parts[0] not in inputs)


def _remove_outputs(folder):
    shutil.rmtree(folder / "out", ignore_errors=True)
    for name in ("out.qrvl", "out.csv"):
        (folder / name).unlink(missing_ok=True)


@pytest.mark.parametrize("command", sorted(STOPPABLE))
def test_a_signal_at_any_moment_stops_every_subcommand_at_once_and_leaves_nothing(busy_inputs, command):
    folder = busy_inputs
    before = sorted({p.name for p in folder.iterdir()} | {"scratch"})
    args = STOPPABLE[command](folder)
    stream = (folder / "big.qrvl").read_bytes()
    started = time.monotonic()
    process = _start(args, folder)  # once to the end: how long the work takes here, and the whole output
    if command == "info":
        _feed_slowly(process, stream, 2.0)
    _, err = process.communicate(timeout=600)
    assert process.returncode == 0, err.decode()
    span = time.monotonic() - started
    whole = _outputs(folder, before)
    rng = np.random.default_rng(len(command))
    for signum in SIGNALS:
        # A run may end before its signal when the machine is quieter than during the timed run: it is
        # run again with the signal sooner.
        for attempt in range(4):
            _remove_outputs(folder)
            process = _start(args, folder)
            feeder = threading.Thread(target=_feed_slowly, args=(process, stream, 2.0), daemon=True)
            if command == "info":
                feeder.start()
            time.sleep(rng.uniform(0.05, 0.8) * span / 2**attempt)
            sent = time.monotonic()
            if process.poll() is None:
                process.send_signal(signum)
            try:
                status = process.wait(timeout=60)
            finally:
                process.kill()
                if feeder.is_alive():
                    feeder.join()
                process.communicate()
            if status != 0:
                break
        assert time.monotonic() - sent < 3, f"{command} took {time.monotonic() - sent:.1f} s to stop"
        # Before the command has set up (Python still importing) the signal's own action ends it.
        assert status in (128 + signum, -signum), (command, signum, status)
        # A signal after the output took its name (the report prints its table after its folder is
        # whole) leaves that output, whole; any other leaves nothing.
        assert _outputs(folder, before) in ([], whole), (command, signum)
        assert list((folder / "scratch").iterdir()) == []


# --- messages ----------------------------------------------------------------------------

@pytest.mark.parametrize("command", ["encode", "decode", "info", "report"])
def test_standard_output_open_on_the_input_is_refused(tmp_path, command):
    np.save(tmp_path / "x.npy", np.sin(np.arange(3000) / 5.0))
    ok("encode", tmp_path / "x.npy", tmp_path / "x.qrvl", "--max-error", "1e-3", "-q")
    given = tmp_path / ("x.npy" if command in ("encode", "report") else "x.qrvl")
    args = {"encode": ["encode", given, "-", "--max-error", "1e-3"], "decode": ["decode", given, "-"],
            "info": ["info", given], "report": ["report", given, "--out", tmp_path / "r"]}[command]
    original = given.read_bytes()
    with open(given, "r+b") as stdout:  # quorvel ... 1<>x.npy
        done = subprocess.run([sys.executable, "-m", "quorvel_tools.cli", *map(str, args)], stdout=stdout,
                              stderr=subprocess.PIPE)
    assert done.returncode == 1 and "is also standard output" in done.stderr.decode()
    assert given.read_bytes() == original and not (tmp_path / "r").exists()


def test_messages_name_the_file_and_the_reason(tmp_path, monkeypatch):
    np.save(tmp_path / "empty.npy", np.zeros(0, np.float32))
    status, _, err = run("encode", tmp_path / "empty.npy", tmp_path / "e.qrvl", "--prd", "1")
    assert status == 1 and "empty.npy: the signal is empty" in err
    np.save(tmp_path / "x.npy", np.sin(np.arange(3000) / 5.0))
    ok("encode", tmp_path / "x.npy", tmp_path / "x.qrvl", "--max-error", "1e-3", "-q")
    (tmp_path / "cut.qrvl").write_bytes((tmp_path / "x.qrvl").read_bytes()[:-10])
    for command in (["decode", tmp_path / "cut.qrvl", tmp_path / "cut.npy"], ["info", tmp_path / "cut.qrvl"]):
        status, _, err = run(*command)
        assert status == 1 and "cut.qrvl: " in err and "truncated" in err, err
    # A folder that does not exist, named as one, is not taken for a file name.
    status, _, err = run("encode", tmp_path / "x.npy", f"{tmp_path / 'nofolder'}/", "--prd", "1")
    assert status == 2 and "nofolder/: no such folder" in err and not (tmp_path / "nofolder").exists()
    # A missing reader names the package pip installs.
    from quorvel_tools.cli.formats import FormatError, base
    monkeypatch.setitem(sys.modules, "pyedflib", None)  # as if it were not installed
    with pytest.raises(FormatError, match=r"pip install pyedflib \(or, in a checkout of quorvel: pip install "):
        base.require("pyedflib", "edf")


def test_a_flac_of_more_channels_than_it_holds_says_so_with_the_users_path(tmp_path):
    pytest.importorskip("soundfile")
    rows = np.sin(np.arange(9 * 2000).reshape(9, 2000) / 9.0) * 0.5
    wav = tmp_path / "nine.wav"
    import soundfile
    soundfile.write(wav, rows.T, 8000, subtype="PCM_16")
    ok("encode", wav, tmp_path / "nine.qrvl", "--max-error", "1e-3", "-q")
    status, _, err = run("decode", tmp_path / "nine.qrvl", tmp_path / "nine.flac")
    assert status == 1 and f"{tmp_path / 'nine.flac'}: FLAC holds at most 8 channels, the signal has 9" in err
    assert "quorvel-" not in err and not (tmp_path / "nine.flac").exists()


def test_inputs_that_are_not_files_say_what_they_are(tmp_path):
    os.mkfifo(tmp_path / "pipe.npy")
    (tmp_path / "folder.npy").mkdir()
    for path, kind in ((tmp_path / "folder.npy", "is a folder"), ("/dev/zero", "is a device"),
                       (tmp_path / "pipe.npy", "is a named pipe")):
        status, _, err = run("encode", path, tmp_path / "out.qrvl", "--prd", "1")
        assert status == 1 and f"{path}: {kind}" in err, err


def test_an_npy_header_claiming_more_than_the_file_holds_is_called_truncated(tmp_path):
    header = np.lib.format.header_data_from_array_1_0(np.zeros(1, np.float32))
    header["shape"] = (10**12,)
    with open(tmp_path / "huge.npy", "wb") as handle:
        np.lib.format.write_array_header_1_0(handle, header)
        handle.write(bytes(100))
    status, _, err = run("encode", tmp_path / "huge.npy", tmp_path / "out.qrvl", "--prd", "1")
    assert status == 1 and "truncated or corrupt .npy file" in err and "memory" not in err


def test_a_full_disk_is_named_with_the_users_path_before_anything_is_written(tmp_path, monkeypatch, capsys):
    from quorvel_tools import _atomic as atomic
    from quorvel_tools.cli import main
    np.save(tmp_path / "x.npy", np.sin(np.arange(50_000) / 9.0).astype(np.float32))
    assert main(["encode", str(tmp_path / "x.npy"), str(tmp_path / "x.qrvl"), "--max-error", "1e-3", "-q"]) == 0
    monkeypatch.setattr(atomic.shutil, "disk_usage", lambda path: shutil._ntuple_diskusage(10**9, 10**9, 1000))
    assert main(["decode", str(tmp_path / "x.qrvl"), str(tmp_path / "y.npy")]) == 1
    err = capsys.readouterr().err
    assert f"{tmp_path / 'y.npy'}: no space left on device: the output takes 200 kB" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.npy", "x.qrvl"]


def test_a_damaged_edf_is_one_line_on_stderr_and_nothing_on_stdout(eeg):
    raw = eeg.read_bytes()
    (eeg.parent / "cut.edf").write_bytes(raw[: len(raw) // 3])
    status, out, err = quorvel("encode", eeg.parent / "cut.edf", eeg.parent / "cut.qrvl", "--prd", "3")
    assert out == b"" and (status == 0 or len(err.strip().splitlines()) == 1), err


def test_a_damaged_edf_header_in_a_qrvl_file_says_which_field(eeg):
    import struct
    import zlib
    ok("encode", eeg, eeg.parent / "a.qrvl", "--prd", "3", "-q")
    raw = (eeg.parent / "a.qrvl").read_bytes()
    length = struct.unpack_from("<I", raw, 8)[0]
    metadata = json.loads(raw[16:16 + length])
    del metadata["extra"]["signal_headers"][0]["digital_max"]
    text = json.dumps(metadata).encode()
    prefix = raw[:8] + struct.pack("<I", len(text))  # a block whose check holds: the JSON itself is wrong
    block = prefix + struct.pack("<I", zlib.crc32(text, zlib.crc32(prefix))) + text
    (eeg.parent / "b.qrvl").write_bytes(block + raw[16 + length:])
    status, _, err = run("decode", eeg.parent / "b.qrvl", eeg.parent / "b.edf")
    assert status == 1 and "damaged EDF header in the .qrvl file: signal 0 has no valid digital_max" in err


def test_an_output_the_system_refuses_is_named_as_the_user_gave_it(tmp_path):
    np.save(tmp_path / "x.npy", np.sin(np.arange(4000) / 9.0))
    target = pathlib.Path("/sys/x.qrvl")  # sysfs takes no new files, not even from root
    if not target.parent.is_dir():
        pytest.skip("no /sys here")
    status, _, err = run("encode", tmp_path / "x.npy", target, "--prd", "1")
    assert status == 1 and err.startswith(f"quorvel encode: error: {target}: ") and ".tmp" not in err


# --- ratio, version, streams, folders, JSON, completion ---------------------------------------

def test_every_ratio_names_its_basis(eeg):
    record = json.loads(ok("encode", eeg, eeg.parent / "a.qrvl", "--prd", "3", "--json"))
    assert record["ratio"] == pytest.approx(eeg.stat().st_size / (eeg.parent / "a.qrvl").stat().st_size)
    assert record["ratio_basis"] == "the input file"
    info = json.loads(ok("info", eeg.parent / "a.qrvl", "--json"))
    assert info["ratio_basis"] == "2-byte edf samples"
    assert "against 2-byte edf samples" in ok("info", eeg.parent / "a.qrvl")


def test_version_names_the_deflate_library_and_the_processor_tier():
    from quorvel_tools import build_info
    assert ok("--version").strip().endswith(f"({build_info()})")


def test_standard_input_and_output_carry_a_whole_round_trip(tmp_path):
    soundfile = pytest.importorskip("soundfile")
    speech, rate = soundfile.read(DATA / "speech_alsa_front_center.wav", dtype="int16")
    status, blob, err = quorvel("encode", "-", "-", "--max-error", "2e-3",
                                stdin=(DATA / "speech_alsa_front_center.wav").read_bytes())
    assert status == 0 and blob[:4] == b"QRVS" and "- -> -" in err
    status, wav, _ = quorvel("decode", "-", "-", stdin=blob)
    (tmp_path / "back.wav").write_bytes(wav)
    back, back_rate = soundfile.read(tmp_path / "back.wav", dtype="int16")
    assert status == 0 and back_rate == rate and back.shape == speech.shape
    assert np.abs(back.astype(int) - speech).max() <= 2e-3 * 2**15


def test_several_inputs_go_into_a_folder_in_their_own_formats(tmp_path, eeg):
    np.save(tmp_path / "b.npy", np.cos(np.arange(3000) / 5.0))
    (tmp_path / "packed").mkdir()
    (tmp_path / "back").mkdir()
    lines = ok("encode", eeg, tmp_path / "b.npy", tmp_path / "packed", "--rmse", "0.01", "--json").splitlines()
    assert [json.loads(line)["output"] for line in lines] == [str(tmp_path / "packed" / n) for n in ("a.qrvl", "b.qrvl")]
    ok("decode", tmp_path / "packed" / "a.qrvl", tmp_path / "packed" / "b.qrvl", tmp_path / "back")
    assert sorted(p.name for p in (tmp_path / "back").iterdir()) == ["a.edf", "b.npy"]
    status, _, err = run("encode", eeg, tmp_path / "b.npy", tmp_path / "c.qrvl", "--prd", "2")
    assert status == 1 and "several inputs need an existing folder" in err


def test_bash_completion_offers_options_and_their_choices():
    if shutil.which("bash") is None:
        pytest.skip("bash is not installed")
    script = ok("completion", "bash")
    probe = script + '\nCOMP_WORDS=(quorvel encode --me); COMP_CWORD=2; _quorvel; echo "${COMPREPLY[@]}"' \
                     '\nCOMP_WORDS=(quorvel encode --method ""); COMP_CWORD=3; _quorvel; echo "${COMPREPLY[@]}"'
    done = subprocess.run(["bash", "-c", probe], capture_output=True, text=True, check=True)
    options, methods = done.stdout.splitlines()
    assert options == "--method" and set(methods.split()) == {"auto", "cdf53", "cdf97", "db4", "sym4"}
