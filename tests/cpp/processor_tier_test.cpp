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

// The vector executors exist on x86-64 only. Elsewhere the detected tier is
// portable, so their columns are never read, and they name no type.
#if defined(__x86_64__)
#define VECTOR_TYPEID(type) typeid(type)
#else
#define VECTOR_TYPEID(type) typeid(void)
#endif

namespace {

using rimble::BorderMode;
using rimble::DwtFactory;
using rimble::ProcessorTier;
using quorvel_testing::ScopedTierCap;

ProcessorTier detected_tier() {
  const auto& features = rimble::cpu_features();
  return features.avx2_fma ? ProcessorTier::Avx : features.sse4_2 ? ProcessorTier::Sse : ProcessorTier::Portable;
}

const char* tier_name(ProcessorTier tier) {
  static const char* const names[] = {"portable", "sse", "avx"};
  return names[static_cast<int>(tier)];
}

template <std::size_t N>
std::array<float, N> taps() {
  std::array<float, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = 0.25f + 0.01f * static_cast<float>(i);
  return out;
}

// The dynamic type each DwtFactory operation returns, per tier.
struct Expected {
  const char* operation;
  DwtFactory<float>::Handle (*make)(BorderMode);
  const std::type_info& portable;
  const std::type_info& sse;
  const std::type_info& avx;
};

TEST(DwtFactory, BuildsTheExecutorFamilyOfTheTier) {
  const std::vector<float> fourteen(14, 0.1f);
  static const std::vector<float>* n_taps = &fourteen;
  const Expected table[] = {
      {"wavelet_2_taps", [](BorderMode m) { return DwtFactory<float>::wavelet_2_taps(m, taps<2>()); },
       typeid(rimble::Wavelet2Taps<float>), VECTOR_TYPEID(rimble::sse::SseWavelet2TapsF32),
       VECTOR_TYPEID(rimble::avx::AvxWavelet2TapsF32)},
      {"wavelet_4_taps", [](BorderMode m) { return DwtFactory<float>::wavelet_4_taps(m, taps<4>()); },
       typeid(rimble::Wavelet4Taps<float>), VECTOR_TYPEID(rimble::sse::SseWavelet4TapsF32),
       VECTOR_TYPEID(rimble::avx::AvxWavelet4TapsF32)},
      {"wavelet_6_taps", [](BorderMode m) { return DwtFactory<float>::wavelet_6_taps(m, taps<6>()); },
       typeid(rimble::Wavelet6Taps<float>), VECTOR_TYPEID(rimble::sse::SseWavelet6TapsF32),
       VECTOR_TYPEID(rimble::avx::AvxWavelet6TapsF32)},
      {"wavelet_8_taps", [](BorderMode m) { return DwtFactory<float>::wavelet_8_taps(m, taps<8>()); },
       typeid(rimble::Wavelet8Taps<float>), VECTOR_TYPEID(rimble::sse::SseWavelet8TapsF32),
       VECTOR_TYPEID(rimble::avx::AvxWavelet8TapsF32)},
      {"wavelet_10_taps", [](BorderMode m) { return DwtFactory<float>::wavelet_10_taps(m, taps<10>()); },
       typeid(rimble::Wavelet10Taps<float>), VECTOR_TYPEID(rimble::sse::SseWavelet10TapsF32),
       VECTOR_TYPEID(rimble::avx::AvxWavelet10TapsF32)},
      {"wavelet_12_taps", [](BorderMode m) { return DwtFactory<float>::wavelet_12_taps(m, taps<12>()); },
       typeid(rimble::Wavelet12Taps<float>), VECTOR_TYPEID(rimble::sse::SseWavelet12TapsF32),
       VECTOR_TYPEID(rimble::avx::AvxWavelet12TapsF32)},
      // No SSE form of 16 taps: the generic SSE executor stands in.
      {"wavelet_16_taps", [](BorderMode m) { return DwtFactory<float>::wavelet_16_taps(m, taps<16>()); },
       typeid(rimble::Wavelet16Taps<float>), VECTOR_TYPEID(rimble::sse::SseWaveletNTapsF32),
       VECTOR_TYPEID(rimble::avx::AvxWavelet16TapsF32)},
      {"wavelet_n_taps", [](BorderMode m) { return DwtFactory<float>::wavelet_n_taps(m, *n_taps); },
       typeid(rimble::WaveletNTaps<float>), VECTOR_TYPEID(rimble::sse::SseWaveletNTapsF32),
       VECTOR_TYPEID(rimble::avx::AvxWaveletNTapsF32)},
  };
  for (const ProcessorTier cap : {ProcessorTier::Portable, ProcessorTier::Sse, ProcessorTier::Avx}) {
    if (cap > detected_tier()) continue;
    const ScopedTierCap scoped(cap);
    for (const Expected& row : table) {
      SCOPED_TRACE(std::string(tier_name(cap)) + " " + row.operation);
      const auto executor = row.make(BorderMode::Zeros);
      const std::type_info& expected =
          cap == ProcessorTier::Avx ? row.avx : cap == ProcessorTier::Sse ? row.sse : row.portable;
      EXPECT_EQ(typeid(*executor), expected) << typeid(*executor).name();
    }
  }
}

// An executor built on a tier keeps its family when the tier changes later.
TEST(DwtFactory, ChoosesOncePerConstruction) {
  if (detected_tier() != ProcessorTier::Avx) GTEST_SKIP() << "needs AVX2 and FMA";
  DwtFactory<float>::Handle executor;
  {
    const ScopedTierCap scoped(ProcessorTier::Avx);
    executor = DwtFactory<float>::wavelet_8_taps(BorderMode::Periodic, taps<8>());
  }
  const ScopedTierCap scoped(ProcessorTier::Portable);
  EXPECT_EQ(typeid(*executor), VECTOR_TYPEID(rimble::avx::AvxWavelet8TapsF32));
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
  for (const Wavelet& wavelet : wavelets) {
    std::vector<rimble::MultiDwt<float>> forward;
    std::vector<std::vector<float>> inverse;
    for (const ProcessorTier cap : {ProcessorTier::Portable, ProcessorTier::Sse, ProcessorTier::Avx}) {
      if (cap > detected_tier()) continue;
      const ScopedTierCap scoped(cap);
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
      SCOPED_TRACE(std::string(wavelet.name) + " tier " + tier_name(static_cast<ProcessorTier>(t)));
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
