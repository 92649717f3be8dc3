"""Round trips through every method, scale and cutoff stay within a bound derived from the quantiser.

Derivation of the bound, in the encoder's normalised domain (signal mapped to [0, 1], mean removed):

* Quantisation. A coefficient v becomes c = trunc(v * 2**scale), so |v - c / 2**scale| < 2**-scale.
* Dead zone. A detail coefficient is zeroed when |c| < t, where t = T(scale) * (1, 3, 7)[cutoff] with
  T = 0, 0, 1, 1, 2, 2, 3 for scales 6..12. Then |c| <= t - 1 and |v| * 2**scale < t, so the error is
  below t * 2**-scale. Every coefficient is thus off by less than eps = max(1, t) * 2**-scale, provided
  no coefficient was clipped to the int16 range (checked on the payload below).
* Synthesis gain. One inverse level forms each output sample from one polyphase half of the low-pass
  and one of the high-pass synthesis filter, so an error of at most e_a on the approximations and e_d on
  the details becomes at most P0 * e_a + P1 * e_d, with P0, P1 the larger l1 norm of the two polyphase
  halves of each filter (border extension only repeats taps of the same sign pattern, so the triangle
  inequality still holds). Over L levels: G(L) = P1 * (1 + P0 + ... + P0**(L-1)) + P0**L.
  The filters come from PyWavelets, which is independent of the code under test: db4 and sym4 are the
  same orthonormal 8-tap banks; CDF 9/7 is bior4.4 (the lifting scales by K = 1.1496 and 1/K, giving
  the same low-pass DC gain sqrt(2)); CDF 5/3 is bior2.2 without its sqrt(2) normalisation (the lifting
  has no scaling step: synthesis low-pass times sqrt(2), high-pass divided by sqrt(2)).
* De-normalisation multiplies by the range. Float32 rounding in the transforms adds well under
  64 ulp of the range, and adding back the minimum one ulp of the largest magnitude.

So |x - decoded| <= range * (eps * G(L) + 64 * 2**-24) + 2 * ulp(max |x|).
"""
import zlib

import numpy as np
import pytest
import pywt

from conftest import make_signal
from quorvel import TarvoCompressionOptions, compress_signal, decompress_signal

BASE_THRESHOLD = {6: 0, 7: 0, 8: 1, 9: 1, 10: 2, 11: 2, 12: 3}
CUTOFF_FACTOR = {"low": 1, "medium": 3, "high": 7}
FLOAT32_EPS = float(np.finfo(np.float32).eps)


def synthesis_filters(method):
    if method == "cdf53":
        bank = pywt.Wavelet("bior2.2")
        return np.array(bank.rec_lo) * np.sqrt(2), np.array(bank.rec_hi) / np.sqrt(2)
    bank = pywt.Wavelet({"cdf97": "bior4.4", "db4": "db4", "sym4": "sym4"}[method])
    return np.array(bank.rec_lo), np.array(bank.rec_hi)


def polyphase_gain(taps):
    return max(np.abs(taps[0::2]).sum(), np.abs(taps[1::2]).sum())


def synthesis_gain(method, levels):
    low, high = synthesis_filters(method)
    p0, p1 = polyphase_gain(low), polyphase_gain(high)
    return p1 * sum(p0 ** j for j in range(levels)) + p0 ** levels


def error_bound(signal, method, scale, cutoff, levels):
    threshold = BASE_THRESHOLD[scale] * CUTOFF_FACTOR[cutoff]
    eps = max(1, threshold) * 2.0 ** -scale
    value_range = float(signal.max()) - float(signal.min())
    largest = float(np.abs(signal).max())
    return value_range * (eps * synthesis_gain(method, levels) + 64 * FLOAT32_EPS) + 2 * largest * FLOAT32_EPS


def test_cdf53_gain_matches_the_hand_derivation():
    # Lifting 5/3 without scaling: even outputs take 1 * a and 0.25 + 0.25 of d, odd outputs take
    # 0.5 + 0.5 of a and 0.125 + 0.75 + 0.125 of d, so P0 = P1 = 1 and G(L) = L + 1.
    assert synthesis_gain("cdf53", 8) == pytest.approx(9.0)


LENGTHS = [1, 5, 9, 100, 3000]


@pytest.mark.parametrize("cutoff", CUTOFF_FACTOR)
@pytest.mark.parametrize("scale", range(6, 13))
@pytest.mark.parametrize("method", ["cdf53", "cdf97", "db4", "sym4"])
def test_round_trip_keeps_length_and_stays_within_the_quantisation_bound(method, scale, cutoff):
    options = TarvoCompressionOptions(method, scale, cutoff)
    for length in LENGTHS:
        signal = make_signal(length, seed=length)
        container = compress_signal(signal, options)
        coefficients = np.frombuffer(zlib.decompress(container[52:], wbits=-15), dtype="<i2")
        assert np.all(np.abs(coefficients.astype(np.int32)) < 32767), "clipped: the bound does not apply"
        decoded = decompress_signal(container)
        assert decoded.shape == signal.shape
        bound = error_bound(signal, method, scale, cutoff, levels=container[12])
        error = float(np.max(np.abs(decoded.astype(np.float64) - signal)))
        assert error <= bound, f"length {length}: error {error} above bound {bound}"


@pytest.mark.parametrize("method", ["cdf53", "cdf97", "db4", "sym4"])
def test_constant_signal_round_trips_exactly(method):
    signal = np.full(77, 3.5, np.float32)
    decoded = decompress_signal(compress_signal(signal, TarvoCompressionOptions(method)))
    assert np.array_equal(decoded, signal)


@pytest.mark.parametrize("method", ["cdf53", "cdf97", "db4", "sym4"])
def test_real_ecg_round_trip_is_close_and_smaller(ecg, method):
    # A real recording at the default scale 11: the bound above, and a container at
    # least three times smaller than the raw float32 samples.
    options = TarvoCompressionOptions(method)
    container = compress_signal(ecg, options)
    decoded = decompress_signal(container)
    assert decoded.shape == ecg.shape
    assert len(container) * 3 < ecg.nbytes
    bound = error_bound(ecg, method, 11, "low", levels=container[12])
    assert float(np.max(np.abs(decoded.astype(np.float64) - ecg))) <= bound
