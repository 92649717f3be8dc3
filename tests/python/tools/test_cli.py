"""The `quorvel` command run as a user runs it, on files these tests write."""
import csv
import json
import pathlib
import struct
import subprocess
import sys
import wave

import numpy as np
import pytest

import quorvel
import quorvel_tools

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"


def run(*args, cwd=None):
    """Runs `quorvel ARGS`; returns (status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-m", "quorvel_tools.cli", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd)
    return done.returncode, done.stdout, done.stderr


def ok(*args):
    status, out, err = run(*args)
    assert status == 0, err
    return out


def write_wav24(path, frames, rate):
    """(time, channels) floats of full scale -> 24-bit PCM through the standard library."""
    ints = np.rint(frames * 2**23).astype("<i4")
    raw = ints.view(np.uint8).reshape(*ints.shape, 4)[..., :3].tobytes()
    with wave.open(str(path), "wb") as handle:
        handle.setnchannels(frames.shape[1])
        handle.setsampwidth(3)
        handle.setframerate(rate)
        handle.writeframes(raw)
    return ints


def read_wav24(path):
    with wave.open(str(path), "rb") as handle:
        shape = (handle.getnframes(), handle.getnchannels())
        params = (handle.getframerate(), handle.getsampwidth())
        raw = np.frombuffer(handle.readframes(shape[0]), np.uint8).reshape(*shape, 3).astype(np.int32)
    ints = (raw[..., 0] | raw[..., 1] << 8 | raw[..., 2] << 16) << 8 >> 8
    return ints, params


def music(seconds, rate, seed=3):
    """Two channels of decaying partials with a little noise, like a plucked instrument."""
    t = np.arange(int(seconds * rate)) / rate
    rng = np.random.default_rng(seed)
    left = sum(0.3 / k * np.sin(2 * np.pi * 220 * k * t) for k in range(1, 6)) * np.exp(-t)
    right = 0.4 * np.sin(2 * np.pi * 330 * t + 1) * (1 + 0.3 * np.sin(2 * np.pi * 2 * t))
    return np.stack([left, right], axis=1) + 1e-4 * rng.standard_normal((t.size, 2))


def test_every_subcommand_has_help():
    for command in ("encode", "decode", "info", "report"):
        out = ok(command, "--help")
        assert out.startswith(f"usage: quorvel {command}")
    assert "encode" in ok("--help")


def test_pip_installs_the_console_script():
    script = pathlib.Path(sys.executable).with_name("quorvel")
    if not script.exists():
        pytest.skip("the package was not installed with pip in this interpreter's environment")
    done = subprocess.run([str(script), "info", "--help"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.startswith("usage: quorvel info")


def test_stereo_24_bit_wav_round_trips_within_max_error_at_a_third_of_the_size(tmp_path):
    source, packed, back = tmp_path / "in.wav", tmp_path / "in.qrvl", tmp_path / "out.wav"
    original = write_wav24(source, music(2.0, 44100), 44100)
    ok("encode", source, packed, "--max-error", "1e-3")
    assert packed.stat().st_size < source.stat().st_size / 3
    ok("decode", packed, back)
    restored, (rate, width) = read_wav24(back)
    assert (rate, width) == (44100, 3)
    assert restored.shape == original.shape
    # Full scale is 2^23 in 24-bit PCM; the bound holds after rounding to the grid.
    assert np.abs(restored - original).max() / 2**23 <= 1e-3


def test_decode_to_float_wav_on_request(tmp_path):
    write_wav24(tmp_path / "in.wav", music(0.5, 8000), 8000)
    ok("encode", tmp_path / "in.wav", tmp_path / "in.qrvl", "--rmse", "1e-3")
    ok("decode", tmp_path / "in.qrvl", tmp_path / "out.wav", "--subtype", "float")
    raw = (tmp_path / "out.wav").read_bytes()
    tag, channels, rate = struct.unpack_from("<HHI", raw, 20)
    bits = struct.unpack_from("<H", raw, 34)[0]
    assert (tag, channels, rate, bits) == (3, 2, 8000, 32)


def test_ecg_at_prd_2_is_a_plain_container_within_prd(tmp_path):
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")
    np.save(tmp_path / "ecg.npy", ecg)
    ok("encode", tmp_path / "ecg.npy", tmp_path / "ecg.qrvl", "--prd", "2")
    restored = quorvel_tools.decode((tmp_path / "ecg.qrvl").read_bytes())
    x = ecg.astype(np.float64)
    prd = 100 * np.sqrt(np.sum((restored - x) ** 2) / np.sum(x ** 2))
    assert restored.shape == ecg.shape and prd <= 2.0


def test_fixed_settings_give_the_codecs_own_container(tmp_path):
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[:5000]
    np.save(tmp_path / "ecg.npy", ecg)
    ok("encode", tmp_path / "ecg.npy", tmp_path / "ecg.qrvl", "--method", "db4", "--scale", "8", "--cutoff", "high")
    expected = quorvel.compress_signal(ecg, quorvel.TarvoCompressionOptions("db4", 8, "high"))
    assert (tmp_path / "ecg.qrvl").read_bytes() == expected


def test_two_dimensional_npy_keeps_shape_and_each_channel_meets_the_target(tmp_path):
    rng = np.random.default_rng(5)
    scales = np.array([[1e-3], [1.0], [1e3]])  # a quiet channel must not pay for a loud one
    data = np.cumsum(rng.standard_normal((3, 5000)), axis=1) * scales
    np.save(tmp_path / "in.npy", data)
    ok("encode", tmp_path / "in.npy", tmp_path / "in.qrvl", "--prd", "1")
    ok("decode", tmp_path / "in.qrvl", tmp_path / "out.npy")
    restored = np.load(tmp_path / "out.npy")
    assert restored.shape == data.shape
    prd = 100 * np.sqrt(np.sum((restored - data) ** 2, axis=1) / np.sum(data ** 2, axis=1))
    assert (prd <= 1.0).all()


def test_byte_budget_is_kept(tmp_path):
    np.save(tmp_path / "ecg.npy", np.load(DATA / "ecg_mitbih208_360hz.npy"))
    ok("encode", tmp_path / "ecg.npy", tmp_path / "ecg.qrvl", "--bytes", "20000")
    assert (tmp_path / "ecg.qrvl").stat().st_size <= 20000


def test_csv_column_round_trips_within_rmse(tmp_path):
    t = np.arange(3000)
    pressure = 1013 + 5 * np.sin(t / 50) + np.random.default_rng(2).normal(0, 0.1, t.size)
    with open(tmp_path / "log.csv", "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["time", "pressure", "temperature"])
        writer.writerows([f"2026-01-01T00:{i // 60:02d}:{i % 60:02d}", f"{p:.4f}", f"{20 + i / 1000:.3f}"]
                         for i, p in enumerate(pressure))
    ok("encode", tmp_path / "log.csv", tmp_path / "all.qrvl", "--rmse", "0.05")
    ok("decode", tmp_path / "all.qrvl", tmp_path / "all.csv")
    with open(tmp_path / "all.csv", newline="") as handle:
        assert next(csv.reader(handle)) == ["time", "pressure", "temperature"]
    ok("encode", tmp_path / "log.csv", tmp_path / "log.qrvl", "--rmse", "0.05", "--column", "pressure")
    ok("decode", tmp_path / "log.qrvl", tmp_path / "out.csv")
    with open(tmp_path / "out.csv", newline="") as handle:
        rows = list(csv.reader(handle))
    restored = np.array([float(r[0]) for r in rows[1:]])
    given = np.round(pressure, 4)
    assert rows[0] == ["pressure"] and len(rows) == 3001
    assert np.sqrt(np.mean((restored - given) ** 2)) <= 0.05
    # The column's name rides after the container, where decoders do not look.
    direct = quorvel_tools.decode((tmp_path / "log.qrvl").read_bytes())
    np.testing.assert_array_equal(direct, restored.astype(np.float32))


def test_edf_with_four_channels_round_trips_within_max_error(tmp_path):
    pyedflib = pytest.importorskip("pyedflib")
    rate, seconds = 256, 20
    t = np.arange(rate * seconds) / rate
    rng = np.random.default_rng(4)
    signals = np.stack([40 * np.sin(2 * np.pi * f * t) + 5 * rng.standard_normal(t.size) for f in (2, 6, 10, 13)])
    headers = pyedflib.highlevel.make_signal_headers(["Fp1", "Fp2", "C3", "C4"], dimension="uV",
                                                     sample_frequency=rate, physical_min=-100, physical_max=100)
    pyedflib.highlevel.write_edf(str(tmp_path / "eeg.edf"), signals, headers)
    given, given_headers, _ = pyedflib.highlevel.read_edf(str(tmp_path / "eeg.edf"))
    ok("encode", tmp_path / "eeg.edf", tmp_path / "eeg.qrvl", "--max-error", "0.5")
    ok("decode", tmp_path / "eeg.qrvl", tmp_path / "out.edf")
    restored, restored_headers, _ = pyedflib.highlevel.read_edf(str(tmp_path / "out.edf"))
    assert [h["label"] for h in restored_headers] == ["Fp1", "Fp2", "C3", "C4"]
    assert {h["sample_frequency"] for h in restored_headers} == {rate}
    assert restored.shape == given.shape
    assert np.abs(restored - given).max() <= 0.5


# wfdb's pandas calls warn about pandas' own deprecations.
@pytest.mark.filterwarnings("ignore::DeprecationWarning:wfdb", "ignore::FutureWarning:wfdb")
def test_wfdb_record_round_trips_within_max_error(tmp_path):
    wfdb = pytest.importorskip("wfdb")
    t = np.arange(3600) / 360
    signal = np.stack([np.sin(2 * np.pi * 1.2 * t) ** 15, 0.5 * np.cos(2 * np.pi * 0.3 * t)], axis=1)
    wfdb.wrsamp("rec", fs=360, units=["mV", "mV"], sig_name=["MLII", "V5"], p_signal=signal,
                fmt=["212", "212"], write_dir=str(tmp_path))
    given = wfdb.rdrecord(str(tmp_path / "rec")).p_signal.T
    ok("encode", tmp_path / "rec.hea", tmp_path / "rec.qrvl", "--max-error", "0.01")
    ok("decode", tmp_path / "rec.qrvl", tmp_path / "out.npy")
    info = json.loads(ok("info", tmp_path / "rec.qrvl", "--json"))
    assert (info["sample_rate"], info["channel_names"], info["units"]) == (360, ["MLII", "V5"], ["mV", "mV"])
    assert np.abs(np.load(tmp_path / "out.npy") - given).max() <= 0.01


def test_info_shows_the_fields_as_text_and_json(tmp_path):
    write_wav24(tmp_path / "in.wav", music(0.5, 8000), 8000)
    ok("encode", tmp_path / "in.wav", tmp_path / "in.qrvl", "--max-error", "1e-3", "--method", "sym4")
    text = ok("info", tmp_path / "in.qrvl")
    for field in ("layout:", "channels:", "sample_count:", "ratio:", "method sym4"):
        assert field in text
    info = json.loads(ok("info", tmp_path / "in.qrvl", "--json"))
    size = (tmp_path / "in.qrvl").stat().st_size
    assert (info["layout"], info["channels"], info["sample_count"], info["size"]) == ("frame", 2, 8000, size)
    assert info["ratio"] == pytest.approx(8000 * 3 / size)  # against the 24-bit samples
    assert [lane["method"] for lane in info["lanes"]] == ["sym4", "sym4"]
    # Version 2, the default with a target, shows its coding instead of wavelet settings.
    ok("encode", tmp_path / "in.wav", tmp_path / "v2.qrvl", "--max-error", "1e-3")
    assert "version 2, mode " in ok("info", tmp_path / "v2.qrvl")
    info = json.loads(ok("info", tmp_path / "v2.qrvl", "--json"))
    assert [(lane["version"], lane["blocks"]) for lane in info["lanes"]] == [(2, 1), (2, 1)]


def test_report_writes_readable_pictures_and_a_page(tmp_path):
    image = pytest.importorskip("matplotlib.image")
    np.save(tmp_path / "ecg.npy", np.load(DATA / "ecg_mitbih208_360hz.npy")[:3000])
    out = ok("report", tmp_path / "ecg.npy", "--out", tmp_path / "rep", "--prd", "2", "--quiet")
    title, header = out.splitlines()[0], out.splitlines()[1].split()
    assert title == "ecg.npy, channel 0 (* marks the target asked for)"
    assert out.splitlines()[-1].split()[:3] == ["*", "prd", "2"]
    assert header == ["target", "method", "ratio_f32", "max_error", "rmse", "prd_%", "encode_ms", "decode_ms"]
    assert {"cdf53", "cdf97", "db4", "sym4"} <= set(out.split())
    page = (tmp_path / "rep" / "index.html").read_text()
    for name in ("ratio.png", "signal.png", "error.png"):
        png = tmp_path / "rep" / name
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert image.imread(png).shape[0] >= 300
        assert f'src="{name}"' in page


def test_max_error_zero_gives_every_sample_back_bit_for_bit(tmp_path):
    given = np.load(DATA / "ecg_mitbih208_360hz.npy")[:5000].copy()
    given[7] = -0.0
    np.save(tmp_path / "x.npy", given)
    ok("encode", tmp_path / "x.npy", tmp_path / "x.qrvl", "--max-error", "0")
    ok("decode", tmp_path / "x.qrvl", tmp_path / "y.npy")
    assert np.load(tmp_path / "y.npy").tobytes() == given.tobytes()


BAD = {
    "missing file": (["encode", "{d}/absent.npy", "{d}/out.qrvl", "--prd", "1"], 1, "absent.npy: no such file"),
    "unreadable wav": (["encode", "{d}/junk.wav", "{d}/out.qrvl", "--prd", "1"], 1, "not a WAV file"),
    "unknown input": (["encode", "{d}/junk.xyz", "{d}/out.qrvl", "--prd", "1"], 1, "unknown input format"),
    "empty signal": (["encode", "{d}/empty.npy", "{d}/out.qrvl", "--prd", "1"], 1, "empty"),
    "negative target": (["encode", "{d}/ok.npy", "{d}/out.qrvl", "--max-error", "-1"], 2, "must be zero or a positive"),
    "unreachable": (["encode", "{d}/ok.npy", "{d}/out.qrvl", "--bytes", "10"], 1, "error:"),
    "no target": (["encode", "{d}/ok.npy", "{d}/out.qrvl"], 2, "give a target"),
    "corrupt container": (["decode", "{d}/cut.qrvl", "{d}/out.npy"], 1, "error:"),
    "not a container": (["decode", "{d}/junk.wav", "{d}/out.npy"], 1, "not a quorvel file"),
    "bad metadata": (["decode", "{d}/meta.qrvl", "{d}/out.npy"], 1, "metadata"),
    "unknown output": (["decode", "{d}/ok.qrvl", "{d}/out.mp3"], 1, "unknown output format"),
    "no rate for wav": (["decode", "{d}/ok.qrvl", "{d}/out.wav"], 1, "--rate"),
    "corrupt info": (["info", "{d}/cut.qrvl"], 1, "error:"),
}


@pytest.fixture
def bad_inputs(tmp_path):
    (tmp_path / "junk.wav").write_bytes(b"this is not audio")
    (tmp_path / "junk.xyz").write_bytes(b"1,2,3")
    np.save(tmp_path / "empty.npy", np.zeros(0, np.float32))
    np.save(tmp_path / "ok.npy", np.sin(np.arange(4000) / 9.0).astype(np.float32))
    ok("encode", tmp_path / "ok.npy", tmp_path / "ok.qrvl", "--max-error", "1e-3")
    blob = (tmp_path / "ok.qrvl").read_bytes()
    (tmp_path / "cut.qrvl").write_bytes(blob[: len(blob) // 2])
    (tmp_path / "meta.qrvl").write_bytes(b"QRVS\x01\0\0\0" + struct.pack("<I", 5) + b"{oops" + blob)
    return tmp_path


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_input_is_one_line_a_status_and_no_output(bad_inputs, case):
    args, status, text = BAD[case]
    before = set(bad_inputs.iterdir())
    got, out, err = run(*(a.format(d=bad_inputs) for a in args))
    assert got == status
    assert text in err and "Traceback" not in err
    assert 1 <= len(err.strip().splitlines()) <= 2
    assert set(bad_inputs.iterdir()) == before  # no output and no temporary file left behind


def test_a_failure_leaves_an_existing_output_untouched(bad_inputs):
    target = bad_inputs / "keep.npy"
    target.write_bytes(b"precious")
    status, _, _ = run("decode", bad_inputs / "cut.qrvl", target, "--force")
    assert status == 1 and target.read_bytes() == b"precious"


def test_quiet_encode_prints_nothing_and_piped_stderr_has_no_progress(tmp_path):
    np.save(tmp_path / "ok.npy", np.sin(np.arange(4000) / 9.0))
    status, out, err = run("encode", tmp_path / "ok.npy", tmp_path / "ok.qrvl", "--prd", "1", "--quiet")
    assert (status, out, err) == (0, "", "")
    status, out, err = run("encode", tmp_path / "ok.npy", tmp_path / "ok.qrvl", "--prd", "1", "--force")
    assert status == 0 and err == "" and "PRD" in out


def test_damaged_files_fail_in_one_line_whatever_the_damage(tmp_path, capsys):
    from quorvel_tools.cli import main
    data = np.sin(np.arange(3000) / 11.0).reshape(3, 1000)
    data[1, 100:120] = np.nan
    np.save(tmp_path / "in.npy", data)
    assert main(["encode", str(tmp_path / "in.npy"), str(tmp_path / "in.qrvl"), "--rmse", "1e-3", "-q"]) == 0
    blob = (tmp_path / "in.qrvl").read_bytes()
    rng = np.random.default_rng(11)
    damaged = [blob[:n] for n in rng.integers(0, len(blob), 15)]
    for _ in range(25):
        flipped = bytearray(blob)
        flipped[rng.integers(0, len(blob))] ^= 1 << int(rng.integers(0, 8))
        damaged.append(bytes(flipped))
    for index, bad in enumerate(damaged):
        (tmp_path / "bad.qrvl").write_bytes(bad)
        capsys.readouterr()
        for args in (["decode", str(tmp_path / "bad.qrvl"), str(tmp_path / "out.npy"), "-q"],
                     ["info", str(tmp_path / "bad.qrvl")]):
            status = main(args)
            err = capsys.readouterr().err
            # A flip inside a lane's samples may still decode; anything else is one line and status 1.
            assert status == 0 or (status == 1 and len(err.strip().splitlines()) == 1), (index, args, err)
        (tmp_path / "out.npy").unlink(missing_ok=True)


def test_edf_signals_of_different_rates_come_back_at_their_own_rates(tmp_path):
    pyedflib = pytest.importorskip("pyedflib")
    seconds = 30
    eeg = 50 * np.sin(2 * np.pi * 10 * np.arange(256 * seconds) / 256)
    breath = 400 * np.sin(2 * np.pi * 0.25 * np.arange(32 * seconds) / 32)
    headers = [pyedflib.highlevel.make_signal_header("EEG", dimension="uV", sample_frequency=256,
                                                     physical_min=-100, physical_max=100),
               pyedflib.highlevel.make_signal_header("Resp", dimension="mV", sample_frequency=32,
                                                     physical_min=-500, physical_max=500)]
    pyedflib.highlevel.write_edf(str(tmp_path / "psg.edf"), [eeg, breath], headers)
    given, _, _ = pyedflib.highlevel.read_edf(str(tmp_path / "psg.edf"))
    ok("encode", tmp_path / "psg.edf", tmp_path / "psg.qrvl", "--max-error", "0.2")
    ok("decode", tmp_path / "psg.qrvl", tmp_path / "out.bdf")
    restored, restored_headers, _ = pyedflib.highlevel.read_edf(str(tmp_path / "out.bdf"))
    assert [h["sample_frequency"] for h in restored_headers] == [256, 32]
    for got, want in zip(restored, given):
        assert got.shape == want.shape and np.abs(got - want).max() <= 0.2


def test_a_budget_too_small_for_a_multichannel_file_names_the_total_to_ask_for(tmp_path):
    eeg = np.load(DATA / "eeg_fp1_128hz.npy")[:60000].astype(np.float32).reshape(3, 20000)
    np.save(tmp_path / "eeg.npy", eeg)
    status, _, err = run("encode", tmp_path / "eeg.npy", tmp_path / "a.qrvl", "--bytes", "100")
    assert status == 1 and "Can't fit this file in 100 bytes: ask for " in err, err
    needed = int(err.split("ask for ")[1].split()[0])
    ok("encode", tmp_path / "eeg.npy", tmp_path / "b.qrvl", "--bytes", needed)
    assert (tmp_path / "b.qrvl").stat().st_size <= needed
