"""Every container meets its target, judged by an independent decoder and NumPy."""
import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import quorvel
import quorvel_tools
from conftest import DATA_DIR
from aim_oracle import SUM_SLACK, TARGETS, assert_meets, assert_met_or_refused_honestly, figures

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


def beyond_float32(signal):
    """A float64 signal that float32 cannot tell apart from a constant, or with values below its range.

    The expected failures below pin what the encoder does with these.
    """
    x32 = signal.astype(np.float32)
    collapses = np.ptp(signal) > 0 and np.ptp(x32) == 0
    return bool(collapses or np.any((signal != 0) & (np.abs(signal) < np.finfo(np.float32).tiny)))


@settings(max_examples=60, deadline=None)
@given(signal=signals(), kind=st.sampled_from(TARGETS[:3]), fraction=st.sampled_from([1e-3, 1e-2, 0.1]),
       method=st.sampled_from(METHODS), effort=st.sampled_from(EFFORTS))
def test_error_targets_are_met_or_refused_with_a_reachable_figure(signal, kind, fraction, method, effort):
    assume(not beyond_float32(signal))
    target = relative_target(signal, kind, fraction)
    container = assert_met_or_refused_honestly(signal, kind, target, method=method, effort=effort)
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


@pytest.mark.parametrize("kind", ["max_error", "rmse", "prd"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_an_unreachable_error_target_names_a_figure_that_can_be_reached(kind, dtype):
    rng = np.random.default_rng(5)
    signal = (rng.uniform(-1, 1, 3000) * 1e4).astype(dtype)
    with pytest.raises(ValueError):
        quorvel_tools.encode(signal, **{kind: 0.0}, format=1)
    assert_met_or_refused_honestly(signal, kind, 0.0, format=1)


def test_float64_samples_below_float32_range_never_miss_a_prd_target():
    # Decoded as float32 zeros, the PRD is 100 %: a target of 0.1 % must be refused.
    assert_met_or_refused_honestly(np.array([4.80929162e-251]), "prd", 0.1)


@pytest.mark.parametrize("signal", [np.array([1.48021401e-74, 2.96042802e-74]), 0.5 + np.array([0.0, 6e-13])])
def test_float64_signals_that_float32_holds_as_a_constant_are_refused_with_a_finite_figure(signal):
    # Decoded as float32 the signal is a constant, so the finest max error is
    # about half its float64 spread (or its magnitude, below float32's range).
    assert_met_or_refused_honestly(signal, "max_error", 1e-3 * float(np.ptp(signal)))


def test_a_budget_below_the_header_names_the_smallest_size():
    signal = np.sin(np.arange(500, dtype=np.float32) / 9)
    with pytest.raises(quorvel_tools.UnreachableTargetError) as refused:
        quorvel_tools.encode(signal, max_bytes=51)
    smallest = int(refused.value.best_reachable)
    assert str(refused.value) == f"Can't fit this signal in 51 bytes: ask for {smallest} bytes or more"
    assert smallest >= 52
    assert len(quorvel_tools.encode(signal, max_bytes=smallest)) <= smallest


# --- few-valued signals: targets that a fixed setting meets ------------------------

FIXED_SETTINGS = [(method, scale, cutoff) for method in ("cdf53", "cdf97", "db4", "sym4")
                  for scale in range(6, 13) for cutoff in ("low", "medium", "high")]


@st.composite
def few_valued_signals(draw):
    """Short signals of one to four values: two levels, a spike on a baseline, a coarse staircase."""
    length = draw(st.integers(1, 80))
    levels = draw(st.lists(st.integers(-2**17, 2**17), min_size=1, max_size=4, unique=True))
    x = np.asarray(levels)[draw(hnp.arrays(np.int64, length, elements=st.integers(0, len(levels) - 1)))]
    dtype = draw(st.sampled_from([np.int16, np.int32, np.float32, np.float64]))
    if dtype == np.int16:
        return (x % 2**15).astype(np.int16)
    scale = 1 if dtype == np.int32 else draw(st.sampled_from([1.0, 2.0**-12, 1e-3, 37.5]))
    return (x * scale).astype(dtype)


def tier_room(x, kind, method):
    """What a container of `method` must leave for decoders on other processor tiers: nothing for cdf53,
    which every tier decodes to the same bits; for the others twice the last-bit flip of the largest
    sample plus a few roundings of the range that those decoders can add."""
    x = np.asarray(x, dtype=np.float64)
    if method == "cdf53" or kind == "max_bytes":
        return 0.0
    room = 2 * (float(np.max(np.abs(x))) * 2.0**-23 + float(np.ptp(x)) * 2.0**-20)
    if kind == "prd":
        rms = float(np.sqrt(np.mean(x * x)))
        return 100.0 * room / rms if rms > 0 else 0.0
    return room


@settings(max_examples=120, deadline=None)
@given(x=few_valued_signals(), kind=st.sampled_from(TARGETS), pick=st.integers(0, len(FIXED_SETTINGS) - 1),
       factor=st.sampled_from([0.0, 0.5, 1.0, 1.5]), effort=st.sampled_from(EFFORTS))
def test_targets_a_fixed_setting_meets_are_met_and_refusals_name_a_figure_that_is(x, kind, pick, factor, effort):
    # The plain encoder's container for every fixed setting, judged as the aimed one is.
    narrowed = np.asarray(x, dtype=np.float64).astype(np.float32)
    fixed = [(method, figures(x, quorvel.compress_signal(narrowed, quorvel.TarvoCompressionOptions(method, scale,
                                                                                                    cutoff))))
             for method, scale, cutoff in FIXED_SETTINGS]
    method, picked = fixed[pick]
    if kind == "max_bytes":
        value = int(picked[kind] * factor)
        met_by = [m for m, f in fixed if f[kind] <= value]
    else:
        value = factor * (picked[kind] + tier_room(x, kind, method))
        met_by = [m for m, f in fixed if f[kind] * (1 + SUM_SLACK) + tier_room(x, kind, m) <= value]
    try:
        container = quorvel_tools.encode(x, **{kind: value}, effort=effort)
    except quorvel_tools.UnreachableTargetError as refused:
        assert not met_by, f"{refused}, yet the fixed {met_by[0]} container meets it"
        assert_met_or_refused_honestly(x, kind, value, effort=effort)
    else:
        assert_meets(x, container, kind, value)
