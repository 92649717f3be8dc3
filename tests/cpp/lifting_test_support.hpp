// tests/cpp/lifting_test_support.hpp: an independent double-precision model of a lifting
// transform, and probes of the executors' size checks.
//
// Instead of the executors' per-end mirror rules, the oracle extends the interleaved signal by
// whole-sample symmetry far enough past both ends (x[-k] = x[k], x[n-1+k] = x[n-1-k]) and runs the
// lifting steps over the whole extended array with no special cases; the middle n samples are
// then exact. Symmetric steps keep the extension symmetric, so the inverse works the same way on
// the interleaved bands.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace lifting_oracle {

struct Scheme {
  std::vector<double> steps;  // predict, update, predict, ... weights
  double approx_scale;
  double detail_scale;
};

inline const Scheme& cdf53() {
  static const Scheme scheme{{-0.5, 0.25}, 1.0, 1.0};
  return scheme;
}

// Published 9/7 lifting coefficients in full precision (not the float constants under test).
inline const Scheme& cdf97() {
  static const Scheme scheme{{-1.586134342059924, -0.052980118572961, 0.882911075530934, 0.443506852043971},
                             std::sqrt(2.0) / 1.230174104914001, 1.230174104914001 / std::sqrt(2.0)};
  return scheme;
}

// x mirrored about both ends (period 2(n-1)), with pad samples added on each side.
inline std::vector<double> extend(std::span<const double> x, std::size_t pad) {
  const auto n = static_cast<long>(x.size());
  const long period = 2 * (n - 1);
  std::vector<double> y(x.size() + 2 * pad);
  for (long j = -static_cast<long>(pad); j < n + static_cast<long>(pad); ++j) {
    long k = ((j % period) + period) % period;
    if (k > n - 1) {
      k = period - k;
    }
    y[static_cast<std::size_t>(j + static_cast<long>(pad))] = x[static_cast<std::size_t>(k)];
  }
  return y;
}

// One step on every sample of the given parity that has both neighbours.
inline void lift(std::vector<double>& y, std::size_t parity, double w) {
  for (std::size_t k = 1; k + 1 < y.size(); ++k) {
    if (k % 2 == parity) {
      y[k] += w * (y[k - 1] + y[k + 1]);
    }
  }
}

// pad is even, so extended index parity equals signal index parity.
inline std::size_t pad_for(const Scheme& s) { return 2 * s.steps.size() + 4; }

inline std::pair<std::vector<double>, std::vector<double>> forward(const Scheme& s, std::span<const float> x) {
  const std::vector<double> xd(x.begin(), x.end());
  const std::size_t pad = pad_for(s);
  std::vector<double> y = extend(xd, pad);
  for (std::size_t k = 0; k < s.steps.size(); ++k) {
    lift(y, k % 2 == 0 ? 1 : 0, s.steps[k]);
  }
  std::vector<double> a((x.size() + 1) / 2), d(x.size() / 2);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = y[pad + 2 * i] * s.approx_scale;
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = y[pad + 2 * i + 1] * s.detail_scale;
  return {a, d};
}

inline std::vector<double> inverse(const Scheme& s, std::span<const float> a, std::span<const float> d) {
  std::vector<double> x(a.size() + d.size());
  for (std::size_t i = 0; i < a.size(); ++i) x[2 * i] = a[i] / s.approx_scale;
  for (std::size_t i = 0; i < d.size(); ++i) x[2 * i + 1] = d[i] / s.detail_scale;
  const std::size_t pad = pad_for(s);
  std::vector<double> y = extend(x, pad);
  for (std::size_t k = s.steps.size(); k-- > 0;) {
    lift(y, k % 2 == 0 ? 1 : 0, -s.steps[k]);
  }
  return {y.begin() + static_cast<long>(pad), y.begin() + static_cast<long>(pad + x.size())};
}

inline std::vector<float> random_signal(std::size_t n, unsigned seed, float amplitude = 100.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-amplitude, amplitude);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

inline double max_magnitude(std::span<const float> x) {
  double m = 0;
  for (float v : x) m = std::max(m, static_cast<double>(std::fabs(v)));
  return m;
}

}  // namespace lifting_oracle

namespace lifting_probe {

// The message of a forward level over n samples into bands of a and d samples, or "ok". A size
// check must fail before anything is written.
template <class Executor>
std::string forward_error(std::size_t n, std::size_t a, std::size_t d) {
  const std::vector<float> input(n, 1.0f);
  std::vector<float> approx(a, -9.0f), details(d, -9.0f);
  const auto result = Executor().execute_forward(input, approx, details);
  if (result) {
    return "ok";
  }
  EXPECT_EQ(approx, std::vector<float>(a, -9.0f));
  EXPECT_EQ(details, std::vector<float>(d, -9.0f));
  return result.error().message();
}

// The message of an inverse level from bands of a and d samples into n samples, or "ok".
template <class Executor>
std::string inverse_error(std::size_t a, std::size_t d, std::size_t n) {
  const std::vector<float> approx(a, 1.0f), details(d, 1.0f);
  std::vector<float> output(n, -9.0f);
  const auto result = Executor().execute_inverse(approx, details, output);
  if (result) {
    return "ok";
  }
  EXPECT_EQ(output, std::vector<float>(n, -9.0f));
  return result.error().message();
}

}  // namespace lifting_probe
