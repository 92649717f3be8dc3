// codec/sequence/kernels.cpp: the portable kernels of the sequence coder, and the table of each tier.
#include "codec/sequence/kernels.hpp"

#include <algorithm>

#include "codec/common/kernel_tiers.hpp"
#include "rimble/arch.hpp"

namespace quorvel::sequence {

std::uint32_t tokenize(const std::int32_t* r, std::size_t n, std::uint8_t* tokens) {
  std::uint32_t seen = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t u = zigzag(r[i]);
    seen |= u;
    tokens[i] = static_cast<std::uint8_t>(token_of(u));
  }
  return seen;
}

void autocorrelation(const double* z, std::size_t n, int order, double* ac) {
  for (int k = 0; k <= order; ++k) {
    double sum = 0;
    for (std::size_t i = static_cast<std::size_t>(k); i < n; ++i) sum += z[i] * z[i - static_cast<std::size_t>(k)];
    ac[k] = sum;
  }
}

double exact_dot(const double* x, const double* y, std::size_t n) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += x[i] * y[i];
  return sum;
}

const double* whole_segment_taper() {
  static const auto taper = [] {
    std::array<double, kTaperLength> t;
    for (std::size_t i = 0; i < kTaperLength; ++i) t[i] = welch_taper(i, 0.5 * double(kTaperLength + 1));
    return t;
  }();
  return taper.data();
}

void welch_window(const std::int32_t* q, std::size_t n, std::int32_t first, int scale, double* z) {
  const double half = 0.5 * double(n + 1);
  const double* taper = n == kTaperLength ? whole_segment_taper() : nullptr;
  for (std::size_t i = 0; i < n; ++i) z[i] = welch_value(q, i, taper ? taper[i] : welch_taper(i, half), first, scale);
}

void extent(const std::int32_t* q, std::size_t n, std::int32_t& low, std::int32_t& high) {
  low = high = q[0];
  for (std::size_t i = 1; i < n; ++i) {
    low = std::min(low, q[i]);
    high = std::max(high, q[i]);
  }
}

void lpc_residuals(const std::int32_t* x, std::size_t from, std::size_t to, const std::int32_t* c, int order, int shift,
                   std::int32_t* r) {
  for (std::size_t i = from; i < to; ++i) {
    std::int64_t sum = 0;
    for (int j = 0; j < order; ++j) sum += std::int64_t{c[j]} * x[i - 1 - static_cast<std::size_t>(j)];
    *r++ = minus(x[i], wrap(sum >> shift));
  }
}

void running_sum(const std::int32_t* d, std::size_t n, std::int32_t previous, std::int32_t* x) {
  for (std::size_t i = 0; i < n; ++i) x[i] = previous = plus(d[i], previous);
}

void lpc_restore_lanes(std::span<const LpcLane> lanes, std::size_t rounds) {
  for (const LpcLane& lane : lanes) {
    for (std::size_t i = 0; i < rounds; ++i) {
      std::int64_t sum = 0;
      for (std::size_t j = 0; j < lane.c.size(); ++j) sum += std::int64_t{lane.c[j]} * lane.x[i - 1 - j];
      lane.x[i] = plus(lane.r[i], wrap(sum >> lane.shift));
    }
  }
}

// The whole-round kernels have no portable version: the callers' loops take every round.
constexpr KernelTables<Kernels> kTables{
    .portable = {tokenize, autocorrelation, welch_window, lpc_residuals, running_sum, lms_lanes, nullptr, nullptr, nullptr,
                 nullptr, lpc_restore_lanes, exact_dot, extent},
#if RIMBLE_ARCH(X86_64)
    .avx2 = Kernels{tokenize_avx2, autocorrelation_avx2, welch_window_avx2, lpc_residuals_avx2, running_sum_avx2, lms_lanes_avx2,
                    read_rounds_avx2, write_rounds_avx2, rans_encode_rounds_avx2, rans_decode_rounds_avx2,
                    lpc_restore_lanes_avx2, exact_dot_avx2, extent_avx2},
#endif
};

const Kernels& kernels_for(rimble::ProcessorTier tier) { return kTables.of(tier); }

}  // namespace quorvel::sequence
