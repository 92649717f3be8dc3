// rimble/avx/filter_bank.hpp: the AVX2 and FMA filter-bank executors.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rimble/filter_bank.hpp"
#include "rimble/records.hpp"

namespace rimble::avx {

// The polyphase kernels of rimble/vector_kernels.hpp on eight-lane registers,
// with fused multiply-adds (rimble/avx/filter_bank.cpp). Run them only where
// cpu_features() reports AVX2 and FMA.
struct FilterBankKernels {
  using sample_type = float;
  static constexpr std::size_t max_fixed_taps = 16;

  template <std::size_t L>
  static void forward(const float* x, std::size_t count, const float* low, const float* high, std::size_t taps,
                      float* approx, float* details);
  template <std::size_t L>
  static void inverse(const float* approx, const float* details, std::size_t count, const float* low,
                      const float* high, std::size_t taps, float* out);
  template <std::size_t L>
  static void inverse_quantised(const float* approx, const std::int16_t* details, float step, std::size_t count,
                                const float* low, const float* high, float* out, const OutputMap<float>& map);
};

using AvxWavelet2TapsF32 = FixedTapsFilterBank<FilterBankKernels, 2>;
using AvxWavelet4TapsF32 = FixedTapsFilterBank<FilterBankKernels, 4>;
using AvxWavelet6TapsF32 = FixedTapsFilterBank<FilterBankKernels, 6>;
using AvxWavelet8TapsF32 = FixedTapsFilterBank<FilterBankKernels, 8>;
using AvxWavelet10TapsF32 = FixedTapsFilterBank<FilterBankKernels, 10>;
using AvxWavelet12TapsF32 = FixedTapsFilterBank<FilterBankKernels, 12>;
using AvxWavelet16TapsF32 = FixedTapsFilterBank<FilterBankKernels, 16>;
using AvxWaveletNTapsF32 = NTapsFilterBank<FilterBankKernels>;

}  // namespace rimble::avx

// Built once, in rimble/avx/filter_bank.cpp.
extern template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 2>;
extern template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 4>;
extern template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 6>;
extern template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 8>;
extern template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 10>;
extern template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 12>;
extern template class rimble::FixedTapsFilterBank<rimble::avx::FilterBankKernels, 16>;
extern template class rimble::NTapsFilterBank<rimble::avx::FilterBankKernels>;
