"""Shared helpers for the quorvel Python tests."""
import contextlib
import pathlib
import re

import numpy as np
import pytest

DATA_DIR = pathlib.Path(__file__).resolve().parents[1] / "data"


@contextlib.contextmanager
def raises_exactly(exc_type, text):
    """Expects an exception of exactly `exc_type` whose message is exactly `text`."""
    with pytest.raises(exc_type, match=re.escape(text)) as info:
        yield info
    assert type(info.value) is exc_type
    assert str(info.value) == text


def make_signal(length, seed=0):
    """A float32 signal with structure at several scales plus noise.

    The oscillations are fast enough (periods of 7 to 60 samples) that the
    average over any long window is close to the mean, so the coarse
    approximation coefficients stay far from the 16-bit clipping limits.
    """
    rng = np.random.default_rng(seed)
    t = np.arange(length, dtype=np.float64)
    signal = (np.sin(2 * np.pi * t / 60.0) + 0.5 * np.sin(2 * np.pi * t / 7.3)
              + 0.2 * rng.standard_normal(length))
    return (3.0 * signal - 1.5).astype(np.float32)


@pytest.fixture(scope="session")
def ecg():
    return np.load(DATA_DIR / "ecg_mitbih208_360hz.npy")
