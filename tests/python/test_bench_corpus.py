"""The benchmark corpus catalogue (bench/corpus.json) and the sample handling of bench/corpus.py.

The data packages are not needed: the catalogue is checked as committed, and the scaling onto
grids runs on hand-made integer and float sources.
"""
import json
import pathlib
import sys

import numpy as np
import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
import corpus  # noqa: E402
from corpus_sources import SOURCES, Signal  # noqa: E402


def test_catalogue_follows_the_split_rule_and_documents_every_signal():
    signals = json.loads((BENCH / "corpus.json").read_text())["signals"]
    assert sorted(e["name"] for e in signals) == sorted(s.name for s in SOURCES)
    recorded = {e["name"]: e["half"] for e in signals}
    recomputed = [dict(e, half=None) for e in signals]
    corpus.assign_halves(recomputed)
    assert {e["name"]: e["half"] for e in recomputed} == recorded
    for layout in ("1-D", "multi"):
        members = [e for e in signals if e["layout"] == layout]
        kinds = {e["kind"] for e in members} if layout == "1-D" else {"any"}
        for kind in kinds:
            halves = {e["half"] for e in members if kind in ("any", e["kind"])}
            assert halves == {"tuning", "checking"}, (layout, kind)
    for e in signals:
        assert e["licence"] and e["origin"]["version"] and e["origin"]["path"], e["name"]
        assert len(e["sha256"]) == 64 and 0 < e["samples"] <= corpus.MAX_SAMPLES
        assert (e["channels"] > 1) == (e["layout"] == "multi")


def test_integer_sources_are_stored_exactly_on_their_grid(monkeypatch):
    pcm24 = np.array([-(2**23), -1, 0, 1, 2**23 - 1], dtype=np.int32)
    signal = Signal(pcm24, 44100.0, scale=2.0**-23, bits=24)
    samples = corpus.as_float32(signal)
    assert samples.dtype == np.float32
    assert np.array_equal(samples.astype(np.float64), pcm24 / 2.0**23)
    assert corpus.grid_step(signal, samples) == 2.0**-23

    counts = Signal(np.array([-48, 16, 32, 1600], dtype=np.int64), 2048.0)
    assert corpus.grid_step(counts, corpus.as_float32(counts)) == 16.0

    with pytest.raises(ValueError, match="2\\^24"):
        corpus.as_float32(Signal(np.array([0, 2**24], dtype=np.int64), 1.0))

    monkeypatch.setattr(corpus, "MAX_SAMPLES", 3)
    stereo = Signal(np.arange(10, dtype=np.int16).reshape(2, 5), 1.0)
    assert corpus.as_float32(stereo).tolist() == [[0, 1, 2], [5, 6, 7]]


def test_a_float_grid_is_recorded_only_where_the_values_sit_on_it():
    on_grid = np.array([3.83, 3.84, 7.63, 5.0])
    signal = Signal(on_grid, 128.0, grid=0.01)
    assert corpus.grid_step(signal, corpus.as_float32(signal)) == 0.01
    off_grid = Signal(on_grid + 0.004, 128.0, grid=0.01)
    assert corpus.grid_step(off_grid, corpus.as_float32(off_grid)) is None
    assert corpus.grid_step(Signal(on_grid, 1.0), corpus.as_float32(Signal(on_grid, 1.0))) is None
