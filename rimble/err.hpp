// rimble/err.hpp: the wavelet library's error type, its result alias and the
// fatal-invariant helper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace rimble {

// One value type for every failure of the library. A variant carries none, one
// or two unsigned words; message() prints them in decimal between fixed texts.
class RimbleError {
 public:
  enum class Kind : std::uint8_t {
    AllocationFailed,
    HalfLengthMismatch,
    ApproxDetailsMismatch,
    OutputSizeMismatch,
    InputTooShort,
    BufferTooSmallForLevel,
    ApproximationSizeMismatch,
    ZeroSizedInput,
    ScratchTooSmall,
  };

  // bytes: size of the failed request.
  static RimbleError allocation_failed(std::size_t bytes) { return {Kind::AllocationFailed, bytes, 0}; }
  static RimbleError half_length_mismatch(std::size_t band_length) {
    return {Kind::HalfLengthMismatch, band_length, 0};
  }
  static RimbleError approx_details_mismatch(std::size_t approx_length, std::size_t details_length) {
    return {Kind::ApproxDetailsMismatch, approx_length, details_length};
  }
  static RimbleError output_size_mismatch(std::size_t required, std::size_t given) {
    return {Kind::OutputSizeMismatch, required, given};
  }
  static RimbleError input_too_short(std::size_t length, std::size_t minimum) {
    return {Kind::InputTooShort, length, minimum};
  }
  static RimbleError buffer_too_small_for_level() { return {Kind::BufferTooSmallForLevel, 0, 0}; }
  static RimbleError approximation_size_mismatch(std::size_t given, std::size_t required) {
    return {Kind::ApproximationSizeMismatch, given, required};
  }
  static RimbleError zero_sized_input() { return {Kind::ZeroSizedInput, 0, 0}; }
  static RimbleError scratch_too_small(std::size_t required, std::size_t given) {
    return {Kind::ScratchTooSmall, required, given};
  }

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] std::size_t first() const { return first_; }
  [[nodiscard]] std::size_t second() const { return second_; }
  [[nodiscard]] std::string message() const;

  friend bool operator==(const RimbleError&, const RimbleError&) = default;

 private:
  RimbleError(Kind kind, std::size_t first, std::size_t second) : kind_(kind), first_(first), second_(second) {}

  Kind kind_;
  std::size_t first_;
  std::size_t second_;
};

template <class T>
using Result = std::expected<T, RimbleError>;

// Internal invariants that only a programming error can break end the process.
[[noreturn]] void fatal(std::string_view message);

}  // namespace rimble
