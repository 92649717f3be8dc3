"""What the command's files keep: annotations, targets that hold in the decoded file, layouts, CSV
columns and digits, audio and WFDB, all read back by the libraries people use."""
import math
import pathlib

import numpy as np
import pytest

import quorvel_tools
from test_cli import ok, run

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"
EVENTS = [(0.0, -1.0, "T0"), (3.25, 1.5, "eyes closed")]


def recording_edf(path, suffix=".edf"):
    """An EDF+ (or BDF+) of real signals at mixed rates with two annotations, written by pyedflib:
    ECG at 360 Hz in mV and two EEG stretches at 128 Hz in uV, 10 s each."""
    pyedflib = pytest.importorskip("pyedflib")
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[:3600].astype(np.float64)
    eeg = np.load(DATA / "eeg_fp1_128hz.npy").astype(np.float64)
    signals = [ecg, eeg[:1280], eeg[5000:6280]]
    digital = (-32768, 32767) if suffix == ".edf" else (-8388608, 8388607)
    headers = [pyedflib.highlevel.make_signal_header(label, dimension=unit, sample_frequency=rate,
                                                     physical_min=low, physical_max=high,
                                                     digital_min=digital[0], digital_max=digital[1])
               for label, unit, rate, low, high in (("ECG", "mV", 360, -4, 4), ("Fp1", "uV", 128, -900, 900),
                                                    ("Fp1 later", "uV", 128, -900, 900))]
    header = pyedflib.highlevel.make_header(patientname="anonymous")
    header["annotations"] = [list(event) for event in EVENTS]
    target = path / f"rec{suffix}"
    pyedflib.highlevel.write_edf(str(target), signals, headers, header)
    return target


def read_edf(path):
    pyedflib = pytest.importorskip("pyedflib")
    signals, headers, header = pyedflib.highlevel.read_edf(str(path))
    return signals, headers, header


def figure(kind, x, y):
    error = np.asarray(y, np.float64) - x
    if kind == "max_error":
        return float(np.max(np.abs(error)))
    if kind == "rmse":
        return float(np.sqrt(np.mean(error ** 2)))
    return 100 * float(np.sqrt(np.sum(error ** 2) / np.sum(np.square(x, dtype=np.float64))))


@pytest.mark.parametrize("suffix", [".edf", ".bdf"])
def test_annotations_rates_and_labels_come_back_in_the_decoded_file(tmp_path, suffix):
    source = recording_edf(tmp_path, suffix)
    ok("encode", source, tmp_path / "rec.qrvl", "--max-error", "0.01")
    ok("decode", tmp_path / "rec.qrvl", tmp_path / f"back{suffix}")
    signals, headers, header = read_edf(tmp_path / f"back{suffix}")
    events = [(float(t), float(d), text) for t, d, text in header["annotations"]]
    assert [text for _, _, text in events] == ["T0", "eyes closed"]
    np.testing.assert_allclose([(t, d) for t, d, _ in events], [(t, d) for t, d, _ in EVENTS])
    assert [(h["label"], h["dimension"], h["sample_frequency"]) for h in headers] == [
        ("ECG", "mV", 360), ("Fp1", "uV", 128), ("Fp1 later", "uV", 128)]
    assert [s.size for s in signals] == [3600, 1280, 1280]


@pytest.mark.parametrize("flag, kind, value", [("--prd", "prd", 2.0), ("--rmse", "rmse", 0.3),
                                               ("--max-error", "max_error", 0.5), ("--snr", "prd", 40.0)])
def test_every_target_holds_for_every_channel_of_the_decoded_edf(tmp_path, flag, kind, value):
    source = recording_edf(tmp_path)
    summary = ok("encode", source, tmp_path / "rec.qrvl", flag, str(value))
    ok("decode", tmp_path / "rec.qrvl", tmp_path / "back.edf")
    limit = 100 * 10 ** (-value / 20) if flag == "--snr" else value
    originals, _, _ = read_edf(source)
    decoded, _, _ = read_edf(tmp_path / "back.edf")
    reached = [figure(kind, x, y) for x, y in zip(originals, decoded)]
    assert max(reached) <= limit, reached
    # The summary quotes the decoded file's worst channel (printed to 4 digits).
    quoted = {"max_error": "max error ", "rmse": "RMSE ", "prd": "PRD "}[kind]
    assert float(summary.split(quoted)[1].split()[0].rstrip(",")) == pytest.approx(max(reached), rel=1e-3)


def test_load_reads_what_the_command_writes_and_save_writes_what_it_decodes(tmp_path):
    source = recording_edf(tmp_path)
    ok("encode", source, tmp_path / "rec.qrvl", "--max-error", "0.01")
    loaded = quorvel_tools.load(tmp_path / "rec.qrvl")
    originals, _, _ = read_edf(source)
    assert [s.size for s in loaded.signals] == [3600, 1280, 1280]
    assert (loaded.rates, loaded.labels, loaded.units) == ([360, 128, 128], ["ECG", "Fp1", "Fp1 later"],
                                                           ["mV", "uV", "uV"])
    assert [text for _, _, text in loaded.annotations] == ["T0", "eyes closed"]
    assert max(np.max(np.abs(x - y)) for x, y in zip(originals, loaded.signals)) <= 0.01
    quorvel_tools.save(tmp_path / "again.qrvl", loaded, max_error=0.01)
    with pytest.raises(FileExistsError):
        quorvel_tools.save(tmp_path / "again.qrvl", loaded, max_error=0.01)
    # A recording saved by the kit knows nothing of its source's 16-bit steps: EDF's own, fitted to
    # the EEG's range, are coarser than 0.01 uV, so the command asks for BDF's 24 bits.
    status, _, err = run("decode", tmp_path / "again.qrvl", tmp_path / "again.edf")
    assert status == 1 and "write .bdf" in err and not (tmp_path / "again.edf").exists()
    ok("decode", tmp_path / "again.qrvl", tmp_path / "again.bdf")
    again, _, header = read_edf(tmp_path / "again.bdf")
    assert [t for _, _, t in header["annotations"]] == ["T0", "eyes closed"]
    assert max(np.max(np.abs(x - y)) for x, y in zip(originals, again)) <= 0.02
    blob = (tmp_path / "rec.qrvl").read_bytes()
    for reader in (quorvel_tools.decode, quorvel_tools.decode_array, quorvel_tools.inspect):
        with pytest.raises(ValueError, match="read it with quorvel_tools.load"):
            reader(blob)
    with pytest.raises(ValueError, match="read it with quorvel_tools.decode_array"):
        quorvel_tools.decode(quorvel_tools.encode_array(np.zeros((2, 50), np.float32), max_error=0.1))


def test_time_axis_keeps_lanes_along_time_and_warns_of_a_likely_mistake(tmp_path):
    stereo = np.stack([np.load(DATA / "ecg_mitbih208_360hz.npy")[:100000]] * 2, axis=1).astype(np.float64)
    with pytest.warns(quorvel_tools.LayoutWarning, match="give time_axis=0"):
        lanes_across = quorvel_tools.encode_array(stereo, max_error=0.01)
    frame = quorvel_tools.encode_array(stereo, max_error=0.01, time_axis=0)
    assert len(frame) < stereo.nbytes / 4 < len(lanes_across)
    back = quorvel_tools.decode_array(frame, time_axis=0)
    assert back.shape == stereo.shape and np.max(np.abs(back - stereo)) <= 0.01
    np.save(tmp_path / "tc.npy", stereo)
    status, _, err = run("encode", tmp_path / "tc.npy", tmp_path / "a.qrvl", "--max-error", "0.01")
    assert status == 0 and "give --time-axis 0" in err
    status, _, err = run("encode", tmp_path / "tc.npy", tmp_path / "b.qrvl", "--max-error", "0.01",
                         "--time-axis", "0")
    assert status == 0 and "warning" not in err
    ok("decode", tmp_path / "b.qrvl", tmp_path / "b.npy")
    assert np.load(tmp_path / "b.npy").shape == stereo.shape


def test_csv_keeps_every_row_every_column_the_time_and_the_gaps(tmp_path):
    pandas = pytest.importorskip("pandas")
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[:2000]
    frame = pandas.DataFrame({"time": np.round(np.arange(2000) / 360, 6), "lead": ecg, "double": 2 * ecg})
    frame.loc[[5, 700], "double"] = np.nan
    frame.to_csv(tmp_path / "headed.csv", index=False)  # pandas writes a gap as an empty cell
    frame[["lead"]].to_csv(tmp_path / "bare.csv", index=False, header=False)
    (tmp_path / "na.csv").write_text((tmp_path / "headed.csv").read_text().replace(",\n", ",NA\n"))
    for name in ("headed", "bare", "na"):
        ok("encode", tmp_path / f"{name}.csv", tmp_path / f"{name}.qrvl", "--max-error", "0.001")
        ok("decode", tmp_path / f"{name}.qrvl", tmp_path / f"{name}.out.csv")
    bare = pandas.read_csv(tmp_path / "bare.out.csv", header=None)
    assert bare.shape == (2000, 1) and np.max(np.abs(bare[0] - ecg)) <= 0.001
    for name in ("headed", "na"):
        back = pandas.read_csv(tmp_path / f"{name}.out.csv")
        assert list(back.columns) == ["time", "lead", "double"]
        assert back["time"].tolist() == frame["time"].tolist()  # the time column, exactly
        assert back["double"].isna().tolist() == frame["double"].isna().tolist()
        assert np.nanmax(np.abs(back[["lead", "double"]] - frame[["lead", "double"]])) <= 0.001
    assert "NA" in (tmp_path / "na.out.csv").read_text()


def test_csv_digits_are_the_shortest_that_give_back_the_same_float():
    from quorvel_tools.cli.formats.delimited import shortest_text
    rng = np.random.default_rng(7)
    for dtype in (np.float32, np.float64):
        values = np.concatenate([rng.standard_normal(3000) * 10.0 ** rng.integers(-30, 30, 3000),
                                 [0.1, 1e-45, -0.0, 3.4e38]]).astype(dtype)
        text = shortest_text(values)
        assert (text.astype(np.float64).astype(dtype) == values).all()
        # NumPy's own shortest round-trip digits (Dragon4) are the oracle for the count of digits.
        shortest = [len(np.format_float_scientific(v, unique=True).split("e")[0].lstrip("-").replace(".", ""))
                    for v in values]
        ours = [len(t.split("e")[0].lstrip("-").replace(".", "").strip("0") or "0") for t in text]
        assert ours == shortest


def _shortest_by_text(value, gap):
    """The CSV cell of one value, found the slow way: each count of digits tried on the text."""
    if np.isnan(value):
        return gap
    if np.isinf(value):
        return "inf" if value > 0 else "-inf"
    for digits in range(1, 10):
        text = f"%.{digits}g" % value
        if np.float32(float(text)) == value:
            break
    plain = "%.0f" % value
    if "e+" in text and len(plain.rstrip("0")) <= len(text.split("e")[0].replace(".", "")):
        return plain
    return text


def test_csv_text_is_that_of_trying_each_count_of_digits(tmp_path):
    import csv
    from quorvel_tools.cli.formats import Signal, write_signal
    rng = np.random.default_rng(11)
    values = np.concatenate([
        rng.standard_normal(20000), rng.standard_normal(4000) * 10.0 ** rng.integers(-40, 39, 4000),
        rng.integers(-2**23, 2**23, 4000) / 2**23, np.round(rng.standard_normal(4000) * 1000) / 1000,
        rng.integers(-10**6, 10**6, 2000), 2.0 ** rng.integers(-30, 30, 500), 10.0 ** np.arange(-20, 30),
        [0.0, -0.0, 0.25, 0.125, 2.5, 12.5, 1e-45, 3.4e38, np.nan, np.inf, -np.inf]]).astype(np.float32)
    values = np.concatenate([values, np.frombuffer(rng.bytes(4 * 4000), np.float32)])  # every kind of bits
    rows = values[: values.size // 2 * 2].reshape(2, -1)
    for channels, gap in ((rows[:1], ""), (rows, "NA")):
        signal = Signal(data=channels, source="csv", channel_names=["a", "b"][: len(channels)],
                        units=[""] * len(channels), extra={"gap": gap, "columns": len(channels)})
        write_signal(tmp_path / "out.csv", signal)
        expected = tmp_path / "expected.csv"
        with open(expected, "w", newline="") as handle:  # csv's own quoting, a lone empty cell included
            writer = csv.writer(handle, lineterminator="\n")
            writer.writerow(signal.channel_names)
            writer.writerows(zip(*[[_shortest_by_text(v, gap) for v in row.tolist()] for row in channels]))
        assert (tmp_path / "out.csv").read_text() == expected.read_text()
        (tmp_path / "out.csv").unlink()


@pytest.mark.parametrize("suffix, subtype", [(".flac", "PCM_16"), (".ogg", "VORBIS")])
def test_audio_in_and_out_through_soundfile_with_an_snr_target(tmp_path, suffix, subtype):
    soundfile = pytest.importorskip("soundfile")
    speech = soundfile.read(DATA / "speech_alsa_front_center.wav")[0]
    soundfile.write(tmp_path / f"in{suffix}", np.stack([speech, speech[::-1]], axis=1), 48000, subtype=subtype)
    summary = ok("encode", tmp_path / f"in{suffix}", tmp_path / "s.qrvl", "--snr", "30")
    assert "SNR" in summary
    status, _, err = run("decode", tmp_path / "s.qrvl", tmp_path / f"out{suffix}", *(
        ["--lossy-output"] if subtype == "VORBIS" else []))
    assert status == 0, err
    given, back = soundfile.read(tmp_path / f"in{suffix}")[0], soundfile.read(tmp_path / f"out{suffix}")[0]
    assert soundfile.info(tmp_path / f"out{suffix}").subtype == subtype
    if subtype == "PCM_16":  # a lossless container: the target holds in the file itself
        snr = [-20 * math.log10(figure("prd", x, y) / 100) for x, y in zip(given.T, back.T)]
        assert min(snr) >= 30, snr
    else:  # a lossy one is written only when asked for, and its figures are said
        assert "lossy .ogg output" in err and "PRD" in err


@pytest.mark.filterwarnings("ignore:The inplace keyword:DeprecationWarning")  # wfdb on newer pandas
def test_decode_writes_a_wfdb_record_that_wfdb_reads(tmp_path):
    wfdb = pytest.importorskip("wfdb")
    ecg = np.load(DATA / "ecg_mitbih208_360hz.npy")[:5000].astype(np.float64)
    wfdb.wrsamp("ecg", fs=360, units=["mV", "mV"], sig_name=["MLII", "V1"], p_signal=np.stack([ecg, -ecg], 1),
                fmt=["16", "16"], adc_gain=[200.0, 200.0], baseline=[0, 0], write_dir=str(tmp_path))
    ok("encode", tmp_path / "ecg.hea", tmp_path / "ecg.qrvl", "--rmse", "0.004")
    ok("decode", tmp_path / "ecg.qrvl", tmp_path / "back.hea")
    given, back = wfdb.rdrecord(str(tmp_path / "ecg")), wfdb.rdrecord(str(tmp_path / "back"))
    assert (back.fs, back.sig_name, back.units) == (360, ["MLII", "V1"], ["mV", "mV"])
    assert max(figure("rmse", x, y) for x, y in zip(given.p_signal.T, back.p_signal.T)) <= 0.004
