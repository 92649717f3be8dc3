// rimble/fast_divide.cpp: preparing the magic number of a divider.
#include "rimble/fast_divide.hpp"

#include <bit>

#include "rimble/err.hpp"

namespace rimble {

DividerI64::DividerI64(std::int64_t divisor) : multiplier_(0), divisor_(divisor), magnitude_(0), control_(0) {
  if (divisor == 0) fatal("attempt to divide by zero");
  if (divisor < 0) fatal("internal error: DividerI64 is only prepared for positive divisors");
  magnitude_ = static_cast<std::uint64_t>(divisor);
  const int s = std::bit_width(magnitude_) - 1;  // floor(log2 d)
  if (std::has_single_bit(magnitude_)) {
    control_ = static_cast<std::uint8_t>(s);
    return;
  }
  // m = floor(2^(64+s-1) / d), r = 2^(64+s-1) - m*d. The 128-bit dividend
  // keeps both exact for every d < 2^63.
  const unsigned __int128 numerator = static_cast<unsigned __int128>(1) << (64 + s - 1);
  auto m = static_cast<std::uint64_t>(numerator / magnitude_);
  const auto r = static_cast<std::uint64_t>(numerator % magnitude_);
  if (magnitude_ - r < (std::uint64_t{1} << s)) {
    // 2^(64+s-1)/d rounded up is accurate enough for the shift s-1.
    control_ = static_cast<std::uint8_t>(s - 1);
  } else {
    // Double the magic number for the shift s; its top bit lives in the
    // add-back step of divide().
    m += m;
    const std::uint64_t twice_r = r + r;
    if (twice_r >= magnitude_ || twice_r < r) m += 1;
    control_ = static_cast<std::uint8_t>(s | kAddMarker);
  }
  multiplier_ = static_cast<std::int64_t>(m + 1);
}

}  // namespace rimble
