// codec/settings.hpp: how a signal is encoded (a target for the aimed encoder, or fixed settings), and the one road from settings to a container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "codec/aim.hpp"
#include "codec/container.hpp"
#include "codec/error.hpp"

namespace quorvel {

// With a target, the aimed encoder meets it with `aim`; without one, the
// plain encoder uses `fixed`.
struct Settings {
  CompressionOptions fixed = {};
  std::optional<Target> target = std::nullopt;  // max_bytes is a budget per container (per lane of a frame)
  AimOptions aim = {};
  std::size_t threads = 0;  // lanes of a frame (or rows) encoded at once; 0: one per processor
};

// One container of the samples under `settings` (`threads` aside). Without a
// target, float64 samples are narrowed to float32 first, and refused when one
// lies beyond its range.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const float> samples,
                                                                           const Settings& settings);
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const double> samples,
                                                                           const Settings& settings);

}  // namespace quorvel
