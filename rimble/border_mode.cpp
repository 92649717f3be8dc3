// rimble/border_mode.cpp: preparing the divider of a border mapping.
#include "rimble/border_mode.hpp"

#include "rimble/err.hpp"

namespace rimble {
namespace {

// The divisor of the remainder each mode takes (1 where none is taken).
DividerI64 divider_for(BorderMode mode, std::int64_t start, std::int64_t end) {
  const std::int64_t n = end - start;
  if (static_cast<std::uint8_t>(mode) > static_cast<std::uint8_t>(BorderMode::Zeros)) {
    fatal("internal error: unknown border mode code");
  }
  if (mode == BorderMode::Zeros) return DividerI64(1);
  if (n <= 0) fatal("attempt to calculate the remainder with a divisor of zero");
  switch (mode) {
    case BorderMode::Periodic:
    case BorderMode::Symmetric:
      return DividerI64(n);
    case BorderMode::Reflect:
      return DividerI64(n > 1 ? n - 1 : 1);
    default:
      return DividerI64(1);
  }
}

}  // namespace

BorderInterpolation::BorderInterpolation(BorderMode mode, std::int64_t start, std::int64_t end)
    : divider_(divider_for(mode, start, end)), start_(start), end_(end), mode_(mode) {}

}  // namespace rimble
