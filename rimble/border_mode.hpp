// rimble/border_mode.hpp: how a filter bank extends a finite signal past its ends.
#pragma once

#include <cstdint>

namespace rimble {

// Extension of x[0..n) at an index x outside it (signal a b c d e, 3 each side):
//   Clamp      a a a · a b c d e · e e e   nearest edge sample
//   Periodic   c d e · a b c d e · a b c   x mod n
//   Symmetric  c b a · a b c d e · e d c   mirror repeating the edge sample
//   Reflect    d c b · a b c d e · d c b   mirror about the edge sample
//   Zeros      0 0 0 · a b c d e · 0 0 0
enum class BorderMode : std::uint8_t { Clamp = 0, Periodic = 1, Symmetric = 2, Reflect = 3, Zeros = 4 };

}  // namespace rimble
