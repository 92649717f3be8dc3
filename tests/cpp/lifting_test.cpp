// Every lifting executor against an independent double-precision model, the behaviour of the
// multi-level operations they share, and one level's sizes and checks with each scheme's numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "lifting_test_support.hpp"
#include "rimble/rimble.hpp"

namespace {

namespace oracle = lifting_oracle;

struct Cdf53Case {
  using Executor = rimble::cdf53f::Cdf53;
  static const oracle::Scheme& scheme() { return oracle::cdf53(); }
  static bool supported() { return true; }
  // At most three roundings per output (sum, product, sum) of values up to 2.5 max|x|.
  static constexpr double kTolerance = 1e-6;
};

struct Cdf97Case {
  using Executor = rimble::cdf97f::Cdf97;
  static const oracle::Scheme& scheme() { return oracle::cdf97(); }
  static bool supported() { return true; }
  // Four steps of three roundings each plus the scale, with intermediates up to about 4 max|x|:
  // a few dozen float ulps (6e-8) of max|x|; the float constants themselves are within 3e-8.
  static constexpr double kTolerance = 1e-5;
};

#if RIMBLE_ARCH(X86_64)
// The vector executors: same model, same tolerances.
template <class Portable, class Vector>
struct AvxCase : Portable {
  using Executor = Vector;
  static bool supported() { return rimble::cpu_features().avx2_fma; }
};
using AvxCdf53Case = AvxCase<Cdf53Case, rimble::avx::cdf53f::AvxCdf53>;
using AvxCdf97Case = AvxCase<Cdf97Case, rimble::avx::cdf97f::AvxCdf97>;
#endif

template <class Case>
class LiftingExecutor : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Case::supported()) {
      GTEST_SKIP() << "processor lacks the instruction set";
    }
  }
  const typename Case::Executor executor{};
  const std::size_t min_length = Case::Executor::kMinLength;
};

#if RIMBLE_ARCH(X86_64)
using Cases = ::testing::Types<Cdf53Case, Cdf97Case, AvxCdf53Case, AvxCdf97Case>;
#else
using Cases = ::testing::Types<Cdf53Case, Cdf97Case>;
#endif
TYPED_TEST_SUITE(LiftingExecutor, Cases);

void expect_close(std::span<const float> actual, std::span<const double> expected, double tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_NEAR(actual[i], expected[i], tolerance) << "at " << i;
  }
}

TYPED_TEST(LiftingExecutor, ForwardAndInverseMatchTheModelAtEveryLength) {
  for (std::size_t n = this->min_length; n <= 300; ++n) {
    SCOPED_TRACE(n);
    const auto x = oracle::random_signal(n, static_cast<unsigned>(n));
    const double tolerance = TypeParam::kTolerance * oracle::max_magnitude(x);
    const auto [want_a, want_d] = oracle::forward(TypeParam::scheme(), x);
    std::vector<float> a((n + 1) / 2), d(n / 2);
    ASSERT_TRUE(this->executor.execute_forward(x, a, d));
    expect_close(a, want_a, tolerance);
    expect_close(d, want_d, tolerance);

    // The inverse of the executor's own bands, against the model inverse of the same bands.
    std::vector<float> y(n);
    ASSERT_TRUE(this->executor.execute_inverse(a, d, y));
    expect_close(y, oracle::inverse(TypeParam::scheme(), a, d), tolerance);
    // And the round trip restores the signal.
    const std::vector<double> xd(x.begin(), x.end());
    expect_close(y, xd, tolerance);
  }
}

TYPED_TEST(LiftingExecutor, MultiLevelRoundTripRestoresTheSignal) {
  for (std::size_t n : {this->min_length, std::size_t{13}, std::size_t{64}, std::size_t{1000}, std::size_t{4097}}) {
    SCOPED_TRACE(n);
    const auto x = oracle::random_signal(n, 7);
    std::size_t levels = 0;
    for (std::size_t m = n; m >= this->min_length; m = (m + 1) / 2) ++levels;
    const auto forward = this->executor.multi_dwt(x, levels);
    ASSERT_TRUE(forward);
    ASSERT_EQ(forward->levels.size(), levels);
    rimble::MultiDwtView<float> view{forward->levels.back().approximations, {}};
    for (const auto& level : forward->levels) view.details.emplace_back(level.details);
    const auto back = this->executor.multi_idwt(view);
    ASSERT_TRUE(back);
    // Errors grow with depth; 1e-5 of the largest magnitude still holds comfortably.
    const std::vector<double> xd(x.begin(), x.end());
    expect_close(*back, xd, 1e-5 * oracle::max_magnitude(x));

    // Each level was computed from the previous level's approximation band.
    for (std::size_t k = 1; k < levels; ++k) {
      const auto again = this->executor.dwt(forward->levels[k - 1].approximations, 1);
      ASSERT_TRUE(again);
      EXPECT_EQ(again->approximations, forward->levels[k].approximations);
      EXPECT_EQ(again->details, forward->levels[k].details);
    }
  }
}

TYPED_TEST(LiftingExecutor, DwtReturnsOnlyTheDeepestLevel) {
  const auto x = oracle::random_signal(100, 3);
  const auto all = this->executor.multi_dwt(x, 3);
  const auto deepest = this->executor.dwt(x, 3);
  ASSERT_TRUE(all && deepest);
  EXPECT_EQ(deepest->approximations, all->levels[2].approximations);
  EXPECT_EQ(deepest->details, all->levels[2].details);
}

TYPED_TEST(LiftingExecutor, LevelZeroMeansOneLevel) {
  const auto x = oracle::random_signal(37, 5);
  const auto zero = this->executor.multi_dwt(x, 0);
  const auto one = this->executor.multi_dwt(x, 1);
  ASSERT_TRUE(zero && one);
  ASSERT_EQ(zero->levels.size(), 1u);
  ASSERT_EQ(one->levels.size(), 1u);
  EXPECT_EQ(zero->levels[0].approximations, one->levels[0].approximations);
  const auto single = this->executor.dwt(x, 0);
  ASSERT_TRUE(single);
  EXPECT_EQ(single->details, one->levels[0].details);
}

TYPED_TEST(LiftingExecutor, ScratchIsIgnored) {
  const auto x = oracle::random_signal(21, 9);
  std::vector<float> a1(11), d1(10), a2(11), d2(10);
  ASSERT_TRUE(this->executor.execute_forward(x, a1, d1));
  ASSERT_TRUE(this->executor.execute_forward_with_scratch(x, a2, d2, {}));
  EXPECT_EQ(a1, a2);
  EXPECT_EQ(d1, d2);
}

TYPED_TEST(LiftingExecutor, IdwtAndMultiIdwtOfOneLevelAgree) {
  const auto x = oracle::random_signal(50, 11);
  std::vector<float> a(25), d(25), y(50);
  ASSERT_TRUE(this->executor.execute_forward(x, a, d));
  ASSERT_TRUE(this->executor.execute_inverse(a, d, y));
  const auto single = this->executor.idwt({a, d});
  const auto multi = this->executor.multi_idwt({a, {d}});
  ASSERT_TRUE(single && multi);
  EXPECT_EQ(*single, y);
  EXPECT_EQ(*multi, y);
}

// One level's sizes with each scheme's numbers: the bands of a signal of n samples (of the
// shortest signal, for a shorter n), and the signal that bands rebuild.
TEST(LiftingLevel, SizesFollowTheShortestSignalOfTheScheme) {
  const rimble::cdf53f::Cdf53 cdf53;
  const rimble::cdf97f::Cdf97 cdf97;
  const struct {
    const rimble::DwtExecutor<float>& executor;
    std::size_t n;
    rimble::BandLengths bands;
  } rows[] = {{cdf53, 0, {2, 1}}, {cdf53, 1, {2, 1}}, {cdf53, 2, {2, 1}},       {cdf53, 3, {2, 1}},
              {cdf53, 4, {2, 2}}, {cdf53, 5, {3, 2}}, {cdf53, 1001, {501, 500}}, {cdf97, 0, {2, 2}},
              {cdf97, 3, {2, 2}}, {cdf97, 4, {2, 2}}, {cdf97, 5, {3, 2}},       {cdf97, 6, {3, 3}},
              {cdf97, 1001, {501, 500}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.executor.filter_length() << " taps, n = " << row.n);
    EXPECT_EQ(row.executor.dwt_size(row.n), row.bands);
    EXPECT_EQ(row.executor.required_scratch_size(row.n), 0u);
  }
  const struct {
    const rimble::DwtExecutor<float>& executor;
    rimble::BandLengths bands;
    std::size_t n;
  } rebuilt[] = {{cdf53, {0, 0}, 3}, {cdf53, {2, 0}, 3}, {cdf53, {501, 500}, 1001},
                 {cdf97, {0, 0}, 4}, {cdf97, {2, 1}, 4}, {cdf97, {3, 2}, 5}};
  for (const auto& row : rebuilt) {
    EXPECT_EQ(row.executor.idwt_size(row.bands), row.n) << row.executor.filter_length() << " taps";
  }
  EXPECT_EQ(cdf53.filter_length(), 6u);
  EXPECT_EQ(cdf97.filter_length(), 10u);
}

// A forward level over n samples into bands of a and d samples, and an inverse from bands of a
// and d into n samples: the first failed check's message with the scheme's numbers, or "ok". A
// wrong forward band reports its own length and the signal length; a wrong inverse band its own
// length and that of the shortest signal's band where the output is shorter than that signal.
TEST(LiftingLevel, ChecksLengthsInOrder) {
  using rimble::cdf53f::Cdf53;
  using rimble::cdf97f::Cdf97;
  const auto forward53 = lifting_probe::forward_error<Cdf53>, forward97 = lifting_probe::forward_error<Cdf97>;
  const auto inverse53 = lifting_probe::inverse_error<Cdf53>, inverse97 = lifting_probe::inverse_error<Cdf97>;
  const struct {
    std::string (*run)(std::size_t, std::size_t, std::size_t);
    std::size_t first, second, third;
    const char* message;
  } rows[] = {
      {forward53, 0, 0, 0, "Input size 0 can't be less than 3"}, {forward53, 1, 2, 1, "Input size 1 can't be less than 3"},
      {forward53, 2, 2, 1, "Input size 2 can't be less than 3"},
      {forward53, 10, 4, 5, "Approximate size 4 does not match required size 10"},
      {forward53, 11, 6, 6, "Approximate size 6 does not match required size 11"},
      {forward53, 11, 5, 5, "Approximate size 5 does not match required size 11"}, {forward53, 3, 2, 1, "ok"},
      {forward97, 3, 2, 1, "Input size 3 can't be less than 4"}, {forward97, 0, 2, 2, "Input size 0 can't be less than 4"},
      {forward97, 9, 4, 4, "Approximate size 4 does not match required size 9"},
      {forward97, 9, 5, 5, "Approximate size 5 does not match required size 9"}, {forward97, 4, 2, 2, "ok"},
      {inverse53, 5, 5, 9, "Output size should be 10, but it was 9"},
      {inverse53, 4, 5, 9, "Approximate size 4 does not match required size 5"},
      {inverse53, 0, 0, 0, "Approximate size 0 does not match required size 2"},
      {inverse53, 1, 1, 2, "Approximate size 1 does not match required size 2"},
      // Two approximations and no detail make 2 samples: the detail band is reported against the
      // single detail of a 3-sample signal (9/7: the two of a 4-sample one).
      {inverse53, 2, 0, 2, "Approximate size 0 does not match required size 1"}, {inverse53, 2, 1, 3, "ok"},
      {inverse97, 3, 3, 5, "Output size should be 6, but it was 5"},
      {inverse97, 2, 3, 5, "Approximate size 2 does not match required size 3"},
      {inverse97, 0, 0, 0, "Approximate size 0 does not match required size 2"},
      {inverse97, 2, 0, 2, "Approximate size 0 does not match required size 2"},
      {inverse97, 2, 1, 3, "Approximate size 1 does not match required size 2"}, {inverse97, 2, 2, 4, "ok"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    EXPECT_EQ(row.run(row.first, row.second, row.third), row.message);
  }
}

}  // namespace
