// rimble/wavelet16taps.hpp: the 16-tap filter bank.
#pragma once

#include "rimble/wavelet_fixed_taps.hpp"

namespace rimble {

template <class T>
using Wavelet16Taps = WaveletFixedTaps<T, 16>;

}  // namespace rimble
