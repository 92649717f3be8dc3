"""What `quorvel decode` writes holds the recording, or is refused in one line with no file left:
mixed rates, samples beyond full scale, lossy outputs, EDF gaps and padding, and every file read
back before it takes its name. Files are checked with the libraries people read them with."""
import contextlib
import io
import math
import pathlib
import re
import warnings

import numpy as np
import pytest

import quorvel_tools
from quorvel_tools.cli import main

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"
pyedflib = pytest.importorskip("pyedflib")
soundfile = pytest.importorskip("soundfile")
wfdb = pytest.importorskip("wfdb")


def quorvel(*args):
    """Runs the command in this process: (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(arg) for arg in args])
    return status, out.getvalue(), err.getvalue()


def refused(path, *args):
    """The command fails in one line, and leaves no file under `path`'s name or beside it."""
    before = set(path.parent.iterdir())
    status, _, err = quorvel(*args)
    assert status == 1 and err.count("\n") == 1 and err.startswith("quorvel decode: error: "), err
    assert set(path.parent.iterdir()) == before
    return err


def prd(x, y):
    x, y = np.asarray(x, np.float64), np.asarray(y, np.float64)
    return 100 * math.sqrt(np.sum((y - x) ** 2) / np.sum(x ** 2))


def ecg_and_eda():
    """29 s of a real ECG resampled to 1000 Hz (mV) and a slow skin conductance at 100 Hz (uS)."""
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy").astype(np.float64)
    t = np.arange(29000) / 1000
    eda = 2 + 0.5 * np.sin(2 * np.pi * np.arange(2900) / 1700) + 0.1 * np.sin(np.arange(2900) / 37)
    return np.interp(t, np.arange(ecg.size) / 360, ecg), eda


@pytest.fixture
def mixed_edf(tmp_path):
    ecg, eda = ecg_and_eda()
    headers = [pyedflib.highlevel.make_signal_header("ECG", dimension="mV", sample_frequency=1000,
                                                     physical_min=-5, physical_max=5),
               pyedflib.highlevel.make_signal_header("EDA", dimension="uS", sample_frequency=100,
                                                     physical_min=0, physical_max=10)]
    pyedflib.highlevel.write_edf(str(tmp_path / "mixed_rate.edf"), [ecg, eda], headers)
    return tmp_path / "mixed_rate.edf"


def read_edf(path):
    reader = pyedflib.EdfReader(str(path))
    try:
        signals = [reader.readSignal(i) for i in range(reader.signals_in_file)]
        rates = [reader.getSampleFrequency(i) for i in range(reader.signals_in_file)]
        return signals, rates, list(reader.readAnnotations()[2])
    finally:
        reader.close()


def read_wfdb(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        record = wfdb.rdrecord(str(path.with_suffix("")), smooth_frames=False)
    return record.e_p_signal, [record.fs * k for k in record.samps_per_frame]


def test_mixed_rates_go_to_wfdb_frames_and_are_refused_by_audio(mixed_edf):
    folder = mixed_edf.parent
    assert quorvel("encode", mixed_edf, folder / "m.qrvl", "--prd", "2")[0] == 0
    for suffix in (".wav", ".flac"):
        err = refused(folder / f"m{suffix}", "decode", folder / "m.qrvl", folder / f"m{suffix}")
        assert "1000 and 100 Hz" in err and "holds one rate" in err
    status, out, _ = quorvel("decode", folder / "m.qrvl", folder / "m.hea")
    from quorvel_tools._atomic import human_size
    written = sum((folder / name).stat().st_size for name in ("m.hea", "m.dat"))
    assert status == 0 and out.endswith(f", {human_size(written)}\n")  # the record's two files
    signals, rates = read_wfdb(folder / "m.hea")
    originals, _, _ = read_edf(mixed_edf)
    assert rates == [1000, 100] and [s.size for s in signals] == [29000, 2900]
    assert max(prd(x, y) for x, y in zip(originals, signals)) <= 2


def test_split_rates_writes_one_audio_file_per_rate_all_or_none(mixed_edf):
    folder = mixed_edf.parent
    assert quorvel("encode", mixed_edf, folder / "m.qrvl", "--prd", "2")[0] == 0
    status, out, err = quorvel("decode", folder / "m.qrvl", folder / "m.wav", "--split-rates")
    assert status == 0 and f"-> {folder / 'm-1000Hz.wav'}, {folder / 'm-100Hz.wav'}: 2x29000" in out, err
    originals, _, _ = read_edf(mixed_edf)
    for name, original, rate in (("m-1000Hz.wav", originals[0], 1000), ("m-100Hz.wav", originals[1], 100)):
        samples, written_rate = soundfile.read(str(folder / name), dtype="float64")
        assert written_rate == rate and samples.shape == original.shape and prd(original, samples) <= 2
    assert not (folder / "m.wav").exists()
    # One name taken keeps every file of the split from being written.
    (folder / "m-1000Hz.wav").unlink()
    err = refused(folder / "m-1000Hz.wav", "decode", folder / "m.qrvl", folder / "m.wav", "--split-rates")
    assert "m-100Hz.wav: already exists" in err
    # FLAC refuses the ECG's values beyond full scale: neither file appears.
    err = refused(folder / "m-1000Hz.flac", "decode", folder / "m.qrvl", folder / "m.flac", "--split-rates")
    assert f"error: {folder / 'm-1000Hz.flac'}: samples reach" in err


def test_report_draws_a_lower_rate_channel_over_its_own_time(mixed_edf, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from quorvel_tools.cli import report
    from quorvel_tools.cli.formats import read_signal
    drawn = {}
    monkeypatch.setattr(report, "_save", lambda path, figure: drawn.setdefault(path.name, figure) and path)
    results = report.run(read_signal(mixed_edf), channel=1, out=tmp_path / "rep", shown_target=("prd", 2.0))
    whole = drawn["signal.png"].axes[0].lines[0].get_xdata()
    assert whole.size == 2900 and whole[-1] == pytest.approx(28.99)
    # The ratio chart shows the automatic choice the command makes, at each rung of the ladder.
    lines = {line.get_label(): line for line in drawn["ratio.png"].axes[1].lines}
    assert len(lines["auto"].get_xdata()) == 6
    auto_at_2 = next(r for r in results.rows if r.target == "prd" and r.value == 2 and r.method.startswith("auto")
                     and not r.marked)
    assert auto_at_2.ratio in lines["auto"].get_ydata()
    assert auto_at_2.ratio >= max(r.ratio for r in results.rows if r.target == "prd" and r.value == 2
                                  and not r.method.startswith("auto")) * 0.9


@pytest.mark.parametrize("suffix", [".edf", ".bdf", ".hea"])
def test_a_saved_mixed_rate_recording_decodes_at_its_own_rates(tmp_path, suffix):
    ecg, eda = ecg_and_eda()
    recording = quorvel_tools.Recording(signals=[ecg, eda], rates=[1000.0, 100.0], labels=["ECG", "EDA"],
                                        units=["mV", "uS"])
    quorvel_tools.save(tmp_path / "x.qrvl", recording, prd=2)
    assert quorvel_tools.load(tmp_path / "x.qrvl").rates == [1000.0, 100.0]
    assert quorvel("decode", tmp_path / "x.qrvl", tmp_path / f"x{suffix}")[0] == 0
    signals, rates = read_wfdb(tmp_path / "x.hea") if suffix == ".hea" else read_edf(tmp_path / f"x{suffix}")[:2]
    assert rates == [1000, 100] and [s.size for s in signals] == [29000, 2900]
    assert max(prd(x, y) for x, y in zip([ecg, eda], signals)) <= 2


def test_samples_beyond_full_scale_are_written_as_float_or_refused(tmp_path):
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[:20000]  # mV, R peaks past 1
    np.save(tmp_path / "ecg.npy", ecg)
    assert quorvel("encode", tmp_path / "ecg.npy", tmp_path / "ecg.qrvl", "--prd", "2")[0] == 0
    err = refused(tmp_path / "e.flac", "decode", tmp_path / "ecg.qrvl", tmp_path / "e.flac", "--rate", "360")
    assert "beyond the [-1, 1)" in err and ".wav (FLOAT)" in err
    err = refused(tmp_path / "e.wav", "decode", tmp_path / "ecg.qrvl", tmp_path / "e.wav", "--rate", "360",
                  "--subtype", "PCM_16")
    assert "--subtype FLOAT" in err
    assert quorvel("decode", tmp_path / "ecg.qrvl", tmp_path / "e.wav", "--rate", "360")[0] == 0
    back, rate = soundfile.read(tmp_path / "e.wav")
    assert soundfile.info(tmp_path / "e.wav").subtype == "FLOAT" and rate == 360
    assert prd(ecg, back) <= 2


def test_a_lossy_output_is_written_only_when_accepted_and_its_figures_are_said(tmp_path):
    t = np.arange(48000) / 16000
    tone = 0.4 * np.sin(2 * np.pi * 440 * t) * np.exp(-t)
    soundfile.write(tmp_path / "tone.wav", tone, 16000, subtype="PCM_16")
    assert quorvel("encode", tmp_path / "tone.wav", tmp_path / "t.qrvl", "--prd", "2")[0] == 0
    err = refused(tmp_path / "t.ogg", "decode", tmp_path / "t.qrvl", tmp_path / "t.ogg")
    assert "--lossy-output" in err
    status, _, err = quorvel("decode", tmp_path / "t.qrvl", tmp_path / "t.ogg", "--lossy-output", "--quiet")
    assert status == 0
    quoted = float(re.search(r"PRD ([0-9.e+-]+) % against the decoded samples", err)[1])
    decoded = quorvel_tools.load(tmp_path / "t.qrvl").signals[0]
    assert quoted == pytest.approx(prd(decoded, soundfile.read(tmp_path / "t.ogg")[0]), rel=1e-3)


def test_edf_marks_gaps_and_padding_instead_of_inventing_samples(tmp_path):
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[:10050].astype(np.float64)
    gappy = ecg.copy()
    gappy[4000:4100] = np.nan
    quorvel_tools.save(tmp_path / "g.qrvl", quorvel_tools.Recording(signals=[gappy], rates=[1000.0], labels=["ECG"],
                                                                  units=["mV"]), max_error=0.01)
    assert quorvel("decode", tmp_path / "g.qrvl", tmp_path / "g.edf")[0] == 0
    signals, _, notes = read_edf(tmp_path / "g.edf")
    assert signals[0].size == 11000  # whole data records of one second...
    assert notes == ["gap: signal 0 samples 4000-4099", "padding: signal 0 from sample 10050"]  # ...and why
    # The gap is not data: a reader that follows the notes finds it, the command gives it back as NaN,
    # and a file re-encoded from the EDF keeps the true length.
    assert quorvel("encode", tmp_path / "g.edf", tmp_path / "again.qrvl", "--max-error", "0.01")[0] == 0
    again = quorvel_tools.load(tmp_path / "again.qrvl").signals[0]
    assert again.size == 10050 and (np.isnan(again) == np.isnan(gappy)).all()
    assert np.nanmax(np.abs(again - gappy)) <= 0.02


def test_a_float_source_keeps_its_max_error_through_edf_steps(tmp_path):
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[:5000].astype(np.float64)
    (tmp_path / "ecg.csv").write_text("lead\n" + "\n".join(f"{v:.6f}" for v in ecg) + "\n")
    assert quorvel("encode", tmp_path / "ecg.csv", tmp_path / "c.qrvl", "--max-error", "0.003")[0] == 0
    assert quorvel("decode", tmp_path / "c.qrvl", tmp_path / "c.edf", "--rate", "360")[0] == 0
    original = np.loadtxt(tmp_path / "ecg.csv", skiprows=1)
    signals, _, notes = read_edf(tmp_path / "c.edf")
    assert np.max(np.abs(signals[0][:5000] - original)) <= 0.003
    assert notes == ["padding: signal 0 from sample 5000"]


def test_a_file_that_misses_after_writing_is_removed(tmp_path, monkeypatch):
    from quorvel_tools.cli.formats import edf, wav
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[:3000]
    np.save(tmp_path / "ecg.npy", ecg)
    assert quorvel("encode", tmp_path / "ecg.npy", tmp_path / "e.qrvl", "--rmse", "0.01")[0] == 0
    plain_to_digital, plain_encode = edf._to_digital, wav._encode
    monkeypatch.setattr(edf, "_to_digital", lambda row, header: plain_to_digital(row, header) + 40)
    monkeypatch.setattr(wav, "_encode", lambda frames, *rest: plain_encode(frames * 1.05, *rest))
    for suffix in (".edf", ".wav"):
        err = refused(tmp_path / f"e{suffix}", "decode", tmp_path / "e.qrvl", tmp_path / f"e{suffix}", "--rate", "360")
        assert "would not hold the recording" in err and "rmse" in err.lower()


@pytest.mark.parametrize("kept", [{"target": "prd", "value": 2, "room": [[1e9]], "rms": ["x"]},
                                  {"target": "max_error", "value": -1, "room": [[0.1]]},
                                  {"target": "rmse", "value": 1, "room": [[None, 2, 3]]}, "junk"])
def test_a_damaged_kept_target_is_not_trusted(tmp_path, kept):
    from quorvel_tools.cli.formats import Signal
    from quorvel_tools._qrvl import Settings, encode_signal
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[:2000].astype(np.float64)
    signal = Signal(data=ecg, source="npy", sample_rate=360.0, extra={"fidelity": kept})
    (tmp_path / "d.qrvl").write_bytes(encode_signal(signal, Settings.of(method="cdf97", scale=11)))
    # Held to the decoded samples within EDF's steps instead: written, and within them.
    assert quorvel("decode", tmp_path / "d.qrvl", tmp_path / "d.edf")[0] == 0
    decoded = quorvel_tools.load(tmp_path / "d.qrvl").signals[0]
    signals, _, _ = read_edf(tmp_path / "d.edf")
    assert np.max(np.abs(signals[0][:2000] - decoded)) <= (decoded.max() - decoded.min()) / 65535
