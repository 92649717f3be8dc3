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

}  // namespace rimble

// Built once, in rimble/wavelet_n_taps.cpp.
extern template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 2>;
extern template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 4>;
extern template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 6>;
extern template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 8>;
extern template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 10>;
extern template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 12>;
extern template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 16>;
