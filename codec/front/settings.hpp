// codec/front/settings.hpp: how a signal is encoded (a target for the aimed encoder, or fixed settings), and the one road from settings to a container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "codec/aim/aim.hpp"
#include "codec/v1/container.hpp"
#include "codec/common/error.hpp"
#include "codec/common/format.hpp"

namespace quorvel {

// With a target, the aimed encoder meets it with `aim`; without one, the
// plain encoder uses `fixed` (version 1 only). Version 2 takes the effort of
// `aim` and no method (it has no wavelet).
struct Settings {
  CompressionOptions fixed = {};
  std::optional<Target> target = std::nullopt;  // max_bytes is a budget per container (per lane of a frame)
  AimOptions aim = {};
  // Lanes of a frame (or rows) encoded at once; for one version-2 container,
  // its blocks. 0: one per processor.
  std::size_t threads = 0;
  // The container version, or auto_format: 2 for a target with no wavelet named, else 1 (only version 1
  // has fixed settings and wavelets).
  std::uint16_t format = auto_format;
};

// The version `settings` write: `format` itself unless it is auto_format.
[[nodiscard]] std::uint16_t chosen_format(const Settings& settings);

// One container of the samples under `settings`. Without a target, float64
// samples are narrowed to float32 first, and refused when one lies beyond its
// range. A format other than auto, 1 or 2, fixed settings for version 2 or a
// method for it are InvalidOptions.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const float> samples,
                                                                           const Settings& settings);
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const double> samples,
                                                                           const Settings& settings);

// The format and what it needs of the other settings, as encode checks them.
[[nodiscard]] std::expected<void, QuorvelError> check_format(const Settings& settings);

}  // namespace quorvel
