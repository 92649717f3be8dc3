// The AVX2 lifting executors against their portable twins: CDF 5/3 bit for bit, CDF 9/7 within a
// few units in the last place.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "lifting_test_support.hpp"
#include "rimble/rimble.hpp"

namespace {

using rimble::avx::cdf53f::AvxCdf53;
using rimble::avx::cdf97f::AvxCdf97;
using rimble::cdf53f::Cdf53;
using rimble::cdf97f::Cdf97;

// Every length up to 300 crosses the switch from the all-portable path of short signals to the
// vector pipeline, and every phase of the tail (n mod 16) for several block counts.
std::vector<std::size_t> lengths_from(std::size_t first) {
  std::vector<std::size_t> lengths;
  for (std::size_t n = first; n <= 300; ++n) lengths.push_back(n);
  lengths.push_back(1'000'000);
  lengths.push_back(1'000'003);
  return lengths;
}

struct Bands {
  std::vector<float> approx, details, inverse;
};

// Forward of x with Executor, and Executor's inverse of the portable forward's bands.
template <class Executor, class Portable>
Bands transform(std::span<const float> x) {
  Bands out{std::vector<float>((x.size() + 1) / 2), std::vector<float>(x.size() / 2), std::vector<float>(x.size())};
  std::vector<float> a(out.approx.size()), d(out.details.size());
  EXPECT_TRUE(Executor().execute_forward(x, out.approx, out.details));
  EXPECT_TRUE(Portable().execute_forward(x, a, d));
  EXPECT_TRUE(Executor().execute_inverse(a, d, out.inverse));
  return out;
}

class AvxLifting : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rimble::cpu_features().avx2_fma) {
      GTEST_SKIP() << "processor lacks AVX2 and FMA";
    }
  }
};

TEST_F(AvxLifting, Cdf53IsBitIdenticalToPortable) {
  for (std::size_t n : lengths_from(3)) {
    SCOPED_TRACE(n);
    const auto x = lifting_oracle::random_signal(n, static_cast<unsigned>(n) + 1000);
    const Bands portable = transform<Cdf53, Cdf53>(x);
    const Bands vector = transform<AvxCdf53, Cdf53>(x);
    ASSERT_EQ(vector.approx, portable.approx);
    ASSERT_EQ(vector.details, portable.details);
    ASSERT_EQ(vector.inverse, portable.inverse);
  }
}

TEST_F(AvxLifting, Cdf53MultiLevelIsBitIdenticalToPortable) {
  const auto x = lifting_oracle::random_signal(100'003, 17);
  const auto portable = Cdf53().multi_dwt(x, 8);
  const auto vector = AvxCdf53().multi_dwt(x, 8);
  ASSERT_TRUE(portable && vector);
  rimble::MultiDwtView<float> view{portable->levels.back().approximations, {}};
  for (std::size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(vector->levels[k].approximations, portable->levels[k].approximations) << k;
    EXPECT_EQ(vector->levels[k].details, portable->levels[k].details) << k;
    view.details.emplace_back(portable->levels[k].details);
  }
  EXPECT_EQ(*AvxCdf53().multi_idwt(view), *Cdf53().multi_idwt(view));
}

// Fused and separately rounded steps differ by at most half an ulp of an intermediate value per
// rounding; intermediates stay below about 4 max|x| and pass through four more steps of gain
// below 4, so differences stay well under 16 ulps of the signal's largest magnitude (measured:
// about 6 on a million samples). Relative to each coefficient they can be large, because
// details of smooth regions are small differences of large values.
void expect_within_ulps(std::span<const float> actual, std::span<const float> expected, double max_magnitude) {
  ASSERT_EQ(actual.size(), expected.size());
  const double bound = 16 * std::numeric_limits<float>::epsilon() * max_magnitude;
  double worst = 0;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    worst = std::max(worst, std::fabs(static_cast<double>(actual[i]) - expected[i]));
  }
  EXPECT_LE(worst, bound);
}

TEST_F(AvxLifting, Cdf97AgreesWithPortableWithinAFewUlps) {
  for (std::size_t n : lengths_from(4)) {
    SCOPED_TRACE(n);
    const auto x = lifting_oracle::random_signal(n, static_cast<unsigned>(n) + 2000);
    const double m = lifting_oracle::max_magnitude(x);
    const Bands portable = transform<Cdf97, Cdf97>(x);
    const Bands vector = transform<AvxCdf97, Cdf97>(x);
    expect_within_ulps(vector.approx, portable.approx, m);
    expect_within_ulps(vector.details, portable.details, m);
    expect_within_ulps(vector.inverse, portable.inverse, m);
  }
}

TEST_F(AvxLifting, SizeErrorsMatchPortable) {
  const struct {
    std::size_t n, a, d;
  } rows[] = {{2, 1, 1}, {3, 2, 1}, {40, 19, 20}, {40, 20, 21}, {41, 21, 21}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.n);
    const std::vector<float> x(row.n, 1.0f);
    std::vector<float> a(row.a), d(row.d), y(row.a + row.d + 1);
    EXPECT_EQ(AvxCdf53().execute_forward(x, a, d), Cdf53().execute_forward(x, a, d));
    EXPECT_EQ(AvxCdf97().execute_forward(x, a, d), Cdf97().execute_forward(x, a, d));
    EXPECT_EQ(AvxCdf53().execute_inverse(a, d, y), Cdf53().execute_inverse(a, d, y));
    EXPECT_EQ(AvxCdf97().execute_inverse(a, d, std::span(y).first(row.a + row.d)),
              Cdf97().execute_inverse(a, d, std::span(y).first(row.a + row.d)));
  }
}

}  // namespace
