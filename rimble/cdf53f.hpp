// rimble/cdf53f.hpp: the CDF 5/3 wavelet by lifting on float signals, portable executor.
#pragma once

#include <cstddef>

#include "rimble/lifting.hpp"

namespace rimble::cdf53f {

// The lifting steps of the reversible 5/3 filter, in floating point and without rounding or
// scaling: approximations stay on the scale of the signal. Every weight is a power of two, so
// each product is exact (outside the subnormal range) and vector kernels with fused
// multiply-add give the same bits.
inline constexpr float kPredict = -0.5f;
inline constexpr float kUpdate = 0.25f;

// One predict and one update; a level needs three samples, and the codec plans its levels as for
// a filter of six taps.
inline constexpr lifting::Scheme<1> kScheme{.min_length = 3, .filter_length = 6, .steps = {{{kPredict, kUpdate}}}};

// Stateless; needs no scratch memory and no border mode (the ends mirror, see rimble/lifting.hpp).
using Cdf53 = lifting::PortableLifting<kScheme>;

}  // namespace rimble::cdf53f

// Built once, in rimble/cdf53f.cpp.
extern template class rimble::lifting::PortableLifting<rimble::cdf53f::kScheme>;
