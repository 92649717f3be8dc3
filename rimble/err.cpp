// rimble/err.cpp: error messages and the fatal-invariant helper.
#include "rimble/err.hpp"

#include <cstdio>
#include <cstdlib>

namespace rimble {

std::string RimbleError::message() const {
  const std::string a = std::to_string(first_);
  const std::string b = std::to_string(second_);
  switch (kind_) {
    case Kind::AllocationFailed:
      return "Cannot allocate " + a + " bytes to vector";
    case Kind::HalfLengthMismatch:
      return "Approximation and details expected to be half of original signal length but it was " + a;
    case Kind::ApproxDetailsMismatch:
      return "Approx and details must match, but they don't " + a + "x" + b;
    case Kind::OutputSizeMismatch:
      return "Output size should be " + a + ", but it was " + b;
    case Kind::InputTooShort:
      return "Input size " + a + " can't be less than " + b;
    case Kind::BufferTooSmallForLevel:
      return "Buffer was too small for provided level";
    case Kind::ApproximationSizeMismatch:
      return "Approximate size " + a + " does not match required size " + b;
    case Kind::ZeroSizedInput:
      return "Zero sized input is not supported";
    case Kind::ScratchTooSmall:
      return "Scratch size expected to be " + a + " but it was " + b;
  }
  fatal("unknown RimbleError kind");
}

void fatal(std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace rimble
