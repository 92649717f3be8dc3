// rimble/wavelet_fixed_taps.hpp: the portable filter banks whose length L is a constant of the
// type (Wavelet2Taps ... Wavelet16Taps are its aliases).
#pragma once

#include <cstddef>

#include "rimble/filter_bank.hpp"
#include "rimble/wavelet_n_taps.hpp"

namespace rimble {

// Computes exactly what WaveletNTaps computes with the same filters and mode,
// bit for bit, without an arena; needs no scratch and allocates nothing.
template <class T, std::size_t L>
using WaveletFixedTaps = FixedTapsFilterBank<PortableKernels<T>, L>;

// Built once, in rimble/wavelet_n_taps.cpp.
#define RIMBLE_EXTERN_PORTABLE(L, unused) extern template class FixedTapsFilterBank<PortableKernels<float>, L>;
RIMBLE_FIXED_TAPS(RIMBLE_EXTERN_PORTABLE, )
#undef RIMBLE_EXTERN_PORTABLE

}  // namespace rimble
