// codec/sequence/rans.cpp: the interleaved rANS encoder and the lockstep scalar decoder.
#include "codec/sequence/rans.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "codec/common/buffer.hpp"
#include "codec/sequence/kernels.hpp"

namespace quorvel::sequence {

namespace {

// Per table and token: what the encoder needs to push the token onto a state. Division by the frequency f
// is a multiply and shifts: with k = ceil(log2 f), m = ceil(2^(32 + k) / f) lies in (2^32, 2^33], so
// q = (x + (x * (m - 2^32) >> 32)) >> k, exact for every 32-bit state.
struct EncodeSymbol {
  std::uint32_t reciprocal;  // m - 2^32
  std::uint32_t shift;       // k
  std::uint32_t start;       // x becomes x + start + q * (2^11 - f)
  std::uint32_t complement;
  std::uint32_t limit;       // the state must be at most f * 2^21 - 1 before the token is pushed
};

// The table of each token of a set, indexed by the token before it.
std::array<std::uint8_t, kTokenCount> table_after(const TableSet& set) {
  const auto of_level = set.table_of_level();
  std::array<std::uint8_t, kTokenCount> out{};
  for (int t = 0; t < kTokenCount; ++t) out[t] = of_level[kTokenTable.level[t]];
  return out;
}

// A set's encoder tables, and for each token the table of the token after it; the same as the AVX2
// encoder gathers them.
struct SetSymbols {
  std::array<std::array<EncodeSymbol, kTokenCount>, kClasses> tables;
  std::array<const EncodeSymbol*, kTokenCount> after;
  RansGatherTables gather;

  explicit SetSymbols(const TableSet& set) {
    for (int t = 0; t < set.table_count(); ++t) {
      const Frequencies f = set.tables[t].frequencies();
      std::uint32_t start = 0;
      for (int token = 0; token < kTokenCount; ++token) {
        if (f[token] == 0) continue;
        const std::uint32_t k = std::bit_width(std::uint32_t{f[token]} - 1u);
        const std::uint64_t m = ((std::uint64_t{1} << (32 + k)) + f[token] - 1) / f[token];
        tables[t][token] = {static_cast<std::uint32_t>(m - (std::uint64_t{1} << 32)), k, start, kProbTotal - f[token],
                            static_cast<std::uint32_t>((std::uint64_t{f[token]} << (32 - kProbBits)) - 1)};
        const std::size_t entry = static_cast<std::size_t>(t * kTokenCount + token);
        gather.reciprocal[entry] = tables[t][token].reciprocal;
        gather.fields[entry] = f[token] | start << 12 | k << 24;
        start += f[token];
      }
    }
    const auto table_of = table_after(set);
    for (int t = 0; t < kTokenCount; ++t) after[t] = tables[table_of[t]].data();
    gather.base = set.base;
    const auto of_class = set.table_of_class();
    for (std::size_t c = 0; c < of_class.size(); ++c) gather.first_of_class[c] = of_class[c] * kTokenCount;
  }
};

// Pushes a token onto a state, first giving the state's low word if it must (the word is written either
// way and kept only if given: no branch to mispredict).
[[gnu::always_inline]] inline void encode_token(std::uint32_t& state, const EncodeSymbol& symbol, std::uint16_t* words,
                                                std::size_t& next) {
  std::uint32_t x = state;
  const std::uint32_t give = x > symbol.limit;
  words[next - 1] = static_cast<std::uint16_t>(x);
  next -= give;
  x >>= give << 4;
  const auto q = static_cast<std::uint32_t>((x + ((std::uint64_t{x} * symbol.reciprocal) >> 32)) >> symbol.shift);
  state = x + symbol.start + q * symbol.complement;
}

// A block's tokens pushed onto its lanes' states segment by segment, last token first, its words filled
// from the end of a buffer (the initial states below the tokens' words leave the AVX2 encoder the room it
// writes into). Of each segment, the rounds where some lanes have no token go one by one; then the whole
// rounds, in AVX2 where it may run (beside another block's) and unrolled where not; the first round,
// which follows a 0 in every lane, last.
class BlockWords {
 public:
  BlockWords(std::span<const std::uint8_t> tokens, const TableLayout& layout)
      : tokens_(tokens), layout_(layout), ways_(ways_for(tokens.size())),
        segment_((tokens.size() + kSegmentLength - 1) / kSegmentLength), words_(tokens.size() + 2 * ways_ + 1),
        next_(words_.size()) {
    state_.fill(kStateLow);
  }

  [[nodiscard]] bool segments_left() const { return segment_ > 0; }

  // Moves to the next segment down and pushes its rounds past the whole ones; returns the whole ones for
  // the whole-round kernel, if there is one to take them.
  std::optional<RansEncodeLanes> begin_segment(bool whole_rounds) {
    const std::size_t s = --segment_;
    if (!symbols_ || layout_.set_of_segment[s] != layout_.set_of_segment[s + 1])
      symbols_ = std::make_unique<SetSymbols>(layout_.sets[layout_.set_of_segment[s]]);
    lanes_.emplace(ways_, std::min(kSegmentLength, tokens_.size() - s * kSegmentLength));
    round_ = lanes_->rounds_of(ways_ - 1);
    for (std::size_t k = lanes_->length; k-- > round_;)
      for (std::size_t lane = ways_; lane-- > 0;)
        if (k < lanes_->rounds_of(lane)) encode_token(state_[lane], symbol(lane, k), words_.data(), next_);
    if (!(ways_ == 8 && whole_rounds)) return std::nullopt;
    return RansEncodeLanes{segment_tokens(), lanes_->length, &symbols_->gather, state_.data(), words_.data(), next_, round_};
  }

  // The segment's other rounds, once the AVX2 kernel (if it ran) has taken `lanes` down to their round.
  void end_segment(const std::optional<RansEncodeLanes>& lanes) {
    if (lanes) next_ = lanes->next, round_ = lanes->round;
    if (ways_ == 8)
      whole_rounds<8>();
    else
      whole_rounds<0>();
  }

  // Appends the words (little-endian): the initial states, then the tokens' words.
  void finish(std::vector<std::uint8_t>& out) {
    for (std::size_t lane = ways_; lane-- > 0;) {
      words_[--next_] = static_cast<std::uint16_t>(state_[lane]);
      words_[--next_] = static_cast<std::uint16_t>(state_[lane] >> 16);
    }
    const std::size_t at = out.size(), count = words_.size() - next_;
    out.resize(at + 2 * count);
    std::uint8_t* bytes = out.data() + at;
    const std::uint16_t* words = words_.data() + next_;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(bytes, words, 2 * count);
    } else {
      for (std::size_t w = 0; w < count; ++w) {
        bytes[2 * w] = static_cast<std::uint8_t>(words[w]);
        bytes[2 * w + 1] = static_cast<std::uint8_t>(words[w] >> 8);
      }
    }
  }

 private:
  [[nodiscard]] const std::uint8_t* segment_tokens() const { return tokens_.data() + segment_ * kSegmentLength; }

  [[nodiscard]] const EncodeSymbol& symbol(std::size_t lane, std::size_t k) const {
    const std::uint8_t* at = segment_tokens() + lane * lanes_->length + k;
    return symbols_->after[k ? at[-1] : 0][*at];
  }

  // Rounds round_ - 1 down to 0, in which every lane has a token; W > 0 is the ways known at compile time,
  // so that the lanes unroll.
  template <std::size_t W>
  void whole_rounds() {
    const std::size_t ways = W > 0 ? W : ways_;
    const std::uint8_t* tokens = segment_tokens();
    std::uint32_t x[kMaxWays];
    for (std::size_t lane = 0; lane < ways; ++lane) x[lane] = state_[lane];
    std::size_t next = next_;
    for (std::size_t k = round_; k-- > 1;) {
#pragma GCC unroll 8
      for (std::size_t j = 0; j < ways; ++j) {
        const std::uint8_t* at = tokens + (ways - 1 - j) * lanes_->length + k;
        encode_token(x[ways - 1 - j], symbols_->after[at[-1]][*at], words_.data(), next);
      }
    }
    if (round_ > 0)
      for (std::size_t j = 0; j < ways; ++j) encode_token(x[ways - 1 - j], symbol(ways - 1 - j, 0), words_.data(), next);
    for (std::size_t lane = 0; lane < ways; ++lane) state_[lane] = x[lane];
    next_ = next;
  }

  std::span<const std::uint8_t> tokens_;
  const TableLayout& layout_;
  std::size_t ways_, segment_;
  Buffer<std::uint16_t> words_;  // filled from its end; only what is filled is read
  std::size_t next_, round_ = 0;
  std::array<std::uint32_t, kMaxWays> state_;
  std::unique_ptr<SetSymbols> symbols_;  // of the segment's set, made anew where the set changes
  std::optional<SegmentLanes> lanes_;
};

}  // namespace

void rans_encode(std::span<const RansBlock> all) {
  const auto whole_rounds = kernels().rans_encode_rounds;  // null where the tier has none
  for (std::size_t first = 0; first < all.size(); first += 2) {
    const std::size_t count = std::min<std::size_t>(2, all.size() - first);
    std::vector<BlockWords> blocks;
    blocks.reserve(count);
    for (std::size_t b = first; b < first + count; ++b) blocks.emplace_back(all[b].tokens, *all[b].layout);
    // A segment of each block in turn, their whole rounds side by side while both have some.
    while (std::ranges::any_of(blocks, &BlockWords::segments_left)) {
      std::array<bool, 2> active{};
      std::array<std::optional<RansEncodeLanes>, 2> lanes;
      std::array<RansEncodeLanes, 2> vector;
      std::size_t streams = 0;
      for (std::size_t b = 0; b < count; ++b) {
        if (!(active[b] = blocks[b].segments_left())) continue;
        lanes[b] = blocks[b].begin_segment(whole_rounds != nullptr);
        if (lanes[b]) vector[streams++] = *lanes[b];
      }
      if (streams > 0) {
        whole_rounds(vector.data(), streams, 1);
        for (std::size_t i = 0; i < streams; ++i) whole_rounds(&vector[i], 1, 1);
      }
      for (std::size_t b = 0, i = 0; b < count; ++b) {
        if (lanes[b]) lanes[b] = vector[i++];
        if (active[b]) blocks[b].end_segment(lanes[b]);
      }
    }
    for (std::size_t b = 0; b < count; ++b) blocks[b].finish(*all[first + b].words);
  }
}

namespace {

std::uint32_t load_word(const std::uint8_t* words, std::size_t w) {
  std::uint16_t value;
  std::memcpy(&value, words + 2 * w, 2);
  if constexpr (std::endian::native == std::endian::big) value = static_cast<std::uint16_t>(value << 8 | value >> 8);
  return value;
}

// One token of one lane: `table` is the lane's context, `word` the next word of the stream, taken if
// the state needs it; returns 1 if it did.
[[gnu::always_inline]] inline std::uint32_t decode_token(std::uint32_t& state, const DecodeEntry*& table,
                                                         const DecodeEntry* const* after, std::uint32_t word,
                                                         std::uint8_t* token) {
  const DecodeEntry entry = table[state & (kProbTotal - 1)];
  const std::uint32_t x = (entry >> 11 & 0xFFF) * (state >> kProbBits) + (entry & 0x7FF);
  // A conditional move, not a branch: the refill happens at random.
  const std::uint32_t refill = __builtin_expect_with_probability(x < kStateLow, 1, 0.5);
  state = refill ? x << 16 | word : x;
  const std::uint32_t decoded = entry >> 23 & 0x7F;
  table = after[decoded];
  *token = static_cast<std::uint8_t>(decoded);
  return refill;
}

// Rounds [from, to) of lanes 0..used-1, which all have a token in each; W > 0 is `used` known at compile
// time, so that the lanes' states and tables can live in registers (and everything else in locals: the
// token stores could alias any member).
template <std::size_t W>
bool decode_rounds(std::uint32_t* states, const DecodeEntry** tables, std::size_t used, const DecodeEntry* const* after,
                   const std::uint8_t* words, std::size_t& word_next, std::size_t count, std::size_t from,
                   std::size_t to, std::uint8_t* out, std::size_t ways) {
  constexpr std::size_t kMax = W > 0 ? W : kMaxWays;
  const std::size_t lanes = W > 0 ? W : used;
  std::uint32_t x[kMax];
  const DecodeEntry* table[kMax];
  for (std::size_t l = 0; l < lanes; ++l) x[l] = states[l], table[l] = tables[l];
  std::size_t next = word_next, k = from;
  // While a whole round of words is left, each lane reads the next word whether it takes it or not.
  for (; k < to && next + lanes <= count; ++k) {
    std::uint8_t* round = out + k * ways;
#pragma GCC unroll 8
    for (std::size_t l = 0; l < lanes; ++l) next += decode_token(x[l], table[l], after, load_word(words, next), round + l);
  }
  bool ok = true;
  for (; k < to && ok; ++k) {
    for (std::size_t l = 0; l < lanes && ok; ++l) {
      const bool left = next < count;
      const std::uint32_t took = decode_token(x[l], table[l], after, left ? load_word(words, next) : 0, out + k * ways + l);
      next += took;
      ok = left || !took;
    }
  }
  for (std::size_t l = 0; l < lanes; ++l) states[l] = x[l], tables[l] = table[l];
  word_next = next;
  return ok;
}

}  // namespace

bool RansDecoder::start(std::span<const std::uint8_t> words, std::size_t n) {
  ways_ = ways_for(n);
  whole_rounds_ = kernels().rans_decode_rounds;
  words_ = words.data();
  count_ = words.size() / 2;
  next_ = 2 * ways_;
  if (words.size() % 2 != 0 || count_ < next_) return false;
  for (std::size_t l = 0; l < ways_; ++l) state_[l] = load_word(words_, 2 * l) << 16 | load_word(words_, 2 * l + 1);
  return true;
}

void RansDecoder::build_tables(const TableSet& set) {
  const auto after = table_after(set);
  entries_.resize(static_cast<std::size_t>(set.table_count()) * kProbTotal);
  for (int t = 0; t < set.table_count(); ++t) {
    const Frequencies f = set.tables[t].frequencies();
    DecodeEntry* entry = entries_.data() + static_cast<std::size_t>(t) * kProbTotal;
    for (int token = 0; token < kTokenCount; ++token) {
      const DecodeEntry first = std::uint32_t{f[token]} << 11 | static_cast<std::uint32_t>(token) << 23 |
                                std::uint32_t{after[token]} << 30;
      for (std::uint32_t j = 0; j < f[token]; ++j) entry[j] = first + j;
      entry += f[token];
    }
  }
  for (int t = 0; t < kTokenCount; ++t) table_after_[t] = entries_.data() + std::size_t{after[t]} * kProbTotal;
}

bool RansDecoder::decode_segments(std::span<RansDecoder* const> decoders, std::span<const SegmentTokens> segments) {
  // Every lane starts the segment in the context of token 0. The blocks whose eight lanes the AVX2 kernel
  // runs go side by side while all their lanes have tokens; each then finishes its segment alone.
  std::array<RansLanes, kMaxTogether> lanes;
  std::array<std::array<std::int32_t, kMaxWays>, kMaxTogether> first;
  std::array<std::size_t, kMaxTogether> of;  // the decoder of each entry of `lanes`
  std::size_t together = 0, full = std::numeric_limits<std::size_t>::max();
  for (std::size_t i = 0; i < decoders.size(); ++i) {
    RansDecoder& d = *decoders[i];
    if (segments[i].new_set) d.build_tables(*segments[i].set);
    d.table_.fill(d.table_after_[0]);
    if (!d.whole_rounds_ || d.ways_ != 8) continue;
    for (std::size_t l = 0; l < kMaxWays; ++l) first[together][l] = static_cast<std::int32_t>(d.table_[l] - d.entries_.data());
    lanes[together] = {d.entries_.data(), d.state_.data(), first[together].data(), d.words_, d.next_, d.count_, segments[i].tokens};
    full = std::min(full, SegmentLanes(8, segments[i].m).rounds_of(7));
    of[together++] = i;
  }
  std::array<std::size_t, kMaxTogether> start{};
  if (together > 1) {
    const std::size_t k = decoders[of[0]]->whole_rounds_(lanes.data(), together, 0, full);
    for (std::size_t j = 0; j < together; ++j) {
      RansDecoder& d = *decoders[of[j]];
      for (std::size_t l = 0; l < kMaxWays; ++l) d.table_[l] = d.entries_.data() + first[j][l];
      d.next_ = lanes[j].next;
      start[of[j]] = k;
    }
  }
  for (std::size_t i = 0; i < decoders.size(); ++i)
    if (!decoders[i]->decode_rounds(segments[i], start[i])) return false;
  return true;
}

bool RansDecoder::decode_rounds(const SegmentTokens& segment, std::size_t k) {
  const SegmentLanes lanes(ways_, segment.m);
  // All lanes while the last has tokens, then the rounds the last lanes have no token in.
  while (k < lanes.length) {
    std::size_t used = 0;
    while (used < ways_ && k < lanes.rounds_of(used)) ++used;
    const std::size_t end = lanes.rounds_of(used - 1);
    if (whole_rounds_ && used == 8) k = decode_whole_rounds(k, end, segment.tokens);
    const bool ok = used == 8 ? sequence::decode_rounds<8>(state_.data(), table_.data(), used, table_after_.data(), words_, next_, count_, k, end, segment.tokens, ways_)
                    : used == 4 ? sequence::decode_rounds<4>(state_.data(), table_.data(), used, table_after_.data(), words_, next_, count_, k, end, segment.tokens, ways_)
                                : sequence::decode_rounds<0>(state_.data(), table_.data(), used, table_after_.data(), words_, next_, count_, k, end, segment.tokens, ways_);
    if (!ok) return false;
    k = end;
  }
  return true;
}

std::size_t RansDecoder::decode_whole_rounds(std::size_t from, std::size_t to, std::uint8_t* tokens) {
  std::array<std::int32_t, kMaxWays> first;
  for (std::size_t l = 0; l < kMaxWays; ++l) first[l] = static_cast<std::int32_t>(table_[l] - entries_.data());
  RansLanes lanes{entries_.data(), state_.data(), first.data(), words_, next_, count_, tokens};
  const std::size_t k = whole_rounds_(&lanes, 1, from, to);
  for (std::size_t l = 0; l < kMaxWays; ++l) table_[l] = entries_.data() + first[l];
  next_ = lanes.next;
  return k;
}

bool RansDecoder::finish() const {
  for (std::size_t l = 0; l < ways_; ++l)
    if (state_[l] != kStateLow) return false;
  return next_ == count_;
}

}  // namespace quorvel::sequence
