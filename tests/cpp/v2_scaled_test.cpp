// Codings 5 and 6 on their own: the scaled quantiser's strict bound on every sample of random and
// adversarial signals with either prediction, its decoded samples giving back its codes, and containers
// built by hand read by the decoder (and refused where the multiplier or a code leaves its range).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "codec/sequence/coder.hpp"
#include "codec/v2/container.hpp"
#include "codec/v2/decoder.hpp"
#include "codec/v2/encoder.hpp"
#include "codec/v2/interpolation.hpp"
#include "codec/v2/quantiser.hpp"

namespace {

namespace v2 = quorvel::v2;
using quorvel::Grid;

struct Case {
  std::string name;
  std::vector<float> x;
};

std::vector<Case> signals(std::size_t n) {
  std::mt19937 rng(static_cast<unsigned>(n) + 7);
  std::normal_distribution<double> normal;
  std::vector<Case> out{{"walk", {}}, {"noise", {}}, {"sine", {}}, {"huge", {}},
                        {"tiny", {}}, {"constant", {}}, {"alternating", {}}, {"steps", {}}};
  double walk = 0;
  for (std::size_t i = 0; i < n; ++i) {
    walk += normal(rng);
    const double t = static_cast<double>(i);
    out[0].x.push_back(static_cast<float>(walk));
    out[1].x.push_back(static_cast<float>(normal(rng)));
    out[2].x.push_back(static_cast<float>(std::sin(0.01 * t) + 0.001 * normal(rng)));
    out[3].x.push_back(static_cast<float>(3e37 * std::sin(0.05 * t)));
    out[4].x.push_back(static_cast<float>(1e-35 * walk));
    out[5].x.push_back(-2.75f);
    out[6].x.push_back(i % 2 ? 1.0f : -1.0f);
    out[7].x.push_back(i % 100 < 50 ? 5.0f : -5.0f);
  }
  return out;
}

double peak_of(const std::vector<float>& x) {
  double peak = 0;
  for (const float v : x) peak = std::max(peak, std::fabs(double{v}));
  return peak;
}

// The container of coding 5 (or `mode`) for these residuals, as the format lays it out.
std::vector<std::uint8_t> container_of(std::span<const std::int32_t> residuals, const Grid& grid,
                                       std::uint32_t multiplier, unsigned block_log2,
                                       v2::Mode mode = v2::Mode::scaled) {
  const auto blocks = quorvel::encode_sequence(residuals, {.block_length = std::size_t{1} << block_log2});
  EXPECT_TRUE(blocks);
  const v2::Header h{mode, block_log2, static_cast<std::uint32_t>(residuals.size()), grid, {}, {},
                     {}, multiplier};
  return *v2::assemble(h, *blocks);
}

TEST(V2Scaled, EverySampleWithinTheBoundAndDecodedAsQuantised) {
  const std::pair<std::int64_t, v2::Mode> scalings[] = {{2, v2::Mode::scaled},       {4, v2::Mode::scaled_linear},
                                                         {16, v2::Mode::scaled},      {64, v2::Mode::scaled_linear},
                                                         {1000, v2::Mode::scaled},    {3, v2::Mode::scaled_linear}};
  constexpr unsigned block_log2 = 8;
  constexpr std::size_t block = std::size_t{1} << block_log2;
  for (const std::size_t n : {std::size_t{1}, std::size_t{2}, block - 1, block, block + 1, 5 * block + 3}) {
    for (const Case& s : signals(n)) {
      const double peak = std::max(peak_of(s.x), 1e-38);
      for (const double relative : {0.3, 1e-2, 1e-4, 1e-7}) {
        const double e = relative * peak;
        const auto coarse = quorvel::bound_ladder(e, -static_cast<float>(peak), peak)[1];
        if (!coarse) continue;
        for (const auto& [k, mode] : scalings) {
          SCOPED_TRACE(s.name + " n " + std::to_string(n) + " e " + std::to_string(relative) + " K " +
                       std::to_string(k) + " coding " + std::to_string(static_cast<int>(mode)));
          const auto spline = v2::spline_of(mode);
          const Grid fine{0.0, coarse->step / static_cast<double>(k)};
          std::vector<std::int32_t> codes(n), again(n), residuals(n);
          std::vector<float> y(n);
          const bool made = quorvel::quantise_scaled<float>(s.x, fine, k, e, block, codes, y, spline);
          // Codes beyond int32 are all that may stop it.
          if (peak / fine.step < 0x1p30) {
            EXPECT_TRUE(made);
          }
          if (!made) continue;
          for (std::size_t i = 0; i < n; ++i) {
            ASSERT_LE(std::fabs(double{s.x[i]} - double{y[i]}), e) << i;
            ASSERT_EQ(y[i], fine.sample(codes[i])) << i;
          }
          EXPECT_TRUE(quorvel::scaled_reproduces(y, fine, k, block, again, spline));
          EXPECT_EQ(again, codes);
          for (std::size_t start = 0; start < n; start += block) {
            const std::size_t m = std::min(block, n - start);
            quorvel::scaled_residuals(std::span(codes).subspan(start, m), k, std::span(residuals).subspan(start, m),
                                      spline);
          }
          const auto decoded =
              v2::decode(container_of(residuals, fine, static_cast<std::uint32_t>(k), block_log2, mode));
          ASSERT_TRUE(decoded) << decoded.error().message();
          EXPECT_EQ(*decoded, y);
        }
      }
    }
  }
}

TEST(V2Scaled, HandBuiltBlocksDecodeAndBadFieldsAreRefused) {
  // Residuals 3, then -1 and 2: codes 3 K, then (at stride 1, the right end) 3 K - K, and so on.
  const Grid grid{0.5, 0.25};
  const std::vector<std::int32_t> residuals{3, -1, 2};
  // Order: point 0; stride 2: point 2 (prediction k[0]); stride 1: point 1 (mean of k[0] and k[2]).
  const std::int64_t k = 5, k0 = 3 * k, k2 = k0 - k, k1 = ((k0 + k2 + 1) >> 1) + 2 * k;
  const auto decoded = v2::decode(container_of(residuals, grid, 5, 8));
  ASSERT_TRUE(decoded) << decoded.error().message();
  EXPECT_EQ(*decoded, (std::vector<float>{grid.sample(k0), grid.sample(k1), grid.sample(k2)}));
  for (const std::uint32_t bad : {0u, 1u, 65537u}) {
    EXPECT_FALSE(v2::decode(container_of(residuals, grid, bad, 8))) << bad;
  }
  EXPECT_TRUE(v2::decode(container_of(residuals, grid, 65536, 8)));
  // 65536 * 32768 = 2^31 leaves int32 by one; one less stays in it.
  EXPECT_FALSE(v2::decode(container_of(std::vector<std::int32_t>{32768}, grid, 65536, 8)));
  EXPECT_FALSE(v2::decode(container_of(std::vector<std::int32_t>{-32769}, grid, 65536, 8)));
  EXPECT_TRUE(v2::decode(container_of(std::vector<std::int32_t>{-32768}, grid, 65536, 8)));
}

// Eight codes, K = 2, residuals in coding order (points 0, 4, 2, 6, 1, 3, 5, 7). Only point 3 has four
// neighbours at its stride: coding 5 takes the cubic there, (9 (11 + 4) - 10 - 6 + 8) >> 4 = 7, coding 6
// the mean (11 + 4 + 1) >> 1 = 8; both then add 2. The others: 10; 10 - 6; (10 + 4 + 1) >> 1 + 4;
// 4 + 2; (10 + 11 + 1) >> 1; (4 + 6 + 1) >> 1; 6 (held at the end).
TEST(V2Scaled, LinearPredictionsDifferFromTheCubicOnlyWhereFourNeighboursAre) {
  const Grid grid{-1.0, 0.5};
  const std::vector<std::int32_t> residuals{5, -3, 2, 1, 0, 1, 0, 0};
  const auto samples = [&](std::vector<std::int64_t> codes) {
    std::vector<float> y;
    for (const auto c : codes) y.push_back(grid.sample(c));
    return y;
  };
  const auto cubic = v2::decode(container_of(residuals, grid, 2, 8, v2::Mode::scaled));
  const auto linear = v2::decode(container_of(residuals, grid, 2, 8, v2::Mode::scaled_linear));
  ASSERT_TRUE(cubic && linear);
  EXPECT_EQ(*cubic, samples({10, 11, 11, 9, 4, 5, 6, 6}));
  EXPECT_EQ(*linear, samples({10, 11, 11, 10, 4, 5, 6, 6}));
  // Coding 6 carries the multiplier's field and its checks; coding 7 is unknown.
  EXPECT_FALSE(v2::decode(container_of(residuals, grid, 1, 8, v2::Mode::scaled_linear)));
  auto unknown = container_of(residuals, grid, 2, 8, v2::Mode::scaled_linear);
  unknown[6] = static_cast<std::uint8_t>((unknown[6] & 0xF0) | 7);
  EXPECT_FALSE(v2::decode(unknown));
}

// A smooth, oversampled signal over many blocks: its strict bound codes as scaled residuals at every effort
// but fast, meets the bound, and comes back to the same bytes when its decoded signal is encoded again. An
// RMSE target is never coded larger than the strict bound e = rmse, which meets it too.
TEST(V2Scaled, TheEncoderTakesItWhereItIsSmallerAndKeepsWhatItMade) {
  std::mt19937 rng(3);
  std::normal_distribution<double> normal;
  std::vector<float> x(300000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(std::sin(0.003 * t) + 0.4 * std::sin(0.011 * t + 1) + 1e-4 * normal(rng));
  }
  for (const quorvel::Effort effort : {quorvel::Effort::default_, quorvel::Effort::best}) {
    const v2::EncodeOptions options{.effort = effort};
    const quorvel::Target bound{quorvel::TargetKind::max_error, 0.02};
    const auto c = v2::encode(x, bound, options);
    ASSERT_TRUE(c) << c.error().message();
    EXPECT_TRUE(((*c)[6] & 0x0F) == 5 || ((*c)[6] & 0x0F) == 6);
    const auto y = v2::decode(*c);
    ASSERT_TRUE(y);
    for (std::size_t i = 0; i < x.size(); ++i) ASSERT_LE(std::fabs(double{x[i]} - double{(*y)[i]}), 0.02) << i;
    EXPECT_EQ(v2::encode(*y, bound, options), c);
    for (const double rmse : {0.02, 0.002}) {
      const quorvel::Target target{quorvel::TargetKind::rmse, rmse};
      const auto r = v2::encode(x, target, options);
      const auto strict = v2::encode(x, {quorvel::TargetKind::max_error, rmse}, options);
      ASSERT_TRUE(r && strict);
      EXPECT_LE(r->size(), strict->size()) << rmse;
      EXPECT_EQ(v2::encode(*v2::decode(*r), target, options), r) << rmse;
    }
  }
}

}  // namespace
