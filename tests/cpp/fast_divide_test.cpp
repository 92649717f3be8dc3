// DividerI64 must give exactly the quotients of truncating division.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "rimble/fast_divide.hpp"

namespace {

using rimble::DividerI64;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Dividends around zero, around multiples of d (where a rounding error in
// the magic number would first show) and at the ends of the range.
std::vector<std::int64_t> dividends_for(std::int64_t d, std::mt19937_64& engine) {
  std::vector<std::int64_t> xs = {0, 1, -1, 2, -2, kMax, kMin, kMax - 1, kMin + 1};
  for (std::int64_t k : {std::int64_t{1}, std::int64_t{2}, std::int64_t{7}, std::int64_t{1} << 20, kMax / d}) {
    for (std::int64_t delta = -1; delta <= 1; ++delta) {
      if (k > (kMax - 1) / d) continue;
      xs.push_back(k * d + delta);
      xs.push_back(-(k * d) + delta);
    }
  }
  for (int i = 0; i < 16; ++i) xs.push_back(static_cast<std::int64_t>(engine()));
  for (int i = 0; i < 8; ++i) xs.push_back(static_cast<std::int64_t>(engine() % 100000) - 50000);
  return xs;
}

void expect_truncating_quotients(std::int64_t d, std::mt19937_64& engine) {
  const DividerI64 divider(d);
  for (const std::int64_t x : dividends_for(d, engine)) {
    if (divider.divide(x) != x / d) {
      ADD_FAILURE() << x << " / " << d << ": got " << divider.divide(x) << ", want " << x / d;
      return;
    }
  }
}

TEST(DividerI64, QuotientsTruncateTowardZeroForSmallDivisors) {
  std::mt19937_64 engine(20261208);
  for (std::int64_t d = 1; d <= 10000; ++d) expect_truncating_quotients(d, engine);
}

TEST(DividerI64, QuotientsTruncateTowardZeroForPowersOfTwoAndLargeDivisors) {
  std::mt19937_64 engine(7);
  std::vector<std::int64_t> divisors = {(std::int64_t{1} << 31) - 1, (std::int64_t{1} << 62) + 1, kMax, kMax - 1,
                                        (std::int64_t{1} << 32) + 1, 1000003, 999999999989};
  for (int shift = 0; shift <= 62; ++shift) {
    divisors.push_back(std::int64_t{1} << shift);
    if (shift >= 2) divisors.push_back((std::int64_t{1} << shift) - 1);
    if (shift >= 2 && shift < 62) divisors.push_back((std::int64_t{1} << shift) + 1);
  }
  for (int i = 0; i < 200; ++i) divisors.push_back(static_cast<std::int64_t>(engine() >> (1 + engine() % 62)) | 1);
  for (const std::int64_t d : divisors) {
    SCOPED_TRACE(d);
    expect_truncating_quotients(d, engine);
  }
}

TEST(DividerI64, ModuloIsNonNegative) {
  const DividerI64 seven(7);
  EXPECT_EQ(seven.modulo(-1), 6);
  EXPECT_EQ(seven.modulo(-7), 0);
  EXPECT_EQ(seven.modulo(-8), 6);
  EXPECT_EQ(seven.modulo(15), 1);
  const DividerI64 four(4);
  EXPECT_EQ(four.modulo(-5), 3);
  EXPECT_EQ(four.modulo(kMin), 0);
}

TEST(DividerI64DeathTest, ZeroDivisorEndsTheProcess) {
  EXPECT_DEATH(DividerI64{0}, "attempt to divide by zero");
}

}  // namespace
