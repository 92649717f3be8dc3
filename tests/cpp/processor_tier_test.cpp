// The factory's processor tiers: which filter-bank executor each tier builds,
// and that the tiers agree.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/rimble.hpp"
#include "tier_cap.hpp"

namespace {

using rimble::BorderMode;
using rimble::DwtFactory;
using rimble::ProcessorTier;
using quorvel_testing::ScopedTierCap;

bool processor_runs(ProcessorTier tier) { return rimble::tier_runs(tier, rimble::cpu_features()); }

// The tiers this processor runs, lowest first, whatever the cap.
std::vector<ProcessorTier> tiers_of_this_processor() {
  std::vector<ProcessorTier> tiers;
  for (const ProcessorTier tier : rimble::kProcessorTiers) {
    if (processor_runs(tier)) tiers.push_back(tier);
  }
  return tiers;
}

template <std::size_t N>
std::array<float, N> taps() {
  std::array<float, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = 0.25f + 0.01f * static_cast<float>(i);
  return out;
}

// The longest filter for which each tier builds an unrolled executor; longer filters and
// wavelet_n_taps get its n-tap executor. SSE has no 16-tap form.
struct TierRow {
  ProcessorTier tier;
  std::size_t longest_fixed;
};
constexpr TierRow kTierRows[] = {
    {ProcessorTier::Portable, 16},
    {ProcessorTier::Sse, 12},
    {ProcessorTier::Avx, 16},
};

// Each fixed-length DwtFactory operation, by its tap count, and the type a tier's kernels K
// make of it: FixedTapsFilterBank<K, L> where the tier unrolls L.
struct Operation {
  std::size_t taps;
  DwtFactory<float>::Handle (*make)(BorderMode);
  const std::type_info& (*fixed_type)(ProcessorTier);
};
template <std::size_t L>
const std::type_info& fixed_type(ProcessorTier tier) {
  return rimble::visit_tier_kernels(tier, []<class K>() -> const std::type_info& {
    if constexpr (L <= K::max_fixed_taps) return typeid(rimble::FixedTapsFilterBank<K, L>);
    return typeid(void);
  });
}
#define OPERATION(L, unused) \
  {L, [](BorderMode m) { return DwtFactory<float>::wavelet_##L##_taps(m, taps<L>()); }, &fixed_type<L>},
const Operation kOperations[] = {RIMBLE_FIXED_TAPS(OPERATION, )};
#undef OPERATION

const std::type_info& n_taps_type(ProcessorTier tier) {
  return rimble::visit_tier_kernels(
      tier, []<class K>() -> const std::type_info& { return typeid(rimble::NTapsFilterBank<K>); });
}

TEST(DwtFactory, BuildsTheExecutorFamilyOfTheTier) {
  const std::vector<float> fourteen(14, 0.1f);
  for (const TierRow& row : kTierRows) {
    if (!processor_runs(row.tier)) continue;
    const ScopedTierCap scoped(row.tier);
    const std::string tier(rimble::tier_name(row.tier));
    for (const Operation& operation : kOperations) {
      SCOPED_TRACE(tier + " wavelet_" + std::to_string(operation.taps) + "_taps");
      const auto executor = operation.make(BorderMode::Zeros);
      const auto& expected =
          operation.taps <= row.longest_fixed ? operation.fixed_type(row.tier) : n_taps_type(row.tier);
      EXPECT_EQ(typeid(*executor), expected) << typeid(*executor).name();
    }
    SCOPED_TRACE(tier + " wavelet_n_taps");
    const auto executor = DwtFactory<float>::wavelet_n_taps(BorderMode::Zeros, fourteen);
    EXPECT_EQ(typeid(*executor), n_taps_type(row.tier)) << typeid(*executor).name();
  }
}

// An executor built on a tier keeps its family when the tier changes later.
TEST(DwtFactory, ChoosesOncePerConstruction) {
  if (!processor_runs(ProcessorTier::Avx)) GTEST_SKIP() << "needs AVX2 and FMA";
  DwtFactory<float>::Handle executor;
  {
    const ScopedTierCap scoped(ProcessorTier::Avx);
    executor = DwtFactory<float>::wavelet_8_taps(BorderMode::Periodic, taps<8>());
  }
  const ScopedTierCap scoped(ProcessorTier::Portable);
  EXPECT_EQ(typeid(*executor), typeid(rimble::avx::AvxWavelet8TapsF32));
}

TEST(CpuFeatures, AvxImpliesSse) {
  const auto& f = rimble::cpu_features();
  EXPECT_EQ(&f, &rimble::cpu_features());
  if (f.avx2_fma) {
    EXPECT_TRUE(f.sse4_2);
  }
  if (f.sse4_2) {
    EXPECT_TRUE(f.sse4_1);
  }
}

// The codec's db4 and two longer filters through every tier the processor has:
// five levels forward and back agree with the portable tier to within float
// rounding. Samples are within 1; level k coefficients within 2^(k/2) <= 5.7
// (gain sqrt 2 per level). One level differs between tiers by at most
// 2 gamma_L sum|h||x| (sum|h| <= sqrt L), about 2 * 40 * 6e-8 * 6.3 * 5.7 = 2e-4
// for 40 taps at level 5, so 5e-4 holds every level with the propagated error
// of the levels before; the reconstructions agree to 1e-4.
TEST(Rimble, FilterBanksAgreeAcrossTiers) {
  const auto x = fixtures::random_signal(5000, 77);
  struct Wavelet {
    const char* name;
    std::shared_ptr<const rimble::DwtExecutor<float>> (*make)();
  };
  const Wavelet wavelets[] = {
      {"db4", [] { return rimble::Rimble::make_daubechies_f32(rimble::DaubechiesFamily::Db4, BorderMode::Periodic); }},
      {"db8", [] { return rimble::Rimble::make_daubechies_f32(rimble::DaubechiesFamily::Db8, BorderMode::Symmetric); }},
      {"sym20", [] { return rimble::Rimble::make_symlet_f32(rimble::SymletFamily::Sym20, BorderMode::Reflect); }},
  };
  const auto tiers = tiers_of_this_processor();
  for (const Wavelet& wavelet : wavelets) {
    std::vector<rimble::MultiDwt<float>> forward;
    std::vector<std::vector<float>> inverse;
    for (const ProcessorTier tier : tiers) {
      const ScopedTierCap scoped(tier);
      const auto executor = wavelet.make();
      auto levels = executor->multi_dwt(x, 5);
      ASSERT_TRUE(levels.has_value());
      rimble::MultiDwtView<float> view{levels->levels.back().approximations, {}};
      for (const auto& level : levels->levels) view.details.emplace_back(level.details);
      auto y = executor->multi_idwt(view);
      ASSERT_TRUE(y.has_value());
      forward.push_back(std::move(*levels));
      inverse.push_back(std::move(*y));
    }
    for (std::size_t t = 1; t < forward.size(); ++t) {
      SCOPED_TRACE(std::string(wavelet.name) + " tier " + std::string(rimble::tier_name(tiers[t])));
      for (std::size_t level = 0; level < forward[0].levels.size(); ++level) {
        const auto& expected = forward[0].levels[level];
        const auto& actual = forward[t].levels[level];
        ASSERT_EQ(actual.approximations.size(), expected.approximations.size());
        for (std::size_t i = 0; i < expected.approximations.size(); ++i) {
          ASSERT_NEAR(actual.approximations[i], expected.approximations[i], 5e-4f) << "level " << level;
          ASSERT_NEAR(actual.details[i], expected.details[i], 5e-4f) << "level " << level;
        }
      }
      ASSERT_EQ(inverse[t].size(), inverse[0].size());
      for (std::size_t i = 0; i < x.size(); ++i) {
        ASSERT_NEAR(inverse[t][i], inverse[0][i], 1e-4f);
        ASSERT_NEAR(inverse[t][i], x[i], 1e-4f);
      }
    }
  }
}

}  // namespace
