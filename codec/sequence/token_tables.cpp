// codec/sequence/token_tables.cpp: token tables from half-octave codes or presets, their head fields and costs.
#include "codec/sequence/token_tables.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "codec/sequence/token_presets.hpp"

namespace quorvel::sequence {

namespace {

// Relative weight of each code: round(16 * 2^((c-1)/2)).
constexpr std::array<std::uint32_t, 32> kWeights = {
    0,     16,    23,    32,    45,     64,     91,     128,    181,    256,    362,
    512,   724,   1024,  1448,  2048,   2896,   4096,   5793,   8192,   11585,  16384,
    23170, 32768, 46341, 65536, 92682, 131072, 185364, 262144, 370728, 524288};

// log2 of a token's bin width: 1 below 16, then two tokens per octave.
constexpr int log2_width(int token) { return token < kDirectTokens ? 0 : (token - 16) / 2 + 3; }

// A code is sent as its rank in a list ordered from the likeliest to the least likely given the
// prediction p: p, unused, p-1, p-2, p+1, p-3, p-4, p+2, ... (frequencies mostly fall with the token).
struct RankTables {
  std::array<std::array<std::uint8_t, 32>, 32> code_of_rank{};  // [p][rank]
  std::array<std::array<std::uint8_t, 32>, 32> rank_of_code{};  // [p][code]
  constexpr RankTables() {
    for (int p = 1; p < 32; ++p) {
      int rank = 0;
      const auto add = [&](int code) {
        if (code < 1 || code > 31) return;
        code_of_rank[p][rank] = static_cast<std::uint8_t>(code);
        rank_of_code[p][code] = static_cast<std::uint8_t>(rank++);
      };
      add(p);
      code_of_rank[p][rank] = 0;
      rank_of_code[p][0] = static_cast<std::uint8_t>(rank++);
      for (int step = 1; step < 32; ++step) {
        add(p - (2 * step - 1));
        add(p - 2 * step);
        add(p + step);
      }
    }
  }
};
constexpr RankTables kRanks{};

constexpr int predicted_code(int previous_code, int previous_token, int token) {
  return std::clamp(previous_code + 2 * (log2_width(token) - log2_width(previous_token)), 1, 31);
}

constexpr int exp_golomb1_bits(int value) { return 2 * std::bit_width(static_cast<unsigned>(value + 2)) - 2; }

// kProbBits - log2(f) for every frequency, the cost in bits of a token given its frequency.
const std::array<float, kProbTotal + 1>& cost_of_frequency() {
  static const auto table = [] {
    std::array<float, kProbTotal + 1> t{};
    t[0] = 64.0f;  // never coded; large enough to lose every comparison
    for (std::uint32_t f = 1; f <= kProbTotal; ++f) t[f] = static_cast<float>(kProbBits - std::log2(double(f)));
    return t;
  }();
  return table;
}

// The used tokens of counts: [first, end).
struct UsedRange {
  int first = 0, end = 0;
};

UsedRange used_range(const TokenCounts& counts, int end) {
  UsedRange range{0, end};
  while (range.end > 0 && counts[range.end - 1] == 0) --range.end;
  while (range.first < range.end && counts[range.first] == 0) ++range.first;
  return range;
}

// Bits of each token under a table: the cost of its frequency.
using TokenCosts = std::array<float, kTokenCount>;

TokenCosts costs_of(const Frequencies& frequencies) {
  const auto& cost = cost_of_frequency();
  TokenCosts out;
  for (int t = 0; t < kTokenCount; ++t) out[t] = cost[frequencies[t]];
  return out;
}

// The presets' token costs, made once.
const std::array<TokenCosts, kPresetCount>& preset_costs() {
  static const auto table = [] {
    std::array<TokenCosts, kPresetCount> out{};
    for (int k = 0; k < kPresetCount; ++k) out[k] = costs_of(kPresetTables[static_cast<std::size_t>(k)]);
    return out;
  }();
  return table;
}

// Four partial sums (token t into sum t mod 4), so that the additions do not wait for each other. The
// loop runs over whole groups of four: tokens outside the used range have no count and add +0.
double coded_bits(const TokenCounts& counts, UsedRange used, const TokenCosts& costs) {
  static_assert(kTokenCount % 4 == 0);
  double sum[4] = {0, 0, 0, 0};
  for (int t = used.first & ~3; t < used.end; t += 4)
    for (int j = 0; j < 4; ++j) sum[j] += double(counts[t + j]) * double(costs[t + j]);
  return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

// Rounding to the nearest integer, ties to even, as nearbyint() in the default rounding mode, without a
// library call: adding and taking away 1.5 * 2^52 leaves no fraction bits (for |x| < 2^51).
double round_even(double x) {
  volatile double big = 6755399441055744.0;
  return (x + big) - big;
}

int own_codes_bits(const TableCode& code) {
  int first = 0;
  while (code.codes[first] == 0) ++first;
  int bits = 1 + 7 + 7 + 5;
  int previous = first;
  for (int t = first + 1; t < code.count; ++t) {
    const int p = predicted_code(code.codes[previous], previous, t);
    bits += exp_golomb1_bits(kRanks.rank_of_code[p][code.codes[t]]);
    if (code.codes[t]) previous = t;
  }
  return bits;
}

// 2 log2(c) for small counts: the table codes need one per used token of every table tried.
const std::array<double, 8192>& twice_log2() {
  static const auto table = [] {
    std::array<double, 8192> t{};
    for (std::size_t c = 1; c < t.size(); ++c) t[c] = 2 * std::log2(double(c));
    return t;
  }();
  return table;
}

TableCode codes_of(const TokenCounts& counts, UsedRange used, std::uint64_t total) {
  const auto& table = twice_log2();
  const auto twice_log2_of = [&](std::uint64_t c) { return c < table.size() ? table[c] : 2 * std::log2(double(c)); };
  // code = round(2 log2(count * 2^11 / total)) + 1
  const double offset = 2 * kProbBits + 1 - twice_log2_of(total);
  TableCode code;
  for (int t = used.first; t < used.end; ++t) {
    if (!counts[t]) continue;
    code.codes[t] = static_cast<std::uint8_t>(std::clamp(round_even(twice_log2_of(counts[t]) + offset), 1.0, 31.0));
  }
  code.count = used.end;
  return code;
}

// The mean value of each token's bin.
constexpr std::array<double, kTokenCount> kTokenMeans = [] {
  std::array<double, kTokenCount> out{};
  for (int t = 0; t < kTokenCount; ++t) {
    const int raw = raw_bits_of_token(t);
    out[t] = double(top_of_token(t)) + (raw ? double(std::uint64_t{1} << (raw - 1)) : 0.0);
  }
  return out;
}();

// The presets whose mean is near the counts' (preset k has mean 2^(k/4) / 4).
std::pair<int, int> nearby_presets(const TokenCounts& counts, UsedRange used, std::uint64_t total) {
  double sum = 0;
  for (int t = used.first; t < used.end; ++t) sum += double(counts[t]) * kTokenMeans[t];
  const double mean = std::max(sum / double(total), 1.0 / 64);
  const int k = static_cast<int>(std::lround(4 * std::log2(4 * mean)));
  return {std::clamp(k - 3, 0, kPresetCount - 1), std::clamp(k + 3, 0, kPresetCount - 1)};
}

}  // namespace

Frequencies TableCode::frequencies() const {
  if (preset >= 0) return kPresetTables[static_cast<std::size_t>(preset)];
  std::uint64_t total = 0;
  for (int t = 0; t < count; ++t) total += kWeights[codes[t]];
  Frequencies f{};
  std::uint32_t given = 0;
  int top = 0;
  // floor(weight * 2^11 / total): a multiplication in doubles, off by at most one, then made exact.
  const double scale = double(kProbTotal) / double(total);
  for (int t = 0; t < count; ++t) {
    if (codes[t] == 0) continue;
    const std::uint64_t scaled = std::uint64_t{kWeights[codes[t]]} * kProbTotal;
    auto q = static_cast<std::uint64_t>(double(kWeights[codes[t]]) * scale);
    q -= q * total > scaled;
    q += (q + 1) * total <= scaled;
    f[t] = static_cast<std::uint16_t>(std::max<std::uint64_t>(1, q));
    given += f[t];
    if (f[t] > f[top]) top = t;
  }
  // Each used token keeps at least 1 and the largest absorbs the rounding: with at most 72 tokens the
  // largest always has more than the excess to give.
  f[top] = static_cast<std::uint16_t>(f[top] + kProbTotal - given);
  return f;
}

std::array<std::uint8_t, kClasses> TableSet::table_of_class() const {
  std::array<std::uint8_t, kClasses> out{};
  for (int c = 1; c < kClasses; ++c) out[c] = static_cast<std::uint8_t>(out[c - 1] + (((merge >> (c - 1)) & 1) ? 0 : 1));
  return out;
}

std::array<std::uint8_t, kLevels> TableSet::table_of_level() const {
  const auto of_class = table_of_class();
  std::array<std::uint8_t, kLevels> out{};
  for (int level = 0; level < kLevels; ++level) out[level] = of_class[class_of_level(level, base)];
  return out;
}

void write_table_set(BitWriter& out, const TableSet& set) {
  out.put(static_cast<std::uint32_t>(set.base), 5);
  out.put(static_cast<std::uint32_t>(set.merge), 3);
  for (int i = 0; i < set.table_count(); ++i) {
    const TableCode& code = set.tables[i];
    out.put(code.preset >= 0 ? 1 : 0, 1);
    if (code.preset >= 0) {
      out.put(static_cast<std::uint32_t>(code.preset), 6);
      continue;
    }
    int first = 0;
    while (code.codes[first] == 0) ++first;
    out.put(static_cast<std::uint32_t>(code.count), 7);
    out.put(static_cast<std::uint32_t>(first), 7);
    out.put(code.codes[first], 5);
    int previous = first;
    for (int t = first + 1; t < code.count; ++t) {
      out.put_exp_golomb1(kRanks.rank_of_code[predicted_code(code.codes[previous], previous, t)][code.codes[t]]);
      if (code.codes[t]) previous = t;
    }
  }
}

bool read_table_set(BitReader& in, TableSet& set) {
  set.base = static_cast<int>(in.get(5));
  set.merge = static_cast<int>(in.get(3));
  for (int i = 0; i < set.table_count(); ++i) {
    TableCode& code = set.tables[i];
    code = TableCode{};
    if (in.get(1)) {
      code.preset = static_cast<int>(in.get(6));
      continue;
    }
    code.count = static_cast<int>(in.get(7));
    const int first = static_cast<int>(in.get(7));
    if (code.count < 1 || code.count > kTokenCount || first >= code.count) return false;
    code.codes[first] = static_cast<std::uint8_t>(in.get(5));
    if (code.codes[first] == 0) return false;
    int previous = first;
    for (int t = first + 1; t < code.count && in.ok(); ++t) {
      const std::uint32_t rank = in.get_exp_golomb1();
      if (rank >= 32) return false;
      const int p = predicted_code(code.codes[previous], previous, t);
      code.codes[t] = kRanks.code_of_rank[p][rank];
      if (code.codes[t]) previous = t;
    }
  }
  return in.ok();
}

TableChoice choose_table(const TokenCounts& counts, bool every_preset, int end) {
  std::uint64_t total = 0;
  for (int t = 0; t < end; ++t) total += counts[t];
  if (total == 0) return {1 + 6, TableCode{.preset = 0}};
  const UsedRange used = used_range(counts, end);
  TableChoice best{0, codes_of(counts, used, total)};
  best.bits = own_codes_bits(best.code) + coded_bits(counts, used, costs_of(best.code.frequencies()));
  const auto [low, high] = every_preset ? std::pair{0, kPresetCount - 1} : nearby_presets(counts, used, total);
  const auto& presets = preset_costs();
  for (int k = low; k <= high; ++k) {
    const double bits = 1 + 6 + coded_bits(counts, used, presets[static_cast<std::size_t>(k)]);
    if (bits < best.bits) best = {bits, TableCode{.preset = k}};
  }
  return best;
}

namespace {

// Token counts of each class at this base.
std::array<TokenCounts, kClasses> class_counts(const LevelCounts& counts, int base) {
  std::array<TokenCounts, kClasses> out{};
  for (int level = 0; level < counts.levels; ++level) {
    TokenCounts& row = out[class_of_level(level, base)];
    for (int t = 0; t < counts.tokens; ++t) row[t] += counts[level][t];
  }
  return out;
}

}  // namespace

namespace {

// The bits of counts under a table of their own, estimated: their entropy, and a head of a few bits per
// used token, against the presets near their mean, priced exactly.
double table_bits_estimate(const TokenCounts& counts, int end) {
  std::uint64_t total = 0;
  for (int t = 0; t < end; ++t) total += counts[t];
  if (total == 0) return 1 + 6;
  const UsedRange used = used_range(counts, end);
  const auto& table = twice_log2();
  const auto twice_log2_of = [&](std::uint64_t c) { return c < table.size() ? table[c] : 2 * std::log2(double(c)); };
  double twice_sum = 0;
  int present = 0;
  for (int t = used.first; t < used.end; ++t) {
    if (!counts[t]) continue;
    twice_sum += double(counts[t]) * twice_log2_of(counts[t]);
    ++present;
  }
  double best = 0.5 * (double(total) * twice_log2_of(total) - twice_sum) + 20 + 3 * present;
  const auto [low, high] = nearby_presets(counts, used, total);
  const auto& presets = preset_costs();
  for (int k = low; k <= high; ++k)
    best = std::min(best, 1 + 6 + coded_bits(counts, used, presets[static_cast<std::size_t>(k)]));
  return best;
}

}  // namespace

double class_tables_bits(const LevelCounts& counts, int base) {
  const auto by_class = class_counts(counts, base);
  double bits = 5 + 3;
  for (int c = 0; c < kClasses; ++c) bits += table_bits_estimate(by_class[c], counts.tokens);
  return bits;
}

SetChoice choose_table_set(const LevelCounts& counts, int base, bool thorough) {
  SetChoice best{std::numeric_limits<double>::infinity(), {}};
  const int spread = thorough ? 1 : 0;
  for (int b = std::max(0, base - spread); b <= std::min(kMaxBase, base + spread); ++b) {
    // The best table of every run of classes first..last, then each merge pattern's sum.
    const auto by_class = class_counts(counts, b);
    std::array<std::array<TableChoice, kClasses>, kClasses> run{};
    for (int first = 0; first < kClasses; ++first) {
      TokenCounts merged{};
      for (int last = first; last < kClasses; ++last) {
        for (int t = 0; t < counts.tokens; ++t) merged[t] += by_class[last][t];
        run[first][last] = choose_table(merged, thorough, counts.tokens);
      }
    }
    for (int merge = 0; merge < (1 << (kClasses - 1)); ++merge) {
      SetChoice choice{5 + 3, TableSet{.base = b, .merge = merge}};
      int table = 0;
      for (int first = 0; first < kClasses;) {
        int last = first;
        while (last + 1 < kClasses && ((merge >> last) & 1)) ++last;
        choice.bits += run[first][last].bits;
        choice.set.tables[table++] = run[first][last].code;
        first = last + 1;
      }
      if (choice.bits < best.bits) best = choice;
    }
  }
  return best;
}

void LevelCounts::add(const LevelCounts& other) {
  for (int level = 0; level < other.levels; ++level)
    for (int t = 0; t < other.tokens; ++t) rows[level][t] += other.rows[level][t];
  levels = std::max(levels, other.levels);
  tokens = std::max(tokens, other.tokens);
}

void LevelCounts::clear() {
  for (int level = 0; level < levels; ++level) std::fill_n(rows[level].begin(), tokens, 0u);
  levels = tokens = 0;
}

int base_of(const LevelCounts& counts) {
  std::array<std::uint64_t, kLevels> per_level{};
  std::uint64_t total = 0;
  for (int level = 0; level < counts.levels; ++level) {
    for (int t = 0; t < counts.tokens; ++t) per_level[level] += counts[level][t];
    total += per_level[level];
  }
  std::uint64_t seen = 0;
  int median = 0;
  while (median + 1 < kLevels && (seen += per_level[median]) * 2 < total) ++median;
  return std::clamp(median - kClasses / 2 + 1, 0, kMaxBase);
}

}  // namespace quorvel::sequence
