// rimble/factory.cpp: builds executors from wavelet names and coefficient rows.
#include "rimble/factory.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "rimble/arch.hpp"
#include "rimble/avx/lifting.hpp"
#include "rimble/cdf53f.hpp"
#include "rimble/cdf97f.hpp"
#include "rimble/coefficients.hpp"
#include "rimble/completed.hpp"
#include "rimble/filter_bank.hpp"
#include "rimble/lifting.hpp"
#include "rimble/processor_tier.hpp"
#include "rimble/vector_filter_bank.hpp"
#include "rimble/wavelet_fixed_taps.hpp"
#include "rimble/wavelet_n_taps.hpp"

namespace rimble {
namespace {

using Handle = DwtFactory<float>::Handle;

// The one place where a filter-bank operation picks its tier, by its kernels:
// the tier is read once per construction, and the executor keeps its family.
// L is the tap count, 0 for the n-tap operation.
template <std::size_t L, class Filter>
Handle make_filter_bank(BorderMode mode, const Filter& low) {
  return visit_tier_kernels(processor_tier(), [&]<class Kernels>() -> Handle {
    return std::make_shared<const typename TierFilterBank<Kernels, L>::type>(mode, low);
  });
}

// Copies a row of exactly N taps into the fixed array the N-tap operation takes.
template <std::size_t N>
Handle make_fixed(BorderMode mode, std::span<const float> low) {
  std::array<float, N> taps;
  std::ranges::copy(low, taps.begin());
  return make_filter_bank<N>(mode, taps);
}

// Lengths with an unrolled executor go to it; every other length (14, 18 and
// up) to the generic n-tap executor.
Handle make_for_length(BorderMode mode, std::span<const float> low) {
  switch (low.size()) {
#define RIMBLE_FIXED_CASE(L, unused) \
  case L:                            \
    return make_fixed<L>(mode, low);
    RIMBLE_FIXED_TAPS(RIMBLE_FIXED_CASE, )
#undef RIMBLE_FIXED_CASE
    default:
      return make_filter_bank<0>(mode, low);
  }
}

// Lifting has kernels of its own on the Avx tier and up (x86-64); every lower
// tier runs the portable ones.
template <const auto& kScheme>
std::shared_ptr<const DwtExecutor<float>> make_lifting() {
#if RIMBLE_ARCH(X86_64)
  if (processor_tier() >= ProcessorTier::Avx) return std::make_shared<const avx::AvxLifting<kScheme>>();
#endif
  return std::make_shared<const lifting::PortableLifting<kScheme>>();
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

std::shared_ptr<const DwtExecutor<float>> Rimble::make_cdf53_f32() { return make_lifting<cdf53f::kScheme>(); }

std::shared_ptr<const DwtExecutor<float>> Rimble::make_cdf97_f32() { return make_lifting<cdf97f::kScheme>(); }

std::shared_ptr<const DwtExecutor<float>> Rimble::make_daubechies_f32(DaubechiesFamily family, BorderMode mode) {
  return make_orthogonal(daubechies_row(family), mode);
}

std::shared_ptr<const DwtExecutor<float>> Rimble::make_symlet_f32(SymletFamily family, BorderMode mode) {
  return make_orthogonal(symlet_row(family), mode);
}

#define RIMBLE_FIXED_OPERATION(L, unused)                                                         \
  Handle DwtFactory<float>::wavelet_##L##_taps(BorderMode mode, const std::array<float, L>& low) { \
    return make_filter_bank<L>(mode, low);                                                         \
  }
RIMBLE_FIXED_TAPS(RIMBLE_FIXED_OPERATION, )
#undef RIMBLE_FIXED_OPERATION

Handle DwtFactory<float>::wavelet_n_taps(BorderMode mode, std::span<const float> low) {
  return make_filter_bank<0>(mode, low);
}

}  // namespace rimble
