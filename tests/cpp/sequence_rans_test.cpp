// The rANS coder and its tables on their own: tokens come back under adversarial tables (one token with all
// the mass, tokens of frequency 1, all 72 tokens), in lanes of every width and side by side; words cut short
// or tables damaged are refused, never read past; bit fields of every width 0..32 come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "codec/sequence/rans.hpp"
#include "codec/sequence/token_tables.hpp"

namespace {

namespace s = quorvel::sequence;
using Tokens = std::vector<std::uint8_t>;
using Words = std::vector<std::uint8_t>;

// A table of codes (half-octave weights; 0 unused).
s::TableCode table_of(const std::vector<std::uint8_t>& codes) {
  s::TableCode t;
  t.count = static_cast<int>(codes.size());
  std::copy(codes.begin(), codes.end(), t.codes.begin());
  return t;
}

// One table for every context class.
s::TableSet shared(const s::TableCode& table) {
  s::TableSet set{.base = 0, .merge = 7};
  set.tables[0] = table;
  return set;
}

s::TableLayout layout_of(std::vector<s::TableSet> sets, std::size_t n) {
  s::TableLayout layout{std::move(sets), {}};
  for (std::size_t seg = 0; seg * s::kSegmentLength < n; ++seg)
    layout.set_of_segment.push_back(static_cast<std::uint8_t>(seg % layout.sets.size()));
  return layout;
}

Words encode(const Tokens& tokens, const s::TableLayout& layout) {
  Words words;
  const s::RansBlock block{tokens, &layout, &words};
  s::rans_encode(std::span(&block, 1));
  return words;
}

// The tokens of blocks decoded side by side, in their natural order; nullopt where any decoder refuses.
std::optional<std::vector<Tokens>> decode(std::span<const Words> words, std::span<const s::TableLayout> layouts,
                                          std::span<const std::size_t> n) {
  const std::size_t count = words.size();
  std::vector<s::RansDecoder> decoders(count);
  std::vector<s::RansDecoder*> pointers;
  std::vector<Tokens> out(count), buffers(count, Tokens(s::kSegmentLength + s::kMaxWays));
  for (std::size_t b = 0; b < count; ++b) {
    if (!decoders[b].start(words[b], n[b])) return std::nullopt;
    pointers.push_back(&decoders[b]);
    out[b].resize(n[b]);
  }
  for (std::size_t seg = 0; seg * s::kSegmentLength < n[0]; ++seg) {  // blocks of as many segments
    std::vector<s::SegmentTokens> segments;
    for (std::size_t b = 0; b < count; ++b) {
      const std::size_t set = layouts[b].set_of_segment[seg];
      segments.push_back({&layouts[b].sets[set], seg == 0 || set != layouts[b].set_of_segment[seg - 1],
                          std::min(n[b] - seg * s::kSegmentLength, s::kSegmentLength), buffers[b].data()});
    }
    if (!s::RansDecoder::decode_segments(pointers, segments)) return std::nullopt;
    for (std::size_t b = 0; b < count; ++b) {
      const s::SegmentLanes lanes(decoders[b].ways(), segments[b].m);
      for (std::size_t lane = 0; lane < lanes.ways; ++lane)
        for (std::size_t k = 0; k < lanes.rounds_of(lane); ++k)
          out[b][seg * s::kSegmentLength + lane * lanes.length + k] = buffers[b][k * lanes.ways + lane];
    }
  }
  for (const auto& d : decoders)
    if (!d.finish()) return std::nullopt;
  return out;
}

std::optional<Tokens> decode_one(const Words& words, const s::TableLayout& layout, std::size_t n) {
  const auto out = decode(std::span(&words, 1), std::span(&layout, 1), std::span(&n, 1));
  return out ? std::optional<Tokens>((*out)[0]) : std::nullopt;
}

// Tokens drawn by the table's own frequencies (only used ones), in runs so that contexts vary.
Tokens draw(std::mt19937& rng, const s::Frequencies& f, std::size_t n) {
  std::vector<std::uint8_t> slots;
  for (std::size_t t = 0; t < f.size(); ++t) slots.insert(slots.end(), f[t], static_cast<std::uint8_t>(t));
  Tokens tokens(n);
  for (auto& t : tokens) t = slots[rng() % slots.size()];
  return tokens;
}

struct Case {
  const char* name;
  s::TableCode table;
};

std::vector<Case> adversarial_tables() {
  std::vector<std::uint8_t> one_heavy(72, 1), all_equal(72, 9), last_only(72, 0), alternate(72);
  one_heavy[40] = 31;  // 71 tokens of frequency 1, one with the rest
  last_only[71] = 5;
  for (std::size_t t = 0; t < 72; ++t) alternate[t] = t % 2 ? 0 : static_cast<std::uint8_t>(1 + t % 31);
  return {{"single token, all the mass", table_of({0, 0, 0, 17})},
          {"first token alone", table_of({3})},
          {"last of 72 alone", table_of(last_only)},
          {"one heavy, 71 of frequency 1", table_of(one_heavy)},
          {"all 72 alike", table_of(all_equal)},
          {"every other token", table_of(alternate)},
          {"preset 0", s::TableCode{.preset = 0}},
          {"preset 63", s::TableCode{.preset = s::kPresetCount - 1}}};
}

}  // namespace

// Lengths around each lane count's threshold and a segment's end, every table.
TEST(SequenceRans, TokensComeBackUnderAdversarialTables) {
  std::mt19937 rng(21);
  for (const Case& c : adversarial_tables()) {
    const s::Frequencies f = c.table.frequencies();
    for (const std::size_t n : {1u, 2u, 9u, 1023u, 1024u, 4095u, 4096u, 4097u, 9000u}) {
      const auto layout = layout_of({shared(c.table)}, n);
      const Tokens tokens = draw(rng, f, n);
      const Words words = encode(tokens, layout);
      ASSERT_EQ(decode_one(words, layout, n), tokens) << c.name << " n " << n;
      // Each lane's initial state is two words; a token of frequency 2048 leaves its state as it was.
      const std::size_t ways = s::ways_for(n);
      if (f[tokens[0]] == s::kProbTotal) {
        EXPECT_EQ(words.size(), 4 * ways) << c.name;
      }
      // Short of words by one: refused at the start or by the end, never read past.
      const Words cut(words.begin(), words.end() - 2);
      EXPECT_FALSE(decode_one(cut, layout, n).has_value()) << c.name << " n " << n;
      // A lane's initial state changed: under a one-token table no word is read after it, so only the
      // check that every state ends at 2^16 can tell. (Under skewed tables a decoder may fall back into
      // step after a damaged state: the container's CRC guards that.)
      if (f[tokens[0]] == s::kProbTotal) {
        Words off = words;
        off[2 * (ways - 1)] ^= 1;
        EXPECT_FALSE(decode_one(off, layout, n).has_value()) << c.name << " n " << n;
      }
    }
  }
}

// Frequency-1 tokens only (each costs 11 bits and pulls a word in about every other token), with each
// context class its own table, and segments that change set: the states cross 2^16 all the time.
TEST(SequenceRans, StatesRenormaliseAtEveryTokenAndContextsPickTheirTables) {
  std::vector<std::uint8_t> heavy(72, 1), light(72, 1);
  heavy[0] = 31, light[71] = 31;
  s::TableSet classes{.base = 3, .merge = 0};
  classes.tables = {table_of(heavy), table_of(light), s::TableCode{.preset = 20}, table_of(heavy)};
  const std::vector<s::TableSet> sets = {classes, shared(table_of(heavy))};
  std::mt19937 rng(22);
  for (const std::size_t n : {5000u, 12289u}) {
    Tokens tokens(n);
    for (auto& t : tokens) t = static_cast<std::uint8_t>(1 + rng() % 70);  // frequency 1 in both heavy and light
    const auto layout = layout_of(sets, n);
    const Words words = encode(tokens, layout);
    EXPECT_GT(words.size(), n) << "n " << n;  // most tokens cost 11 bits
    ASSERT_EQ(decode_one(words, layout, n), tokens) << "n " << n;
    // Read with the other set order the tables differ: refused, not misread quietly.
    const auto swapped = layout_of({sets[1], sets[0]}, n);
    EXPECT_FALSE(decode_one(words, swapped, n).has_value());
  }
}

// Blocks decoded side by side give what each gives alone; encoding two at once gives each one's words.
TEST(SequenceRans, BlocksSideBySideDecodeAsAlone) {
  std::mt19937 rng(23);
  const auto cases = adversarial_tables();
  std::vector<Words> words;
  std::vector<s::TableLayout> layouts;
  std::vector<Tokens> tokens;
  const std::size_t n = 8200;
  for (std::size_t b = 0; b < s::RansDecoder::kMaxTogether; ++b) {
    const s::TableCode& table = cases[(3 * b + 1) % cases.size()].table;
    layouts.push_back(layout_of({shared(table), shared(cases[b].table)}, n));
    tokens.push_back(draw(rng, table.frequencies(), n));
    // The second of the three segments uses the second set: its tokens must be among its table's.
    const Tokens more = draw(rng, cases[b].table.frequencies(), s::kSegmentLength);
    std::copy(more.begin(), more.end(), tokens[b].begin() + std::ptrdiff_t(s::kSegmentLength));
    words.push_back(encode(tokens[b], layouts[b]));
  }
  std::vector<Words> paired(2);
  const s::RansBlock both[] = {{tokens[0], &layouts[0], &paired[0]}, {tokens[1], &layouts[1], &paired[1]}};
  s::rans_encode(both);
  EXPECT_EQ(paired[0], words[0]);
  EXPECT_EQ(paired[1], words[1]);
  const std::vector<std::size_t> lengths(words.size(), n);
  EXPECT_EQ(decode(words, layouts, lengths), tokens);
}

// Any single bit flipped in a table set's head: refused, or read as a valid set; tokens decoded under a
// damaged set are refused by the state check or come back unchanged (a flip that changed nothing).
TEST(SequenceRans, DamagedTablesAreRefusedNotMisread) {
  std::mt19937 rng(24);
  s::TableSet set{.base = 2, .merge = 2};
  set.tables[0] = table_of({5, 9, 12, 14, 13, 11, 8, 6, 4, 2, 1, 1, 1, 1, 1, 1, 1, 1});
  set.tables[1] = s::TableCode{.preset = 33};
  set.tables[2] = table_of(std::vector<std::uint8_t>(72, 6));
  std::vector<std::uint8_t> head;
  s::BitWriter out(head);
  s::write_table_set(out, set);
  out.flush();
  const std::size_t n = 3000;
  Tokens tokens(n);
  for (auto& t : tokens) t = static_cast<std::uint8_t>(rng() % 18);
  const auto layout = layout_of({set}, n);
  const Words words = encode(tokens, layout);
  int refused = 0;
  for (std::size_t bit = 0; bit < 8 * head.size(); ++bit) {
    auto damaged = head;
    damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    s::BitReader in(damaged);
    s::TableSet read;
    if (!s::read_table_set(in, read) || !in.ok()) {
      ++refused;
      continue;
    }
    for (int t = 0; t < read.table_count(); ++t) {
      std::uint32_t sum = 0;
      for (const auto v : read.tables[std::size_t(t)].frequencies()) sum += v;
      ASSERT_EQ(sum, s::kProbTotal) << "bit " << bit;
    }
    const auto back = decode_one(words, layout_of({read}, n), n);
    if (back) {
      EXPECT_EQ(*back, tokens) << "bit " << bit;
    }
    refused += !back.has_value();
  }
  EXPECT_GT(refused, int(4 * head.size()));
}

// Fields of every width 0..32, packed back to back at every offset, and reading past the end.
TEST(SequenceRans, BitFieldsOfEveryWidthComeBack) {
  std::mt19937 rng(25);
  std::vector<std::pair<std::uint32_t, int>> fields;
  for (int round = 0; round < 4; ++round)
    for (int width = 0; width <= 32; ++width) {
      const std::uint32_t all = width == 32 ? ~0u : (1u << width) - 1;
      fields.emplace_back(round == 0 ? all : round == 1 ? 0u : static_cast<std::uint32_t>(rng()) & all, width);
    }
  std::vector<std::uint8_t> bytes;
  s::BitWriter out(bytes);
  std::size_t bits = 0;
  for (const auto& [value, width] : fields) {
    out.put(value | (width < 32 ? ~0u << width : 0u), width);  // bits above the width are not written
    bits += std::size_t(width);
  }
  out.flush();
  ASSERT_EQ(bytes.size(), (bits + 7) / 8);
  s::BitReader in(bytes);
  for (const auto& [value, width] : fields) ASSERT_EQ(in.get(width), value) << "width " << width;
  EXPECT_TRUE(in.ok());
  EXPECT_EQ(in.get(8 - int(bits % 8) + 1), 0u);  // past the padding
  EXPECT_FALSE(in.ok());
}

// A chosen table gives every counted token a frequency (else its block could not be coded), and its bit
// figure is its head as written (each Exp-Golomb rank of z leading zeros 2 z + 2 bits) plus the tokens'
// ideal cost under it, which no preset beats when all are tried.
TEST(SequenceRans, ChosenTablesCoverTheirTokensAndPriceThemHonestly) {
  std::mt19937 rng(26);
  const auto token_bits = [](const s::TokenCounts& counts, const s::Frequencies& f) {
    double bits = 0;
    for (std::size_t t = 0; t < counts.size(); ++t)
      if (counts[t]) bits += counts[t] * std::log2(double(s::kProbTotal) / f[t]);
    return bits;
  };
  for (int trial = 0; trial < 60; ++trial) {
    s::TokenCounts counts{};
    const int used = 1 + int(rng() % 72), kind = trial % 3;
    for (int t = 0; t < used; ++t) {
      // Geometric, flat, or one token with 100000 and the rest a few (frequency-1 territory).
      const std::uint32_t c = kind == 0 ? std::uint32_t(std::ldexp(1.0, 12 - t / 6))
                              : kind == 1 ? 200u
                                          : (t == used / 2 ? 100000u : std::uint32_t(rng() % 3));
      counts[std::size_t(rng() % 72)] += c;
    }
    for (const bool every : {false, true}) {
      const s::TableChoice choice = s::choose_table(counts, every);
      const s::Frequencies f = choice.code.frequencies();
      for (std::size_t t = 0; t < counts.size(); ++t) {
        if (counts[t]) {
          ASSERT_GT(f[t], 0) << "trial " << trial << " token " << t;
        }
      }
      // The table's own head: a set of it less the set's 8 bits, within the last byte's padding.
      std::vector<std::uint8_t> head;
      s::BitWriter out(head);
      s::write_table_set(out, shared(choice.code));
      out.flush();
      // (The costs are float32 per token: a relative 1e-6 of the tokens' bits is their rounding.)
      const double tokens_bits = token_bits(counts, f), slack = 1e-6 * tokens_bits + 1e-3;
      const double head_bits = choice.bits - tokens_bits, written = 8.0 * double(head.size()) - 8;
      ASSERT_LT(slack, 0.5);
      EXPECT_GE(head_bits, written - 7 - slack) << "trial " << trial;
      EXPECT_LE(head_bits, written + slack) << "trial " << trial;
      if (!every) continue;
      for (int k = 0; k < s::kPresetCount; ++k)
        EXPECT_LE(choice.bits, 7 + token_bits(counts, s::TableCode{.preset = k}.frequencies()) + 1e-6)
            << "trial " << trial << " preset " << k;
    }
  }
}
