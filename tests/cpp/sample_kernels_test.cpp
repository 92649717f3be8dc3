// The AVX2 kernels of the passes over every sample against their portable twins, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "codec/sequence/kernels.hpp"
#include "codec/v2/sample_kernels.hpp"
#include "tier_cap.hpp"

namespace k = quorvel::kernels;

namespace {

// The table of the tier as capped, and whether it is another than the portable one.
const k::SampleKernels& vector_kernels() { return k::sample_kernels(); }
const k::SampleKernels& portable_kernels() { return k::sample_kernels_for(rimble::ProcessorTier::Portable); }
bool vector_tier() { return &vector_kernels() != &portable_kernels(); }

template <class T>
bool same_bits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Samples of every kind the lanes meet: signed zeros, subnormals, extremes, NaN and infinities.
template <class T>
std::vector<T> awkward_samples(std::mt19937& rng) {
  std::uniform_real_distribution<double> uniform(-3.0, 3.0);
  std::vector<T> x;
  for (int i = 0; i < 400; ++i) x.push_back(static_cast<T>(std::ldexp(uniform(rng), i % 60 - 30)));
  for (const T v : {T(0), T(-0.0), std::numeric_limits<T>::denorm_min(), std::numeric_limits<T>::max(),
                    -std::numeric_limits<T>::max(), std::numeric_limits<T>::infinity(),
                    std::numeric_limits<T>::quiet_NaN(), T(1)}) {
    x.insert(x.begin() + static_cast<std::ptrdiff_t>(rng() % x.size()), v);
  }
  return x;
}

template <class T>
void expect_lanes_match(std::mt19937& rng) {
  const std::vector<T> x = awkward_samples<T>(rng);
  std::vector<float> y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = static_cast<float>(x[(i * 7) % x.size()]) * 0.999f;
  const std::span<const T> whole(x.data(), x.size() / 4 * 4);
  k::Spread s1{{1, 2, 3, 4}, {-1, -2, -3, -4}, {}}, s2 = s1;
  portable_kernels().spread<T>()(whole, s1);
  vector_kernels().spread<T>()(whole, s2);
  EXPECT_TRUE(same_bits(s1, s2));
  k::Misfit m1{}, m2{};
  portable_kernels().misfit<T>()(whole, std::span<const float>(y).first(whole.size()), 0x1p-3, m1);
  vector_kernels().misfit<T>()(whole, std::span<const float>(y).first(whole.size()), 0x1p-3, m2);
  EXPECT_TRUE(same_bits(m1, m2));
}

}  // namespace

// Each part's table follows rimble's tier and its cap; the AVX2 tables fill every kernel but the
// sequence coder's whole-round ones, which the portable table leaves to the callers' loops.
TEST(SampleKernels, TablesFollowTheTierCap) {
  namespace s = quorvel::sequence;
  const auto& portable = s::kernels_for(rimble::ProcessorTier::Portable);
  EXPECT_EQ(portable.read_rounds, nullptr);
  EXPECT_EQ(portable.rans_decode_rounds, nullptr);
  for (const rimble::ProcessorTier tier : rimble::kProcessorTiers) {
    const quorvel_testing::ScopedTierCap cap(tier);
    EXPECT_EQ(&s::kernels(), &s::kernels_for(rimble::processor_tier()));
    EXPECT_EQ(&k::sample_kernels(), &k::sample_kernels_for(rimble::processor_tier()));
    EXPECT_EQ(&s::kernels() != &portable, vector_tier()) << rimble::tier_name(tier);
    if (tier < rimble::ProcessorTier::Avx) {
      EXPECT_FALSE(vector_tier()) << rimble::tier_name(tier);
    }
    if (!vector_tier()) continue;
    for (const auto entry : {s::kernels().read_rounds != nullptr, s::kernels().write_rounds != nullptr,
                             s::kernels().rans_encode_rounds != nullptr, s::kernels().rans_decode_rounds != nullptr})
      EXPECT_TRUE(entry);
  }
}

TEST(SampleKernels, AvxLanesMatchThePortableOnes) {
  if (!vector_tier()) GTEST_SKIP() << "no AVX2 here (or capped)";
  std::mt19937 rng(5);
  expect_lanes_match<float>(rng);
  expect_lanes_match<double>(rng);
  const std::vector<float> y = awkward_samples<float>(rng);
  const std::span<const float> whole(y.data(), y.size() / 8 * 8);
  k::Range r1{{0, -0.0f, 1, 2, 3, 4, 5, 6}, {0, -0.0f, -1, -2, -3, -4, -5, -6}}, r2 = r1;
  portable_kernels().range(whole, r1);
  vector_kernels().range(whole, r2);
  EXPECT_TRUE(same_bits(r1, r2));
}

// Floor division by odd m, against integer arithmetic, at every remainder's edge.
TEST(SampleKernels, FloorIndicesAreFloorDivisionOnEveryTier) {
  for (const std::int64_t m : {3, 5, 7, 101, 2000001}) {
    const std::int64_t offset = -123457, half = (m - 1) / 2;
    std::vector<std::int32_t> codes;
    for (const std::int64_t q : {-1000, -2, -1, 0, 1, 2, 999}) {
      for (const std::int64_t r : {std::int64_t{0}, std::int64_t{1}, m - 2, m - 1}) {
        codes.push_back(static_cast<std::int32_t>(offset - half + q * m + r));
      }
    }
    const double start = static_cast<double>(offset) - static_cast<double>(half);
    const double inverse = 1.0 / static_cast<double>(m);
    for (std::size_t n = codes.size() - 3; n <= codes.size(); ++n) {  // every tail length
      std::vector<std::int32_t> portable(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(n));
      std::vector<std::int32_t> vector = portable;
      std::vector<std::uint8_t> seen(4096), seen_by_vector(4096), marked(4096);
      const std::int32_t first = -1001;  // below the smallest index
      portable_kernels().floor_indices(portable, start, inverse, first, seen);
      if (vector_tier()) {
        vector_kernels().floor_indices(vector, start, inverse, first, seen_by_vector);
        EXPECT_EQ(portable, vector) << "m " << m;
        EXPECT_EQ(seen, seen_by_vector) << "m " << m;
      }
      for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t from = codes[i] - offset + half;
        const std::int64_t floor = from >= 0 ? from / m : -((-from + m - 1) / m);
        ASSERT_EQ(portable[i], floor) << "code " << codes[i] << " m " << m;
        marked[static_cast<std::size_t>(floor - first)] = 1;
      }
      EXPECT_EQ(seen, marked);
    }
  }
}

TEST(SampleKernels, AvxNearestCodesAndSamplesMatchThePortableOnes) {
  if (!vector_tier()) GTEST_SKIP() << "no AVX2 here (or capped)";
  const k::SampleKernels& scalar = portable_kernels();
  const k::SampleKernels& vector = vector_kernels();
  const quorvel::Grid grid{-1.25, 0.0078125 * 3};
  const quorvel::GridCoder coder(grid);
  std::mt19937 rng(9);
  std::uniform_int_distribution<std::int32_t> code(-100000, 100000);
  for (const std::size_t n : {0u, 1u, 7u, 64u, 1027u}) {
    for (const std::size_t off_at : {n, n / 2, n - 1}) {  // on the grid, a miss inside, a miss in the tail
      std::vector<float> y(n);
      for (float& v : y) v = grid.sample(code(rng));
      if (off_at < n) y[off_at] = std::nextafter(y[off_at], 1e9f);
      std::vector<std::int32_t> c1(n), c2(n);
      const bool missed = scalar.nearest_codes(y, coder, c1);
      EXPECT_EQ(vector.nearest_codes(y, coder, c2), missed);
      EXPECT_EQ(missed, off_at < n);
      EXPECT_EQ(c1, c2) << "n " << n;
      // And back: the same samples, and a code past float32's range seen wherever it falls.
      const quorvel::Grid wide{-3.0, 1e33};
      if (off_at < n) c1[off_at] = 400000;
      std::vector<float> s1(n), s2(n);
      const bool finite = scalar.grid_samples(c1, wide, s1.data());
      EXPECT_EQ(vector.grid_samples(c1, wide, s2.data()), finite);
      EXPECT_EQ(finite, off_at >= n);
      EXPECT_EQ(s1, s2) << "n " << n;
      // Through the cell filter: weights that reach the clamp, codes 0, a sample past float32's range.
      const quorvel::CellFilter g{-700, 300, -90, 20};
      if (n > 9) c1[n / 3] = 0;
      const std::size_t from = std::min<std::size_t>(n, 4), to = n > 8 ? n - 4 : from;
      std::fill(s1.begin(), s1.end(), 0.0f), std::fill(s2.begin(), s2.end(), 0.0f);
      EXPECT_EQ(vector.filtered_samples(c1.data(), from, to, wide, g, s2.data()),
                scalar.filtered_samples(c1.data(), from, to, wide, g, s1.data()));
      EXPECT_EQ(s1, s2) << "n " << n;
      // The filter's normal equations, with some codes left out.
      std::vector<double> target(n);
      for (std::size_t i = 0; i < n; ++i) target[i] = i % 5 == 2 ? std::nan("") : 0.37 * double(code(rng));
      k::NormalLanes l1, l2;
      scalar.normal_rows(c1.data(), target.data(), from, to, l1);
      vector.normal_rows(c1.data(), target.data(), from, to, l2);
      EXPECT_EQ(std::memcmp(&l1, &l2, sizeof l1), 0) << "n " << n;
    }
  }
}

// Quantising float32 samples: ties between grid points (round half to even), samples beyond the int32 codes
// (saturated) and a tail shorter than a register, against the portable loop.
TEST(SampleKernels, AvxQuantiseMatchesThePortableOne) {
  if (!vector_tier()) GTEST_SKIP() << "no AVX2 here (or capped)";
  const quorvel::Grid grid{-1.25, 0.0078125};
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> uniform(-300.0f, 300.0f);
  for (const std::size_t n : {0u, 3u, 8u, 1029u}) {
    std::vector<float> x(n);
    for (float& v : x) v = uniform(rng);
    for (std::size_t i = 0; i < n; i += 5)
      x[i] = static_cast<float>(grid.origin + grid.step * (0.5 + double(i)));  // halfway between two codes
    if (n > 2) x[1] = 3e38f, x[2] = -3e38f;
    std::vector<std::int32_t> c1(n), c2(n);
    std::vector<float> y1(n), y2(n);
    portable_kernels().quantise(x, grid, c1, y1);
    vector_kernels().quantise(x, grid, c2, y2);
    EXPECT_EQ(c1, c2) << "n " << n;
    EXPECT_EQ(y1, y2) << "n " << n;
    if (n > 2) {
      EXPECT_EQ(c1[1], 2147483647);
    }
    for (std::size_t i = 0; i < n; i += 5) EXPECT_EQ(c1[i] % 2, 0) << "a tie rounds to the even code";
  }
}

// A palette's bitmap counted and ranked with POPCNT and in software: the same counts, and every rank that
// of a sorted, deduplicated copy of the codes.
TEST(SampleKernels, PaletteRanksMatchOnEveryTier) {
  std::mt19937 rng(12);
  std::uniform_int_distribution<std::int32_t> code(-5000, 5000);
  std::vector<std::int32_t> codes(3001);
  for (std::int32_t& c : codes) c = 3 * code(rng);
  const std::int32_t low = *std::min_element(codes.begin(), codes.end());
  const std::int32_t high = *std::max_element(codes.begin(), codes.end());
  std::vector<std::uint64_t> present(static_cast<std::size_t>(high - low) / 64 + 1);
  for (const std::int32_t c : codes) {
    const auto v = static_cast<std::size_t>(c - low);
    present[v / 64] |= std::uint64_t{1} << (v % 64);
  }
  std::vector<std::int32_t> before(present.size());
  for (std::size_t w = 1; w < present.size(); ++w)
    before[w] = before[w - 1] + static_cast<std::int32_t>(std::popcount(present[w - 1]));
  std::vector<std::int32_t> sorted = codes;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  for (const k::SampleKernels* tier : {&portable_kernels(), &vector_kernels()}) {
    EXPECT_EQ(tier->count_bits(present), sorted.size());
    std::vector<std::int32_t> ranks(codes.size());
    tier->palette_ranks(codes, low, present.data(), before.data(), ranks.data());
    for (std::size_t i = 0; i < codes.size(); ++i)
      ASSERT_EQ(sorted[static_cast<std::size_t>(ranks[i])], codes[i]) << "code " << i;
  }
}
