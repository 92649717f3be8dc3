"""Every container meets its target, judged by quorvel.decompress_signal and NumPy."""
import re

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import quorvel_tools
from conftest import DATA_DIR
from aim_oracle import TARGETS, assert_meets, figures

METHODS = ("auto", "cdf53", "cdf97", "db4", "sym4")
EFFORTS = ("fast", "default", "best")
REAL_SIGNALS = ("ecg_mitbih208_360hz", "co2_weekly_mauna_loa", "mpl_membrane")


@pytest.fixture(scope="module", params=REAL_SIGNALS)
def real_signal(request):
    return np.load(DATA_DIR / f"{request.param}.npy")


def relative_target(signal, kind, fraction):
    """A target that is `fraction` of what the signal's spread makes natural for `kind`."""
    x = np.asarray(signal, dtype=np.float64)
    spread = float(np.ptp(x)) or 1.0
    if kind == "prd":
        return 100.0 * fraction
    if kind == "max_bytes":
        return int(52 + 2 * x.size * fraction) + 64
    return spread * fraction


# Signals with structure (a random walk, so that neighbours correlate as in
# real recordings) plus a random offset and amplitude, float32 or float64.
@st.composite
def signals(draw):
    dtype = draw(st.sampled_from([np.float32, np.float64]))
    length = draw(st.integers(1, 600))
    steps = draw(hnp.arrays(np.float64, length, elements=st.floats(-1, 1)))
    amplitude = draw(st.sampled_from([1e-3, 1.0, 250.0]))
    offset = draw(st.floats(-1e3, 1e3))
    return (offset + amplitude * np.cumsum(steps)).astype(dtype)


@settings(max_examples=60, deadline=None)
@given(signal=signals(), kind=st.sampled_from(TARGETS[:3]), fraction=st.sampled_from([1e-3, 1e-2, 0.1]),
       method=st.sampled_from(METHODS), effort=st.sampled_from(EFFORTS))
def test_error_targets_are_met_or_refused_as_unreachable(signal, kind, fraction, method, effort):
    target = relative_target(signal, kind, fraction)
    try:
        container = quorvel_tools.encode(signal, **{kind: target}, method=method, effort=effort)
    except ValueError as error:
        # Only a target finer than int16 coefficients can carry is refused.
        assert "reach" in str(error), str(error)
        return
    assert_meets(signal, container, kind, target)
    info = quorvel_tools.inspect(container)
    assert info.sample_count == signal.size
    assert method == "auto" or info.method == method


@settings(max_examples=30, deadline=None)
@given(signal=signals(), budget=st.integers(52, 4000), effort=st.sampled_from(EFFORTS))
def test_byte_budgets_are_met_or_refused(signal, budget, effort):
    try:
        container = quorvel_tools.encode(signal, max_bytes=budget, effort=effort)
    except ValueError as error:
        assert "bytes" in str(error), str(error)
        return
    assert len(container) <= budget
    figures(signal, container)  # decodes


@pytest.mark.parametrize("kind", TARGETS)
@pytest.mark.parametrize("effort", EFFORTS)
def test_real_signals_meet_every_kind_of_target(real_signal, kind, effort):
    target = relative_target(real_signal, kind, 2e-3)
    container = quorvel_tools.encode(real_signal, **{kind: target}, effort=effort)
    assert_meets(real_signal, container, kind, target)


def test_real_signals_as_float64_are_measured_as_float64(real_signal):
    # A float64 signal whose values are not float32 numbers: the target holds
    # against the float64 values, not against their float32 rounding.
    x = real_signal.astype(np.float64) + np.linspace(0, 1e-4, real_signal.size)
    target = 1e-4 * float(np.ptp(x))
    container = quorvel_tools.encode(x, max_error=target)
    assert_meets(x, container, "max_error", target)


def test_a_looser_target_never_gives_a_larger_container(real_signal):
    sizes = [len(quorvel_tools.encode(real_signal, max_error=relative_target(real_signal, "max_error", f)))
             for f in (1e-3, 1e-2, 1e-1)]
    assert sizes == sorted(sizes, reverse=True)


def last_number(message):
    return float(re.findall(r"[-+]?\d+(?:\.\d*)?(?:e[-+]?\d+)?", message)[-1])


@pytest.mark.parametrize("kind", ["max_error", "rmse", "prd"])
def test_an_unreachable_error_target_names_a_figure_that_can_be_reached(kind):
    rng = np.random.default_rng(5)
    signal = rng.uniform(-1, 1, 3000).astype(np.float32) * np.float32(1e4)
    with pytest.raises(ValueError) as refused:
        quorvel_tools.encode(signal, **{kind: 0.0})
    best = last_number(str(refused.value))
    assert best > 0
    container = quorvel_tools.encode(signal, **{kind: best * 1.5})
    assert_meets(signal, container, kind, best * 1.5)


def test_a_budget_below_the_header_names_the_smallest_size():
    signal = np.sin(np.arange(500, dtype=np.float32) / 9)
    with pytest.raises(ValueError) as refused:
        quorvel_tools.encode(signal, max_bytes=51)
    smallest = int(last_number(str(refused.value)))
    assert smallest >= 52
    assert len(quorvel_tools.encode(signal, max_bytes=smallest)) <= smallest
