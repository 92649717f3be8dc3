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
  bool lossless = false;              // a bit-exact caller, who values size over time: the default effort
                                      // tries more predictors, on every block (none sampled)
  bool slow_predictors = true;        // whether the predictors that are slow to fit are tried (the periodic
                                      // one; never on the blocks of a sample, whose sizes are compared)
};

// A long sequence below the best effort is coded from a few blocks spread over it: those first, with every
// predictor, then the others with the predictors that won there. The sampled blocks, coded so, and those
// predictors, which a caller that measures a sequence by its sample may hand on to encode_sequence.
struct SequenceSample {
  std::vector<std::vector<std::uint8_t>> blocks;
  std::uint32_t predictors = 0;  // which of the effort's predictors the other blocks try
};

// The indices of the sampled blocks of a sequence of `blocks` blocks (none where it is coded without).
[[nodiscard]] std::vector<std::size_t> sampled_blocks(std::size_t blocks, Effort effort);

// The sample of a sequence from its sampled blocks' codes, one after the other (each a whole block).
[[nodiscard]] std::expected<SequenceSample, QuorvelError> encode_sample(std::span<const std::int32_t> sampled,
                                                                        const SequenceCoding& coding);

// One byte string per block, in order. Each block decodes on its own (random access, threads). `sample`,
// the sequence's own (encode_sample of the blocks sampled_blocks names), gives its blocks up to the result.
[[nodiscard]] std::expected<std::vector<std::vector<std::uint8_t>>, QuorvelError>
encode_sequence(std::span<const std::int32_t> codes, const SequenceCoding& coding, SequenceSample* sample = nullptr);

// Decodes blocks[i] into codes[i * block_length, ...) (the last block may be shorter; sizes are the caller's,
// from its own header). Fails cleanly on any damaged or hostile block (never reads or writes out of bounds,
// never allocates from what a block merely claims). Decodes several blocks in lockstep for speed.
[[nodiscard]] std::expected<void, QuorvelError>
decode_sequence(std::span<const std::span<const std::uint8_t>> blocks, std::span<std::int32_t> codes,
                const SequenceCoding& coding);

}  // namespace quorvel
