// codec/v1/decompressor.hpp: the decoder, container in, signal out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/v1/container.hpp"
#include "codec/common/error.hpp"
#include "rimble/interfaces.hpp"
#include "rimble/memory.hpp"

namespace quorvel {

// Decodes a container produced by compress. Bytes after the payload are
// ignored. The result has exactly the stored sample count.
[[nodiscard]] std::expected<std::vector<float>, QuorvelError> decompress(std::span<const std::uint8_t> data);

// decompress into a large block instead of a vector: the samples are not
// zero-filled first (a pass over a multi-megabyte result) and the memory is
// malloc's, as NumPy's own arrays are. For callers that hand it on without a
// copy (the Python modules give it to NumPy).
[[nodiscard]] std::expected<rimble::LargeBlock<float>, QuorvelError> decompress_block(
    std::span<const std::uint8_t> data);

// The stages of decompress that other roads share: the aimed encoder's
// trials decode their codes with exactly the decoder's arithmetic.
namespace decoder_stages {

// Where each band sits in the coefficient stream: the coarsest approximation
// band first, then the detail bands finest first.
struct BandLayout {
  std::size_t approximation_length = 0;
  std::vector<std::size_t> detail_lengths;
  std::size_t total = 0;                  // coefficients the bands need, in all
  std::size_t reconstruction_length = 0;  // samples the inverse transform returns
};

// Band sizes of `levels` successive splits of max(sample_count, F) samples, as
// the encoder's transform produced them.
[[nodiscard]] std::expected<BandLayout, QuorvelError> band_layout(const rimble::DwtExecutor<float>& executor,
                                                                  std::size_t sample_count, std::size_t levels);

// The samples of a container's codes (layout.total of them, in stream order
// and native byte order) written into `out` (layout.reconstruction_length
// floats, uninitialised): inverse transform with dequantisation at the
// header's scale, then the header's de-normalisation of its sample count.
[[nodiscard]] std::expected<void, QuorvelError> reconstruct(const rimble::DwtExecutor<float>& executor,
                                                            const BandLayout& layout,
                                                            std::span<const std::int16_t> codes,
                                                            const ContainerHeader& header, std::span<float> out);

}  // namespace decoder_stages

}  // namespace quorvel
