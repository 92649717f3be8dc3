// rimble/avx/filter_bank.hpp: the SSE4.2 filter-bank executors.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rimble/filter_bank.hpp"
#include "rimble/records.hpp"

namespace rimble::sse {

// The polyphase kernels of rimble/vector_kernels.hpp on four-lane registers,
// every product rounded before it is added (rimble/sse/filter_bank.cpp). Run
// them only where cpu_features() reports SSE4.2. No 16-tap form: 16 taps run
// on the n-tap executor.
struct FilterBankKernels {
  using sample_type = float;
  static constexpr std::size_t max_fixed_taps = 12;

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

using SseWavelet2TapsF32 = FixedTapsFilterBank<FilterBankKernels, 2>;
using SseWavelet4TapsF32 = FixedTapsFilterBank<FilterBankKernels, 4>;
using SseWavelet6TapsF32 = FixedTapsFilterBank<FilterBankKernels, 6>;
using SseWavelet8TapsF32 = FixedTapsFilterBank<FilterBankKernels, 8>;
using SseWavelet10TapsF32 = FixedTapsFilterBank<FilterBankKernels, 10>;
using SseWavelet12TapsF32 = FixedTapsFilterBank<FilterBankKernels, 12>;
using SseWaveletNTapsF32 = NTapsFilterBank<FilterBankKernels>;

}  // namespace rimble::sse

// Built once, in rimble/sse/filter_bank.cpp.
extern template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 2>;
extern template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 4>;
extern template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 6>;
extern template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 8>;
extern template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 10>;
extern template class rimble::FixedTapsFilterBank<rimble::sse::FilterBankKernels, 12>;
extern template class rimble::NTapsFilterBank<rimble::sse::FilterBankKernels>;
