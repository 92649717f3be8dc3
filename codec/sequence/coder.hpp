// codec/sequence/coder.hpp: lossless coding of 32-bit integer codes in independently decodable blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/common/vocabulary.hpp"
#include "codec/common/error.hpp"

namespace quorvel {

// Lossless coding of a sequence of 32-bit integer codes in independently decodable blocks.
// Arithmetic on codes wraps modulo 2^32 (predictions, residuals), so any int32 sequence round-trips,
// including float32 bit patterns mapped to ordered integers.
struct SequenceCoding {
  Effort effort = Effort::default_;     // fast / default / best: which predictors and models are tried
  std::size_t block_length = 16384;   // samples per block (the last block may be shorter); a power of two
  std::size_t threads = 1;            // blocks coded at once; 0 = one per processor
};

// One byte string per block, in order. Each block decodes on its own (random access, threads).
[[nodiscard]] std::expected<std::vector<std::vector<std::uint8_t>>, QuorvelError>
encode_sequence(std::span<const std::int32_t> codes, const SequenceCoding& coding);

// Decodes blocks[i] into codes[i * block_length, ...) (the last block may be shorter; sizes are the caller's,
// from its own header). Fails cleanly on any damaged or hostile block (never reads or writes out of bounds,
// never allocates from what a block merely claims). Decodes several blocks in lockstep for speed.
[[nodiscard]] std::expected<void, QuorvelError>
decode_sequence(std::span<const std::span<const std::uint8_t>> blocks, std::span<std::int32_t> codes,
                const SequenceCoding& coding);

}  // namespace quorvel
