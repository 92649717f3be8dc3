// rimble/wavelet2taps.hpp: the 2-tap filter bank.
#pragma once

#include "rimble/wavelet_fixed_taps.hpp"

namespace rimble {

template <class T>
using Wavelet2Taps = WaveletFixedTaps<T, 2>;

}  // namespace rimble
