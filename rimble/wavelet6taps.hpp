// rimble/wavelet6taps.hpp: the 6-tap filter bank.
#pragma once

#include "rimble/wavelet_fixed_taps.hpp"

namespace rimble {

template <class T>
using Wavelet6Taps = WaveletFixedTaps<T, 6>;

}  // namespace rimble
