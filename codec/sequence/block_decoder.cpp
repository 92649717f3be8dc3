// codec/sequence/block_decoder.cpp: reads a block's head, its tokens, raw bits and predictors back into codes.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "codec/sequence/bit_io.hpp"
#include "codec/sequence/cascade.hpp"
#include "codec/common/buffer.hpp"
#include "codec/sequence/predictors.hpp"
#include "codec/sequence/rans.hpp"
#include "codec/sequence/block.hpp"
#include "codec/sequence/kernels.hpp"
#include "codec/sequence/token_tables.hpp"

namespace quorvel::sequence {

namespace {

struct BlockHead {
  std::vector<PredictorChoice> predictors;
  TableLayout layout;
  std::size_t head_bytes = 0;
};

bool read_head(std::span<const std::uint8_t> block, std::size_t n, BlockHead& head) {
  const std::size_t segments = (n + kSegmentLength - 1) / kSegmentLength;
  BitReader in(block);
  head.predictors.resize(segments);
  head.layout.set_of_segment.resize(segments);
  for (std::size_t s = 0; s < segments; ++s) {
    if (!read_predictor(in, head.predictors[s])) return false;
    if (head.predictors[s].kind == Predictor::cascade && n > kMaxCascadeCodes) return false;
    if (s == 0 || in.get(1)) {
      head.layout.sets.emplace_back();
      if (!read_table_set(in, head.layout.sets.back())) return false;
    }
    head.layout.set_of_segment[s] = static_cast<std::uint8_t>(head.layout.sets.size() - 1);
  }
  head.head_bytes = in.bytes_used();
  return in.ok();
}

bool read_varint(std::span<const std::uint8_t> bytes, std::size_t& at, std::uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (at >= bytes.size()) return false;
    const std::uint8_t byte = bytes[at++];
    value |= std::uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) return true;
  }
  return false;
}

// Raw bits of the tokens, made into residuals. Values are read from an 8-byte window at the byte of their
// first bit, in a copy of the raw bits padded with zeros: a round (or a group of 8 rounds) that starts
// inside the stream cannot read past the padding, so only each round's start is checked.
class ResidualReader {
 public:
  // 8 rounds of 8 values of up to 30 bits, and a window's 8 bytes.
  static constexpr std::size_t kPadding = 8 * 8 * 30 / 8 + 8;

  ResidualReader(std::span<const std::uint8_t> raw, const Kernels& kernels)
      : bytes_(raw.size() + kPadding), size_(raw.size()), whole_rounds_(kernels.read_rounds) {
    std::copy(raw.begin(), raw.end(), bytes_.begin());
  }

  // The residuals of a segment whose tokens are in decoding order (token k of lane l at k * ways + l), in
  // block order.
  [[nodiscard]] bool read_segment(std::span<const std::uint8_t> tokens, std::size_t ways, std::size_t m,
                                  std::int32_t* residuals) {
    const SegmentLanes lanes(ways, m);
    const std::uint64_t limit = 8 * std::uint64_t{size_};
    std::uint64_t position = position_;
    std::size_t k = 0;
    for (std::size_t used = ways; used > 0; --used) {
      // Rounds in which lanes 0..used-1 have a token.
      const std::size_t end = lanes.rounds_of(used - 1);
      if (whole_rounds_ && used == 8)
        k = whole_rounds_(tokens.data(), k, end, lanes.length, bytes_.data(), position, limit, residuals);
      for (; k < end; ++k) {
        if (position > limit) return false;
        for (std::size_t l = 0; l < used; ++l)
          residuals[l * lanes.length + k] = read_value(bytes_.data(), position, tokens[k * ways + l]);
      }
    }
    position_ = position;
    return true;
  }

  // True when the stream ended with the last value (bar the padding of its last byte).
  [[nodiscard]] bool finish() const { return (position_ + 7) / 8 == size_; }

 private:
  static std::int32_t read_value(const std::uint8_t* bytes, std::uint64_t& position, int token) {
    const int bits = kTokenTable.raw_bits[token];
    std::uint64_t window;
    std::memcpy(&window, bytes + (position >> 3), 8);
    const auto low = static_cast<std::uint32_t>((window >> (position & 7)) & ((std::uint64_t{1} << bits) - 1));
    position += static_cast<std::uint64_t>(bits);
    return unzigzag(kTokenTable.top[token] | low);
  }

  std::vector<std::uint8_t> bytes_;
  std::size_t size_;
  decltype(Kernels::read_rounds) whole_rounds_;  // null where the tier has none
  std::uint64_t position_ = 0;
};

// Codes back from one segment's residuals, once the local sign-LMS stages of its block have made their
// first differences in its codes, and its block's segments before it are restored. The block's cascade, made
// only where a segment uses it, catches up over the segments before that did not.
void restore_segment(const PredictorChoice& predictor, std::size_t start, std::span<std::int32_t> residuals,
                     std::span<std::int32_t> codes, std::optional<Cascade>& cascade) {
  const std::size_t m = std::min(codes.size() - start, kSegmentLength);
  if (predictor.kind == Predictor::sign_lms_local) {
    kernels().running_sum(codes.data() + start, m, start ? codes[start - 1] : 0, codes.data() + start);
  } else if (predictor.kind == Predictor::cascade) {
    if (!cascade) cascade.emplace();
    cascade->catch_up(codes.data(), start);
    cascade->inverse(residuals.data() + start, m, codes.data() + start);
  } else {
    reconstruct(codes, start, start + m, predictor, residuals.subspan(start, m));
  }
}

// The blocks' segments, each block's in order. LPC segments of order up to 8 go side by side from their
// block's 8th code on (its first 8 one by one before); the others go one by one as soon as their block
// reaches them, so that as many blocks' next LPC segments as there can be wait for each other.
void restore_blocks(std::span<const std::span<const PredictorChoice>> predictors,
                    std::span<const std::span<std::int32_t>> residuals, std::span<const std::span<std::int32_t>> codes,
                    std::span<std::optional<Cascade>> cascades) {
  static_assert(RansDecoder::kMaxTogether <= kLpcLanes);
  constexpr std::size_t kBefore = 8;  // the codes a lane reads before its first
  std::array<std::size_t, kLpcLanes> next{};  // each block's first segment not restored
  for (;;) {
    std::array<LpcLane, kLpcLanes> lanes;
    std::array<std::size_t, kLpcLanes> block_of{}, from_of{};
    std::size_t together = 0, rounds = kSegmentLength;
    for (std::size_t b = 0; b < codes.size(); ++b) {
      for (; next[b] < predictors[b].size(); ++next[b]) {
        const PredictorChoice& p = predictors[b][next[b]];
        const std::size_t start = next[b] * kSegmentLength, from = std::max(start, kBefore);
        const std::size_t end = std::min(codes[b].size(), start + kSegmentLength);
        if (p.kind == Predictor::lpc && p.order <= 8 && end > from) {
          if (start < from) reconstruct(codes[b], start, from, p, residuals[b].subspan(start, from - start));
          block_of[together] = b, from_of[together] = from;
          lanes[together] = {codes[b].data() + from, residuals[b].data() + from, end - from, {}, p.shift};
          std::copy_n(p.coefficients.begin(), p.order, lanes[together].c.begin());
          rounds = std::min(rounds, lanes[together++].n);
          break;
        }
        restore_segment(p, start, residuals[b], codes[b], cascades[b]);
      }
    }
    if (together == 0) return;
    // A lane alone goes faster through the scalar recurrence below: its chain from code to code is shorter.
    if (together == 1)
      rounds = 0;
    else
      kernels().lpc_restore_lanes({lanes.data(), together}, rounds);
    for (std::size_t l = 0; l < together; ++l) {
      const std::size_t b = block_of[l], from = from_of[l];
      if (lanes[l].n > rounds)
        reconstruct(codes[b], from + rounds, from + lanes[l].n, predictors[b][next[b]], residuals[b].subspan(from + rounds));
      ++next[b];
    }
  }
}

// One block on its way: its head, its token decoder, its raw bits and the residuals read so far.
struct BlockDecoding {
  std::span<std::int32_t> codes;
  BlockHead head;
  RansDecoder tokens_of;
  std::optional<ResidualReader> residuals_of;
  std::vector<std::uint8_t> tokens;
  Buffer<std::int32_t> residuals;

  [[nodiscard]] bool start(std::span<const std::uint8_t> block) {
    const std::size_t n = codes.size();
    if (!read_head(block, n, head)) return false;
    std::size_t at = head.head_bytes;
    std::uint64_t word_count = 0;
    if (!read_varint(block, at, word_count) || word_count > (block.size() - at) / 2) return false;
    if (!tokens_of.start(block.subspan(at, 2 * word_count), n)) return false;
    residuals_of.emplace(block.subspan(at + 2 * word_count), kernels());
    tokens.resize(kSegmentLength + kMaxWays);
    residuals.resize(n);
    return true;
  }

  [[nodiscard]] SegmentTokens segment(std::size_t s) {
    const std::size_t set = head.layout.set_of_segment[s];
    return {&head.layout.sets[set], s == 0 || set != head.layout.set_of_segment[s - 1],
            std::min(codes.size() - s * kSegmentLength, kSegmentLength), tokens.data()};
  }

  [[nodiscard]] bool read_segment(std::size_t s) {
    return residuals_of->read_segment(tokens, tokens_of.ways(), segment(s).m, residuals.data() + s * kSegmentLength);
  }

  // Whether the block's streams ended where they should; adds its local sign-LMS stages to `lanes`, which
  // put their first differences in the codes (apart from their residuals: the narrow vector kernel needs
  // that).
  [[nodiscard]] bool finish(std::vector<LmsLane>& lanes) {
    if (!tokens_of.finish() || !residuals_of->finish()) return false;
    add_local_lms_lanes(head.predictors, residuals.data(), codes.data(), codes.size(), lanes);
    return true;
  }
};

// Up to RansDecoder::kMaxTogether blocks.
bool decode_together(std::span<const std::span<const std::uint8_t>> blocks, std::span<const std::span<std::int32_t>> codes) {
  const std::size_t count = blocks.size();
  std::array<BlockDecoding, RansDecoder::kMaxTogether> at;
  std::size_t segments = 0;
  for (std::size_t b = 0; b < count; ++b) {
    at[b].codes = codes[b];
    if (codes[b].empty()) {
      if (!blocks[b].empty()) return false;
      continue;
    }
    if (!at[b].start(blocks[b])) return false;
    segments = std::max(segments, at[b].head.predictors.size());
  }
  // Every residual of a block first, so that the local sign-LMS stages of its segments run side by side.
  for (std::size_t s = 0; s < segments; ++s) {
    std::array<RansDecoder*, RansDecoder::kMaxTogether> decoders;
    std::array<SegmentTokens, RansDecoder::kMaxTogether> segment;
    std::size_t together = 0;
    for (std::size_t b = 0; b < count; ++b) {
      if (s >= at[b].head.predictors.size()) continue;
      decoders[together] = &at[b].tokens_of;
      segment[together++] = at[b].segment(s);
    }
    if (!RansDecoder::decode_segments({decoders.data(), together}, {segment.data(), together})) return false;
    for (std::size_t b = 0; b < count; ++b)
      if (s < at[b].head.predictors.size() && !at[b].read_segment(s)) return false;
  }
  // The local sign-LMS stages of all the blocks side by side, then each block's codes.
  std::vector<LmsLane> lanes;
  for (std::size_t b = 0; b < count; ++b)
    if (!codes[b].empty() && !at[b].finish(lanes)) return false;
  run_lms_lanes(lanes, true);
  std::array<std::span<const PredictorChoice>, RansDecoder::kMaxTogether> predictors;
  std::array<std::span<std::int32_t>, RansDecoder::kMaxTogether> residuals;
  for (std::size_t b = 0; b < count; ++b) predictors[b] = at[b].head.predictors, residuals[b] = at[b].residuals;
  std::array<std::optional<Cascade>, RansDecoder::kMaxTogether> cascades;
  restore_blocks({predictors.data(), count}, {residuals.data(), count}, codes.first(count), {cascades.data(), count});
  return true;
}

}  // namespace

bool decode_blocks(std::span<const std::span<const std::uint8_t>> blocks, std::span<const std::span<std::int32_t>> codes) {
  if (blocks.size() != codes.size()) return false;
  for (std::size_t first = 0; first < blocks.size(); first += RansDecoder::kMaxTogether) {
    const std::size_t count = std::min(RansDecoder::kMaxTogether, blocks.size() - first);
    if (!decode_together(blocks.subspan(first, count), codes.subspan(first, count))) return false;
  }
  return true;
}

bool decode_block(std::span<const std::uint8_t> block, std::span<std::int32_t> codes) {
  return decode_blocks({&block, 1}, {&codes, 1});
}

}  // namespace quorvel::sequence
