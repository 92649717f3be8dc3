// rimble/wavelet10taps.hpp: the 10-tap filter bank.
#pragma once

#include "rimble/wavelet_fixed_taps.hpp"

namespace rimble {

template <class T>
using Wavelet10Taps = WaveletFixedTaps<T, 10>;

}  // namespace rimble
