// Every vector tier's filter banks against their portable twins: values within
// rounding, reconstruction, and the same sizes and errors.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "filter_bank_fixtures.hpp"
#include "rimble/coefficients.hpp"
#include "rimble/rimble.hpp"

namespace {

using rimble::BorderMode;
using rimble::ProcessorTier;
using Executor = rimble::IncompleteDwtExecutor<float>;
using Handle = std::shared_ptr<const Executor>;

// The db(L/2) low-pass row in float: an orthonormal filter, so that forward
// then inverse must give the input back.
std::vector<float> daubechies_taps(std::size_t taps) {
  const auto row = rimble::daubechies_row(static_cast<rimble::DaubechiesFamily>(taps / 2 - 1));
  return std::vector<float>(row.begin(), row.end());
}

// A vector executor and the portable one it stands in for, with their filters.
struct Twins {
  Handle portable;
  Handle vector;
  std::vector<float> low;
  std::vector<float> high;
};

template <class Vector, std::size_t L>
Twins fixed_twins(BorderMode mode) {
  const auto taps = daubechies_taps(L);
  std::array<float, L> low{};
  std::copy(taps.begin(), taps.end(), low.begin());
  return {std::make_shared<rimble::WaveletFixedTaps<float, L>>(mode, low), std::make_shared<Vector>(mode, low), taps,
          rimble::util::low_pass_to_high<float>(taps)};
}

template <class Vector, std::size_t L>
Twins n_taps_twins(BorderMode mode) {
  const auto low = daubechies_taps(L);
  return {std::make_shared<rimble::WaveletNTaps<float>>(mode, low), std::make_shared<Vector>(mode, low), low,
          rimble::util::low_pass_to_high<float>(low)};
}

struct Family {
  std::string name;
  ProcessorTier tier;
  std::size_t taps;
  Twins (*make)(BorderMode);
};
void PrintTo(const Family& family, std::ostream* out) { *out << family.name; }

template <class Kernels, std::size_t L>
void add_fixed_family(std::vector<Family>& families, ProcessorTier tier) {
  if constexpr (L <= Kernels::max_fixed_taps) {
    families.push_back({std::string(rimble::tier_name(tier)) + "_" + std::to_string(L), tier, L,
                        fixed_twins<rimble::FixedTapsFilterBank<Kernels, L>, L>});
  }
}

template <class Kernels, std::size_t L>
void add_n_taps_family(std::vector<Family>& families, ProcessorTier tier) {
  families.push_back({std::string(rimble::tier_name(tier)) + "_n" + std::to_string(L), tier, L,
                      n_taps_twins<rimble::NTapsFilterBank<Kernels>, L>});
}

// Every executor of every vector tier this build compiles: the unrolled ones,
// and the n-tap one with short, odd-pair, 16 and long filters.
std::vector<Family> every_family() {
  std::vector<Family> families;
  for (const ProcessorTier tier : rimble::kProcessorTiers) {
    if (tier == ProcessorTier::Portable || !rimble::tier_built(tier)) continue;
    rimble::visit_tier_kernels(tier, [&]<class Kernels>() {
      [&]<std::size_t... I>(std::index_sequence<I...>) {
        (add_fixed_family<Kernels, rimble::kFixedTaps[I]>(families, tier), ...);
      }(std::make_index_sequence<std::size(rimble::kFixedTaps)>());
      add_n_taps_family<Kernels, 2>(families, tier);
      add_n_taps_family<Kernels, 14>(families, tier);
      add_n_taps_family<Kernels, 16>(families, tier);
      add_n_taps_family<Kernels, 40>(families, tier);
    });
  }
  return families;
}

// Rounding bound of a k-term float32 dot product (Higham, Accuracy and
// Stability of Numerical Algorithms, 3.1): whatever the summation order, with
// every product rounded or fused into a multiply-add,
//   |computed - exact| <= gamma_k * sum |a_i b_i|,  gamma_k = k u / (1 - k u),
// u = 2^-24. The portable and the vector result each lie within that of the
// exact sum, so they differ by at most 2 gamma_k sum |a_i b_i|. A forward
// output is an L-term sum; an inverse output adds L products to the value
// already in the output, k = L + 1.
double twice_gamma(std::size_t k) {
  const double u = std::ldexp(1.0, -24);
  return 2.0 * static_cast<double>(k) * u / (1.0 - static_cast<double>(k) * u);
}

class SimdFilterBank : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    if (!rimble::tier_runs(GetParam().tier, rimble::cpu_features())) {
      GTEST_SKIP() << "the processor lacks " << rimble::tier_name(GetParam().tier);
    }
  }
  [[nodiscard]] std::size_t taps() const { return GetParam().taps; }
};

// Signal lengths L .. L+71 give every interior count from 1 to 36: every
// remainder (0 to 3 and beyond) after the last full step of two AVX2 or SSE
// registers, and the bands shorter than one register. 4099 and 4100 are long
// signals of both parities.
std::vector<std::size_t> signal_lengths(std::size_t taps) {
  std::vector<std::size_t> lengths;
  for (std::size_t n = taps; n < taps + 72; ++n) lengths.push_back(n);
  lengths.push_back(4099);
  lengths.push_back(4100);
  return lengths;
}

TEST_P(SimdFilterBank, ForwardAgreesWithPortableTwinWithinRounding) {
  const std::size_t L = taps();
  for (const BorderMode mode : fixtures::kAllModes) {
    const Twins twins = GetParam().make(mode);
    const auto& low = twins.low;
    const auto& high = twins.high;
    ASSERT_EQ(low.size(), L);
    for (const std::size_t n : signal_lengths(L)) {
      SCOPED_TRACE(std::string(fixtures::mode_name(mode)) + ", n = " + std::to_string(n));
      const auto x = fixtures::random_signal(n, static_cast<std::uint32_t>(n * 31 + L), 4.0f);
      const auto lengths = twins.portable->dwt_size(n);
      ASSERT_EQ(twins.vector->dwt_size(n), lengths);
      ASSERT_EQ(twins.vector->required_scratch_size(n), twins.portable->required_scratch_size(n));
      std::vector<float> pa(lengths.approx_length), pd(lengths.details_length);
      std::vector<float> va(lengths.approx_length), vd(lengths.details_length);
      ASSERT_TRUE(twins.portable->execute_forward(x, pa, pd).has_value());
      ASSERT_TRUE(twins.vector->execute_forward(x, va, vd).has_value());
      for (std::size_t i = 0; i < pa.size(); ++i) {
        const auto first = 2 * static_cast<std::int64_t>(i) - static_cast<std::int64_t>(L - 2);
        double low_size = 0.0, high_size = 0.0;
        for (std::size_t j = 0; j < L; ++j) {
          const double sample = std::fabs(fixtures::extended(x, first + static_cast<std::int64_t>(j), mode));
          low_size += std::fabs(low[j]) * sample;
          high_size += std::fabs(high[j]) * sample;
        }
        ASSERT_LE(std::fabs(double(va[i]) - pa[i]), twice_gamma(L) * low_size) << "approximation " << i;
        ASSERT_LE(std::fabs(double(vd[i]) - pd[i]), twice_gamma(L) * high_size) << "detail " << i;
      }
    }
  }
}

// Bands of m = L/2 - 1 (empty output) up to 40 more coefficients, and long
// ones; the output starts non-zero, since the inverse adds into it.
TEST_P(SimdFilterBank, InverseAgreesWithPortableTwinWithinRounding) {
  const std::size_t L = taps();
  const Twins twins = GetParam().make(BorderMode::Periodic);
  const auto& low = twins.low;
  const auto& high = twins.high;
  std::vector<std::size_t> band_lengths = {2049, 2050};
  for (std::size_t m = L / 2 - 1; m < L / 2 + 40; ++m) band_lengths.push_back(m);
  for (const std::size_t m : band_lengths) {
    SCOPED_TRACE("m = " + std::to_string(m));
    const auto a = fixtures::random_signal(m, static_cast<std::uint32_t>(m * 7 + L), 3.0f);
    const auto d = fixtures::random_signal(m, static_cast<std::uint32_t>(m * 11 + L), 3.0f);
    const std::size_t length = twins.portable->idwt_size({m, m});
    ASSERT_EQ(twins.vector->idwt_size({m, m}), length);
    const auto initial = fixtures::random_signal(length, static_cast<std::uint32_t>(m + 5));
    std::vector<float> portable = initial, vector = initial;
    ASSERT_TRUE(twins.portable->execute_inverse(a, d, portable).has_value());
    ASSERT_TRUE(twins.vector->execute_inverse(a, d, vector).has_value());
    std::vector<double> size(length);
    for (std::size_t t = 0; t < length; ++t) size[t] = std::fabs(initial[t]);
    for (std::size_t j = 0; j < m; ++j) {
      for (std::size_t k = 0; k < L; ++k) {
        const auto t = static_cast<std::int64_t>(2 * j + k) - static_cast<std::int64_t>(L - 2);
        if (t < 0 || t >= static_cast<std::int64_t>(length)) continue;
        size[t] += std::fabs(double(low[k]) * a[j]) + std::fabs(double(high[k]) * d[j]);
      }
    }
    for (std::size_t t = 0; t < length; ++t) {
      ASSERT_LE(std::fabs(double(vector[t]) - portable[t]), twice_gamma(L + 1) * size[t]) << "sample " << t;
    }
  }
}

// Reconstruction error bound, for |x| <= 1: the forward sums are within
// gamma_L sum|h| of exact, and the inverse spreads that through sum|h| again
// (sum|h| <= sqrt(L) as sum h^2 = 1), plus its own gamma_{L+1} rounding; the
// float32 filter taps (relative error u each) break perfect reconstruction by
// about 2 L u. So |x^ - x| <= (2 L^2 + 4 L) u covers it with room.
TEST_P(SimdFilterBank, ForwardThenInverseRestoresTheInput) {
  const std::size_t L = taps();
  const double tolerance = (2.0 * L * L + 4.0 * L) * std::ldexp(1.0, -24);
  for (const BorderMode mode : fixtures::kAllModes) {
    const Twins twins = GetParam().make(mode);
    for (const std::size_t n : {L, L + 1, L + 37, std::size_t{1000}, std::size_t{1001}}) {
      SCOPED_TRACE(std::string(fixtures::mode_name(mode)) + ", n = " + std::to_string(n));
      const auto x = fixtures::random_signal(n, static_cast<std::uint32_t>(n + 3 * L));
      const auto lengths = twins.vector->dwt_size(n);
      std::vector<float> a(lengths.approx_length), d(lengths.details_length);
      ASSERT_TRUE(twins.vector->execute_forward(x, a, d).has_value());
      std::vector<float> y(twins.vector->idwt_size(lengths), 0.0f);
      ASSERT_EQ(y.size(), n + n % 2);
      ASSERT_TRUE(twins.vector->execute_inverse(a, d, y).has_value());
      for (std::size_t t = 0; t < n; ++t) ASSERT_NEAR(y[t], x[t], tolerance) << "sample " << t;
    }
  }
}

// One wrongly sized call of either step; out-of-range sizes pick the error.
struct WrongCall {
  const char* what;
  std::size_t input;     // forward: input length
  std::ptrdiff_t approx; // forward: offset from the right band length; inverse: band length
  std::ptrdiff_t details;
  std::ptrdiff_t other;  // forward: scratch offset; inverse: output offset from idwt_size
  bool inverse;
};

TEST_P(SimdFilterBank, RejectsTheSameWrongSizesWithTheSameErrors) {
  const std::size_t L = taps();
  const auto h = static_cast<std::ptrdiff_t>(L / 2 - 1);
  const WrongCall calls[] = {
      {"input one shorter than the filter", L - 1, 0, 0, 0, false},
      {"approximation band one longer", L + 3, 1, 0, 0, false},
      {"approximation band one shorter", L + 3, -1, 0, 0, false},
      {"details band one shorter", L + 3, 0, -1, 0, false},
      {"scratch one sample short", 2 * L + 1, 0, 0, -1, false},
      {"bands of different lengths", 0, h + 5, h + 4, 0, true},
      {"output one sample short", 0, h + 5, h + 5, -1, true},
      {"output one sample long", 0, h + 5, h + 5, 1, true},
      {"bands too short for any output", 0, h - 1 < 0 ? 0 : h - 1, h - 1 < 0 ? 0 : h - 1, 1, true},
  };
  const Twins twins = GetParam().make(BorderMode::Symmetric);
  for (const WrongCall& call : calls) {
    SCOPED_TRACE(call.what);
    const auto resize = [](std::size_t base, std::ptrdiff_t offset) {
      const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(base) + offset;
      return static_cast<std::size_t>(size < 0 ? 0 : size);
    };
    std::vector<rimble::Result<void>> results;
    std::vector<std::vector<float>> written;
    for (const Handle& executor : {twins.portable, twins.vector}) {
      constexpr float kUntouched = 12345.0f;
      if (!call.inverse) {
        const auto x = fixtures::random_signal(call.input, 9);
        const auto out = executor->dwt_size(call.input).approx_length;
        std::vector<float> a(resize(out, call.approx), kUntouched), d(resize(out, call.details), kUntouched);
        std::vector<float> scratch(resize(executor->required_scratch_size(call.input), call.other), kUntouched);
        results.push_back(executor->execute_forward_with_scratch(x, a, d, scratch));
        a.insert(a.end(), d.begin(), d.end());
        written.push_back(a);
      } else {
        const auto a = fixtures::random_signal(static_cast<std::size_t>(call.approx), 1);
        const auto d = fixtures::random_signal(static_cast<std::size_t>(call.details), 2);
        const std::size_t wanted = executor->idwt_size({a.size(), d.size()});
        // A wrapped (huge) idwt_size stands for "no output fits": pass an empty one.
        std::vector<float> out(wanted > 1u << 20 ? 0 : resize(wanted, call.other), kUntouched);
        results.push_back(executor->execute_inverse(a, d, out));
        written.push_back(out);
      }
      if (!results.back().has_value()) {
        for (const float v : written.back()) ASSERT_EQ(v, kUntouched) << "a failed call wrote into its output";
      }
    }
    // Fixed-length executors use no scratch, so a short one is no error there.
    if (!results[0].has_value() || !results[1].has_value()) {
      ASSERT_FALSE(results[0].has_value());
      ASSERT_FALSE(results[1].has_value());
      EXPECT_EQ(results[1].error(), results[0].error()) << results[0].error().message();
    } else {
      EXPECT_STREQ(call.what, "scratch one sample short");
      EXPECT_EQ(twins.vector->required_scratch_size(call.input), 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllFamilies, SimdFilterBank, ::testing::ValuesIn(every_family()),
                         [](const ::testing::TestParamInfo<Family>& info) { return info.param.name; });
// Builds for an architecture without vector tiers list no family.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SimdFilterBank);

}  // namespace
