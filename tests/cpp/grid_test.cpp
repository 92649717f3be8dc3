// Grid detection: exact on the real signals' own grids and on synthetic ones, refused where there is none.
#include "codec/v2/grid.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "codec_test_support.hpp"

namespace {

using quorvel::Grid;

struct Found {
  std::optional<Grid> grid;
  bool reproduces = false;
};

Found detect(const std::vector<float>& x) {
  const auto [low, high] = std::minmax_element(x.begin(), x.end());
  std::vector<std::int32_t> codes(x.size());
  Found f{quorvel::detect_grid(x, *low, *high, codes), false};
  if (!f.grid) return f;
  // An independent check of what detection promises: every sample is the
  // decoder's float32(origin + step * code) of its code.
  f.reproduces = true;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double value = f.grid->origin + f.grid->step * static_cast<double>(codes[i]);
    f.reproduces = f.reproduces && static_cast<float>(value) == x[i];
  }
  return f;
}

TEST(GridDetection, FindsTheGridOfEveryGriddedRealSignal) {
  // Steps as the recordings define them: the ECG's 0.005 mV ADC step, 16-bit
  // PCM, the EDF's 17422 uV over 65535 digital steps, decimal data.
  const struct {
    std::string file;
    double step;
  } cases[] = {
      {"ecg_mitbih208_360hz.npy", 0.005},       {"speech_alsa_front_center_48k.npy", 1.0 / 32768},
      {"eeg_fp1_128hz.npy", 17422.0 / 65535.0}, {"sunspots_yearly.npy", 0.1},
      {"sst_elnino_monthly.npy", 0.01},         {"goog_adj_close_daily.npy", 0.01},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Found f = detect(codec_test::load_npy(c.file));
    ASSERT_TRUE(f.grid);
    EXPECT_TRUE(f.reproduces);
    // The step is found to float32's precision over the signal's codes.
    EXPECT_NEAR(f.grid->step / c.step, 1.0, 1e-6);
  }
  // 16-bit PCM's step is a power of two: found exactly, so it fits a float32 field.
  EXPECT_EQ(detect(codec_test::load_npy("speech_alsa_front_center_48k.npy")).grid->step, 1.0 / 32768);
}

TEST(GridDetection, RefusesSignalsWithoutOne) {
  // The membrane recording's values are float32 arithmetic on a grid (a unit
  // off here and there), the CO2 series has interpolated weeks, noise has none.
  std::mt19937 random(7);
  std::normal_distribution<float> normal;
  std::vector<float> noise(5000);
  for (float& v : noise) v = normal(random);
  for (const auto& x :
       {codec_test::load_npy("mpl_membrane.npy"), codec_test::load_npy("co2_weekly_mauna_loa.npy"), noise}) {
    EXPECT_FALSE(detect(x).grid);
  }
}

TEST(GridDetection, FindsSyntheticGridsOfAnyOriginAndMagnitude) {
  std::mt19937 random(11);
  const struct {
    const char* name;
    double origin, step;
    int span;  // codes drawn from [-span, span]
  } cases[] = {
      {"decimal", 0.0, 0.01, 5000},
      {"24-bit PCM", 0.0, 0x1p-23, 8000000},
      {"EDF", -3276.8, 0.1000015259, 30000},
      {"tiny", 0.0, 3e-33, 20000},
      {"huge", 1e30, 7e25, 1000},
      {"offset decimal", 1000.0, 0.25, 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::uniform_int_distribution<int> code(-c.span, c.span);
    std::vector<float> x(20000);
    // A random walk, as real signals move, with jumps across the whole span.
    int k = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      k = i % 1000 == 0 ? code(random) : std::clamp(k + code(random) % 7, -c.span, c.span);
      x[i] = static_cast<float>(c.origin + c.step * k);
    }
    const Found f = detect(x);
    ASSERT_TRUE(f.grid);
    EXPECT_TRUE(f.reproduces);
  }
}

TEST(GridDetection, NeedsEverySampleOnTheGrid) {
  auto x = codec_test::load_npy("ecg_mitbih208_360hz.npy");
  x[77777] += 0.00137f;  // one sample off the grid, where the detector's sample of values does not look
  EXPECT_FALSE(detect(x).grid);
}

TEST(GridDetection, SimplestBetweenPrefersShortMantissas) {
  const double decimal = quorvel::simplest_between(0.0049999, 0.0050001);
  EXPECT_TRUE(decimal >= 0.0049999 && decimal <= 0.0050001);
  EXPECT_EQ(static_cast<double>(static_cast<float>(decimal)), decimal);  // short enough for a float32 field
  EXPECT_EQ(quorvel::simplest_between(3.0517578e-05, 3.0517579e-05), 0x1p-15);
  EXPECT_EQ(quorvel::simplest_between(0.75, 0.8), 0.75);
  const double lo = 1.2345678901234, hi = std::nextafter(lo, 2.0);
  const double picked = quorvel::simplest_between(lo, hi);
  EXPECT_TRUE(picked == lo || picked == hi);
}

}  // namespace
