// The cell filter against its definition in docs/format.md, re-computed plainly: 64-bit sums, mirrored
// then held ends, the clamp to +-511, code 0 kept; every sample inside its cell; the fit and the detection
// finding a filter again; the same samples on every tier.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/v2/cell_filter.hpp"
#include "tier_cap.hpp"

namespace {

using quorvel::CellFilter;
using quorvel::Grid;
using i64 = std::int64_t;

// t[i] of a block of codes, straight from the definition.
i64 model_correction(const std::vector<std::int32_t>& c, std::size_t start, std::size_t n, const CellFilter& g,
                     std::size_t i) {
  // Each reflection is of the index itself (-x before the start, 2 last - x after the end), then held.
  const auto at = [&](i64 x) {
    const i64 last = static_cast<i64>(n) - 1;
    x = x < 0 ? -x : x > last ? 2 * last - x : x;
    return i64{c[start + static_cast<std::size_t>(std::clamp<i64>(x, 0, last))]};
  };
  const i64 ci = c[start + i];
  if (ci == 0) return 0;
  i64 s = 0;
  for (i64 j = 1; j <= 4; ++j) s += g[static_cast<std::size_t>(j - 1)] * (at(static_cast<i64>(i) - j) + at(static_cast<i64>(i) + j) - 2 * ci);
  return std::clamp<i64>(s, -511, 511);
}

std::vector<float> model_samples(const std::vector<std::int32_t>& c, std::size_t block, const Grid& grid,
                                 const CellFilter& g) {
  std::vector<float> y(c.size());
  for (std::size_t start = 0; start < c.size(); start += block) {
    const std::size_t n = std::min(block, c.size() - start);
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(model_correction(c, start, n, g, i));
      y[start + i] = static_cast<float>(grid.origin + grid.step / 1024.0 * (1024.0 * c[start + i] + t));
    }
  }
  return y;
}

std::vector<float> filtered(const std::vector<std::int32_t>& c, std::size_t block, const Grid& grid,
                            const CellFilter& g) {
  std::vector<float> y(c.size());
  EXPECT_TRUE(quorvel::filter_blocks(grid, g, c, block, y));
  return y;
}

// Codes of a wandering signal, with runs of zeros, jumps and int32 extremes.
std::vector<std::int32_t> awkward_codes(std::mt19937& rng, std::size_t n, std::int32_t spread) {
  std::uniform_int_distribution<std::int32_t> step(-spread, spread);
  std::vector<std::int32_t> c(n);
  std::int32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    v = std::clamp(v + step(rng), -(1 << 30), 1 << 30);
    const auto kind = rng() % 23;
    c[i] = kind == 0 ? 0 : kind == 1 ? INT32_MAX : kind == 2 ? INT32_MIN + 1 : v;
  }
  return c;
}

// Filters from gentle to ones whose sums reach the clamp at every code.
const CellFilter kFilters[] = {{0, 0, 0, 0}, {120, -30, 8, -2}, {-700, 300, -90, 20}, {32767, -32768, 32767, -32768}, {1, 0, 0, 0}};

}  // namespace

TEST(CellFilter, SamplesAreTheDefinitionsForEveryBlockShape) {
  std::mt19937 rng(1);
  const Grid grid{-2.75, 0.0123};
  for (const std::size_t block : {1u, 2u, 3u, 5u, 8u, 9u, 10u, 17u, 256u}) {
    for (const std::size_t n : {1u, 4u, 9u, 31u, 300u}) {
      const auto c = awkward_codes(rng, n, 1000);
      for (const CellFilter& g : kFilters)
        ASSERT_EQ(filtered(c, block, grid, g), model_samples(c, block, grid, g)) << "block " << block << " n " << n;
    }
  }
}

// Where float32 holds the samples exactly, each shows its correction: |t| <= 511, strictly inside the cell,
// code 0 exactly its grid point, and the nearest code of every sample is its code.
TEST(CellFilter, EverySampleStaysStrictlyInsideItsCell) {
  std::mt19937 rng(2);
  const Grid grid{-3.5, 3.0 / 64};  // step / 1024 * (1024 c + t) exact for |c| < 2^11
  const double fine = grid.step / 1024.0;
  std::vector<std::int32_t> c(2000);
  std::uniform_int_distribution<std::int32_t> code(-2000, 2000);
  for (std::size_t i = 0; i < c.size(); ++i) c[i] = i % 13 == 0 ? 0 : code(rng);  // rough: the clamp bites
  const quorvel::GridCoder coder(grid);
  for (const CellFilter& g : kFilters) {
    const auto y = filtered(c, 256, grid, g);
    int clamped = 0;
    for (std::size_t i = 0; i < c.size(); ++i) {
      const double t = (static_cast<double>(y[i]) - grid.origin) / fine - 1024.0 * c[i];
      ASSERT_EQ(t, std::nearbyint(t)) << i;
      ASSERT_LE(std::fabs(t), 511.0) << i;
      if (c[i] == 0) {
        ASSERT_EQ(y[i], static_cast<float>(grid.origin)) << i;
      }
      ASSERT_EQ(coder.nearest(y[i]), c[i]) << i;
      clamped += std::fabs(t) == 511.0;
    }
    if (g[0] == 32767) {
      EXPECT_GT(clamped, 1000);
    }
  }
}

TEST(CellFilter, NonFiniteSamplesAreReported) {
  const Grid grid{0.0, 1e30};
  std::vector<std::int32_t> c(40, 7);
  std::vector<float> y(c.size());
  EXPECT_TRUE(quorvel::filter_blocks(grid, CellFilter{5, 0, 0, 0}, c, 16, y));
  for (const std::size_t at : {0u, 20u, 39u}) {  // at an end of a block and inside one
    c[at] = 1000000000;
    EXPECT_FALSE(quorvel::filter_blocks(grid, CellFilter{5, 0, 0, 0}, c, 16, y)) << at;
    c[at] = 7;
  }
}

// The least-squares fit finds a filter whose samples it sees again (the clamp not biting), returns zeros
// for codes that give nothing to fit, and keeps any fit within int16; detection recovers the filter from
// the samples alone, and refuses samples that are not a filter's.
TEST(CellFilter, FitAndDetectionFindTheFilterOfItsOwnSamples) {
  std::mt19937 rng(3);
  const Grid grid{0.5, 0.25};
  std::vector<std::int32_t> c(3000);
  std::normal_distribution<double> noise(0.0, 3.0);
  for (std::size_t i = 0; i < c.size(); ++i)
    c[i] = static_cast<std::int32_t>(std::lround(200 * std::sin(0.01 * double(i)) + noise(rng))) | 1;  // no 0
  const CellFilter g{30, -12, 5, -1};
  const auto y = filtered(c, 1024, grid, g);
  EXPECT_EQ(quorvel::fit_cell_filter<float>(y, grid, c, 1024), g);
  std::vector<std::int32_t> found(c.size());
  EXPECT_EQ(quorvel::filter_of_samples(y, grid, 1024, found), g);
  EXPECT_EQ(found, c);
  // Another block length mirrors elsewhere: the samples are not that filter's.
  EXPECT_FALSE(quorvel::filter_of_samples(y, grid, 256, found).has_value());

  // Constant codes: every difference zero, nothing to fit.
  const std::vector<std::int32_t> flat(500, 9);
  const std::vector<double> x(500, 2.6);
  EXPECT_EQ(quorvel::fit_cell_filter<double>(x, grid, flat, 256), (CellFilter{0, 0, 0, 0}));

  // A target far from the codes asks for huge weights: they stay int16, and the samples in their cells.
  std::vector<double> far(c.size());
  for (std::size_t i = 0; i < c.size(); ++i) far[i] = grid.sample(c[i]) + 1e6 * (double(c[i]) - double(c[i > 0 ? i - 1 : 0]));
  const CellFilter wild = quorvel::fit_cell_filter<double>(far, grid, c, 1024);
  const auto y2 = filtered(c, 1024, grid, wild);
  const quorvel::GridCoder coder(grid);
  for (std::size_t i = 0; i < c.size(); ++i) ASSERT_EQ(coder.nearest(y2[i]), c[i]) << i;
}

// The AVX2 kernels (the inner codes of each block) give the portable samples and fits, for every block
// length around the ends' width.
TEST(CellFilter, EveryTierGivesTheSameSamplesAndFits) {
  std::mt19937 rng(4);
  const Grid grid{-1.0e3, 0.37};
  for (std::size_t block = 1; block <= 20; ++block) {
    const auto c = awkward_codes(rng, 97, 50);
    std::vector<double> x(c.size());
    for (std::size_t i = 0; i < c.size(); ++i) x[i] = grid.sample(c[i]) + 0.05 * double(int(rng() % 9) - 4);
    const CellFilter g = kFilters[block % std::size(kFilters)];
    const auto best = filtered(c, block, grid, g);
    const CellFilter fit = quorvel::fit_cell_filter<double>(x, grid, c, block);
    const quorvel_testing::ScopedTierCap cap(rimble::ProcessorTier::Portable);
    EXPECT_EQ(filtered(c, block, grid, g), best) << "block " << block;
    EXPECT_EQ(quorvel::fit_cell_filter<double>(x, grid, c, block), fit) << "block " << block;
  }
}
