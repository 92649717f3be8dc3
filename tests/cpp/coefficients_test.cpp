// The Daubechies and symlet rows: normalisation, orthogonality, tap counts and
// the rows the codec depends on, pinned to their published values.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "rimble/coefficients.hpp"

namespace {

using rimble::DaubechiesFamily;
using rimble::SymletFamily;

struct Row {
  std::string name;
  std::span<const double> taps;
  std::size_t expected_taps;
};

std::vector<Row> every_row() {
  std::vector<Row> rows;
  for (int code = 0; code <= 23; ++code) {
    rows.push_back({"db" + std::to_string(code + 1), rimble::daubechies_row(static_cast<DaubechiesFamily>(code)),
                    static_cast<std::size_t>(2 * (code + 1))});
  }
  for (int code = 0; code <= 18; ++code) {
    rows.push_back({"sym" + std::to_string(code + 2), rimble::symlet_row(static_cast<SymletFamily>(code)),
                    static_cast<std::size_t>(2 * code + 4)});
  }
  return rows;
}

// sum_i h[i] h[i + shift], summed in index order.
double correlation(std::span<const double> h, std::size_t shift) {
  double sum = 0.0;
  for (std::size_t i = 0; i + shift < h.size(); ++i) {
    sum += h[i] * h[i + shift];
  }
  return sum;
}

TEST(Coefficients, EveryRowHasTheTapCountOfItsCode) {
  for (const auto& row : every_row()) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.taps.size(), row.expected_taps);
  }
}

TEST(Coefficients, EveryRowIsAnOrthonormalScalingFilter) {
  for (const auto& row : every_row()) {
    SCOPED_TRACE(row.name);
    double sum = 0.0;
    for (const double tap : row.taps) {
      sum += tap;
    }
    // 1e-15 is under five units in the last place of sqrt(2): the published
    // taps are rounded to 64 bits and summed in 64 bits, nothing more.
    EXPECT_NEAR(sum, std::sqrt(2.0), 1e-15);
    // The symlet rows are published with about twelve correct digits.
    EXPECT_NEAR(correlation(row.taps, 0), 1.0, 1e-10);
    for (std::size_t shift = 2; shift < row.taps.size(); shift += 2) {
      SCOPED_TRACE("even shift " + std::to_string(shift));
      EXPECT_NEAR(correlation(row.taps, shift), 0.0, 1e-10);
    }
  }
}

TEST(Coefficients, DaubechiesRowsStartWithTheirLargeTaps) {
  for (int code = 1; code <= 23; ++code) {
    const auto taps = rimble::daubechies_row(static_cast<DaubechiesFamily>(code));
    SCOPED_TRACE(code);
    const std::size_t half = taps.size() / 2;
    EXPECT_GT(correlation(taps.first(half), 0), correlation(taps.last(half), 0));
  }
}

TEST(Coefficients, HaarRowIsTheNearestDoubleToOneOverRootTwo) {
  // sqrt is correctly rounded, and 1/sqrt(2) is exactly sqrt(1/2).
  const auto taps = rimble::daubechies_row(DaubechiesFamily::Db1);
  EXPECT_EQ(taps[0], std::sqrt(0.5));
  EXPECT_EQ(taps[1], std::sqrt(0.5));
}

TEST(Coefficients, CodecRowsAreExactlyThePublishedValues) {
  const std::vector<double> db4 = {0.2303778133088965,    0.7148465705529157,   0.6308807679298589,
                                   -0.027983769416859854, -0.18703481171909309, 0.030841381835560764,
                                   0.0328830116668852,    -0.010597401785069032};
  const std::vector<double> sym4 = {0.0322231006040427,  -0.012603967262037833, -0.09921954357684722,
                                    0.29785779560527736, 0.8037387518059161,    0.49761866763201545,
                                    -0.02963552764599851, -0.07576571478927333};
  const auto stored_db4 = rimble::daubechies_row(DaubechiesFamily::Db4);
  const auto stored_sym4 = rimble::symlet_row(SymletFamily::Sym4);
  EXPECT_EQ(std::vector<double>(stored_db4.begin(), stored_db4.end()), db4);
  EXPECT_EQ(std::vector<double>(stored_sym4.begin(), stored_sym4.end()), sym4);
}

TEST(Coefficients, ShortSymletsCoincideWithDaubechies) {
  const struct {
    SymletFamily symlet;
    DaubechiesFamily daubechies;
    double tolerance;  // the published symlets' own rounding
  } pairs[] = {{SymletFamily::Sym2, DaubechiesFamily::Db2, 4e-13}, {SymletFamily::Sym3, DaubechiesFamily::Db3, 4e-12}};
  for (const auto& pair : pairs) {
    const auto sym = rimble::symlet_row(pair.symlet);
    const auto db = rimble::daubechies_row(pair.daubechies);
    ASSERT_EQ(sym.size(), db.size());
    for (std::size_t i = 0; i < sym.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_NEAR(sym[i], db[i], pair.tolerance);
    }
  }
}

}  // namespace
