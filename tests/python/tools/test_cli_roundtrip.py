"""Round trips through the command: random recordings (1 to 16 channels, mixed rates, lengths that are
not whole records, values far beyond full scale, runs of NaN) saved by the kit, decoded by
`quorvel decode` into every output format for every kind of target. Each decode ends in a file
that holds the recording within its target, read back by the library people read that format
with, or in a refusal: a non-zero exit, one line, and no file."""
import math
import re
import warnings

import numpy as np
import pytest

import quorvel_tools
from quorvel_tools.cli import main
from quorvel_tools.errors import UnreachableTargetError

pyedflib = pytest.importorskip("pyedflib")
soundfile = pytest.importorskip("soundfile")
wfdb = pytest.importorskip("wfdb")

OUTPUTS = (".npy", ".wav", ".flac", ".ogg", ".csv", ".edf", ".bdf", ".hea")
TARGETS = ("max_error", "rmse", "prd", "max_bytes")
CASES = 64


def recording(rng):
    """Channels at one to three rates, of one duration that is not a whole number of seconds (or,
    now and then, of lengths of their own), scaled from millivolts to thousands, some with NaN runs."""
    count = int(rng.integers(1, 17))
    base = int(rng.choice([50, 100, 128]))
    mixed = rng.random() < 0.5
    rates = [base * int(rng.choice([1, 2, 4])) if mixed else base for _ in range(count)]
    duration = float(rng.uniform(0.4, 2.6))
    own_lengths = rng.random() < 0.2
    signals = []
    for rate in rates:
        n = max(8, int(duration * rate * (rng.uniform(0.5, 1) if own_lengths else 1)))
        t = np.arange(n) / rate
        scale = 10.0 ** rng.uniform(-2, 3)
        x = scale * (np.sin(2 * np.pi * rng.uniform(0.5, 8) * t) + 0.3 * rng.standard_normal(n)) + scale * rng.normal()
        if rng.random() < 0.3:
            start = int(rng.integers(0, n - 3))
            x[start:start + int(rng.integers(1, max(2, n // 5)))] = np.nan
        signals.append(x)
    return quorvel_tools.Recording(signals=signals, rates=[float(r) for r in rates],
                                   labels=[f"c{i}" for i in range(count)], units=["mV"] * count)


def target(kind, rec, rng):
    peak = max(float(np.nanmax(np.abs(s))) for s in rec.signals)
    if kind == "max_error":
        return peak * 10.0 ** rng.uniform(-3, -1.5)
    if kind == "rmse":
        return peak * 10.0 ** rng.uniform(-3.5, -2)
    if kind == "prd":
        return float(rng.uniform(0.5, 8))
    return int(sum(s.size for s in rec.signals) * rng.uniform(0.5, 2)) + 400


def read_back(path, suffix):
    """(channels, rates) as the format's own library reads the file."""
    if suffix == ".npy":
        data = np.load(path)
        return list(data.reshape(1, -1) if data.ndim == 1 else data), None
    if suffix in (".wav", ".flac", ".ogg"):
        data, rate = soundfile.read(path, always_2d=True)
        return list(data.T), [float(rate)] * data.shape[1]
    if suffix == ".csv":
        import csv
        with open(path, newline="") as handle:
            rows = list(csv.reader(handle))[1:]
        return [np.array([float(cell) if cell else np.nan for cell in column]) for column in zip(*rows)], None
    if suffix == ".hea":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            record = wfdb.rdrecord(str(path.with_suffix("")), smooth_frames=False)
        return list(record.e_p_signal), [record.fs * k for k in record.samps_per_frame]
    return read_edf(path)


def read_edf(path):
    """pyedflib's signals, with the gaps and the padding of the last record that annotations mark."""
    reader = pyedflib.EdfReader(str(path))
    signals = [reader.readSignal(i) for i in range(reader.signals_in_file)]
    rates = [reader.getSampleFrequency(i) for i in range(reader.signals_in_file)]
    texts = reader.readAnnotations()[2]
    reader.close()
    for text in texts:
        if gap := re.fullmatch(r"gap: signal (\d+) samples (\d+)-(\d+)", text):
            signals[int(gap[1])][int(gap[2]):int(gap[3]) + 1] = np.nan
    for text in texts:
        if end := re.fullmatch(r"padding: signal (\d+) from sample (\d+)", text):
            signals[int(end[1])] = signals[int(end[1])][:int(end[2])]
    return signals, rates


def figure(kind, x, y):
    finite = np.isfinite(x)
    error = y[finite] - x[finite]
    if kind == "max_error":
        return float(np.max(np.abs(error), initial=0))
    rmse = math.sqrt(float(np.mean(error ** 2))) if error.size else 0.0
    return rmse if kind == "rmse" else 100 * rmse / math.sqrt(float(np.mean(x[finite] ** 2)))


def holds(rec, decoded, kind, value, channels, rates, suffix):
    """Whether the file read back holds every channel: its length, rate, gaps and the target (for a
    byte budget: the decoded samples, within the steps of a 16-bit file over the channel's range)."""
    assert len(channels) == len(rec.signals), suffix
    for x, d, y, rate, index in zip(rec.signals, decoded.signals, channels, rec.rates, range(len(rec.rates))):
        y = np.asarray(y, np.float64)
        assert y.size >= x.size and np.isnan(y[x.size:]).all(), (suffix, index, y.size, x.size)
        y = y[:x.size]
        if rates is not None:
            assert rates[index] == pytest.approx(rate), (suffix, index)
        assert (np.isnan(x) == np.isnan(y)).all(), (suffix, index)
        if kind != "max_bytes":
            assert figure(kind, x, y) <= value * (1 + 1e-9), (suffix, index, kind, figure(kind, x, y), value)
        elif np.isfinite(d).any():
            span, peak = np.nanmax(d) - np.nanmin(d), np.nanmax(np.abs(d))
            assert figure("max_error", d, y) <= span / 30000 + 1e-6 * peak, (suffix, index)


def test_every_decode_holds_the_recording_or_says_why_not(tmp_path, capsys):
    outcomes = {"written": 0, "refused": 0}
    for case in range(CASES):
        rng = np.random.default_rng(1000 + case)
        suffix, kind = OUTPUTS[case % len(OUTPUTS)], TARGETS[(case // len(OUTPUTS)) % len(TARGETS)]
        rec = recording(rng)
        value = target(kind, rec, rng)
        packed = tmp_path / f"{case}.qrvl"
        try:
            quorvel_tools.save(packed, rec, **{kind: value})
        except UnreachableTargetError:
            continue
        out = tmp_path / f"out{case}{suffix}"
        capsys.readouterr()
        status = main(["decode", str(packed), str(out), "--quiet"])
        err = capsys.readouterr().err
        if status == 0:
            holds(rec, quorvel_tools.load(packed), kind, value, *read_back(out, suffix), suffix)
            outcomes["written"] += 1
        else:
            assert status == 1 and err.count("\n") == 1 and err.startswith("quorvel decode: error: "), err
            assert not out.exists() and not out.with_suffix(".dat").exists(), suffix
            outcomes["refused"] += 1
    assert outcomes["written"] >= CASES // 2, outcomes
