// codec/v2/integer_lifting.cpp: the CDF 9/7 lifting steps on integers (and on doubles, for measures).
#include "codec/v2/integer_lifting.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "codec/v2/sample_kernels.hpp"
#include "rimble/arch.hpp"

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

// o[i] += [c (e[i] + e[i + 1])] (or -=, undoing it), e mirrored at its end (e has as many entries as o,
// or one more).
template <bool undo, class T>
[[gnu::always_inline]] inline void lift_odds(std::span<T> o, std::span<const T> e, std::int64_t c) {
  const auto lift = [c](T& v, T sum) { v = undo ? v - times(c, sum) : v + times(c, sum); };
  const std::size_t n = o.size();
  for (std::size_t i = 0; i + 1 < n; ++i) lift(o[i], e[i] + e[i + 1]);
  lift(o[n - 1], e[n - 1] + e[e.size() > n ? n : n - 1]);
}

// e[i] += [c (o[i - 1] + o[i])] (or -=), o mirrored at both ends.
template <bool undo, class T>
[[gnu::always_inline]] inline void lift_evens(std::span<T> e, std::span<const T> o, std::int64_t c) {
  const auto lift = [c](T& v, T sum) { v = undo ? v - times(c, sum) : v + times(c, sum); };
  const std::size_t n = o.size();
  lift(e[0], o[0] + o[0]);
  for (std::size_t i = 1; i < n; ++i) lift(e[i], o[i - 1] + o[i]);
  if (e.size() > n) lift(e[n], o[n - 1] + o[n - 1]);
}

// |x| < 2^40 for every x: x + 2^40 then lies in [0, 2^41), which an OR of all of them shows without a
// comparison per value (that vectorises on any x86-64).
template <class T>
[[gnu::always_inline]] inline bool within_bound(std::span<const T> v) {
  if constexpr (std::is_floating_point_v<T>) {
    return std::all_of(v.begin(), v.end(), [](T x) { return std::fabs(x) < static_cast<T>(lifting_bound); });
  } else {
    std::uint64_t any = 0;
    for (const T x : v) any |= static_cast<std::uint64_t>(x) + static_cast<std::uint64_t>(lifting_bound);
    return (any >> 41) == 0;
  }
}

// One level on s (at least two samples): evens then odds.
template <class T>
void forward_level(std::span<T> s, std::span<T> scratch) {
  const std::size_t m = s.size(), ne = (m + 1) / 2, no = m / 2;
  for (std::size_t i = 0; i < no; ++i) {
    scratch[i] = s[2 * i];
    scratch[ne + i] = s[2 * i + 1];
  }
  if (ne > no) scratch[no] = s[m - 1];
  std::copy(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(m), s.begin());
  const auto e = s.first(ne), o = s.subspan(ne);
  lift_odds<false, T>(o, e, factor_a);
  lift_evens<false, T>(e, o, factor_b);
  lift_odds<false, T>(o, e, factor_g);
  lift_evens<false, T>(e, o, factor_d);
}

template <class T>
[[gnu::always_inline]] inline void inverse_level(std::span<T> s, std::span<T> scratch) {
  const std::size_t m = s.size(), ne = (m + 1) / 2, no = m / 2;
  const auto e = s.first(ne), o = s.subspan(ne);
  lift_evens<true, T>(e, o, factor_d);
  lift_odds<true, T>(o, e, factor_g);
  lift_evens<true, T>(e, o, factor_b);
  lift_odds<true, T>(o, e, factor_a);
  for (std::size_t i = 0; i < no; ++i) {
    scratch[2 * i] = e[i];
    scratch[2 * i + 1] = o[i];
  }
  if (ne > no) scratch[m - 1] = e[no];
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

namespace {

// Inlined whole into each caller below, so that each compiles it for its own instruction set.
template <class T>
[[gnu::always_inline]] inline bool inverse_steps(std::span<T> block, unsigned levels, std::span<T> scratch) {
  if (!within_bound<T>(block)) return false;
  const Bands bands = bands_of(block.size(), levels);
  for (unsigned b = 2; b <= bands.count; ++b) {
    const auto s = block.first(bands.start[b]);
    inverse_level<T>(s, scratch);
    if (!within_bound<T>(s)) return false;
  }
  return true;
}

[[gnu::always_inline]] inline bool steps_then_inverse(std::span<const std::int32_t> q,
                                                       std::span<const std::uint32_t> steps,
                                                       std::span<std::int64_t> codes,
                                                       std::span<std::int64_t> scratch) {
  const auto levels = static_cast<unsigned>(steps.size() - 1);
  const Bands bands = bands_of(q.size(), levels);
  for (unsigned b = 0; b < bands.count; ++b) {
    const std::int64_t step = steps[bands.step[b]];  // below 2^31, as q is: the product fits
    for (std::size_t i = bands.start[b]; i < bands.start[b + 1]; ++i) codes[i] = step * q[i];
  }
  return inverse_steps<std::int64_t>(codes, levels, scratch);
}

}  // namespace

bool kernels::lifted_codes(std::span<const std::int32_t> q, std::span<const std::uint32_t> steps,
                           std::span<std::int64_t> codes, std::span<std::int64_t> scratch) {
  return steps_then_inverse(q, steps, codes, scratch);
}

#if RIMBLE_ARCH(X86_64)
// The decoder's pass on four int64 lanes at a time: the same integer steps, so the same values.
[[gnu::target("avx2")]] bool kernels::lifted_codes_avx2(std::span<const std::int32_t> q,
                                                        std::span<const std::uint32_t> steps,
                                                        std::span<std::int64_t> codes,
                                                        std::span<std::int64_t> scratch) {
  return steps_then_inverse(q, steps, codes, scratch);
}
#endif

template <class T>
bool inverse_lifting(std::span<T> block, unsigned levels, std::span<T> scratch) {
  return inverse_steps<T>(block, levels, scratch);
}

bool codes_of_bands(std::span<const std::int32_t> q, std::span<const std::uint32_t> steps,
                    std::span<std::int64_t> codes, std::span<std::int64_t> scratch) {
  return kernels::sample_kernels().lifted_codes(q, steps, codes, scratch);
}

template bool forward_lifting(std::span<std::int64_t>, unsigned, std::span<std::int64_t>);
template bool inverse_lifting(std::span<std::int64_t>, unsigned, std::span<std::int64_t>);
template bool forward_lifting(std::span<double>, unsigned, std::span<double>);
template bool inverse_lifting(std::span<double>, unsigned, std::span<double>);

}  // namespace quorvel
