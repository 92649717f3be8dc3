// rimble/coefficients.hpp: the low-pass rows of the Daubechies and symlet families.
#pragma once

#include <span>

#include "rimble/factory.hpp"

namespace rimble {

// The scaling filter h[0..N) of a family member in 64-bit precision, normalised
// to sum sqrt(2) with squares summing to 1. Daubechies rows are the
// extremal-phase filters with the large taps first (N = 2(code+1)); symlet rows
// are the least-asymmetric filters (N = 2 code + 4). Only the enumerators are
// valid codes: the rows are indexed directly.
[[nodiscard]] std::span<const double> daubechies_row(DaubechiesFamily family);
[[nodiscard]] std::span<const double> symlet_row(SymletFamily family);

}  // namespace rimble
