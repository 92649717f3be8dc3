// codec/aim.hpp: the aimed encoder, which meets an error bound or a byte budget in a standard container.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/error.hpp"
#include "codec/header.hpp"

namespace quorvel {

enum class TargetKind : std::uint8_t { max_error, rmse, prd, max_bytes };

// What the decoded signal must meet: an absolute error in the signal's units
// (max_error, rmse), a percentage root-mean-square difference (prd: 100 *
// sqrt(sum (x - y)^2 / sum x^2)), or a size in bytes for the whole container.
struct Target {
  TargetKind kind;
  double value;
};

// How hard the encoder looks: fast takes one method and a fast DEFLATE level,
// best tries every method and rounding and DEFLATEs at libdeflate's level 12.
enum class Effort : std::uint8_t { fast, normal, best };

struct AimOptions {
  std::optional<CompressionMethod> method;  // nullopt: the encoder chooses
  Effort effort = Effort::normal;
};

// Why compress_aimed gave no container.
class AimError {
 public:
  enum class Kind : std::uint8_t {
    InvalidInput,   // empty, non-finite or too many samples
    InvalidTarget,  // negative, NaN or infinite target value
    Unreachable,    // no container meets the target; best_reachable() says what can be met
    Codec,          // the codec itself failed (its message is passed on)
  };

  static AimError invalid_input(std::string text) { return {Kind::InvalidInput, std::move(text), std::nullopt}; }
  static AimError invalid_target(std::string text) { return {Kind::InvalidTarget, std::move(text), std::nullopt}; }
  static AimError unreachable(std::string text, double best) { return {Kind::Unreachable, std::move(text), best}; }
  static AimError codec(const QuorvelError& error) { return {Kind::Codec, error.message(), std::nullopt}; }

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] const std::string& message() const { return text_; }
  // For Unreachable: the finest error (or the smallest size) this signal allows.
  [[nodiscard]] std::optional<double> best_reachable() const { return best_; }

 private:
  AimError(Kind kind, std::string text, std::optional<double> best)
      : kind_(kind), text_(std::move(text)), best_(best) {}
  Kind kind_;
  std::string text_;
  std::optional<double> best_;
};

// Encodes 1 to 2147483647 finite samples into a version-1 container that
// decompress turns back into a signal meeting `target`, measured against the
// samples exactly as given (float64 input against its float64 values). The
// container is decoded once before it is returned; a target that cannot be
// met gives Unreachable, never a container that misses it. Thread-safe.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, AimError> compress_aimed(std::span<const float> samples,
                                                                               Target target,
                                                                               AimOptions options = {});
[[nodiscard]] std::expected<std::vector<std::uint8_t>, AimError> compress_aimed(std::span<const double> samples,
                                                                               Target target,
                                                                               AimOptions options = {});

}  // namespace quorvel
