// codec/integer_lifting.cpp: the CDF 9/7 lifting steps on integers (and on doubles, for measures).
#include "codec/integer_lifting.hpp"

#include <algorithm>

namespace quorvel {

namespace {

// The 9/7 lifting factors alpha, beta, gamma, delta in units of 2^-16 (rounded to nearest).
constexpr std::int64_t factor_a = -103949, factor_b = -3472, factor_g = 57862, factor_d = 29066;
constexpr int factor_bits = 16;

// [c v]: arithmetic shift floors, so adding half first rounds halves up.
std::int64_t times(std::int64_t c, std::int64_t v) {
  return (c * v + (std::int64_t{1} << (factor_bits - 1))) >> factor_bits;
}
double times(std::int64_t c, double v) { return static_cast<double>(c) * 0x1p-16 * v; }

// o[i] += sign [c (e[i] + e[i + 1])], e mirrored at its end (e has as many entries as o, or one more).
template <class T>
void lift_odds(std::span<T> o, std::span<const T> e, std::int64_t c, int sign) {
  const std::size_t n = o.size();
  for (std::size_t i = 0; i + 1 < n; ++i) o[i] += sign * times(c, e[i] + e[i + 1]);
  if (n > 0) o[n - 1] += sign * times(c, e[n - 1] + e[std::min(n, e.size() - 1)]);
}

// e[i] += sign [c (o[i - 1] + o[i])], o mirrored at both ends.
template <class T>
void lift_evens(std::span<T> e, std::span<const T> o, std::int64_t c, int sign) {
  const std::size_t n = e.size(), last = o.size() - 1;
  e[0] += sign * times(c, o[0] + o[0]);
  for (std::size_t i = 1; i < n; ++i) e[i] += sign * times(c, o[i - 1] + o[std::min(i, last)]);
}

template <class T>
bool within_bound(std::span<const T> v) {
  constexpr auto bound = static_cast<T>(lifting_bound);
  int outside = 0;
  for (const T x : v) outside |= static_cast<int>(x > bound) | static_cast<int>(x < -bound);
  return outside == 0;
}

// One level on s (at least two samples): evens then odds.
template <class T>
void forward_level(std::span<T> s, std::span<T> scratch) {
  const std::size_t m = s.size(), ne = (m + 1) / 2;
  for (std::size_t i = 0; i < m; ++i) scratch[(i % 2 == 0) ? i / 2 : ne + i / 2] = s[i];
  std::copy(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(m), s.begin());
  const auto e = s.first(ne), o = s.subspan(ne);
  lift_odds<T>(o, e, factor_a, 1);
  lift_evens<T>(e, o, factor_b, 1);
  lift_odds<T>(o, e, factor_g, 1);
  lift_evens<T>(e, o, factor_d, 1);
}

template <class T>
void inverse_level(std::span<T> s, std::span<T> scratch) {
  const std::size_t m = s.size(), ne = (m + 1) / 2;
  const auto e = s.first(ne), o = s.subspan(ne);
  lift_evens<T>(e, o, factor_d, -1);
  lift_odds<T>(o, e, factor_g, -1);
  lift_evens<T>(e, o, factor_b, -1);
  lift_odds<T>(o, e, factor_a, -1);
  for (std::size_t i = 0; i < m; ++i) scratch[i] = s[(i % 2 == 0) ? i / 2 : ne + i / 2];
  std::copy(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(m), s.begin());
}

}  // namespace

Bands bands_of(std::size_t n, unsigned levels) {
  unsigned taken = 0;
  std::size_t m = n;
  std::array<std::size_t, max_lifting_levels + 1> lengths{};  // of each level's input
  while (taken < std::min(levels, max_lifting_levels) && m >= 2) {
    lengths[taken++] = m;
    m = (m + 1) / 2;
  }
  Bands bands;
  bands.count = taken + 1;
  bands.start[1] = m;
  bands.step[0] = 0;
  for (unsigned b = 1; b <= taken; ++b) {
    bands.start[b + 1] = bands.start[b] + lengths[taken - b] / 2;
    bands.step[b] = levels - taken + b;
  }
  return bands;
}

template <class T>
bool forward_lifting(std::span<T> block, unsigned levels, std::span<T> scratch) {
  if (!within_bound<T>(block)) return false;
  const Bands bands = bands_of(block.size(), levels);
  for (unsigned level = 0; level + 1 < bands.count; ++level) {
    const auto s = block.first(bands.start[bands.count - level]);
    forward_level<T>(s, scratch);
    if (!within_bound<T>(s)) return false;
  }
  return true;
}

template <class T>
bool inverse_lifting(std::span<T> block, unsigned levels, std::span<T> scratch) {
  if (!within_bound<T>(block)) return false;
  const Bands bands = bands_of(block.size(), levels);
  for (unsigned b = 2; b <= bands.count; ++b) {
    const auto s = block.first(bands.start[b]);
    inverse_level<T>(s, scratch);
    if (!within_bound<T>(s)) return false;
  }
  return true;
}

bool codes_of_bands(std::span<const std::int32_t> q, std::span<const std::uint32_t> steps,
                    std::span<std::int64_t> codes, std::span<std::int64_t> scratch) {
  const auto levels = static_cast<unsigned>(steps.size() - 1);
  const Bands bands = bands_of(q.size(), levels);
  for (unsigned b = 0; b < bands.count; ++b) {
    const std::int64_t step = steps[bands.step[b]];  // below 2^31, as q is: the product fits
    for (std::size_t i = bands.start[b]; i < bands.start[b + 1]; ++i) codes[i] = step * q[i];
  }
  return inverse_lifting<std::int64_t>(codes, levels, scratch);
}

template bool forward_lifting(std::span<std::int64_t>, unsigned, std::span<std::int64_t>);
template bool inverse_lifting(std::span<std::int64_t>, unsigned, std::span<std::int64_t>);
template bool forward_lifting(std::span<double>, unsigned, std::span<double>);
template bool inverse_lifting(std::span<double>, unsigned, std::span<double>);

}  // namespace quorvel
