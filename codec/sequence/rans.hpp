// codec/sequence/rans.hpp: interleaved rANS over the tokens of one block, with per-context static tables.
//
// 32-bit states kept in [2^16, 2^32), 16-bit words, 11-bit frequencies. A block has `ways` states (lanes)
// for all its segments. Each segment of m tokens is cut into `ways` runs of ceil(m / ways) consecutive
// tokens, one per lane, and the decoder runs the lanes in lockstep: round k decodes token k of every lane
// that has one, lanes in order. Each lane's chain (state, context, table lookup) is independent of the
// others, so the processor overlaps them. A token's table follows from its segment's table set and its
// context, the token before it in its lane (0 at the lane's start in the segment). The words are stored in
// the order the decoder reads them: the lanes' initial states (high half first), then one word whenever a
// state falls below 2^16, right after the token that made it fall. Every state ends at 2^16, which the
// decoder checks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/sequence/kernels.hpp"
#include "codec/sequence/token_tables.hpp"

namespace quorvel::sequence {

inline constexpr std::uint32_t kStateLow = 1u << 16;
inline constexpr std::size_t kSegmentLength = 4096;
inline constexpr std::size_t kMaxWays = 8;

// Lanes for a block of n tokens: the flush costs about 2 bytes per lane, so short blocks use fewer.
[[nodiscard]] constexpr std::size_t ways_for(std::size_t n) { return n >= 4096 ? 8 : n >= 1024 ? 4 : 1; }

// A segment of m tokens in `ways` lanes of `length` tokens (the last lanes may have fewer or none).
struct SegmentLanes {
  std::size_t ways, length, m;
  SegmentLanes(std::size_t ways_, std::size_t m_) : ways(ways_), length((m_ + ways_ - 1) / ways_), m(m_) {}
  [[nodiscard]] std::size_t rounds_of(std::size_t lane) const {
    const std::size_t start = lane * length;
    return start >= m ? 0 : std::min(length, m - start);
  }
};

// Where each token's table comes from: the table sets and the set of each segment of kSegmentLength tokens.
struct TableLayout {
  std::vector<TableSet> sets;
  std::vector<std::uint8_t> set_of_segment;
};

// A block for the encoder: its tokens, where their tables come from, and where its words go.
struct RansBlock {
  std::span<const std::uint8_t> tokens;
  const TableLayout* layout;
  std::vector<std::uint8_t>* words;
};

// Appends to each block's `words` those (little-endian) that code its tokens. Blocks go two at a time,
// their rounds side by side: faster than one after the other.
void rans_encode(std::span<const RansBlock> blocks);

// The decoder's view of a table: per slot, what its token takes from the state: the slot less the token's
// start (bits 0-10), the token's frequency (bits 11-22), the token (bits 23-29) and the table of the token
// after it (bits 30-31). 4 bytes keep a table set (4 x 8 KiB) in the first-level cache.
using DecodeEntry = std::uint32_t;

// One segment of a block to decode: its table set (`new_set`: not the previous segment's), its token count,
// and where its tokens go, in decoding order: token k of lane l at tokens[k * ways + l].
struct SegmentTokens {
  const TableSet* set;
  bool new_set;
  std::size_t m;
  std::uint8_t* tokens;
};

// The decoder of one block, segment by segment.
class RansDecoder {
 public:
  // Blocks whose segments can be decoded side by side.
  static constexpr std::size_t kMaxTogether = 4;

  // False if the words cannot even hold the initial states.
  [[nodiscard]] bool start(std::span<const std::uint8_t> words, std::size_t n);
  // The next segment of up to kMaxTogether blocks, one per decoder: while every lane of each has a token,
  // their rounds run side by side, so that the table lookups of one wait while the others go on. The
  // tokens are those each decoder would decode alone. False when the words of any run out.
  [[nodiscard]] static bool decode_segments(std::span<RansDecoder* const> decoders,
                                            std::span<const SegmentTokens> segments);
  // True when every word was used and every state is back where the encoder started.
  [[nodiscard]] bool finish() const;
  [[nodiscard]] std::size_t ways() const { return ways_; }

 private:
  void build_tables(const TableSet& set);
  // Rounds from `k` to the segment's end.
  [[nodiscard]] bool decode_rounds(const SegmentTokens& segment, std::size_t k);
  // The whole-round kernel's share of rounds [from, to) of 8 lanes, this block alone; returns the round it
  // stopped at.
  std::size_t decode_whole_rounds(std::size_t from, std::size_t to, std::uint8_t* tokens);

  const std::uint8_t* words_ = nullptr;
  std::size_t next_ = 0, count_ = 0, ways_ = 0;
  decltype(Kernels::rans_decode_rounds) whole_rounds_ = nullptr;  // of the tier at start(); null where it has none
  std::array<std::uint32_t, kMaxWays> state_{};
  std::array<const DecodeEntry*, kMaxWays> table_{};  // each lane's current table
  std::vector<DecodeEntry> entries_;  // the current set's tables
  std::array<const DecodeEntry*, kTokenCount> table_after_{};  // the table of the token after each token
};

}  // namespace quorvel::sequence
