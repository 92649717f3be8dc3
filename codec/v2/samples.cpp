// codec/v2/samples.cpp: the samples as given, checked, and how far decoded samples lie from them.
#include "codec/v2/samples.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>

#include "codec/common/format.hpp"
#include "codec/v2/sample_kernels.hpp"

namespace quorvel {

namespace {

// The first sample that is not finite, named, if there is one (squares of
// finite float64 samples may overflow too).
template <class T>
std::expected<void, QuorvelError> check_finite(std::span<const T> x) {
  for (std::size_t j = 0; j < x.size(); ++j) {
    const double v = x[j];
    if (std::isfinite(v)) continue;
    const char* what = std::isnan(v) ? "NaN" : v > 0 ? "+inf" : "-inf";
    return std::unexpected(
        QuorvelError::invalid_input("Sample " + std::to_string(j) + " is " + what +
                                    ": only finite samples can be encoded to an error target"));
  }
  return {};
}

template <class T>
std::expected<SignalFacts, QuorvelError> examine_samples(std::span<const T> x) {
  if (const auto problem = unencodable_count(x.size()))
    return std::unexpected(QuorvelError::invalid_input(*problem));
  // One branch-free pass (NaN and infinities surface in the sum of squares),
  // and a second one only to name the first bad sample.
  constexpr double inf = std::numeric_limits<double>::infinity();
  kernels::Spread lanes{{inf, inf, inf, inf}, {-inf, -inf, -inf, -inf}, {}};
  const std::size_t whole = x.size() / 4 * 4;
  kernels::sample_kernels().spread<T>()(x.first(whole), lanes);
  double* const lowest = lanes.lowest;
  double* const highest = lanes.highest;
  double* const sums = lanes.squares;
  for (std::size_t i = whole; i < x.size(); ++i) {
    const double v = x[i];
    lowest[0] = std::min(lowest[0], v);
    highest[0] = std::max(highest[0], v);
    sums[0] += v * v;
  }
  SignalFacts facts{*std::min_element(lowest, lowest + 4), *std::max_element(highest, highest + 4), 0.0, 1.0,
                    (sums[0] + sums[1]) + (sums[2] + sums[3])};
  if (!std::isfinite(facts.sum_squares)) {
    if (auto finite = check_finite(x); !finite) return std::unexpected(finite.error());
  }
  facts.peak = std::max(std::fabs(facts.lowest), std::fabs(facts.highest));
  // Squares of float64 samples below about 1e-154 underflow, and a PRD of
  // 0 / 0 would pass for a perfect one: every sum of squares is taken on
  // samples and errors brought near 1 by the same power of two, which is exact
  // and cancels in PRD. Float32 samples and ordinary magnitudes need no second pass.
  if (facts.peak > 0) facts.unit = std::ldexp(1.0, -std::ilogb(facts.peak));
  if (facts.peak < 1e-100 || facts.peak > 1e100) {
    facts.sum_squares = 0.0;
    for (const T v : x) facts.sum_squares += (v * facts.unit) * (v * facts.unit);
  } else {
    facts.sum_squares *= facts.unit * facts.unit;
  }
  if (facts.peak > std::numeric_limits<float>::max()) {
    return std::unexpected(QuorvelError::invalid_input(
        "Samples reach " + figure(facts.peak) + ", beyond the largest float32 the decoder can return"));
  }
  return facts;
}

}  // namespace

std::expected<SignalFacts, QuorvelError> examine(const Samples& x) {
  return std::visit([](auto samples) { return examine_samples(samples); }, x);
}

std::expected<void, QuorvelError> check_target(Target target) {
  if (!is_known(target.kind)) return std::unexpected(QuorvelError::invalid_target("Unknown target kind"));
  if (!std::isfinite(target.value) || target.value < 0) {
    return std::unexpected(QuorvelError::invalid_target("Target must be a finite number >= 0, but it was " +
                                                        figure(target.value)));
  }
  return {};
}

template <class T>
void DistortionSum::add(std::span<const T> x, std::span<const float> y) {
  kernels::Misfit lanes;
  std::copy(std::begin(largest_), std::end(largest_), lanes.largest);
  std::copy(std::begin(squares_), std::end(squares_), lanes.squares);
  const std::size_t whole = x.size() / 4 * 4;
  kernels::sample_kernels().misfit<T>()(x.first(whole), y.first(whole), unit_, lanes);
  std::copy(std::begin(lanes.largest), std::end(lanes.largest), largest_);
  std::copy(std::begin(lanes.squares), std::end(lanes.squares), squares_);
  for (std::size_t i = whole; i < x.size() && tail_count_ < 3; ++i) {
    tail_[tail_count_++] = static_cast<double>(y[i]) - static_cast<double>(x[i]);
  }
}

template void DistortionSum::add(std::span<const float>, std::span<const float>);
template void DistortionSum::add(std::span<const double>, std::span<const float>);

Distortion DistortionSum::total() const {
  Distortion d{std::max(std::max(largest_[0], largest_[1]), std::max(largest_[2], largest_[3])),
               (squares_[0] + squares_[1]) + (squares_[2] + squares_[3])};
  for (std::size_t i = 0; i < tail_count_; ++i) {
    d.max_abs = std::max(d.max_abs, std::fabs(tail_[i]));
    d.sum_squares += (tail_[i] * unit_) * (tail_[i] * unit_);
  }
  return d;
}

template <class T>
Distortion distortion_of(std::span<const T> x, std::span<const float> y, double unit) {
  DistortionSum sum(unit);
  sum.add(x, y);
  return sum.total();
}

template Distortion distortion_of(std::span<const float>, std::span<const float>, double);
template Distortion distortion_of(std::span<const double>, std::span<const float>, double);

Distortion distortion(const Samples& x, std::span<const float> decoded, double unit) {
  return std::visit([&](auto samples) { return distortion_of(samples, decoded, unit); }, x);
}

double Measure::operator()(const Distortion& d) const {
  if (kind == TargetKind::max_error) return d.max_abs;
  if (kind != TargetKind::prd) return std::sqrt(d.sum_squares / static_cast<double>(n)) / unit;
  if (signal_sum_squares == 0.0) return d.sum_squares == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
  return 100.0 * std::sqrt(d.sum_squares / signal_sum_squares);
}

}  // namespace quorvel
