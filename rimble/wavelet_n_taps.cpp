// rimble/wavelet_n_taps.cpp: the portable filter-bank executors, built once.
#include "rimble/wavelet_n_taps.hpp"

#include "rimble/wavelet_fixed_taps.hpp"

template class rimble::NTapsFilterBank<rimble::PortableKernels<float>>;
template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 2>;
template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 4>;
template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 6>;
template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 8>;
template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 10>;
template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 12>;
template class rimble::FixedTapsFilterBank<rimble::PortableKernels<float>, 16>;
