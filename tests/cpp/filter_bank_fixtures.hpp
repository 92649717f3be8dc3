// tests/cpp/filter_bank_fixtures.hpp: filters and signals shared by the
// filter-bank tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "rimble/border_mode.hpp"

namespace fixtures {

// Daubechies-4 (extremal phase, large taps first) and symlet-4 low-pass rows,
// normalised to sum sqrt(2).
inline constexpr std::array<double, 8> kDb4 = {
    0.2303778133088965,  0.7148465705529157,   0.6308807679298589, -0.027983769416859854,
    -0.18703481171909309, 0.030841381835560764, 0.0328830116668852, -0.010597401785069032,
};
inline constexpr std::array<double, 8> kSym4 = {
    0.0322231006040427, -0.012603967262037833, -0.09921954357684722, 0.29785779560527736,
    0.8037387518059161, 0.49761866763201545,   -0.02963552764599851, -0.07576571478927333,
};

template <std::size_t N>
std::array<float, N> to_float(const std::array<double, N>& row) {
  std::array<float, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<float>(row[i]);
  return out;
}

inline constexpr rimble::BorderMode kAllModes[] = {rimble::BorderMode::Clamp, rimble::BorderMode::Periodic,
                                                   rimble::BorderMode::Symmetric, rimble::BorderMode::Reflect,
                                                   rimble::BorderMode::Zeros};

inline const char* mode_name(rimble::BorderMode mode) {
  static const char* const names[] = {"Clamp", "Periodic", "Symmetric", "Reflect", "Zeros"};
  return names[static_cast<int>(mode)];
}

// Deterministic pseudo-random samples in [-scale, scale).
inline std::vector<float> random_signal(std::size_t n, std::uint32_t seed, float scale = 1.0f) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<float> uniform(-scale, scale);
  std::vector<float> out(n);
  for (auto& x : out) x = uniform(engine);
  return out;
}

// The signal a b c d e (as 1..5) extended by three samples on each side in
// every mode, written out by hand from the picture of each mode.
struct PicturedExtension {
  rimble::BorderMode mode;
  std::vector<float> extended;
};
inline const std::vector<float> kPictureSignal = {1, 2, 3, 4, 5};
inline const PicturedExtension kPicturedExtensions[] = {
    {rimble::BorderMode::Clamp, {1, 1, 1, 1, 2, 3, 4, 5, 5, 5, 5}},
    {rimble::BorderMode::Periodic, {3, 4, 5, 1, 2, 3, 4, 5, 1, 2, 3}},
    {rimble::BorderMode::Symmetric, {3, 2, 1, 1, 2, 3, 4, 5, 5, 4, 3}},
    {rimble::BorderMode::Reflect, {4, 3, 2, 1, 2, 3, 4, 5, 4, 3, 2}},
    {rimble::BorderMode::Zeros, {0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}},
};

// The extended signal at any index, transcribed from the border table (a b c d e);
// the tests' one border oracle, itself checked against the pictures above:
// Clamp a a a|...|e e e, Periodic c d e|...|a b c, Symmetric c b a|...|e d c,
// Reflect d c b|...|d c b, Zeros 0 0 0|...|0 0 0.
inline double extended(std::span<const float> x, std::int64_t i, rimble::BorderMode mode) {
  const auto n = static_cast<std::int64_t>(x.size());
  if (i >= 0 && i < n) return x[i];
  const auto wrap = [](std::int64_t v, std::int64_t m) { return ((v % m) + m) % m; };
  switch (mode) {
    case rimble::BorderMode::Clamp: return x[i < 0 ? 0 : n - 1];
    case rimble::BorderMode::Periodic: return x[wrap(i, n)];
    case rimble::BorderMode::Symmetric: return x[n - 1 - wrap(i, n)];
    case rimble::BorderMode::Reflect: return n == 1 ? x[0] : x[(n - 1) - wrap(i, n - 1)];
    case rimble::BorderMode::Zeros: return 0.0;
  }
  return 0.0;
}

}  // namespace fixtures
