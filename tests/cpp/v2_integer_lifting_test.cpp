// The integer 9/7 lifting against a plain re-implementation of its steps as docs/format.md gives them:
// exact round trips, the same bands, the same refusals near the 2^40 bound, and the same codes on every tier.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "codec/v2/integer_lifting.hpp"
#include "codec/v2/sample_kernels.hpp"

namespace {

using i64 = std::int64_t;
using Values = std::vector<i64>;
constexpr i64 bound = i64{1} << 40;

// [c v] = (c v + 2^15) >> 16, the arithmetic shift a floor.
i64 times(i64 c, i64 v) { return (c * v + (i64{1} << 15)) >> 16; }
bool inside(const Values& v, std::size_t m) {
  for (std::size_t i = 0; i < m; ++i)
    if (v[i] < -bound || v[i] >= bound) return false;
  return true;
}

// The input length of each level a block of n values takes at `levels`.
std::vector<std::size_t> level_inputs(std::size_t n, unsigned levels) {
  std::vector<std::size_t> m;
  for (std::size_t len = n; m.size() < levels && len >= 2; len = (len + 1) / 2) m.push_back(len);
  return m;
}

// One level on v[0, m), forward (sign +1, steps A B G D) or inverse (sign -1, steps D G B A), with the
// neighbours the docs name: o[-1] = o[0], o[no] = o[no - 1], e[i + 1] = e[i] where it is missing.
void level(Values& v, std::size_t m, bool forward) {
  const std::size_t ne = (m + 1) / 2, no = m / 2;
  Values e(ne), o(no);
  if (forward) {
    for (std::size_t i = 0; i < m; ++i) (i % 2 ? o[i / 2] : e[i / 2]) = v[i];
  } else {
    for (std::size_t i = 0; i < ne; ++i) e[i] = v[i];
    for (std::size_t i = 0; i < no; ++i) o[i] = v[ne + i];
  }
  const i64 sign = forward ? 1 : -1;
  const auto odds = [&](i64 c) {
    for (std::size_t i = 0; i < no; ++i) o[i] += sign * times(c, e[i] + (i + 1 < ne ? e[i + 1] : e[i]));
  };
  const auto evens = [&](i64 c) {
    for (std::size_t i = 0; i < ne; ++i) e[i] += sign * times(c, (i ? o[i - 1] : o[0]) + (i < no ? o[i] : o[no - 1]));
  };
  if (forward) {
    odds(-103949), evens(-3472), odds(57862), evens(29066);
    for (std::size_t i = 0; i < ne; ++i) v[i] = e[i];
    for (std::size_t i = 0; i < no; ++i) v[ne + i] = o[i];
  } else {
    evens(29066), odds(57862), evens(-3472), odds(-103949);
    for (std::size_t i = 0; i < m; ++i) v[i] = i % 2 ? o[i / 2] : e[i / 2];
  }
}

// The whole transform, or nothing where a value leaves [-2^40, 2^40) at the input or after a level.
std::optional<Values> model(Values v, unsigned levels, bool forward) {
  if (!inside(v, v.size())) return std::nullopt;
  std::vector<std::size_t> m = level_inputs(v.size(), levels);
  if (!forward) std::reverse(m.begin(), m.end());
  for (const std::size_t len : m) {
    level(v, len, forward);
    if (!inside(v, len)) return std::nullopt;
  }
  return v;
}

std::optional<Values> lifted(Values v, unsigned levels, bool forward) {
  Values scratch(v.size());
  const bool ok = forward ? quorvel::forward_lifting<i64>(v, levels, scratch)
                          : quorvel::inverse_lifting<i64>(v, levels, scratch);
  return ok ? std::optional<Values>(v) : std::nullopt;
}

Values random_values(std::mt19937_64& rng, std::size_t n, i64 magnitude) {
  std::uniform_int_distribution<i64> value(-magnitude, magnitude - 1);
  Values v(n);
  for (i64& x : v) x = value(rng);
  return v;
}

}  // namespace

// Every length 1..70 at every level count: the bands the model makes, and back exactly.
TEST(IntegerLifting, MatchesTheStepsAsWrittenAndInvertsExactly) {
  std::mt19937_64 rng(40);
  for (std::size_t n = 1; n <= 70; ++n) {
    for (unsigned levels = 1; levels <= quorvel::max_lifting_levels; ++levels) {
      for (const i64 magnitude : {i64{3}, i64{1} << 20, i64{1} << 36}) {
        const Values x = random_values(rng, n, magnitude);
        const auto bands = lifted(x, levels, true);
        ASSERT_EQ(bands, model(x, levels, true)) << "n " << n << " levels " << levels;
        if (!bands) continue;  // values of 2^36 may grow past the bound after a few levels
        EXPECT_EQ(lifted(*bands, levels, false), x) << "n " << n << " levels " << levels;
        // And the inverse of arbitrary bands is the model's too.
        const Values q = random_values(rng, n, magnitude);
        EXPECT_EQ(lifted(q, levels, false), model(q, levels, false)) << "n " << n << " levels " << levels;
      }
    }
  }
}

// A value is refused from 2^40 up and from below -2^40, at the input and after any level, exactly where
// the model refuses it.
TEST(IntegerLifting, RefusesValuesPastTheBoundExactlyAsDocumented) {
  for (const bool forward : {true, false}) {
    // A single sample takes no level: only the input check.
    EXPECT_TRUE(lifted({bound - 1}, 3, forward));
    EXPECT_TRUE(lifted({-bound}, 3, forward));
    EXPECT_FALSE(lifted({bound}, 3, forward));
    EXPECT_FALSE(lifted({-bound - 1}, 3, forward));
    EXPECT_FALSE(lifted({0, 5, INT64_MAX, 2}, 1, forward));
    EXPECT_FALSE(lifted({0, INT64_MIN, 2}, 1, forward));
  }
  // Near the bound some levels leave it and some do not: both sides agree on each.
  std::mt19937_64 rng(41);
  int refused = 0, accepted = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t n = 2 + rng() % 40;
    const unsigned levels = 1 + static_cast<unsigned>(rng() % quorvel::max_lifting_levels);
    Values x = random_values(rng, n, i64{1} << (37 + trial % 4));
    const bool forward = trial % 2 == 0;
    const auto expected = model(x, levels, forward);
    ASSERT_EQ(lifted(x, levels, forward), expected) << "trial " << trial;
    (expected ? accepted : refused) += 1;
  }
  EXPECT_GT(refused, 20);
  EXPECT_GT(accepted, 20);
}

// The decoder's pass: band integers times their steps (the approximation step 0, the t-th coarsest
// detail band step L - T + t), then the inverse; the AVX2 kernel gives the portable one's codes.
TEST(IntegerLifting, CodesOfBandsScaleEachBandThenInvertOnEveryTier) {
  namespace k = quorvel::kernels;
  const auto& portable = k::sample_kernels_for(rimble::ProcessorTier::Portable);
  const auto& best = k::sample_kernels();  // the tier's, AVX2 unless capped or absent
  std::mt19937_64 rng(42);
  for (std::size_t n = 1; n <= 70; ++n) {
    const unsigned levels = 1 + static_cast<unsigned>(n % quorvel::max_lifting_levels);
    std::vector<std::uint32_t> steps(levels + 1);
    for (auto& s : steps) s = 1 + static_cast<std::uint32_t>(rng() % 5000);
    steps[levels] = n % 3 == 0 ? 0x7FFFFFFFu : steps[levels];  // a product near 2^62: refused
    std::vector<std::int32_t> q(n);
    for (auto& v : q) v = static_cast<std::int32_t>(rng() % 20001) - 10000;
    // The scaled bands by the docs' rule.
    const std::vector<std::size_t> m = level_inputs(n, levels);
    const auto taken = static_cast<unsigned>(m.size());
    Values scaled(n);
    std::size_t end = m.empty() ? n : (m.back() + 1) / 2;
    for (std::size_t i = 0; i < end; ++i) scaled[i] = q[i] * i64{steps[0]};
    for (unsigned t = 1; t <= taken; ++t) {
      const std::size_t count = m[taken - t] / 2;
      for (std::size_t i = end; i < end + count; ++i) scaled[i] = q[i] * i64{steps[levels - taken + t]};
      end += count;
    }
    ASSERT_EQ(end, n);
    const auto expected = model(scaled, levels, false);
    Values c1(n), c2(n), s1(n), s2(n);
    const bool ok = quorvel::codes_of_bands(q, steps, c1, s1);
    ASSERT_EQ(ok, expected.has_value()) << "n " << n;
    if (ok) {
      EXPECT_EQ(c1, *expected) << "n " << n;
    }
    ASSERT_EQ(portable.lifted_codes(q, steps, c1, s1), ok);
    ASSERT_EQ(best.lifted_codes(q, steps, c2, s2), ok);
    if (ok) {
      EXPECT_EQ(c1, c2) << "n " << n;
    }
  }
}
