// codec/sequence/block.hpp: one block of codes to bytes and back.
//
// A block of n codes is cut into segments of 4096 (the last may be shorter). Each segment has its own
// predictor; consecutive segments may share a table set. Layout, bit-packed least significant bit first:
//   per segment:  predictor (3 bits, LPC: order - 1 (5), shift (4), width - 1 (4), order coefficients of
//                 width bits; local sign-LMS: log2(taps) - 1 (2), log2(step) (2); the cascade: an LPC head of
//                 order field 0 and shift 15, nothing more; the periodic predictor: an LPC head of order
//                 field 1 and shift 15, its period (16), then an LPC's fields with three more
//                 coefficients); from the second segment
//                 on, 1 bit: a new table set follows (else the previous one serves); the table set
//                 (codec/sequence/token_tables.hpp)
//   then, byte-aligned: the number of rANS words (LEB128), the words (16-bit little-endian, in the order
//   codec/sequence/rans.hpp reads them), and the raw bits of every token in block order, least significant
//   bit first, to the end of the block (the last byte padded with zeros).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/common/vocabulary.hpp"

namespace quorvel::sequence {

// The predictors an effort tries on each segment, one bit each in the effort's order of trying them, and
// how many segments each won.
using CandidateMask = std::uint32_t;
inline constexpr CandidateMask kEveryCandidate = ~CandidateMask{0};
inline constexpr std::size_t kMaxCandidates = 32;  // the bits of a mask
using CandidateWins = std::array<std::uint32_t, kMaxCandidates>;

// The candidates of an effort that cost the encoder and the decoder much more time than the others where
// they are tried and win (the periodic predictor's cycle search, fit and scalar recurrence).
[[nodiscard]] CandidateMask slow_candidates(Effort effort, bool wide);

// Appends the coded block to `out`, each segment coded with the cheapest of the effort's predictors that
// `allowed` holds (at least one), and adds the winners to `wins` if given.
void encode_block(std::span<const std::int32_t> codes, Effort effort, std::vector<std::uint8_t>& out,
                  CandidateMask allowed = kEveryCandidate, CandidateWins* wins = nullptr);
// The same for several blocks, each into its own `out` as encode_block codes it, their local sign-LMS
// stages side by side (faster where a block has fewer segments than the vector kernel has lanes); `wins`
// adds up the winners of them all. `wide`: the default effort tries the best effort's predictors too.
void encode_blocks(std::span<const std::span<const std::int32_t>> codes, Effort effort,
                   std::span<std::vector<std::uint8_t>* const> out, CandidateMask allowed = kEveryCandidate,
                   CandidateWins* wins = nullptr, bool wide = false);

// Decodes a whole block into codes (its length is the caller's). False on a damaged or hostile block.
[[nodiscard]] bool decode_block(std::span<const std::uint8_t> block, std::span<std::int32_t> codes);
// The same for several blocks (codes[i] for blocks[i]), four at a time, whose token decoding then runs side
// by side: faster than one after the other. False if any is damaged.
[[nodiscard]] bool decode_blocks(std::span<const std::span<const std::uint8_t>> blocks,
                                 std::span<const std::span<std::int32_t>> codes);

}  // namespace quorvel::sequence
