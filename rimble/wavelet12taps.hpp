// rimble/wavelet12taps.hpp: the 12-tap filter bank.
#pragma once

#include "rimble/wavelet_fixed_taps.hpp"

namespace rimble {

template <class T>
using Wavelet12Taps = WaveletFixedTaps<T, 12>;

}  // namespace rimble
