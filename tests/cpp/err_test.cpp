// Messages of the wavelet library are part of its interface: pin each one.
#include <gtest/gtest.h>

#include "rimble/rimble.hpp"

namespace {

using rimble::RimbleError;

TEST(RimbleError, EveryMessageReadsExactly) {
  const struct {
    RimbleError error;
    const char* text;
  } rows[] = {
      {RimbleError::allocation_failed(4096), "Cannot allocate 4096 bytes to vector"},
      {RimbleError::half_length_mismatch(7),
       "Approximation and details expected to be half of original signal length but it was 7"},
      {RimbleError::approx_details_mismatch(5, 4), "Approx and details must match, but they don't 5x4"},
      {RimbleError::output_size_mismatch(8, 7), "Output size should be 8, but it was 7"},
      {RimbleError::input_too_short(2, 3), "Input size 2 can't be less than 3"},
      {RimbleError::buffer_too_small_for_level(), "Buffer was too small for provided level"},
      {RimbleError::approximation_size_mismatch(0, 2), "Approximate size 0 does not match required size 2"},
      {RimbleError::zero_sized_input(), "Zero sized input is not supported"},
      {RimbleError::scratch_too_small(26, 25), "Scratch size expected to be 26 but it was 25"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(row.error.message(), row.text);
  }
}

TEST(RimbleError, LargeValuesPrintInPlainDecimal) {
  EXPECT_EQ(RimbleError::output_size_mismatch(18446744073709551615u, 0).message(),
            "Output size should be 18446744073709551615, but it was 0");
}

}  // namespace
