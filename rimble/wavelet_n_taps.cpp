// rimble/wavelet_n_taps.cpp: the portable filter-bank executors, built once.
#include "rimble/wavelet_n_taps.hpp"

#include "rimble/wavelet_fixed_taps.hpp"

namespace rimble {

template class NTapsFilterBank<PortableKernels<float>>;
#define RIMBLE_INSTANTIATE_PORTABLE(L, unused) template class FixedTapsFilterBank<PortableKernels<float>, L>;
RIMBLE_FIXED_TAPS(RIMBLE_INSTANTIATE_PORTABLE, )
#undef RIMBLE_INSTANTIATE_PORTABLE

}  // namespace rimble
