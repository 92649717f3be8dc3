// The factory: which executor serves which wavelet, the taps it is built from,
// the border mode it passes on, round trips of every family member in every
// mode, and concurrent use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/coefficients.hpp"
#include "rimble/rimble.hpp"

namespace {

using rimble::BorderMode;
using rimble::DaubechiesFamily;
using rimble::Rimble;
using rimble::SymletFamily;
using Handle = std::shared_ptr<const rimble::DwtExecutor<float>>;

constexpr BorderMode kEveryMode[] = {BorderMode::Clamp, BorderMode::Periodic, BorderMode::Symmetric,
                                     BorderMode::Reflect, BorderMode::Zeros};

std::string mode_name(BorderMode mode) {
  constexpr const char* names[] = {"Clamp", "Periodic", "Symmetric", "Reflect", "Zeros"};
  return names[static_cast<int>(mode)];
}

struct FilterBank {
  std::string name;
  std::span<const double> row;
  std::function<Handle(BorderMode)> make;
};

std::vector<FilterBank> every_filter_bank() {
  std::vector<FilterBank> banks;
  for (int code = 0; code <= 23; ++code) {
    const auto family = static_cast<DaubechiesFamily>(code);
    banks.push_back({"db" + std::to_string(code + 1), rimble::daubechies_row(family),
                     [family](BorderMode mode) { return Rimble::make_daubechies_f32(family, mode); }});
  }
  for (int code = 0; code <= 18; ++code) {
    const auto family = static_cast<SymletFamily>(code);
    banks.push_back({"sym" + std::to_string(code + 2), rimble::symlet_row(family),
                     [family](BorderMode mode) { return Rimble::make_symlet_f32(family, mode); }});
  }
  return banks;
}

std::vector<float> random_signal(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
  std::vector<float> signal(n);
  for (auto& x : signal) {
    x = dist(rng);
  }
  return signal;
}

// Reads the executor's taps back through its forward step: on an input of L
// samples, output (L-2)/2 covers exactly x[0..L), so a unit impulse at j yields
// low[j] and high[j] with no rounding (every other product is a zero).
struct Taps {
  std::vector<float> low, high;
};
Taps taps_of(const rimble::DwtExecutor<float>& executor) {
  const std::size_t length = executor.filter_length();
  const auto bands = executor.dwt_size(length);
  Taps taps;
  for (std::size_t j = 0; j < length; ++j) {
    std::vector<float> impulse(length, 0.0f), approx(bands.approx_length), details(bands.details_length);
    impulse[j] = 1.0f;
    EXPECT_TRUE(executor.execute_forward(impulse, approx, details).has_value());
    taps.low.push_back(approx[(length - 2) / 2]);
    taps.high.push_back(details[(length - 2) / 2]);
  }
  return taps;
}

// Decomposes over as many levels (at most three) as keep every level's input at
// least the filter length, rebuilds, and returns the rebuilt signal cut to n.
std::vector<float> round_trip(const rimble::DwtExecutor<float>& executor, std::span<const float> signal) {
  std::size_t levels = 0;
  for (std::size_t n = signal.size(); levels < 3 && n >= executor.filter_length(); ++levels) {
    n = executor.dwt_size(n).approx_length;
  }
  auto decomposition = executor.multi_dwt(signal, levels);
  if (!decomposition) {
    ADD_FAILURE() << decomposition.error().message();
    return {};
  }
  EXPECT_EQ(decomposition->levels.size(), levels);
  rimble::MultiDwtView<float> view{decomposition->levels.back().approximations, {}};
  for (const auto& level : decomposition->levels) {
    view.details.emplace_back(level.details);
  }
  auto rebuilt = executor.multi_idwt(view);
  if (!rebuilt) {
    ADD_FAILURE() << rebuilt.error().message();
    return {};
  }
  EXPECT_GE(rebuilt->size(), signal.size());
  rebuilt->resize(std::min(rebuilt->size(), signal.size()));
  return *rebuilt;
}

float max_abs_difference(std::span<const float> a, std::span<const float> b) {
  float worst = 0.0f;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    worst = std::max(worst, std::abs(a[i] - b[i]));
  }
  return worst;
}

TEST(Factory, LiftingConstructorsPickTheAvxTierOnlyWhenItIsAvailable) {
  // An SSE4.2 processor has no lifting kernels of its own: it gets the portable ones.
  const bool avx = rimble::processor_tier() == rimble::ProcessorTier::Avx;
  const auto cdf53 = Rimble::make_cdf53_f32();
  const auto cdf97 = Rimble::make_cdf97_f32();
#if RIMBLE_ARCH(X86_64)
  EXPECT_EQ(dynamic_cast<const rimble::avx::cdf53f::AvxCdf53*>(cdf53.get()) != nullptr, avx);
  EXPECT_EQ(dynamic_cast<const rimble::avx::cdf97f::AvxCdf97*>(cdf97.get()) != nullptr, avx);
#else
  EXPECT_FALSE(avx) << "no vector kernels are built for this processor";
#endif
  EXPECT_EQ(dynamic_cast<const rimble::cdf53f::Cdf53*>(cdf53.get()) != nullptr, !avx);
  EXPECT_EQ(dynamic_cast<const rimble::cdf97f::Cdf97*>(cdf97.get()) != nullptr, !avx);
  EXPECT_EQ(cdf53->filter_length(), 6u);
  EXPECT_EQ(cdf97->filter_length(), 10u);
}

TEST(Factory, LiftingHandlesAgreeWithThePortableExecutors) {
  // The vector tier must match the portable one to within float rounding: a
  // few ulps of the signal's magnitude per lifting step and level.
  const auto signal = random_signal(1001, 7);
  const struct {
    const char* name;
    Handle chosen;
    Handle portable;
  } rows[] = {{"cdf53", Rimble::make_cdf53_f32(), std::make_shared<const rimble::cdf53f::Cdf53>()},
              {"cdf97", Rimble::make_cdf97_f32(), std::make_shared<const rimble::cdf97f::Cdf97>()}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto chosen = row.chosen->multi_dwt(signal, 4);
    const auto portable = row.portable->multi_dwt(signal, 4);
    ASSERT_TRUE(chosen.has_value() && portable.has_value());
    ASSERT_EQ(chosen->levels.size(), portable->levels.size());
    for (std::size_t level = 0; level < chosen->levels.size(); ++level) {
      SCOPED_TRACE(level);
      const auto& a = chosen->levels[level];
      const auto& b = portable->levels[level];
      ASSERT_EQ(a.approximations.size(), b.approximations.size());
      ASSERT_EQ(a.details.size(), b.details.size());
      EXPECT_LE(max_abs_difference(a.approximations, b.approximations), 1e-5f);
      EXPECT_LE(max_abs_difference(a.details, b.details), 1e-5f);
    }
  }
}

TEST(Factory, LiftingHandlesRoundTripRandomSignals) {
  // Relative to the signal's magnitude (3): float rounding over a few lifting
  // steps and four levels stays far below 1e-5.
  for (const auto& [name, executor] : {std::pair{"cdf53", Rimble::make_cdf53_f32()},
                                       std::pair{"cdf97", Rimble::make_cdf97_f32()}}) {
    for (const std::size_t n : {64u, 101u, 1000u}) {
      SCOPED_TRACE(std::string(name) + " n=" + std::to_string(n));
      const auto signal = random_signal(n, static_cast<unsigned>(n));
      const auto rebuilt = round_trip(*executor, signal);
      ASSERT_EQ(rebuilt.size(), n);
      EXPECT_LE(max_abs_difference(rebuilt, signal), 3e-5f);
    }
  }
}

// On the SSE tier there is no unrolled 16-tap executor: the generic SSE one,
// which needs an arena, stands in.
bool has_unrolled_executor(std::size_t taps) {
  return taps <= 12 || (taps == 16 && rimble::processor_tier() != rimble::ProcessorTier::Sse);
}

TEST(Factory, CodesMapToTheirTapCountsAndExecutors) {
  // Fixed-length executors read the signal in place; only the generic n-tap
  // executor asks for scratch (an arena of 2 floor((n+L-1)/2) + L - 2 samples).
  for (const auto& bank : every_filter_bank()) {
    SCOPED_TRACE(bank.name);
    const auto executor = bank.make(BorderMode::Periodic);
    const std::size_t taps = bank.row.size();
    EXPECT_EQ(executor->filter_length(), taps);
    const std::size_t n = 3 * taps;
    const std::size_t arena = 2 * ((n + taps - 1) / 2) + taps - 2;
    EXPECT_EQ(executor->required_scratch_size(n), has_unrolled_executor(taps) ? 0 : arena);
  }
}

TEST(Factory, TelltaleCodesHaveTheirTapCounts) {
  const struct {
    const char* name;
    Handle executor;
    std::size_t taps;
    bool generic;
  } rows[] = {
      {"db1", Rimble::make_daubechies_f32(DaubechiesFamily::Db1, BorderMode::Periodic), 2, false},
      {"db4", Rimble::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Periodic), 8, false},
      {"db7", Rimble::make_daubechies_f32(DaubechiesFamily::Db7, BorderMode::Periodic), 14, true},
      {"db8", Rimble::make_daubechies_f32(DaubechiesFamily::Db8, BorderMode::Periodic), 16, false},
      {"db24", Rimble::make_daubechies_f32(DaubechiesFamily::Db24, BorderMode::Periodic), 48, true},
      {"sym2", Rimble::make_symlet_f32(SymletFamily::Sym2, BorderMode::Periodic), 4, false},
      {"sym4", Rimble::make_symlet_f32(SymletFamily::Sym4, BorderMode::Periodic), 8, false},
      {"sym7", Rimble::make_symlet_f32(SymletFamily::Sym7, BorderMode::Periodic), 14, true},
      {"sym20", Rimble::make_symlet_f32(SymletFamily::Sym20, BorderMode::Periodic), 40, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.executor->filter_length(), row.taps);
    EXPECT_EQ(row.executor->required_scratch_size(100) > 0, row.generic || !has_unrolled_executor(row.taps));
  }
}

TEST(Factory, ExecutorsCarryTheRowRoundedToFloatAndItsQuadratureMirror) {
  for (const auto& bank : every_filter_bank()) {
    for (const BorderMode mode : kEveryMode) {
      SCOPED_TRACE(bank.name + " " + mode_name(mode));
      const auto taps = taps_of(*bank.make(mode));
      const std::size_t length = bank.row.size();
      ASSERT_EQ(taps.low.size(), length);
      for (std::size_t i = 0; i < length; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(taps.low[i], static_cast<float>(bank.row[i]));
        const float mirrored = static_cast<float>(bank.row[length - 1 - i]);
        EXPECT_EQ(taps.high[i], i % 2 == 0 ? mirrored : -mirrored);
      }
    }
  }
}

TEST(Factory, TelltaleTapsAreTheNearestFloats) {
  const auto haar = taps_of(*Rimble::make_daubechies_f32(DaubechiesFamily::Db1, BorderMode::Periodic));
  const float root_half = 0.70710678118654752f;  // the compiler rounds 1/sqrt(2) to the nearest float
  EXPECT_EQ(haar.low, (std::vector<float>{root_half, root_half}));
  EXPECT_EQ(haar.high, (std::vector<float>{root_half, -root_half}));
  const auto sym4 = taps_of(*Rimble::make_symlet_f32(SymletFamily::Sym4, BorderMode::Periodic));
  EXPECT_EQ(sym4.low[0], 0.0322231006040427f);
  const auto db4 = taps_of(*Rimble::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Periodic));
  EXPECT_EQ(db4.high[0], -0.010597401785069032f);
  EXPECT_EQ(db4.high[1], -0.0328830116668852f);
}

TEST(Factory, ForwardStepExtendsTheSignalByTheGivenBorderMode) {
  // Oracle: output i is sum_j h[j] x[2i + j - (L-2)] over the extended signal,
  // in double. 1e-5 covers the float rounding of an L-term sum of samples up to 3.
  // Every executor, unrolled or generic, applies every mode's rule at both ends.
  const struct {
    const char* name;
    std::function<Handle(BorderMode)> make;
    std::span<const double> row;
  } rows[] = {
      {"db4", [](BorderMode m) { return Rimble::make_daubechies_f32(DaubechiesFamily::Db4, m); },
       rimble::daubechies_row(DaubechiesFamily::Db4)},
      {"sym4", [](BorderMode m) { return Rimble::make_symlet_f32(SymletFamily::Sym4, m); },
       rimble::symlet_row(SymletFamily::Sym4)},
      {"db7", [](BorderMode m) { return Rimble::make_daubechies_f32(DaubechiesFamily::Db7, m); },
       rimble::daubechies_row(DaubechiesFamily::Db7)},
  };
  for (const auto& row : rows) {
    for (const BorderMode mode : kEveryMode) {
      for (const std::size_t n : {row.row.size(), row.row.size() + 5, std::size_t{40}}) {
        SCOPED_TRACE(std::string(row.name) + " " + mode_name(mode) + " n=" + std::to_string(n));
        const auto executor = row.make(mode);
        const auto signal = random_signal(n, static_cast<unsigned>(n) * 3u + 1u);
        const auto bands = executor->dwt_size(n);
        const long length = static_cast<long>(row.row.size());
        ASSERT_EQ(bands.approx_length, (n + row.row.size() - 1) / 2);
        std::vector<float> approx(bands.approx_length), details(bands.details_length);
        ASSERT_TRUE(executor->execute_forward(signal, approx, details).has_value());
        for (std::size_t i = 0; i < approx.size(); ++i) {
          double low = 0.0, high = 0.0;
          for (long j = 0; j < length; ++j) {
            const double sample = fixtures::extended(signal, 2 * static_cast<std::int64_t>(i) + j - (length - 2), mode);
            low += static_cast<float>(row.row[j]) * sample;
            const double mirrored = static_cast<float>(row.row[length - 1 - j]);
            high += (j % 2 == 0 ? mirrored : -mirrored) * sample;
          }
          EXPECT_NEAR(approx[i], low, 1e-5) << "output " << i;
          EXPECT_NEAR(details[i], high, 1e-5) << "output " << i;
        }
      }
    }
  }
}

TEST(Factory, EveryFilterBankRoundTripsRandomSignalsInEveryMode) {
  // Orthonormal banks rebuild the signal to float rounding: a few ulps of its
  // magnitude per tap and level, far below 1e-5 of it even at 48 taps.
  for (const auto& bank : every_filter_bank()) {
    for (const BorderMode mode : kEveryMode) {
      const auto executor = bank.make(mode);
      for (const std::size_t n : {3 * bank.row.size() + 1, 4 * bank.row.size()}) {
        SCOPED_TRACE(bank.name + " " + mode_name(mode) + " n=" + std::to_string(n));
        const auto signal = random_signal(n, static_cast<unsigned>(n + bank.row.size()));
        const auto rebuilt = round_trip(*executor, signal);
        ASSERT_EQ(rebuilt.size(), n);
        EXPECT_LE(max_abs_difference(rebuilt, signal), 3e-5f);
      }
    }
  }
}

// What one thread computes: every handle the factory offers, built afresh and
// run over three levels of the same signal.
std::vector<std::vector<float>> transform_with_fresh_handles(std::span<const float> signal) {
  std::vector<Handle> handles{Rimble::make_cdf53_f32(), Rimble::make_cdf97_f32()};
  for (const auto& bank : every_filter_bank()) {
    for (const BorderMode mode : kEveryMode) {
      handles.push_back(bank.make(mode));
    }
  }
  std::vector<std::vector<float>> results;
  for (const auto& handle : handles) {
    auto decomposition = handle->multi_dwt(signal, 2);
    if (!decomposition) {
      results.emplace_back();
      continue;
    }
    for (auto& level : decomposition->levels) {
      results.push_back(std::move(level.approximations));
      results.push_back(std::move(level.details));
    }
  }
  return results;
}

TEST(Factory, HandlesCanBeCreatedAndUsedFromManyThreadsAtOnce) {
  // 2 levels of 200 samples: every level's input (200, then at most 123) is at
  // least the longest filter, 48 taps.
  const auto signal = random_signal(200, 11);
  const auto serial = transform_with_fresh_handles(signal);
  ASSERT_FALSE(serial.empty());
  std::vector<std::vector<std::vector<float>>> concurrent(8);
  {
    std::vector<std::jthread> threads;
    for (auto& result : concurrent) {
      threads.emplace_back([&result, &signal] { result = transform_with_fresh_handles(signal); });
    }
  }
  for (const auto& result : concurrent) {
    EXPECT_EQ(result, serial);
  }
}

TEST(Factory, SharedHandleServesManyThreadsAtOnce) {
  const auto executor = Rimble::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Periodic);
  const auto signal = random_signal(4096, 5);
  const auto serial = executor->multi_dwt(signal, 5);
  ASSERT_TRUE(serial.has_value());
  std::vector<rimble::Result<rimble::MultiDwt<float>>> concurrent(8, std::unexpected(rimble::RimbleError::zero_sized_input()));
  {
    std::vector<std::jthread> threads;
    for (auto& result : concurrent) {
      threads.emplace_back([&result, &signal, &executor] { result = executor->multi_dwt(signal, 5); });
    }
  }
  for (const auto& result : concurrent) {
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->levels.size(), serial->levels.size());
    for (std::size_t level = 0; level < serial->levels.size(); ++level) {
      EXPECT_EQ(result->levels[level].approximations, serial->levels[level].approximations);
      EXPECT_EQ(result->levels[level].details, serial->levels[level].details);
    }
  }
}

}  // namespace
