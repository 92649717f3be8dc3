// The signal-domain quantiser on its own: the strict bound on adversarial floats, idempotence, the rate
// ladder's order; and grid detection at its edges (few values, most samples on a grid).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "codec/v2/grid.hpp"
#include "codec/v2/quantiser.hpp"
#include "codec/v2/samples.hpp"

namespace {

using quorvel::Grid;
constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kDenorm = std::numeric_limits<float>::denorm_min();

struct Signal {
  const char* name;
  std::vector<float> x;
};

std::vector<Signal> adversarial_signals() {
  std::mt19937 rng(51);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  Signal huge{"near float32 max", {kMax, -kMax, std::nextafter(kMax, 0.0f), 0.0f}};
  Signal tiny{"denormals", {kDenorm, -kDenorm, 0.0f, -0.0f, 3 * kDenorm, std::numeric_limits<float>::min()}};
  Signal mixed{"every magnitude", {0.0f, -0.0f, kDenorm, 1e-30f, 1.0f, -1e30f, 3e38f}};
  Signal ramp{"ramp", {}};
  for (int i = 0; i < 500; ++i) {
    huge.x.push_back(kMax * unit(rng));
    tiny.x.push_back(kDenorm * std::round(1000.0f * unit(rng)));
    mixed.x.push_back(std::ldexp(unit(rng), i % 200 - 100));
    ramp.x.push_back(1000.0f + 0.001f * float(i) + 1e-4f * unit(rng));
  }
  return {huge, tiny, mixed, ramp};
}

// Bounds from the finest a signal's peak allows to wider than its range.
std::vector<double> bounds_for(double peak) {
  return {peak * 0x1p-28, peak * 0x1p-20, peak * 1e-3, peak * 0.3, peak * 2.0, double(kDenorm), 1e-300};
}

struct Quantised {
  std::vector<std::int32_t> codes;
  std::vector<float> y;
  quorvel::Distortion d;
};

Quantised quantise(const std::vector<float>& x, const Grid& grid) {
  Quantised q{std::vector<std::int32_t>(x.size()), std::vector<float>(x.size()), {}};
  quorvel::quantise_to_grid<float>(x, grid, q.codes, q.y);
  q.d = quorvel::distortion_of<float>(x, q.y, 1.0);
  return q;
}

}  // namespace

// Every rung the ladder offers meets |x - y| <= e in every sample, says so in its distortion, and gives
// back its own codes when its samples are quantised again.
TEST(Quantiser, StrictBoundHoldsOnAdversarialFloatsAndIsIdempotent) {
  for (const Signal& s : adversarial_signals()) {
    const auto [lo, hi] = std::minmax_element(s.x.begin(), s.x.end());
    const double peak = std::max(std::fabs(double(*lo)), std::fabs(double(*hi)));
    int rungs = 0;
    for (const double e : bounds_for(peak)) {
      for (const auto& grid : quorvel::bound_ladder(e, *lo, peak)) {
        if (!grid) continue;
        ++rungs;
        EXPECT_LT(grid->step, 2 * e);
        const Quantised q = quantise(s.x, *grid);
        bool finite = true;
        for (std::size_t i = 0; i < s.x.size(); ++i) {
          // A sample within e of the largest float32 may round to infinity (the encoder's measure of
          // each container refuses that rung); every finite one keeps the bound.
          if (!std::isfinite(q.y[i])) {
            ASSERT_GT(std::fabs(double(s.x[i])) + e, double(kMax)) << s.name << " x " << s.x[i];
            finite = false;
            continue;
          }
          ASSERT_LE(std::fabs(double(s.x[i]) - double(q.y[i])), e)
              << s.name << " e " << e << " step " << grid->step << " x " << s.x[i] << " y " << q.y[i];
        }
        if (!finite) continue;
        EXPECT_LE(q.d.max_abs, e) << s.name;
        const Quantised again = quantise(q.y, *grid);
        EXPECT_EQ(again.codes, q.codes) << s.name << " e " << e;
        EXPECT_EQ(again.y, q.y) << s.name << " e " << e;
      }
    }
    EXPECT_GT(rungs, 5) << s.name;
  }
}

// Inputs exactly on the edges between cells (and one float either side) still meet the bound.
TEST(Quantiser, CellEdgesMeetTheBound) {
  for (const double e : {0.5, 1e-3, 0.0123, 3e-7}) {
    const float lowest = -10.0f;
    const double peak = 10.0;
    for (const auto& grid : quorvel::bound_ladder(e, lowest, peak)) {
      if (!grid) continue;
      std::vector<float> x{lowest, float(peak)};
      for (std::int64_t k = 0; grid->origin + grid->step * (double(k) + 0.5) < peak; k += 1 + k / 3) {
        const auto edge = static_cast<float>(grid->origin + grid->step * (double(k) + 0.5));
        x.insert(x.end(), {edge, std::nextafter(edge, -kMax), std::nextafter(edge, kMax)});
      }
      const Quantised q = quantise(x, *grid);
      for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_LE(std::fabs(double(x[i]) - double(q.y[i])), e) << "e " << e << " x " << x[i];
      EXPECT_EQ(quantise(q.y, *grid).codes, q.codes) << "e " << e;
    }
  }
}

// Closed-loop interpolation without a dead zone is still a nearest-code quantiser (the same bound);
// a dead zone d widens the error to (0.5 + d) steps.
TEST(Quantiser, ClosedLoopKeepsItsBoundAndIsIdempotent) {
  std::vector<float> x(3000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = float(std::sin(0.01 * double(i)) + 0.01 * std::sin(0.9 * double(i)));
  const double e = 1e-3;
  const auto grid = quorvel::bound_ladder(e, -1.01f, 1.01)[1];
  ASSERT_TRUE(grid);
  for (const double dead_zone : {0.0, 0.3, 2.0}) {
    std::vector<std::int32_t> codes(x.size());
    std::vector<float> y(x.size());
    quorvel::quantise_closed_loop<float>(x, *grid, dead_zone, 1024, codes, y);
    const auto d = quorvel::distortion_of<float>(x, y, 1.0);
    const double allowed = dead_zone == 0.0 ? e : (0.5 + dead_zone) * grid->step + 1e-7;
    EXPECT_LE(d.max_abs, allowed) << "dead zone " << dead_zone;
    for (std::size_t i = 0; i < x.size(); ++i) ASSERT_EQ(y[i], grid->sample(codes[i])) << i;
    // Without a dead zone its decoded samples quantised again give the same codes (a dead zone moves
    // codes near their predictions again, by design).
    if (dead_zone > 0.0) continue;
    std::vector<std::int32_t> again(x.size());
    std::vector<float> y2(x.size());
    quorvel::quantise_closed_loop<float>(y, *grid, dead_zone, 1024, again, y2);
    EXPECT_EQ(again, codes) << "dead zone " << dead_zone;
  }
}

// The rate ladder rises with k (strictly where float32 is normal), and rung_at_most is the largest rung
// not above its argument everywhere from the smallest float32 to the largest.
TEST(Quantiser, StepLadderRisesAndRungAtMostIsItsFloor) {
  for (int k = quorvel::lowest_rung; k < quorvel::highest_rung; ++k) {
    const double a = quorvel::rung_step(k), b = quorvel::rung_step(k + 1);
    ASSERT_LE(a, b) << k;
    if (k >= -126 * 16) {
      ASSERT_LT(a, b) << k;
    }
    ASSERT_EQ(double(float(a)), a) << k;
  }
  EXPECT_EQ(quorvel::rung_step(0), 1.0);
  EXPECT_EQ(quorvel::rung_step(16), 2.0);
  EXPECT_EQ(quorvel::rung_step(-16), 0.5);
  EXPECT_EQ(quorvel::rung_step(quorvel::lowest_rung), double(kDenorm));
  std::mt19937 rng(52);
  std::uniform_real_distribution<double> exponent(-149.0, 127.9);
  for (int i = 0; i < 20000; ++i) {
    const double step = i % 4 == 0 ? quorvel::rung_step(int(rng() % 4000) - 2000) : std::exp2(exponent(rng));
    const int k = quorvel::rung_at_most(step);
    ASSERT_LE(quorvel::rung_step(k), step) << step;
    if (k < quorvel::highest_rung) {
      ASSERT_GT(quorvel::rung_step(k + 1), step) << step;
    }
  }
}

// Few distinct values, and signals mostly on a grid: whatever is found reproduces the samples.
TEST(GridDetectionEdges, FewValuesAndMostlyGriddedSignals) {
  const auto reproduces = [](const std::vector<float>& y, const Grid& g, const std::vector<std::int32_t>& c) {
    for (std::size_t i = 0; i < y.size(); ++i)
      if (g.sample(c[i]) != y[i]) return false;
    return true;
  };
  for (const std::vector<float>& y : std::vector<std::vector<float>>{
           {3.7f}, {-2.0f, -2.0f, -2.0f}, {0.1f, 0.3f}, {kDenorm, 2 * kDenorm}, {-kMax, kMax}, {1.0f, 1.5f, 1.0f}}) {
    std::vector<std::int32_t> codes(y.size());
    const auto [lo, hi] = std::minmax_element(y.begin(), y.end());
    const auto grid = quorvel::detect_grid(y, *lo, *hi, codes);
    if (grid) {
      EXPECT_TRUE(reproduces(y, *grid, codes)) << y.size() << " values from " << y[0];
    }
    if (*lo != *hi && grid) {
      EXPECT_GT(grid->step, 0.0);
    }
  }
  // 10000 samples on a 0.01 grid; 2 % of them between grid points: found, with exactly those missed.
  std::mt19937 rng(53);
  std::vector<float> y(10000);
  std::size_t off = 0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const int k = int(rng() % 2001) - 1000;
    y[i] = float(0.01 * k);
    if (i % 50 == 7) y[i] = float(0.01 * k + 0.0037), ++off;
  }
  std::vector<std::int32_t> codes(y.size());
  const auto extremes = [&] { return std::pair(*std::min_element(y.begin(), y.end()), *std::max_element(y.begin(), y.end())); };
  const auto [lo, hi] = extremes();
  EXPECT_FALSE(quorvel::detect_grid(y, lo, hi, codes));
  const auto mostly = quorvel::detect_mostly_grid(y, lo, hi, codes);
  ASSERT_TRUE(mostly);
  EXPECT_EQ(mostly->misses, off);
  std::size_t missed = 0;
  for (std::size_t i = 0; i < y.size(); ++i) missed += mostly->grid.sample(codes[i]) != y[i];
  EXPECT_EQ(missed, off);
  // A tenth off the grid is too many.
  for (std::size_t i = 3; i < y.size(); i += 10) y[i] += 0.0041f;
  const auto [lo2, hi2] = extremes();
  EXPECT_FALSE(quorvel::detect_mostly_grid(y, lo2, hi2, codes));
}
