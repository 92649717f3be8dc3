// codec/v2/cell_filter.cpp: the cell filter's samples, its least-squares fit, and its detection in samples.
#include "codec/v2/cell_filter.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "codec/common/buffer.hpp"
#include "codec/v2/sample_kernels.hpp"

namespace quorvel {

namespace {

using i64 = std::int64_t;
constexpr std::size_t edge = cell_filter_taps;
using Differences = std::array<i64, cell_filter_taps>;

// The four symmetric second differences around code i of a block, the codes mirrored at its ends.
Differences mirrored_differences(std::span<const std::int32_t> c, std::size_t i) {
  const auto last = static_cast<std::ptrdiff_t>(c.size()) - 1;
  const auto at = [&](std::ptrdiff_t k) {
    k = k < 0 ? -k : k > last ? 2 * last - k : k;
    return i64{c[static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(k, 0, last))]};
  };
  Differences d;
  const auto p = static_cast<std::ptrdiff_t>(i);
  for (std::ptrdiff_t j = 1; j <= cell_filter_taps; ++j) d[j - 1] = at(p - j) + at(p + j) - 2 * i64{c[i]};
  return d;
}

i64 correction(const CellFilter& g, std::int32_t code, const Differences& d) {
  i64 s = 0;
  for (int j = 0; j < cell_filter_taps; ++j) s += i64{g[static_cast<std::size_t>(j)]} * d[static_cast<std::size_t>(j)];
  return code == 0 ? 0 : std::clamp<i64>(s, -largest_correction, largest_correction);
}

// Least squares over rows (differences, target): the coefficients in 1/1024 that bring the differences'
// weighted sums nearest the targets (in 1/1024 of a step), rounded into int16; zeros when singular.
class Normal {
 public:
  // The rows of a block's codes, with their targets (NaN: left out): those at its ends, whose differences
  // need the mirror, in lane 0; the others through the kernel.
  void add_block(std::span<const std::int32_t> c, std::span<const double> target) {
    const std::size_t n = c.size(), inner_end = n > 2 * edge ? n - edge : 0;
    const auto add_mirrored = [&](std::size_t i) {
      if (std::isnan(target[i])) return;
      const Differences d = mirrored_differences(c, i);
      const double row[edge] = {static_cast<double>(d[0]), static_cast<double>(d[1]), static_cast<double>(d[2]),
                                static_cast<double>(d[3])};
      kernels::add_row(lanes_, row, target[i], 0);
    };
    for (std::size_t i = 0; i < std::min(n, edge); ++i) add_mirrored(i);
    if (inner_end > edge)
      kernels::sample_kernels().normal_rows(c.data(), target.data(), edge, inner_end, lanes_);
    for (std::size_t i = std::max(edge, inner_end); i < n; ++i) add_mirrored(i);
  }

  [[nodiscard]] CellFilter solve() const {
    std::array<std::array<double, edge>, edge> m{};
    std::array<double, edge> rhs{};
    const auto sum = [](const double (&lane)[4]) { return (lane[0] + lane[1]) + (lane[2] + lane[3]); };
    for (std::size_t a = 0; a < edge; ++a) {
      rhs[a] = sum(lanes_.b[a]);
      for (std::size_t b = 0; b <= a; ++b) m[a][b] = sum(lanes_.m[a][b]);
    }
    // Cholesky of the symmetric matrix (lower half filled).
    std::array<std::array<double, edge>, edge> l{};
    for (std::size_t a = 0; a < edge; ++a) {
      for (std::size_t b = 0; b <= a; ++b) {
        double s = m[a][b];
        for (std::size_t k = 0; k < b; ++k) s -= l[a][k] * l[b][k];
        if (a == b) {
          if (!(s > 1e-9 * (m[a][a] + 1.0))) return {};
          l[a][a] = std::sqrt(s);
        } else {
          l[a][b] = s / l[b][b];
        }
      }
    }
    std::array<double, edge> y{}, x{};
    for (std::size_t a = 0; a < edge; ++a) {
      double s = rhs[a];
      for (std::size_t k = 0; k < a; ++k) s -= l[a][k] * y[k];
      y[a] = s / l[a][a];
    }
    for (std::size_t a = edge; a-- > 0;) {
      double s = y[a];
      for (std::size_t k = a + 1; k < edge; ++k) s -= l[k][a] * x[k];
      x[a] = s / l[a][a];
    }
    CellFilter g{};
    for (std::size_t a = 0; a < edge; ++a) {
      if (!std::isfinite(x[a])) return {};
      g[a] = static_cast<std::int16_t>(std::clamp(std::nearbyint(x[a]), -32768.0, 32767.0));
    }
    return g;
  }

 private:
  kernels::NormalLanes lanes_;
};

template <class F>
void for_each_block(std::size_t n, std::size_t block_length, F&& f) {
  for (std::size_t start = 0; start < n; start += block_length) f(start, std::min(block_length, n - start));
}

// The correction in 1/1024 of a step that a sample shows against the nearest code, when it is one.
std::optional<i64> shown_correction(float y, const Grid& grid, std::int32_t& code) {
  const double offset = (static_cast<double>(y) - grid.origin) / grid.step;
  const double k = round_even(offset);
  if (!(std::fabs(k) <= largest_code)) return std::nullopt;
  code = static_cast<std::int32_t>(k);
  const double fraction = (offset - k) * 1024.0;
  const double t = std::nearbyint(fraction);
  if (std::fabs(fraction - t) > 0.125 || std::fabs(t) > static_cast<double>(largest_correction) ||
      (code == 0 && t != 0.0)) {
    return std::nullopt;
  }
  return static_cast<i64>(t);
}

}  // namespace

bool filter_block(const Grid& grid, const CellFilter& g, std::span<const std::int32_t> codes, float* out) {
  constexpr float largest = std::numeric_limits<float>::max();
  const double fine = grid.step / 1024.0;  // exact: a power of two apart
  int bad = 0;
  const auto mirrored = [&](std::size_t i) {
    const double t = static_cast<double>(correction(g, codes[i], mirrored_differences(codes, i)));
    out[i] = cell_sample(grid, fine, codes[i], t);
    bad |= static_cast<int>(!(std::fabs(out[i]) <= largest));
  };
  // Away from the ends the same sums in doubles, which hold them exactly (codes below 2^31, weights below
  // 2^15: every product and sum below 2^51), in any order, without a branch.
  const std::size_t n = codes.size(), inner_end = n > 2 * edge ? n - edge : 0;
  for (std::size_t i = 0; i < std::min(n, edge); ++i) mirrored(i);
  if (inner_end > edge &&
      !kernels::sample_kernels().filtered_samples(codes.data(), edge, inner_end, grid, g, out))
    bad = 1;
  for (std::size_t i = std::max(edge, inner_end); i < n; ++i) mirrored(i);
  return bad == 0;
}

bool filter_blocks(const Grid& grid, const CellFilter& g, std::span<const std::int32_t> codes,
                   std::size_t block_length, std::span<float> out) {
  bool finite = true;
  for_each_block(codes.size(), block_length, [&](std::size_t start, std::size_t n) {
    finite = filter_block(grid, g, codes.subspan(start, n), out.data() + start) && finite;
  });
  return finite;
}

template <class T>
CellFilter fit_cell_filter(std::span<const T> x, const Grid& grid, std::span<const std::int32_t> codes,
                           std::size_t block_length) {
  Normal normal;
  const double inverse = 1.0 / grid.step, none = std::numeric_limits<double>::quiet_NaN();
  Buffer<double> target(std::min(block_length, codes.size()));
  for_each_block(codes.size(), block_length, [&](std::size_t start, std::size_t n) {
    const auto c = codes.subspan(start, n);
    for (std::size_t i = 0; i < n; ++i) {
      const double off = (static_cast<double>(x[start + i]) - grid.origin) * inverse - static_cast<double>(c[i]);
      target[i] = c[i] == 0 ? none : 1024.0 * off;
    }
    normal.add_block(c, std::span<const double>(target).first(n));
  });
  return normal.solve();
}

template CellFilter fit_cell_filter(std::span<const float>, const Grid&, std::span<const std::int32_t>, std::size_t);
template CellFilter fit_cell_filter(std::span<const double>, const Grid&, std::span<const std::int32_t>, std::size_t);

std::optional<CellFilter> filter_of_samples(std::span<const float> y, const Grid& grid, std::size_t block_length,
                                            std::span<std::int32_t> codes) {
  // On a grid the samples were not made on, one of the first few shows no correction at all.
  constexpr std::size_t probe = 64;
  for (std::size_t i = 0; i < std::min(probe, y.size()); ++i) {
    if (!shown_correction(y[i], grid, codes[i])) return std::nullopt;
  }
  Buffer<std::int32_t> shown(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    const auto t = shown_correction(y[i], grid, codes[i]);
    if (!t) return std::nullopt;
    shown[i] = static_cast<std::int32_t>(*t);
  }
  Normal normal;
  Buffer<double> target(std::min(block_length, y.size()));
  for_each_block(y.size(), block_length, [&](std::size_t start, std::size_t n) {
    const auto c = std::span<const std::int32_t>(codes).subspan(start, n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::int32_t t = shown[start + i];
      target[i] = c[i] != 0 && std::abs(t) < largest_correction ? static_cast<double>(t)
                                                               : std::numeric_limits<double>::quiet_NaN();
    }
    normal.add_block(c, std::span<const double>(target).first(n));
  });
  const CellFilter g = normal.solve();
  if (g == CellFilter{}) return std::nullopt;
  release(shown);  // the check below needs room for the samples again
  Buffer<float> again(y.size());
  const auto same_bits = [](float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); };
  if (!filter_blocks(grid, g, codes, block_length, again) || !std::equal(y.begin(), y.end(), again.begin(), same_bits))
    return std::nullopt;
  return g;
}

}  // namespace quorvel
