// codec/v2/sample_kernels.cpp: the portable passes over every sample, and the table of each tier.
#include "codec/v2/sample_kernels.hpp"

#include <cmath>
#include <limits>

#include "codec/common/kernel_tiers.hpp"
#include "rimble/arch.hpp"

namespace quorvel::kernels {

// Eight running extremes, so that the loop carries no serial dependency.
void range(std::span<const float> y, Range& lanes) {
  for (std::size_t i = 0; i < y.size(); i += 8) {
    for (std::size_t k = 0; k < 8; ++k) {
      lanes.lowest[k] = y[i + k] < lanes.lowest[k] ? y[i + k] : lanes.lowest[k];
      lanes.highest[k] = y[i + k] > lanes.highest[k] ? y[i + k] : lanes.highest[k];
    }
  }
}

template <class T>
void spread(std::span<const T> x, Spread& lanes) {
  for (std::size_t i = 0; i < x.size(); i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      const double v = x[i + k];
      lanes.lowest[k] = v < lanes.lowest[k] ? v : lanes.lowest[k];
      lanes.highest[k] = v > lanes.highest[k] ? v : lanes.highest[k];
      lanes.squares[k] += v * v;
    }
  }
}

template <class T>
void misfit(std::span<const T> x, std::span<const float> y, double unit, Misfit& lanes) {
  for (std::size_t i = 0; i < x.size(); i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      const double e = static_cast<double>(y[i + k]) - static_cast<double>(x[i + k]);
      const double a = std::fabs(e);
      lanes.largest[k] = a > lanes.largest[k] ? a : lanes.largest[k];
      lanes.squares[k] += (e * unit) * (e * unit);
    }
  }
}

void floor_indices(std::span<std::int32_t> codes, double start, double inverse, std::int32_t low,
                   std::span<std::uint8_t> seen) {
  for (std::int32_t& c : codes) c = floor_index(c, start, inverse);
  for (const std::int32_t q : codes) seen[static_cast<std::size_t>(q - low)] = 1;
}

bool nearest_codes(std::span<const float> y, const GridCoder& coder, std::span<std::int32_t> codes) {
  int off = 0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const auto code = static_cast<std::int32_t>(coder.nearest(y[i]));
    off |= static_cast<int>(coder.grid().sample(code) != y[i]);
    codes[i] = code;
  }
  return off != 0;
}

void quantise(std::span<const float> x, const Grid& grid, std::span<std::int32_t> codes, std::span<float> y) {
  quantise_samples(x, grid, codes, y);
}

std::size_t count_bits(std::span<const std::uint64_t> words) { return bits_set(words); }

void palette_ranks(std::span<const std::int32_t> codes, std::int32_t low, const std::uint64_t* present,
                   const std::int32_t* before, std::int32_t* ranks) {
  bitmap_ranks(codes, low, present, before, ranks);
}

bool grid_samples(std::span<const std::int32_t> codes, const Grid& grid, float* out) {
  int bad = 0;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    out[i] = grid.sample(codes[i]);
    bad |= static_cast<int>(!(std::fabs(out[i]) <= std::numeric_limits<float>::max()));
  }
  return bad == 0;
}

bool filtered_samples(const std::int32_t* c, std::size_t from, std::size_t to, const Grid& grid,
                      const CellFilter& g, float* out) {
  constexpr float largest = std::numeric_limits<float>::max();
  const double fine = grid.step / 1024.0, limit = static_cast<double>(largest_correction);
  const double g1 = g[0], g2 = g[1], g3 = g[2], g4 = g[3];
  int bad = 0;
  for (std::size_t i = from; i < to; ++i) {
    const double c0 = c[i], twice = 2.0 * c0;
    const double s = g1 * (static_cast<double>(c[i - 1]) + static_cast<double>(c[i + 1]) - twice) +
                     g2 * (static_cast<double>(c[i - 2]) + static_cast<double>(c[i + 2]) - twice) +
                     g3 * (static_cast<double>(c[i - 3]) + static_cast<double>(c[i + 3]) - twice) +
                     g4 * (static_cast<double>(c[i - 4]) + static_cast<double>(c[i + 4]) - twice);
    const double t = c[i] == 0 ? 0.0 : std::min(limit, std::max(-limit, s));
    out[i] = cell_sample(grid, fine, c0, t);
    bad |= static_cast<int>(!(std::fabs(out[i]) <= largest));
  }
  return bad == 0;
}

void normal_rows(const std::int32_t* c, const double* target, std::size_t from, std::size_t to,
                 NormalLanes& lanes) {
  constexpr std::size_t edge = cell_filter_taps;
  for (std::size_t i = from; i < to; ++i) {
    if (std::isnan(target[i])) continue;
    const std::size_t lane = (i - from) & 3;
    const double c0 = c[i], twice = c0 + c0;
    double d[edge];
    for (std::size_t j = 1; j <= edge; ++j)
      d[j - 1] = (static_cast<double>(c[i - j]) + static_cast<double>(c[i + j])) - twice;
    add_row(lanes, d, target[i], lane);
  }
}

constexpr KernelTables<SampleKernels> kTables{
    .portable = {range, spread<float>, spread<double>, misfit<float>, misfit<double>, floor_indices, nearest_codes,
                 grid_samples, quantise, count_bits, palette_ranks, filtered_samples, normal_rows,
                 lifted_codes},
#if RIMBLE_ARCH(X86_64)
    .avx2 = SampleKernels{range_avx2, spread_avx2<float>, spread_avx2<double>, misfit_avx2<float>,
                          misfit_avx2<double>, floor_indices_avx2, nearest_codes_avx2, grid_samples_avx2,
                          quantise_avx2, count_bits_popcnt, palette_ranks_popcnt, filtered_samples_avx2,
                          normal_rows_avx2, lifted_codes_avx2},
#endif
};

const SampleKernels& sample_kernels_for(rimble::ProcessorTier tier) { return kTables.of(tier); }

}  // namespace quorvel::kernels
