// rimble/wavelet8taps.hpp: the 8-tap filter bank (the codec's db4 and sym4).
#pragma once

#include "rimble/wavelet_fixed_taps.hpp"

namespace rimble {

template <class T>
using Wavelet8Taps = WaveletFixedTaps<T, 8>;

}  // namespace rimble
