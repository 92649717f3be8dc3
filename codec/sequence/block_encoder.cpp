// codec/sequence/block_encoder.cpp: chooses each segment's predictor and the table sets, and writes a block.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "codec/sequence/bit_io.hpp"
#include "codec/sequence/cascade.hpp"
#include "codec/common/buffer.hpp"
#include "codec/sequence/predictors.hpp"
#include "codec/sequence/rans.hpp"
#include "codec/sequence/kernels.hpp"
#include "codec/sequence/block.hpp"
#include "codec/sequence/token_tables.hpp"

namespace quorvel::sequence {

namespace {

// The predictors an effort tries on every segment (`wide`: the best's at the default effort too, the cascade
// and more LPC orders).
std::vector<PredictorChoice> candidates(Effort effort, bool wide) {
  using P = Predictor;
  std::vector<PredictorChoice> out = {{.kind = P::identity}, {.kind = P::diff1}};
  if (effort == Effort::fast) {
    out.push_back({.kind = P::diff2});
    return out;
  }
  out.push_back({.kind = P::lpc, .order = 8});
  out.push_back({.kind = P::sign_lms_local, .taps = 8, .step = 2});
  out.push_back({.kind = P::sign_lms_local, .taps = 16, .step = 1});
  out.push_back({.kind = P::periodic, .order = 8});  // tried where the block shows a cycle
  if (effort == Effort::default_ && !wide) return out;
  out.push_back({.kind = P::diff2});
  out.push_back({.kind = P::interpolation});
  out.push_back({.kind = P::diff3});
  for (int order : {2, 4, 16, 32}) out.push_back({.kind = P::lpc, .order = order});
  out.push_back({.kind = P::sign_lms});
  out.push_back({.kind = P::sign_lms_local, .taps = 4, .step = 4});
  if (!wide) return out;
  out.push_back({.kind = P::cascade});  // slow to decode: only for callers who value size
  for (int order : {12, 20, 24}) out.push_back({.kind = P::lpc, .order = order});
  return out;
}

// A segment coded one way: its predictor, its residuals and their tokens (block order), the bound of the
// tokens, the context counts and what it costs. The residuals are made in `residuals`, or were made for
// the whole block beforehand; `coded` shows them.
struct SegmentTrial {
  PredictorChoice choice;
  Buffer<std::int32_t> residuals;
  std::span<const std::int32_t> coded;
  Buffer<std::uint8_t> tokens;
  int token_end = 0;
  LevelCounts counts{};
  double bits = 0;
};

// Token counts of a segment by context level: each token's context is the level of the token before it in
// its lane (0 at the lane's start). Counts every `lane_step`-th lane (all with 1: choosing a predictor from
// every other lane costs 0.1 % in size and halves the work). Lanes go four at a time into four tables:
// small residuals hit the same few counters over and over, and increments of one counter in a row wait
// for each other through memory. The tables are the caller's, zero on entry and left zero: only the
// corner below `token_end` (no token reaches it) is added and cleared.
constexpr std::size_t kCountTables = 4;
using LaneCounts = std::array<std::array<std::uint16_t, kTokenCount>, kLevels>;  // at most 4096 per segment
using CountTables = std::array<LaneCounts, kCountTables>;

struct ContextCounts {
  std::uint64_t raw_bits = 0;
  std::uint64_t tokens = 0;
};

// Rounds [from, to) of one lane.
void count_lane(LaneCounts& table, const std::uint8_t* lane, std::size_t from, std::size_t to) {
  int previous = from > 0 ? lane[from - 1] : 0;
  for (std::size_t k = from; k < to; ++k) {
    ++table[kTokenTable.level[previous]][lane[k]];
    previous = lane[k];
  }
}

// Four lanes of `rounds` tokens each in lockstep, one table each.
void count_four_lanes(CountTables& tables, const std::array<const std::uint8_t*, kCountTables>& lane, std::size_t rounds) {
  int previous[kCountTables] = {};
  for (std::size_t k = 0; k < rounds; ++k) {
#pragma GCC unroll 4
    for (std::size_t j = 0; j < kCountTables; ++j) {
      ++tables[j][kTokenTable.level[previous[j]]][lane[j][k]];
      previous[j] = lane[j][k];
    }
  }
}

ContextCounts count_contexts(const std::uint8_t* tokens, std::size_t n, int token_end, std::size_t ways,
                             std::size_t first_lane, std::size_t lane_step, CountTables& tables, LevelCounts& counts) {
  const SegmentLanes lanes(ways, n);
  ContextCounts out;
  for (std::size_t l = first_lane; l < ways; l += kCountTables * lane_step) {
    std::array<const std::uint8_t*, kCountTables> lane{};
    std::size_t group = 0;
    for (; group < kCountTables && l + group * lane_step < ways; ++group) {
      lane[group] = tokens + (l + group * lane_step) * lanes.length;
      out.tokens += lanes.rounds_of(l + group * lane_step);
    }
    // Later lanes have no more tokens than earlier ones: all four share the last one's rounds.
    const std::size_t shared = group == kCountTables ? lanes.rounds_of(l + (group - 1) * lane_step) : 0;
    if (shared > 0) count_four_lanes(tables, lane, shared);
    for (std::size_t j = 0; j < group; ++j) count_lane(tables[j], lane[j], shared, lanes.rounds_of(l + j * lane_step));
  }
  const int levels = kTokenTable.level[token_end - 1] + 1;
  for (int level = 0; level < levels; ++level) {
    for (int t = 0; t < token_end; ++t) {
      std::uint32_t all = 0;
      for (LaneCounts& table : tables) all += std::exchange(table[level][t], std::uint16_t{0});
      counts.rows[level][t] += all;
      out.raw_bits += std::uint64_t{all} * kTokenTable.raw_bits[t];
    }
  }
  counts.levels = std::max(counts.levels, levels);
  counts.tokens = std::max(counts.tokens, token_end);
  return out;
}

// Sums of the bit lengths of the zigzagged codes and of their first differences, over every 8th code: the
// identity predictor is tried only where the codes are no larger than their differences (residuals the
// caller made itself).
bool identity_worth_trying(std::span<const std::int32_t> codes, std::size_t start, std::size_t end) {
  std::uint64_t plain = 0, differences = 0;
  for (std::size_t i = start; i < end; i += 8) {
    const std::int32_t before = i ? codes[i - 1] : 0;
    plain += static_cast<std::uint64_t>(std::bit_width(zigzag(codes[i])));
    differences += static_cast<std::uint64_t>(
        std::bit_width(zigzag(static_cast<std::int32_t>(static_cast<std::uint32_t>(codes[i]) - static_cast<std::uint32_t>(before)))));
  }
  return plain <= differences;
}

// Whether the cascade may pay on a block: its first differences (every 8th) are as wide as audio's, from
// 6 to 20 bits on average. Narrower ones leave its stages too little to learn from, and wider ones are
// rarely sound (float ordinals): for other signals it costs time and seldom wins.
bool cascade_worth_trying(std::span<const std::int32_t> codes) {
  if (codes.size() < kSegmentLength || codes.size() > kMaxCascadeCodes) return false;
  std::uint64_t width = 0, count = 0;
  for (std::size_t i = 1; i < codes.size(); i += 8, ++count)
    width += static_cast<std::uint64_t>(std::bit_width(zigzag(minus(codes[i], codes[i - 1]))));
  return width >= 6 * count && width <= 20 * count;
}

class BlockEncoder {
 public:
  BlockEncoder(std::span<const std::int32_t> codes, Effort effort, CandidateMask allowed, bool wide)
      : codes_(codes), thorough_(effort == Effort::best || wide), candidates_(candidates(effort, wide)),
        allowed_((allowed & ((CandidateMask{1} << candidates_.size()) - 1)) ? allowed : kEveryCandidate),
        alone_(std::popcount(allowed_ & ((CandidateMask{1} << candidates_.size()) - 1)) == 1),
        tokens_(codes.size()),
        residuals_(codes.size()),
        trials_(std::make_unique<std::array<SegmentTrial, 2>>()), scratch_(std::make_unique<CountTables>()) {
    for (SegmentTrial& trial : *trials_) {
      trial.residuals.resize(std::min(codes.size(), kSegmentLength));
      trial.tokens.resize(trial.residuals.size());
    }
  }

  // The lanes that make the residuals of the local sign-LMS candidates, to be run before `plan`.
  void add_local_lms_lanes(std::vector<LmsLane>& lanes);
  // Chooses each segment's predictor (adding the winners to `wins` if given) and the table sets.
  TableLayout plan(CandidateWins* wins);
  [[nodiscard]] std::span<const std::uint8_t> tokens() const { return tokens_; }
  // Appends the block: its head, the rANS words of its tokens under `layout`, and the raw bits.
  void write(const TableLayout& layout, std::span<const std::uint8_t> words, std::vector<std::uint8_t>& out);

 private:
  std::size_t choose_segment(std::size_t start, std::size_t end);
  void try_predictor(std::size_t start, std::size_t end, const PredictorChoice& choice, SegmentTrial& trial);
  TableLayout group_segments();
  void write_raw_bits(std::vector<std::uint8_t>& out) const;

  std::span<const std::int32_t> codes_;
  bool thorough_;  // price every lane and each group's best table set: the best effort, and lossless callers
  std::vector<PredictorChoice> candidates_;
  CandidateMask allowed_;
  bool alone_;  // one predictor allowed: it needs no price
  // The residuals of each local sign-LMS candidate over the whole block, its segments side by side.
  struct LocalLms {
    PredictorChoice choice;
    Buffer<std::int32_t> residuals;
  };
  std::vector<LocalLms> local_lms_;
  Buffer<std::int32_t> cascade_;  // the cascade's residuals of the whole block, where it is tried
  std::array<int, 2> periods_{};  // the block's cycles (0: none), where the periodic predictor is tried
  Buffer<std::int32_t> differences_;  // the codes' first differences, the local sign-LMS stages' input
  Buffer<std::uint8_t> tokens_;      // the winners'
  Buffer<std::int32_t> residuals_;  // the winners'
  std::vector<PredictorChoice> chosen_;
  std::vector<LevelCounts> counts_;  // per segment
  std::unique_ptr<std::array<SegmentTrial, 2>> trials_;  // the best so far and the one being priced, in turns
  std::unique_ptr<CountTables> scratch_;  // count_contexts' tables, zero between calls
};

TableLayout BlockEncoder::plan(CandidateWins* wins) {
  for (std::size_t c = 0; c < candidates_.size(); ++c) {
    if (!((allowed_ >> c) & 1)) continue;
    // (alone, it codes every segment: at the shortest period where the block shows none)
    if (candidates_[c].kind == Predictor::periodic) {
      periods_ = find_periods(codes_);
      if (alone_) periods_ = {periods_[0] ? periods_[0] : kMinPeriod, 0};  // it codes every segment
    }
    if (candidates_[c].kind != Predictor::cascade) continue;
    if (!alone_ && !cascade_worth_trying(codes_)) continue;
    cascade_.resize(codes_.size());
    cascade_residuals(codes_.data(), codes_.size(), cascade_.data());
  }
  for (std::size_t start = 0; start < codes_.size(); start += kSegmentLength) {
    const std::size_t winner = choose_segment(start, std::min(codes_.size(), start + kSegmentLength));
    if (wins) ++(*wins)[winner];
  }
  return group_segments();
}

void BlockEncoder::add_local_lms_lanes(std::vector<LmsLane>& lanes) {
  const std::size_t segments = (codes_.size() + kSegmentLength - 1) / kSegmentLength;
  for (std::size_t c = 0; c < candidates_.size(); ++c) {
    const PredictorChoice& candidate = candidates_[c];
    if (candidate.kind != Predictor::sign_lms_local || !((allowed_ >> c) & 1)) continue;
    if (differences_.empty()) {
      differences_.resize(codes_.size());
      differences_of(codes_.data(), 0, codes_.size(), differences_.data());
    }
    LocalLms& local = local_lms_.emplace_back(candidate, Buffer<std::int32_t>(codes_.size()));
    sequence::add_local_lms_lanes(std::vector<PredictorChoice>(segments, candidate), differences_.data(),
                                  local.residuals.data(), codes_.size(), lanes);
  }
}

// The index of the winning candidate. The periodic predictor goes last, at each of the block's cycles, and
// wins only by a margin over the others: its recurrence takes the decoder longer, and a segment where it
// wins by a hair is better off without it (and a long recording learns to leave it out).
std::size_t BlockEncoder::choose_segment(std::size_t start, std::size_t end) {
  constexpr double kSlowMargin = 0.99;
  SegmentTrial* best = &(*trials_)[0];
  SegmentTrial* trial = &(*trials_)[1];
  best->bits = std::numeric_limits<double>::infinity();
  std::size_t winner = 0;
  const auto price = [&](std::size_t c, const PredictorChoice& choice, double bound) {
    try_predictor(start, end, choice, *trial);
    if (trial->bits < bound) {
      std::swap(best, trial);
      winner = c;
    }
  };
  for (std::size_t c = 0; c < candidates_.size(); ++c) {
    const PredictorChoice& candidate = candidates_[c];
    if (!((allowed_ >> c) & 1) || candidate.kind == Predictor::periodic) continue;
    // (identity alone is tried even where it looks dear: something must code the segment)
    if (candidate.kind == Predictor::identity && !alone_ && !identity_worth_trying(codes_, start, end)) continue;
    if (candidate.kind == Predictor::cascade && cascade_.empty()) continue;
    price(c, candidate, best->bits);
  }
  // The strongest cycle (often a multiple of the shortest) is tried where the shortest won.
  const double others = best->bits;
  for (std::size_t c = 0; c < candidates_.size(); ++c) {
    if (!((allowed_ >> c) & 1) || candidates_[c].kind != Predictor::periodic) continue;
    for (const int period : periods_)
      if (period != 0 && (period == periods_[0] || best->choice.kind == Predictor::periodic))
        price(c, {.kind = Predictor::periodic, .order = candidates_[c].order, .period = period},
              std::min(best->bits, kSlowMargin * others));
  }
  // The winner's residuals and tokens, and the counts of the lanes it was not priced on.
  const std::size_t n = end - start;
  std::copy_n(best->coded.begin(), n, residuals_.begin() + static_cast<std::ptrdiff_t>(start));
  std::copy_n(best->tokens.begin(), n, tokens_.begin() + static_cast<std::ptrdiff_t>(start));
  if (!thorough_)
    count_contexts(best->tokens.data(), n, best->token_end, ways_for(codes_.size()), 1, 2, *scratch_, best->counts);
  chosen_.push_back(best->choice);
  counts_.push_back(best->counts);
  return winner;
}

void BlockEncoder::try_predictor(std::size_t start, std::size_t end, const PredictorChoice& candidate,
                                 SegmentTrial& trial) {
  trial.choice = candidate.kind == Predictor::lpc        ? fit_lpc(codes_, start, end, candidate.order)
                 : candidate.kind == Predictor::periodic ? fit_periodic(codes_, start, end, candidate.order, candidate.period)
                                                         : candidate;
  const std::size_t n = end - start;
  const auto local = std::ranges::find_if(local_lms_, [&](const LocalLms& l) {
    return candidate.kind == Predictor::sign_lms_local && l.choice.taps == candidate.taps &&
           l.choice.step == candidate.step;
  });
  if (candidate.kind == Predictor::cascade) {
    trial.coded = std::span<const std::int32_t>(cascade_).subspan(start, n);
  } else if (local != local_lms_.end()) {
    trial.coded = std::span<const std::int32_t>(local->residuals).subspan(start, n);
  } else {
    predict(codes_, start, end, trial.choice, trial.residuals);
    trial.coded = std::span<const std::int32_t>(trial.residuals).first(n);
  }
  trial.token_end = token_of(kernels().tokenize(trial.coded.data(), n, trial.tokens.data())) + 1;
  // The best effort and lossless callers count every token; the others estimate from every other lane.
  trial.counts.clear();
  const ContextCounts counted = count_contexts(trial.tokens.data(), n, trial.token_end, ways_for(codes_.size()), 0,
                                               thorough_ ? 1 : 2, *scratch_, trial.counts);
  trial.bits = alone_ ? 0
                     : (double(counted.raw_bits) + class_tables_bits(trial.counts, base_of(trial.counts))) * double(n) /
                               double(counted.tokens) + double(trial.choice.head_bits());
}

// Consecutive segments share a table set where that is cheaper: the best grouping by dynamic programming.
// The best effort and lossless callers price every group with its best table set; the others with one
// table per class, and choose the merges only for the groups kept.
TableLayout BlockEncoder::group_segments() {
  const std::size_t segments = counts_.size();
  const bool thorough = thorough_;
  std::vector<double> cost(segments + 1, std::numeric_limits<double>::infinity());
  std::vector<std::size_t> from(segments + 1, 0);
  std::vector<std::vector<SetChoice>> sets(segments + 1, std::vector<SetChoice>(segments));
  const auto merge_counts = [&](std::size_t first, std::size_t last) {
    LevelCounts merged{};
    for (std::size_t s = first; s < last; ++s) merged.add(counts_[s]);
    return merged;
  };
  cost[0] = 0;
  for (std::size_t last = 1; last <= segments; ++last) {
    LevelCounts merged{};
    for (std::size_t first = last; first-- > 0;) {
      merged.add(counts_[first]);
      double group_bits = 0;
      if (thorough) {
        sets[last][first] = choose_table_set(merged, base_of(merged), true);
        group_bits = sets[last][first].bits;
      } else {
        group_bits = class_tables_bits(merged, base_of(merged));
      }
      const double bits = cost[first] + group_bits + double(last - first);
      if (bits < cost[last]) {
        cost[last] = bits;
        from[last] = first;
      }
    }
  }
  TableLayout layout;
  layout.set_of_segment.resize(segments);
  std::vector<std::pair<std::size_t, std::size_t>> groups;
  for (std::size_t last = segments; last > 0; last = from[last]) groups.emplace_back(from[last], last);
  std::reverse(groups.begin(), groups.end());
  for (const auto& [first, last] : groups) {
    for (std::size_t s = first; s < last; ++s) layout.set_of_segment[s] = static_cast<std::uint8_t>(layout.sets.size());
    if (!thorough) {
      const LevelCounts merged = merge_counts(first, last);
      sets[last][first] = choose_table_set(merged, base_of(merged), false);
    }
    layout.sets.push_back(sets[last][first].set);
  }
  return layout;
}

void BlockEncoder::write(const TableLayout& layout, std::span<const std::uint8_t> words, std::vector<std::uint8_t>& out) {
  {
    BitWriter head(out);
    for (std::size_t s = 0; s < chosen_.size(); ++s) {
      write_predictor(head, chosen_[s]);
      const bool new_set = s == 0 || layout.set_of_segment[s] != layout.set_of_segment[s - 1];
      if (s > 0) head.put(new_set ? 1 : 0, 1);
      if (new_set) write_table_set(head, layout.sets[layout.set_of_segment[s]]);
    }
    head.flush();
  }
  for (std::size_t count = words.size() / 2; ; count >>= 7) {
    out.push_back(static_cast<std::uint8_t>((count & 0x7F) | (count > 0x7F ? 0x80 : 0)));
    if (count <= 0x7F) break;
  }
  out.insert(out.end(), words.begin(), words.end());
  write_raw_bits(out);
}

// Raw bits in the order the decoder meets the tokens: segment by segment, round by round, lane by lane.
// Their number comes from the segments' counts.
void BlockEncoder::write_raw_bits(std::vector<std::uint8_t>& out) const {
  std::uint64_t total = 0;
  for (const LevelCounts& counts : counts_)
    for (int level = 0; level < counts.levels; ++level)
      for (int t = 0; t < counts.tokens; ++t) total += std::uint64_t{counts[level][t]} * kTokenTable.raw_bits[t];
  const std::size_t at = out.size();
  out.resize(at + (total + 7) / 8 + 8);
  RawBitWriter raw{out.data() + at};
  const auto put = [&](std::size_t i) {
    const int bits = kTokenTable.raw_bits[tokens_[i]];
    raw.put(std::uint64_t{zigzag(residuals_[i])} & ((std::uint64_t{1} << bits) - 1), bits);
  };
  const std::size_t ways = ways_for(codes_.size());
  const auto whole_rounds = ways == 8 ? kernels().write_rounds : nullptr;
  for (std::size_t start = 0; start < codes_.size(); start += kSegmentLength) {
    const SegmentLanes lanes(ways, std::min(kSegmentLength, codes_.size() - start));
    // Rounds in which every lane has a token, then the others.
    const std::size_t full = lanes.rounds_of(ways - 1);
    std::size_t k = whole_rounds ? whole_rounds(residuals_.data() + start, 0, full, lanes.length, raw) : 0;
    for (; k < full; ++k)
      for (std::size_t i = start + k; i < start + ways * lanes.length; i += lanes.length) put(i);
    for (; k < lanes.length; ++k)
      for (std::size_t l = 0; l < ways && k < lanes.rounds_of(l); ++l) put(start + l * lanes.length + k);
  }
  raw.put(0, 0);  // stores the last bits
  out.resize(at + (total + 7) / 8);
}

}  // namespace

void encode_blocks(std::span<const std::span<const std::int32_t>> codes, Effort effort,
                   std::span<std::vector<std::uint8_t>* const> out, CandidateMask allowed, CandidateWins* wins,
                   bool wide) {
  std::vector<BlockEncoder> encoders;
  encoders.reserve(codes.size());
  std::vector<LmsLane> lanes;
  for (const auto block : codes) encoders.emplace_back(block, effort, allowed, wide).add_local_lms_lanes(lanes);
  run_lms_lanes(lanes, false);
  const std::size_t n = codes.size();
  std::vector<TableLayout> layouts(n);
  std::vector<std::vector<std::uint8_t>> words(n);
  std::vector<RansBlock> blocks(n);
  for (std::size_t b = 0; b < n; ++b) {
    layouts[b] = encoders[b].plan(wins);
    blocks[b] = {encoders[b].tokens(), &layouts[b], &words[b]};
  }
  rans_encode(blocks);
  for (std::size_t b = 0; b < n; ++b) encoders[b].write(layouts[b], words[b], *out[b]);
}

CandidateMask slow_candidates(Effort effort, bool wide) {
  const auto all = candidates(effort, wide);
  CandidateMask mask = 0;
  for (std::size_t c = 0; c < all.size(); ++c)
    if (all[c].kind == Predictor::periodic) mask |= CandidateMask{1} << c;
  return mask;
}

void encode_block(std::span<const std::int32_t> codes, Effort effort, std::vector<std::uint8_t>& out,
                  CandidateMask allowed, CandidateWins* wins) {
  std::vector<std::uint8_t>* const outs[] = {&out};
  encode_blocks({&codes, 1}, effort, outs, allowed, wins);
}

}  // namespace quorvel::sequence
