// codec/v2/samples.hpp: the samples as given to an encoder, checked, and how far decoded samples lie from them.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <variant>

#include "codec/common/error.hpp"
#include "codec/common/vocabulary.hpp"

namespace quorvel {

// The samples as given: float32, or float64 measured as float64.
using Samples = std::variant<std::span<const float>, std::span<const double>>;

struct SignalFacts {
  double lowest;
  double highest;
  double peak;         // largest magnitude
  double unit;         // a power of two that brings the peak into [1, 2)
  double sum_squares;  // of the samples times unit, for PRD
};

// 1 to 2147483647 finite samples within float32's range, and what the
// encoders need of them; InvalidInput names the first bad sample otherwise.
[[nodiscard]] std::expected<SignalFacts, QuorvelError> examine(const Samples& x);

// A target of a known kind and a finite value >= 0; InvalidTarget otherwise.
[[nodiscard]] std::expected<void, QuorvelError> check_target(Target target);

struct Distortion {
  double max_abs = 0.0;
  double sum_squares = 0.0;  // of the differences times unit
};

// Distortion of decoded samples y against the samples as given (the first
// x.size()). Four partial sums and maxima keep the loop free of a serial
// dependency, and the additions in a fixed order: the same figure everywhere.
template <class T>
[[nodiscard]] Distortion distortion_of(std::span<const T> x, std::span<const float> y, double unit);

// The same figure summed a part at a time, in order, so that a signal's decoded samples need not all
// be held at once: every part but the last must hold a multiple of four samples.
class DistortionSum {
 public:
  explicit DistortionSum(double unit) : unit_(unit) {}
  template <class T>
  void add(std::span<const T> x, std::span<const float> y);
  [[nodiscard]] Distortion total() const;

 private:
  double unit_;
  double largest_[4] = {}, squares_[4] = {};
  double tail_[3] = {};  // the differences after the last multiple of four
  std::size_t tail_count_ = 0;
};
[[nodiscard]] Distortion distortion(const Samples& x, std::span<const float> decoded, double unit);

// What a target measures, in its own units; budgets rank by RMSE.
struct Measure {
  TargetKind kind;
  std::size_t n;
  double signal_sum_squares;  // both sums are of values times `unit`
  double unit;

  [[nodiscard]] double operator()(const Distortion& d) const;
};

}  // namespace quorvel
