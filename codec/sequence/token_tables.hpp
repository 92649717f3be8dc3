// codec/sequence/token_tables.hpp: the static token tables of a block, how a head describes them, and their cost.
//
// A table gives each token a frequency out of 2^11 (12 bits would make the decoder's tables twice as large
// for 0.1 % less). A head names one of 64 geometric presets in 6 bits or
// sends the table as half-octave codes (code c > 0: relative weight 16 * 2^((c-1)/2), 0: unused), each code
// coded against a prediction from the one before it (Exp-Golomb of its rank, about 4 bits instead of 5).
// A table set serves the four context classes of one or more segments: a base (the level of class 0) and
// a merge pattern, so that neighbouring classes with too few tokens share one table.
#pragma once

#include <array>
#include <cstdint>

#include "codec/sequence/bit_io.hpp"
#include "codec/sequence/tokens.hpp"

namespace quorvel::sequence {

inline constexpr int kProbBits = 11;
inline constexpr std::uint32_t kProbTotal = 1u << kProbBits;
inline constexpr int kPresetCount = 64;
inline constexpr int kMaxBase = 31;

using Frequencies = std::array<std::uint16_t, kTokenCount>;  // sums to kProbTotal; 0 for unused tokens
using TokenCounts = std::array<std::uint32_t, kTokenCount>;

// Token counts by context level. Every nonzero count lies in rows [0, levels) and columns [0, tokens), so
// that the loops over them, and clearing them, touch only that corner (a few percent of the whole).
struct LevelCounts {
  std::array<TokenCounts, kLevels> rows{};
  int levels = 0, tokens = 0;

  [[nodiscard]] const TokenCounts& operator[](int level) const { return rows[level]; }
  // Adds other's counts.
  void add(const LevelCounts& other);
  void clear();
};

// One table as a head describes it.
struct TableCode {
  int preset = -1;  // 0..63, or -1 for codes
  int count = 0;    // codes: tokens up to the last used one
  std::array<std::uint8_t, kTokenCount> codes{};

  [[nodiscard]] Frequencies frequencies() const;
};

struct TableSet {
  int base = 0;   // level of class 0
  int merge = 0;  // bit j set: class j + 1 shares the table of class j
  std::array<TableCode, kClasses> tables{};

  [[nodiscard]] int table_count() const { return kClasses - __builtin_popcount(static_cast<unsigned>(merge)); }
  [[nodiscard]] std::array<std::uint8_t, kClasses> table_of_class() const;
  // The table of each context level.
  [[nodiscard]] std::array<std::uint8_t, kLevels> table_of_level() const;
};

void write_table_set(BitWriter& out, const TableSet& set);
// False on a field out of range; the reader's ok() tells about running out of bytes.
[[nodiscard]] bool read_table_set(BitReader& in, TableSet& set);

// Encoder side: tables chosen for counts, with the bits they cost (head and tokens, not raw bits).
struct TableChoice {
  double bits = 0;
  TableCode code;
};
struct SetChoice {
  double bits = 0;
  TableSet set;
};

// The cheaper of the table made from the counts and the presets near their mean (all presets if `every`).
// Counts from `end` on are zero.
[[nodiscard]] TableChoice choose_table(const TokenCounts& counts, bool every_preset, int end = kTokenCount);
// Bits of a table set with one table per class at this base (the quick estimate for choosing predictors).
[[nodiscard]] double class_tables_bits(const LevelCounts& counts, int base);
// The best merge pattern at this base; `thorough` also tries the bases next to it and every preset.
[[nodiscard]] SetChoice choose_table_set(const LevelCounts& counts, int base, bool thorough);
// The base that centres the classes on the median level of the counts.
[[nodiscard]] int base_of(const LevelCounts& counts);

}  // namespace quorvel::sequence
