// rimble/factory.cpp: builds executors from wavelet names and coefficient rows.
#include "rimble/factory.hpp"

#include <algorithm>
#include <vector>

#include "rimble/cdf53f.hpp"
#include "rimble/cdf97f.hpp"
#include "rimble/coefficients.hpp"
#include "rimble/completed.hpp"
#include "rimble/filter_bank.hpp"
#include "rimble/processor_tier.hpp"
#include "rimble/wavelet_fixed_taps.hpp"
#include "rimble/wavelet_n_taps.hpp"

// The vector tiers, built on x86-64 only; elsewhere every operation is portable.
#if defined(__x86_64__)
#include "rimble/avx/cdf53f.hpp"
#include "rimble/avx/cdf97f.hpp"
#include "rimble/avx/filter_bank.hpp"
#include "rimble/sse/filter_bank.hpp"
#endif

namespace rimble {
namespace {

using Handle = DwtFactory<float>::Handle;

template <class Kernels, std::size_t L, class Filter>
Handle make_tier_filter_bank(BorderMode mode, const Filter& low) {
  return std::make_shared<const typename TierFilterBank<Kernels, L>::type>(mode, low);
}

// The one place where a filter-bank operation picks its tier, by its kernels:
// the tier is read once per construction, and the executor keeps its family.
// L is the tap count, 0 for the n-tap operation.
template <std::size_t L, class Filter>
Handle make_filter_bank(BorderMode mode, const Filter& low) {
#if defined(__x86_64__)
  switch (processor_tier()) {
    case ProcessorTier::Avx: return make_tier_filter_bank<avx::FilterBankKernels, L>(mode, low);
    case ProcessorTier::Sse: return make_tier_filter_bank<sse::FilterBankKernels, L>(mode, low);
    case ProcessorTier::Portable: break;
  }
#endif
  return make_tier_filter_bank<PortableKernels<float>, L>(mode, low);
}

// Copies a row of exactly N taps into the fixed array the N-tap operation takes.
template <std::size_t N>
Handle make_fixed(Handle (*make)(BorderMode, const std::array<float, N>&), BorderMode mode,
                  std::span<const float> low) {
  std::array<float, N> taps;
  std::ranges::copy(low, taps.begin());
  return make(mode, taps);
}

// Lengths with an unrolled executor go to it; every other length (14, 18 and
// up) to the generic n-tap executor.
Handle make_for_length(BorderMode mode, std::span<const float> low) {
  using F = DwtFactory<float>;
  switch (low.size()) {
    case 2: return make_fixed<2>(&F::wavelet_2_taps, mode, low);
    case 4: return make_fixed<4>(&F::wavelet_4_taps, mode, low);
    case 6: return make_fixed<6>(&F::wavelet_6_taps, mode, low);
    case 8: return make_fixed<8>(&F::wavelet_8_taps, mode, low);
    case 10: return make_fixed<10>(&F::wavelet_10_taps, mode, low);
    case 12: return make_fixed<12>(&F::wavelet_12_taps, mode, low);
    case 16: return make_fixed<16>(&F::wavelet_16_taps, mode, low);
    default: return F::wavelet_n_taps(mode, low);
  }
}

// Rounds the 64-bit row to the nearest floats, builds the single-level
// executor from them and completes it with the multi-level operations.
std::shared_ptr<const DwtExecutor<float>> make_orthogonal(std::span<const double> row, BorderMode mode) {
  Handle inner;
  {
    const std::vector<float> low(row.begin(), row.end());
    inner = make_for_length(mode, low);
  }
  const std::size_t length = inner->filter_length();
  return std::make_shared<const CompletedDwtExecutor<float>>(std::move(inner), length);
}

}  // namespace

std::shared_ptr<const DwtExecutor<float>> Rimble::make_cdf53_f32() {
  // Lifting exists in two tiers: AVX2+FMA or portable (SSE4.2 gets the portable one).
#if defined(__x86_64__)
  if (processor_tier() == ProcessorTier::Avx) return std::make_shared<const avx::cdf53f::AvxCdf53>();
#endif
  return std::make_shared<const cdf53f::Cdf53>();
}

std::shared_ptr<const DwtExecutor<float>> Rimble::make_cdf97_f32() {
  // Lifting exists in two tiers: AVX2+FMA or portable (SSE4.2 gets the portable one).
#if defined(__x86_64__)
  if (processor_tier() == ProcessorTier::Avx) return std::make_shared<const avx::cdf97f::AvxCdf97>();
#endif
  return std::make_shared<const cdf97f::Cdf97>();
}

std::shared_ptr<const DwtExecutor<float>> Rimble::make_daubechies_f32(DaubechiesFamily family, BorderMode mode) {
  return make_orthogonal(daubechies_row(family), mode);
}

std::shared_ptr<const DwtExecutor<float>> Rimble::make_symlet_f32(SymletFamily family, BorderMode mode) {
  return make_orthogonal(symlet_row(family), mode);
}

Handle DwtFactory<float>::wavelet_2_taps(BorderMode mode, const std::array<float, 2>& low) {
  return make_filter_bank<2>(mode, low);
}
Handle DwtFactory<float>::wavelet_4_taps(BorderMode mode, const std::array<float, 4>& low) {
  return make_filter_bank<4>(mode, low);
}
Handle DwtFactory<float>::wavelet_6_taps(BorderMode mode, const std::array<float, 6>& low) {
  return make_filter_bank<6>(mode, low);
}
Handle DwtFactory<float>::wavelet_8_taps(BorderMode mode, const std::array<float, 8>& low) {
  return make_filter_bank<8>(mode, low);
}
Handle DwtFactory<float>::wavelet_10_taps(BorderMode mode, const std::array<float, 10>& low) {
  return make_filter_bank<10>(mode, low);
}
Handle DwtFactory<float>::wavelet_12_taps(BorderMode mode, const std::array<float, 12>& low) {
  return make_filter_bank<12>(mode, low);
}
Handle DwtFactory<float>::wavelet_16_taps(BorderMode mode, const std::array<float, 16>& low) {
  return make_filter_bank<16>(mode, low);
}
Handle DwtFactory<float>::wavelet_n_taps(BorderMode mode, std::span<const float> low) {
  return make_filter_bank<0>(mode, low);
}

}  // namespace rimble
