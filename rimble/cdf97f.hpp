// rimble/cdf97f.hpp: the CDF 9/7 wavelet by lifting on float signals, portable executor.
#pragma once

#include <bit>
#include <cstddef>

#include "rimble/lifting.hpp"

namespace rimble::cdf97f {

// The four lifting coefficients of the irreversible 9/7 filter of JPEG 2000 (the Daubechies and
// Sweldens factorisation of the CDF 9/7 pair), rounded to float:
//   alpha = -1.586134342059924, beta = -0.052980118572961,
//   gamma =  0.882911075530934, delta = 0.443506852043971.
// The scaling differs from JPEG 2000's (1/Kj on the approximations, Kj/2 on the details, with
// Kj = 1.230174104914001): here K = sqrt(2)/Kj and K' = Kj/sqrt(2), so that the low-pass gain at
// zero frequency is sqrt(2). K' is the float nearest to Kj/sqrt(2), which is one unit in the last
// place above the float reciprocal of K (0x3F5EAF6F); the stored bits are the ones used.
// The inverse weights are the exact negations (sign bit flipped) of the forward ones.
inline constexpr float kAlpha = std::bit_cast<float>(0xBFCB0673u);  // -1.5861343
inline constexpr float kBeta = std::bit_cast<float>(0xBD5901AEu);   // -0.052980117
inline constexpr float kGamma = std::bit_cast<float>(0x3F620676u);  //  0.8829111
inline constexpr float kDelta = std::bit_cast<float>(0x3EE31355u);  //  0.44350687
inline constexpr float kK = std::bit_cast<float>(0x3F93263Du);      //  1.1496044
inline constexpr float kKPrime = std::bit_cast<float>(0x3F5EAF70u); //  0.86986446

// Predict (alpha), update (beta), predict (gamma), update (delta), then the scaling; a level needs
// four samples, and the codec plans its levels as for a filter of ten taps.
inline constexpr lifting::Scheme<2> kScheme{.min_length = 4,
                                            .filter_length = 10,
                                            .steps = {{{kAlpha, kBeta}, {kGamma, kDelta}}},
                                            .scaled = true,
                                            .k = kK,
                                            .k_prime = kKPrime};

// Stateless; needs no scratch memory and no border mode (the ends mirror, see rimble/lifting.hpp).
using Cdf97 = lifting::PortableLifting<kScheme>;

}  // namespace rimble::cdf97f

// Built once, in rimble/cdf97f.cpp.
extern template class rimble::lifting::PortableLifting<rimble::cdf97f::kScheme>;
