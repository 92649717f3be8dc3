"""Sizes that run the right way: a looser target never codes larger, nor the best effort larger than the default.

The targets are the benchmark's ladder (each about three times the next) relative to the signal's range; the
signals are random ones of the kinds that broke these rules before (integer-valued smooth signals, whose loose
bounds took whole multiples of their grid over the scaled quantiser) and the real signals of tests/data.
"""

import pathlib

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import quorvel_tools

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"
LADDER = {"max_error": [1e-2, 3e-3, 1e-3, 3e-4, 1e-4], "rmse": [3e-3, 1e-3, 3e-4, 1e-4]}


def kinds_of_signal(kind, n, rng):
    t = np.arange(n)
    walk = np.cumsum(rng.normal(size=n))
    if kind == "smooth integers":  # an ADC's counts of a slow wave
        return np.round(1000 * np.sin(t / rng.uniform(50, 500)) + rng.normal(size=n))
    if kind == "integer walk":
        return np.round(3 * walk)
    if kind == "tenths":  # a logger's readings to one decimal
        return np.round(walk * 10) / 10
    if kind == "heavy tails":
        return rng.standard_t(2, size=n)
    return walk


def sizes(x, kind, effort):
    span = float(np.ptp(x.astype(np.float64)))
    return [len(quorvel_tools.encode(x, **{kind: f * span}, effort=effort)) for f in LADDER[kind]]


def assert_loosest_smallest(x, kind, effort):
    got = sizes(x, kind, effort)
    # Loosest first: every size at most the next (tighter) one's.
    assert all(a <= b for a, b in zip(got, got[1:])), (kind, effort, got)
    return got


@settings(max_examples=12, deadline=None)
@given(kind=st.sampled_from(["smooth integers", "integer walk", "tenths", "heavy tails", "walk"]),
       n=st.integers(2000, 40000), seed=st.integers(0, 2**32 - 1), target=st.sampled_from(["max_error", "rmse"]))
def test_a_looser_target_never_codes_larger_and_best_never_larger_than_default(kind, n, seed, target):
    x = kinds_of_signal(kind, n, np.random.default_rng(seed)).astype(np.float32)
    default = assert_loosest_smallest(x, target, "default")
    best = assert_loosest_smallest(x, target, "best")
    assert all(b <= d for b, d in zip(best, default)), (best, default)
    assert_loosest_smallest(x, target, "fast")


@pytest.mark.parametrize("name", ["ecg_mitbih208_360hz", "speech_alsa_front_center_48k", "eeg_fp1_128hz", "co2_weekly_mauna_loa"])
def test_real_signals_code_smaller_at_looser_targets(name):
    x = np.load(DATA / f"{name}.npy").astype(np.float32)[:50000]
    for kind in LADDER:
        default = assert_loosest_smallest(x, kind, "default")
        best = sizes(x, kind, "best")
        assert all(b <= d for b, d in zip(best, default)), (kind, best, default)


def test_a_slow_integer_signal_at_a_loose_bound_takes_the_scaled_quantiser():
    # Counts of a slow wave: whole multiples of the count keep every value exact, but the scaled
    # quantiser's residuals are almost all 0, several times smaller.
    t = np.arange(20000)
    x = np.round(1000 * np.sin(t / 300.0) + np.random.default_rng(5).normal(size=t.size)).astype(np.float32)
    blob = quorvel_tools.encode(x, max_error=0.01 * float(np.ptp(x)))
    assert blob[6] & 0x0F in (5, 6)  # the coding in the mode byte: scaled residuals, cubic or linear
    assert np.max(np.abs(quorvel_tools.decode(blob).astype(np.float64) - x)) <= 0.01 * float(np.ptp(x))


@pytest.mark.parametrize("rmse", [0.8, 1.0])
def test_counts_under_an_rmse_target_near_one_count_are_quantised_not_kept_exact(rmse):
    # An ADC's counts sit on a power-of-two grid, as the encoder's own quantised signals do; at an RMSE
    # of about one count they were kept exactly, larger than a max-error container that meets the target.
    t = np.arange(20000)
    x = np.round(300 * np.sin(t / 40.0) + 3 * np.random.default_rng(11).normal(size=t.size)).astype(np.float32)
    blob = quorvel_tools.encode(x, rmse=rmse)
    y = quorvel_tools.decode(blob).astype(np.float64)
    assert 0 < np.sqrt(np.mean((y - x) ** 2)) <= rmse
    bound = quorvel_tools.encode(x, max_error=rmse)  # meets the RMSE target too
    assert len(blob) <= len(bound) < len(quorvel_tools.encode(x, max_error=0))
    assert quorvel_tools.encode(quorvel_tools.decode(blob), rmse=rmse) == blob
