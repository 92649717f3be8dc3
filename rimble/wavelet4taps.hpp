// rimble/wavelet4taps.hpp: the 4-tap filter bank.
#pragma once

#include "rimble/wavelet_fixed_taps.hpp"

namespace rimble {

template <class T>
using Wavelet4Taps = WaveletFixedTaps<T, 4>;

}  // namespace rimble
