// rimble/border_mode.hpp: how a filter bank extends a finite signal past its ends.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "rimble/fast_divide.hpp"

namespace rimble {

// Extension of x[0..n) at an index x outside it (signal a b c d e, 3 each side):
//   Clamp      a a a · a b c d e · e e e   nearest edge sample
//   Periodic   c d e · a b c d e · a b c   x mod n
//   Symmetric  c b a · a b c d e · e d c   mirror repeating the edge sample
//   Reflect    d c b · a b c d e · d c b   mirror about the edge sample
//   Zeros      0 0 0 · a b c d e · 0 0 0
enum class BorderMode : std::uint8_t { Clamp = 0, Periodic = 1, Symmetric = 2, Reflect = 3, Zeros = 4 };

// Maps indices outside [start, end) back into it by a border mode. Built once
// per transform call; each mapping then costs a multiply and a shift, never a
// hardware division. With r = (x - start) mod m (non-negative, 0 <= r < m):
//   Clamp      clamp(x, start, end - 1)
//   Periodic   start + r,     m = n = end - start
//   Symmetric  end - 1 - r,   m = n
//   Reflect    end - 1 - r,   m = n - 1 (1 when n = 1, which gives start)
// The two mirrors differ only in the period: Reflect skips the edge sample.
// The mirror rules are exact for one mirrored copy; further out they repeat
// the same copy with period m instead of folding back and forth.
// Zeros maps no index: sample() gives 0 outside the range.
class BorderInterpolation {
 public:
  // Every mode but Zeros needs a non-empty range: an empty one is a
  // programming error and ends the process.
  BorderInterpolation(BorderMode mode, std::int64_t start, std::int64_t end);

  [[nodiscard]] BorderMode mode() const { return mode_; }
  [[nodiscard]] std::int64_t end() const { return end_; }
  [[nodiscard]] bool contains(std::int64_t x) const { return x >= start_ && x < end_; }

  // The source index standing in for x; x itself inside the range. Not for
  // Zeros, which has no source index (returns x unchanged).
  [[nodiscard]] std::int64_t map(std::int64_t x) const {
    if (contains(x)) return x;
    switch (mode_) {
      case BorderMode::Clamp:
        return std::clamp(x, start_, end_ - 1);
      case BorderMode::Periodic:
        return start_ + divider_.modulo(x - start_);
      case BorderMode::Symmetric:
      case BorderMode::Reflect:
        return end_ - 1 - divider_.modulo(x - start_);
      case BorderMode::Zeros:
        break;
    }
    return x;
  }

  // The extended signal at x: src[x] inside the range (src covers [start, end)
  // from its first element), the mapped sample or 0 outside.
  template <class T>
  [[nodiscard]] T sample(std::span<const T> src, std::int64_t x) const {
    if (!contains(x) && mode_ == BorderMode::Zeros) return T(0);
    return src[static_cast<std::size_t>(map(x) - start_)];
  }

  // window[k] = sample(src, first + k): the whole filter window of one border
  // output, so that border and interior outputs share one dot product.
  template <class T>
  void gather(std::span<const T> src, std::int64_t first, std::span<T> window) const {
    for (std::size_t k = 0; k < window.size(); ++k) window[k] = sample(src, first + static_cast<std::int64_t>(k));
  }

  // The divider of the mapping (divisor 1 for Clamp and Zeros), for kernels
  // that map several indices at once.
  [[nodiscard]] const DividerI64& divider() const { return divider_; }

 private:
  DividerI64 divider_;
  std::int64_t start_;
  std::int64_t end_;
  BorderMode mode_;
};

}  // namespace rimble
