// rimble/fast_divide.hpp: signed 64-bit division by an invariant divisor
// through a multiply and a shift.
#pragma once

#include <cstdint>

namespace rimble {

// Granlund-Montgomery division by a positive divisor d, prepared once and then
// used for many dividends (signal lengths in the border mapping). The quotient
// is x / d truncated toward zero, exactly as the `/` operator gives it.
//
// Powers of two (1 included) are a plain arithmetic shift, after adding d - 1
// to negative dividends so that the shift truncates toward zero. Every other d
// uses a magic number M ~ 2^(64+s) / d, s = floor(log2 d): the quotient is the
// high half of M * x, shifted by s, plus one for negative results. When the
// rounding error of the s-1 shift candidate is too large, M needs 65 bits; its
// low 64 bits are stored and the dividend is added back after the multiply
// (the "add" flag in the control byte).
class DividerI64 {
 public:
  explicit DividerI64(std::int64_t divisor);

  [[nodiscard]] std::int64_t divide(std::int64_t x) const {
    const int shift = control_ & kShiftMask;
    if (multiplier_ == 0) {
      const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
      const auto biased = static_cast<std::uint64_t>(x) + ((static_cast<std::uint64_t>(x >> 63)) & mask);
      return static_cast<std::int64_t>(biased) >> shift;
    }
    std::uint64_t q = high_product(multiplier_, x);
    if (control_ & kAddMarker) q += static_cast<std::uint64_t>(x);
    std::int64_t quotient = static_cast<std::int64_t>(q) >> shift;
    return quotient + static_cast<std::int64_t>(static_cast<std::uint64_t>(quotient) >> 63);
  }

  [[nodiscard]] std::int64_t divisor() const { return divisor_; }
  // Non-negative remainder of x modulo the divisor: 0 <= r < divisor.
  [[nodiscard]] std::int64_t modulo(std::int64_t x) const {
    const std::int64_t r = x - divide(x) * divisor_;
    return r < 0 ? r + divisor_ : r;
  }

  // The prepared constants, for kernels that run the same division on several
  // lanes at once (the AVX2 arena writer).
  [[nodiscard]] std::int64_t multiplier() const { return multiplier_; }
  [[nodiscard]] int shift() const { return control_ & kShiftMask; }
  [[nodiscard]] bool adds_dividend() const { return (control_ & kAddMarker) != 0; }

  static constexpr std::uint8_t kShiftMask = 0x3F;
  static constexpr std::uint8_t kAddMarker = 0x40;

 private:
  static std::uint64_t high_product(std::int64_t a, std::int64_t b) {
    const __int128 product = static_cast<__int128>(a) * static_cast<__int128>(b);
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(product) >> 64);
  }

  std::int64_t multiplier_;
  std::int64_t divisor_;
  std::uint64_t magnitude_;
  std::uint8_t control_;
};

}  // namespace rimble
