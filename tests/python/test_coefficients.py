"""Checks the generated Daubechies and symlet table against an independent oracle.

The Daubechies rows are rebuilt from first principles: the product filter of p
vanishing moments, |H(w)|^2 = 2 cos^2p(w/2) P(sin^2(w/2)) with
P(y) = sum_{k<p} C(p-1+k, k) y^k, is factored with every zero of P taken inside
the unit circle (minimum phase, so the large taps come first). mpmath carries
the roots at 30 digits, far beyond double precision.
"""

import functools
import math
import pathlib
import re

import pytest

mpmath = pytest.importorskip("mpmath")

TABLE = pathlib.Path(__file__).resolve().parents[2] / "rimble" / "coefficients.cpp"


def load_rows():
    """Every row by name: each family's array holds its rows one after another, each behind a
    comment with its name."""
    rows = {}
    for family in re.findall(r"constexpr double \w+\[\] = \{(.*?)\};", TABLE.read_text(), re.S):
        for name, body in re.findall(r"// (\w+)\n(.*?)(?=// |\Z)", family, re.S):
            rows[name] = [float(v) for v in body.split(",") if v.strip()]
    for p in range(1, 25):
        assert len(rows[f"db{p}"]) == 2 * p
    for p in range(2, 21):
        assert len(rows[f"sym{p}"]) == 2 * p
    return rows


ROWS = load_rows()


def poly_mul(a, b):
    out = [0] * (len(a) + len(b) - 1)
    for i, x in enumerate(a):
        for j, y in enumerate(b):
            out[i + j] += x * y
    return out


def polyroots_ascending(coefficients):
    """Roots of sum c[k] y^k. mpmath 1.4 takes the coefficients in ascending order
    (asc=True) and deprecates the descending order that older versions require."""
    try:
        return mpmath.polyroots(coefficients, maxsteps=200, extraprec=60, asc=True)
    except TypeError:
        return mpmath.polyroots(coefficients[::-1], maxsteps=200, extraprec=60)


@functools.cache
def daubechies_exact(p):
    with mpmath.workdps(30):
        h = [mpmath.mpf(1)]
        for _ in range(p):
            h = poly_mul(h, [1, 1])
        if p > 1:
            ys = polyroots_ascending([mpmath.binomial(p - 1 + k, k) for k in range(p)])
            for y in ys:
                # y = (2 - z - 1/z)/4 has the two reciprocal roots z; keep the inner one.
                a = 1 - 2 * y
                z = a - mpmath.sqrt(a * a - 1)
                if abs(z) > 1:
                    z = 1 / z
                h = poly_mul(h, [1, -z])
            h = [mpmath.re(x) for x in h]
        total = sum(h)
        return [x * mpmath.sqrt(2) / total for x in h]


def autocorrelation(taps):
    n = len(taps)
    return [sum(taps[i] * taps[i + m] for i in range(n - m)) for m in range(n)]


def test_table_holds_every_family_member_with_its_tap_count():
    assert sorted(ROWS) == sorted([f"db{p}" for p in range(1, 25)] + [f"sym{p}" for p in range(2, 21)])
    for p in range(1, 25):
        assert len(ROWS[f"db{p}"]) == 2 * p
    for p in range(2, 21):
        assert len(ROWS[f"sym{p}"]) == 2 * p


@pytest.mark.parametrize("p", range(1, 25))
def test_daubechies_rows_are_the_correctly_rounded_minimum_phase_filters(p):
    exact = daubechies_exact(p)
    assert ROWS[f"db{p}"] == [float(x) for x in exact]


def test_rows_the_codec_uses_are_exactly_the_published_values():
    with mpmath.workdps(40):
        r2, r3 = mpmath.sqrt(2), mpmath.sqrt(3)
        db2 = [(1 + r3) / (4 * r2), (3 + r3) / (4 * r2), (3 - r3) / (4 * r2), (1 - r3) / (4 * r2)]
        assert ROWS["db1"] == [float(1 / r2)] * 2
        assert ROWS["db2"] == [float(x) for x in db2]
    assert ROWS["db4"] == [0.2303778133088965, 0.7148465705529157, 0.6308807679298589, -0.027983769416859854,
                           -0.18703481171909309, 0.030841381835560764, 0.0328830116668852,
                           -0.010597401785069032]
    assert ROWS["sym4"] == [0.0322231006040427, -0.012603967262037833, -0.09921954357684722,
                            0.29785779560527736, 0.8037387518059161, 0.49761866763201545,
                            -0.02963552764599851, -0.07576571478927333]


@pytest.mark.parametrize("p", range(2, 21))
def test_symlets_factor_the_same_product_filter_as_daubechies(p):
    # A symlet picks other roots of the same product filter, so its
    # autocorrelation is the Daubechies one. The published symlet values carry
    # about 12 correct digits (sym20's squares miss 1 by 1.4e-11), hence 5e-11.
    exact = autocorrelation([float(x) for x in daubechies_exact(p)])
    assert max(abs(a - b) for a, b in zip(autocorrelation(ROWS[f"sym{p}"]), exact)) < 5e-11


def test_short_symlets_coincide_with_daubechies():
    for p, tolerance in ((2, 4e-13), (3, 4e-12)):
        assert max(abs(a - b) for a, b in zip(ROWS[f"sym{p}"], ROWS[f"db{p}"])) < tolerance


@pytest.mark.parametrize("name", sorted(ROWS))
def test_rows_are_normalised_and_orthogonal_to_their_even_shifts(name):
    taps = ROWS[name]
    # 1e-15 is about four units in the last place of sqrt(2): what rounding of
    # the published taps can cost, and nothing more.
    assert abs(sum(taps) - math.sqrt(2)) <= 1e-15
    corr = autocorrelation(taps)
    assert abs(corr[0] - 1) <= 1e-10
    assert max((abs(c) for c in corr[2::2]), default=0) <= 1e-10


def test_generator_reproduces_the_committed_table():
    # Only meaningful with the PyWavelets release that the table names.
    pywt = pytest.importorskip("pywt")
    source = re.search(r"Source: PyWavelets (\S+),", TABLE.read_text())
    if source is None or source.group(1) != pywt.__version__:
        pytest.skip(f"the table was written with PyWavelets {source and source.group(1)}")
    import importlib.util

    spec = importlib.util.spec_from_file_location("make_coefficients", TABLE.parents[1] / "tools" / "make_coefficients.py")
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    assert tool.render() == TABLE.read_text()
