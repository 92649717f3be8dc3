// codec/v1/compressor.hpp: the encoder, signal in, container out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/v1/container.hpp"
#include "codec/common/error.hpp"
#include "rimble/records.hpp"

namespace quorvel {

// Compresses 1 to 2147483647 samples into a complete container (header and
// raw DEFLATE payload). The options must hold a known method and a scale in
// 6..12. The input is never modified.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> compress(std::span<const float> samples,
                                                                              CompressionOptions options);

// Decomposition levels for a signal of `length` samples: floor(log2(length /
// filter_length)) held to 1..8, and 1 for signals shorter than one filter.
[[nodiscard]] std::size_t compute_max_levels(std::size_t length, std::size_t filter_length);

// The stages of compress, exposed so that benchmarks can time each one. They
// are what compress runs, in this order; callers of the codec need none of them.
namespace encoder_stages {

// The working signal, mapped to [0, 1] and centred, with the header's statistics.
struct NormalisedSignal {
  std::vector<float> samples;
  float minimum;
  float maximum;
  float mean;
};

// Replaces non-finite samples (NaN and -inf by 0, +inf by 1), maps the signal
// to [0, 1] and subtracts its mean. Fails when maximum - minimum overflows.
[[nodiscard]] std::expected<NormalisedSignal, QuorvelError> sanitise_and_normalise(std::span<const float> samples);

// Levels planned for n unpadded samples and filter length F.
[[nodiscard]] std::size_t plan_levels(std::size_t n, std::size_t filter_length);

// The coefficient stream in little-endian bytes: the coarsest approximation
// band, then the detail bands finest first, each quantised with step
// 2^-scale, the detail bands through the cutoff's dead-zone.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> serialise_coefficients(
    const rimble::MultiDwt<float>& bands, std::uint8_t scale, CutoffLevel cutoff);

// Raw DEFLATE at level 6, written after `prefix` zero bytes of the result.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, QuorvelError> deflate(std::span<const std::uint8_t> stream,
                                                                             std::size_t prefix);

}  // namespace encoder_stages

}  // namespace quorvel
