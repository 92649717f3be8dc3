// codec/aim/aim.hpp: the aimed encoder, which meets an error bound or a byte budget in a standard container.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "codec/common/error.hpp"
#include "codec/common/vocabulary.hpp"

namespace quorvel {

struct AimOptions {
  std::optional<CompressionMethod> method;  // nullopt: the encoder chooses
  Effort effort = Effort::default_;
};

// Encodes 1 to 2147483647 finite samples into a version-1 container that
// decompress turns back into a signal meeting `target`, measured against the
// samples exactly as given (float64 input against its float64 values). The
// container is decoded once before it is returned; a target that cannot be
// met gives Unreachable (with the best reachable figure), never a container
// that misses it. Other failures: InvalidInput (empty, non-finite or too many
// samples, float64 magnitudes beyond float32), InvalidTarget, InvalidOptions.
// Thread-safe.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> compress_aimed(std::span<const float> samples,
                                                                                   Target target,
                                                                                   AimOptions options = {});
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> compress_aimed(std::span<const double> samples,
                                                                                   Target target,
                                                                                   AimOptions options = {});

}  // namespace quorvel
