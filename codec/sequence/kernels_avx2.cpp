// codec/sequence/kernels_avx2.cpp: the AVX2 kernels of the sequence coder (only these functions use AVX2),
// built for x86-64 only.
#include "rimble/arch.hpp"

#if RIMBLE_ARCH(X86_64)

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>

#include "codec/sequence/kernels.hpp"
#include "codec/sequence/predictors.hpp"
#include "codec/sequence/token_tables.hpp"
#include "codec/sequence/tokens.hpp"

namespace quorvel::sequence {

namespace {

// One round of 8 tokens: raw bits from the lanes' positions (the prefix sum of their counts), as
// residuals. Values of more than 25 raw bits (which a 4-byte gather cannot hold after a 7-bit shift)
// are read one by one.
[[gnu::target("avx2,fma")]] __m256i read_round(const std::uint8_t* tokens, const std::uint8_t* raw,
                                               std::uint64_t& position) {
  const __m256i t = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(tokens)));
  const __m256i big = _mm256_cmpgt_epi32(t, _mm256_set1_epi32(kDirectTokens - 1));
  const __m256i bits =
      _mm256_and_si256(big, _mm256_add_epi32(_mm256_srai_epi32(_mm256_sub_epi32(t, _mm256_set1_epi32(16)), 1),
                                             _mm256_set1_epi32(3)));
  if (_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(bits, _mm256_set1_epi32(25))))) {
    alignas(32) std::int32_t out[8];
    for (int l = 0; l < 8; ++l) {
      const int n = kTokenTable.raw_bits[tokens[l]];
      std::uint64_t window;
      __builtin_memcpy(&window, raw + (position >> 3), 8);
      out[l] = unzigzag(kTokenTable.top[tokens[l]] |
                        static_cast<std::uint32_t>((window >> (position & 7)) & ((std::uint64_t{1} << n) - 1)));
      position += static_cast<std::uint64_t>(n);
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(out));
  }
  const __m256i one = _mm256_set1_epi32(1);
  if (_mm256_testz_si256(big, big)) {  // no raw bits in the round (common at coarse steps): no gather
    return _mm256_xor_si256(_mm256_srli_epi32(t, 1), _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_and_si256(t, one)));
  }
  const __m256i top = _mm256_blendv_epi8(t, _mm256_sllv_epi32(_mm256_or_si256(_mm256_set1_epi32(2), _mm256_and_si256(t, one)), bits), big);
  // Exclusive prefix sum of the bit counts over the lanes.
  __m256i sum = _mm256_add_epi32(bits, _mm256_slli_si256(bits, 4));
  sum = _mm256_add_epi32(sum, _mm256_slli_si256(sum, 8));
  sum = _mm256_add_epi32(sum, _mm256_blend_epi32(_mm256_setzero_si256(), _mm256_permutevar8x32_epi32(sum, _mm256_set1_epi32(3)), 0xF0));
  const __m256i at = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(position)), _mm256_sub_epi32(sum, bits));
  position += static_cast<std::uint32_t>(_mm256_extract_epi32(sum, 7));
  const __m256i window = _mm256_i32gather_epi32(reinterpret_cast<const int*>(raw), _mm256_srli_epi32(at, 3), 1);
  const __m256i low = _mm256_and_si256(_mm256_srlv_epi32(window, _mm256_and_si256(at, _mm256_set1_epi32(7))),
                                       _mm256_sub_epi32(_mm256_sllv_epi32(one, bits), one));
  const __m256i u = _mm256_or_si256(top, low);
  return _mm256_xor_si256(_mm256_srli_epi32(u, 1), _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_and_si256(u, one)));
}

// Rows (rounds) to columns (lanes).
[[gnu::target("avx2,fma")]] void transpose(__m256i (&r)[8]) {
  __m256i t[8], u[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm256_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm256_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
  }
  for (int i = 0; i < 2; ++i) {
    u[4 * i] = _mm256_unpacklo_epi64(t[4 * i], t[4 * i + 2]);
    u[4 * i + 1] = _mm256_unpackhi_epi64(t[4 * i], t[4 * i + 2]);
    u[4 * i + 2] = _mm256_unpacklo_epi64(t[4 * i + 1], t[4 * i + 3]);
    u[4 * i + 3] = _mm256_unpackhi_epi64(t[4 * i + 1], t[4 * i + 3]);
  }
  for (int i = 0; i < 4; ++i) {
    r[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
    r[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
  }
}

}  // namespace

[[gnu::target("avx2,fma")]] std::size_t read_rounds_avx2(const std::uint8_t* tokens, std::size_t from, std::size_t to,
                                                         std::size_t length, const std::uint8_t* raw,
                                                         std::uint64_t& position, std::uint64_t limit,
                                                         std::int32_t* residuals) {
  std::size_t k = from;
  for (; k + 8 <= to && position <= limit; k += 8) {
    __m256i rows[8];
    for (std::size_t j = 0; j < 8; ++j) rows[j] = read_round(tokens + (k + j) * 8, raw, position);
    transpose(rows);
    for (std::size_t l = 0; l < 8; ++l)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(residuals + l * length + k), rows[l]);
  }
  return k;
}

namespace {

// Per set of lanes that give a word (bit l for lane l): the byte shuffle that moves their low words, in lane
// order, to the top of the eight, where the scalar encoder would have put them below words[next].
struct GivenWords {
  std::array<std::array<std::uint8_t, 16>, 256> shuffle{};
  constexpr GivenWords() {
    for (unsigned give = 0; give < 256; ++give) {
      shuffle[give].fill(0x80);
      auto slot = static_cast<std::size_t>(8 - std::popcount(give));
      for (std::uint8_t lane = 0; lane < 8; ++lane) {
        if ((give >> lane & 1) == 0) continue;
        shuffle[give][2 * slot] = static_cast<std::uint8_t>(2 * lane);
        shuffle[give][2 * slot + 1] = static_cast<std::uint8_t>(2 * lane + 1);
        ++slot;
      }
    }
  }
};
alignas(16) constexpr GivenWords kGivenWords{};

// x + start + q * (kProbTotal - frequency) per 32-bit lane, with q = (x + (x * reciprocal >> 32)) >> shift:
// the quotient x / frequency. Both steps run in 64-bit halves (the sum takes 33 bits, and the 32-bit
// multiply waits twice as long), joined at the end; the result is below 2^32.
[[gnu::target("avx2,fma")]] __m256i push(__m256i x, __m256i start, __m256i complement, __m256i reciprocal,
                                         __m256i shift) {
  const __m256i low = _mm256_set1_epi64x(0xFFFFFFFF);
  const __m256i odd_x = _mm256_srli_epi64(x, 32);
  const __m256i even = _mm256_srlv_epi64(
      _mm256_add_epi64(_mm256_and_si256(x, low), _mm256_srli_epi64(_mm256_mul_epu32(x, reciprocal), 32)),
      _mm256_and_si256(shift, low));
  const __m256i odd = _mm256_srlv_epi64(
      _mm256_add_epi64(odd_x, _mm256_srli_epi64(_mm256_mul_epu32(odd_x, _mm256_srli_epi64(reciprocal, 32)), 32)),
      _mm256_srli_epi64(shift, 32));
  const __m256i products = _mm256_blend_epi32(
      _mm256_mul_epu32(even, complement), _mm256_slli_epi64(_mm256_mul_epu32(odd, _mm256_srli_epi64(complement, 32)), 32),
      0xAA);
  return _mm256_add_epi32(_mm256_add_epi32(x, start), products);
}

// The first entry of the table of the token after each of t (8 tokens, one per 32-bit lane): its level is
// the bit length of t below 16 and (t >> 1) - 3 above; its class is the level less the base, clipped.
[[gnu::target("avx2,fma")]] __m256i table_after(__m256i t, const RansGatherTables& tables) {
  const __m256i short_length = _mm256_setr_epi8(0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4,
                                                0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4);
  const __m256i level = _mm256_blendv_epi8(_mm256_shuffle_epi8(short_length, t),
                                           _mm256_sub_epi32(_mm256_srli_epi32(t, 1), _mm256_set1_epi32(3)),
                                           _mm256_cmpgt_epi32(t, _mm256_set1_epi32(kDirectTokens - 1)));
  const __m256i c = _mm256_min_epi32(_mm256_max_epi32(_mm256_sub_epi32(level, _mm256_set1_epi32(tables.base)),
                                                      _mm256_setzero_si256()), _mm256_set1_epi32(kClasses - 1));
  return _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables.first_of_class.data())), c);
}

// One round: pushes each lane's token (its table entry given) onto its state.
[[gnu::target("avx2,fma")]] __m256i encode_round(__m256i x, __m256i entry, const RansGatherTables& tables,
                                                 std::uint16_t* words, std::size_t& next) {
  const __m256i fields = _mm256_i32gather_epi32(reinterpret_cast<const int*>(tables.fields.data()), entry, 4);
  const __m256i reciprocal = _mm256_i32gather_epi32(reinterpret_cast<const int*>(tables.reciprocal.data()), entry, 4);
  const __m256i frequency = _mm256_and_si256(fields, _mm256_set1_epi32(0xFFF));
  // A lane whose state exceeds f * 2^21 - 1 gives its low word first.
  const __m256i limit = _mm256_add_epi32(_mm256_slli_epi32(frequency, 32 - kProbBits), _mm256_set1_epi32(-1));
  const __m256i keep = _mm256_cmpeq_epi32(_mm256_max_epu32(x, limit), limit);
  const unsigned give = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(keep))) & 0xFF;
  const __m256i low = _mm256_and_si256(x, _mm256_set1_epi32(0xFFFF));
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(low, low), 0x08);
  const __m128i given = _mm_shuffle_epi8(_mm256_castsi256_si128(packed),
                                         _mm_load_si128(reinterpret_cast<const __m128i*>(kGivenWords.shuffle[give].data())));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(words + next - 8), given);
  next -= static_cast<std::size_t>(std::popcount(give));
  x = _mm256_blendv_epi8(_mm256_srli_epi32(x, 16), x, keep);
  const __m256i start = _mm256_and_si256(_mm256_srli_epi32(fields, 12), _mm256_set1_epi32(0xFFF));
  return push(x, start, _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(kProbTotal)), frequency), reciprocal,
              _mm256_srli_epi32(fields, 24));
}

// Eight rounds at a time: each lane's eight tokens and the ones before them, their entries, turned into
// rounds; the streams' rounds in turn, their chains side by side.
template <std::size_t N>
[[gnu::target("avx2,fma")]] void encode_rounds_of(RansEncodeLanes* lanes, std::size_t from) {
  // Everything the rounds carry lives in locals: the word stores could alias any field.
  __m256i x[N];
  std::size_t next[N], k[N];
  for (std::size_t i = 0; i < N; ++i) {
    x[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[i].state));
    next[i] = lanes[i].next, k[i] = lanes[i].round;
  }
  const auto rounds_left = [&] {
    bool left = true;
    for (std::size_t i = 0; i < N; ++i) left &= k[i] >= from + 8;
    return left;
  };
  while (rounds_left()) {
    __m256i entry[N][8];
    for (std::size_t i = 0; i < N; ++i) {
      for (std::size_t l = 0; l < 8; ++l) {
        const std::uint8_t* lane = lanes[i].tokens + l * lanes[i].length + k[i] - 8;
        const __m256i t = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(lane)));
        const __m256i before = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(lane - 1)));
        entry[i][l] = _mm256_add_epi32(table_after(before, *lanes[i].tables), t);
      }
      transpose(entry[i]);
    }
    for (std::size_t j = 8; j-- > 0;)
#pragma GCC unroll 2
      for (std::size_t i = 0; i < N; ++i) x[i] = encode_round(x[i], entry[i][j], *lanes[i].tables, lanes[i].words, next[i]);
    for (std::size_t i = 0; i < N; ++i) k[i] -= 8;
  }
  for (std::size_t i = 0; i < N; ++i) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes[i].state), x[i]);
    lanes[i].next = next[i], lanes[i].round = k[i];
  }
}

}  // namespace

void rans_encode_rounds_avx2(RansEncodeLanes* lanes, std::size_t streams, std::size_t from) {
  (streams == 1 ? encode_rounds_of<1> : encode_rounds_of<2>)(lanes, from);
}

namespace {

// Per set of lanes that take a word (bit l for lane l): for each lane, how many lanes below it take one,
// which is the place of its word among the next ones.
struct TakenWords {
  std::array<std::array<std::uint8_t, 8>, 256> place{};
  constexpr TakenWords() {
    for (unsigned taken = 0; taken < 256; ++taken) {
      std::uint8_t below = 0;
      for (unsigned lane = 0; lane < 8; ++lane) {
        place[taken][lane] = below;
        below = static_cast<std::uint8_t>(below + (taken >> lane & 1));
      }
    }
  }
};
constexpr TakenWords kTakenWords{};

template <std::size_t N>
[[gnu::target("avx2,fma")]] std::size_t decode_rounds_of(RansLanes* lanes, std::size_t from, std::size_t to) {
  const __m256i first_bytes = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                               0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  // Everything the rounds carry lives in locals: the token stores could alias any field.
  __m256i x[N], first[N];
  std::size_t next[N], count[N];
  const std::uint8_t* words[N];
  std::uint8_t* tokens[N];
  const std::uint32_t* entries[N];
  for (std::size_t i = 0; i < N; ++i) {
    x[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[i].state));
    first[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[i].table));
    next[i] = lanes[i].next, count[i] = lanes[i].count;
    words[i] = lanes[i].words, tokens[i] = lanes[i].tokens, entries[i] = lanes[i].entries;
  }
  const auto words_left = [&] {
    bool left = true;
    for (std::size_t i = 0; i < N; ++i) left &= next[i] + 8 <= count[i];
    return left;
  };
  std::size_t k = from;
  for (; k < to && words_left(); ++k) {
#pragma GCC unroll 4
    for (std::size_t i = 0; i < N; ++i) {
      const __m256i entry = _mm256_i32gather_epi32(
          reinterpret_cast<const int*>(entries[i]),
          _mm256_add_epi32(first[i], _mm256_and_si256(x[i], _mm256_set1_epi32(static_cast<int>(kProbTotal - 1)))), 4);
      const __m256i decoded =
          _mm256_add_epi32(_mm256_mullo_epi32(_mm256_and_si256(_mm256_srli_epi32(entry, 11), _mm256_set1_epi32(0xFFF)),
                                              _mm256_srli_epi32(x[i], kProbBits)),
                           _mm256_and_si256(entry, _mm256_set1_epi32(0x7FF)));
      // Lanes whose state fell below 2^16 take the next words, in lane order.
      const __m256i take = _mm256_cmpeq_epi32(_mm256_min_epu32(decoded, _mm256_set1_epi32(0xFFFF)), decoded);
      const auto taken = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(take)));
      const __m256i word = _mm256_permutevar8x32_epi32(
          _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words[i] + 2 * next[i]))),
          _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(kTakenWords.place[taken].data()))));
      x[i] = _mm256_blendv_epi8(decoded, _mm256_or_si256(_mm256_slli_epi32(decoded, 16), word), take);
      next[i] += static_cast<std::size_t>(std::popcount(taken));
      first[i] = _mm256_slli_epi32(_mm256_srli_epi32(entry, 30), kProbBits);
      const __m256i token =
          _mm256_shuffle_epi8(_mm256_and_si256(_mm256_srli_epi32(entry, 23), _mm256_set1_epi32(0x7F)), first_bytes);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(tokens[i] + 8 * k),
                       _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(token, _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0))));
    }
  }
  for (std::size_t i = 0; i < N; ++i) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes[i].state), x[i]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes[i].table), first[i]);
    lanes[i].next = next[i];
  }
  return k;
}

}  // namespace

std::size_t rans_decode_rounds_avx2(RansLanes* lanes, std::size_t streams, std::size_t from, std::size_t to) {
  switch (streams) {
    case 1: return decode_rounds_of<1>(lanes, from, to);
    case 2: return decode_rounds_of<2>(lanes, from, to);
    case 3: return decode_rounds_of<3>(lanes, from, to);
    default: return decode_rounds_of<4>(lanes, from, to);
  }
}

namespace {

// L - 5 for the bit length L of each u >= 16, from the exponent of w = u >> 4 as a float, with w's bit below
// its leading one cleared first so that rounding cannot carry into the exponent (-127 for u < 16).
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i length_less_5(__m256i u) {
  const __m256i w = _mm256_srli_epi32(u, 4);
  const __m256i exact = _mm256_andnot_si256(_mm256_srli_epi32(w, 1), w);
  return _mm256_sub_epi32(_mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(exact)), 23), _mm256_set1_epi32(127));
}

[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i zigzag(__m256i r) {
  return _mm256_xor_si256(_mm256_slli_epi32(r, 1), _mm256_srai_epi32(r, 31));
}

// Eight tokens at a time: 16 + 2 (L - 5) + the bit of u below its leading one, for u >= 16.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i tokens_of(__m256i r, __m256i& seen) {
  const __m256i u = zigzag(r);
  seen = _mm256_or_si256(seen, u);
  const __m256i w = _mm256_srli_epi32(u, 4);
  const __m256i e = length_less_5(u);
  const __m256i below = _mm256_and_si256(_mm256_srlv_epi32(u, _mm256_add_epi32(e, _mm256_set1_epi32(3))), _mm256_set1_epi32(1));
  const __m256i coarse = _mm256_add_epi32(_mm256_add_epi32(_mm256_set1_epi32(16), _mm256_add_epi32(e, e)), below);
  return _mm256_blendv_epi8(coarse, u, _mm256_cmpeq_epi32(w, _mm256_setzero_si256()));
}

// One round: the raw bits of the 8 lanes' residuals (L - 2 of a value of bit length L >= 5), in lane
// order. Each put waits for the one before, so they go in as few as fit the writer's 56 bits: all eight
// at once, by fours, or by twos; a round with a value of more than 28 raw bits puts them one by one.
[[gnu::target("avx2,fma")]] void write_round(__m256i r, RawBitWriter& out) {
  const __m256i u = zigzag(r);
  const __m256i bits = _mm256_max_epi32(_mm256_add_epi32(length_less_5(u), _mm256_set1_epi32(3)), _mm256_setzero_si256());
  if (_mm256_testz_si256(bits, bits)) return;
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i value = _mm256_and_si256(u, _mm256_sub_epi32(_mm256_sllv_epi32(one, bits), one));
  alignas(32) std::uint64_t piece[4], count[4];
  if (_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(bits, _mm256_set1_epi32(28))))) {
    alignas(32) std::uint32_t lane_value[8], lane_bits[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane_value), value);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane_bits), bits);
    for (int l = 0; l < 8; ++l) out.put(lane_value[l], static_cast<int>(lane_bits[l]));
    return;
  }
  const __m256i low = _mm256_set1_epi64x(0xFFFFFFFF);
  const __m256i even_bits = _mm256_and_si256(bits, low);
  const __m256i pairs = _mm256_or_si256(_mm256_and_si256(value, low), _mm256_sllv_epi64(_mm256_srli_epi64(value, 32), even_bits));
  const __m256i pair_bits = _mm256_add_epi64(even_bits, _mm256_srli_epi64(bits, 32));
  // Pairs 0 and 1, and 2 and 3, joined in 64-bit lanes 0 and 2.
  const __m256i fours = _mm256_or_si256(pairs, _mm256_sllv_epi64(_mm256_permute4x64_epi64(pairs, 0xF5), pair_bits));
  const __m256i four_bits = _mm256_add_epi64(pair_bits, _mm256_permute4x64_epi64(pair_bits, 0xF5));
  _mm256_store_si256(reinterpret_cast<__m256i*>(count), four_bits);
  if (count[0] + count[2] <= 56) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(piece), fours);
    out.put(piece[0] | piece[2] << count[0], static_cast<int>(count[0] + count[2]));
  } else if (count[0] <= 56 && count[2] <= 56) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(piece), fours);
    out.put(piece[0], static_cast<int>(count[0]));
    out.put(piece[2], static_cast<int>(count[2]));
  } else {
    _mm256_store_si256(reinterpret_cast<__m256i*>(piece), pairs);
    _mm256_store_si256(reinterpret_cast<__m256i*>(count), pair_bits);
    for (int j = 0; j < 4; ++j) out.put(piece[j], static_cast<int>(count[j]));
  }
}

}  // namespace

[[gnu::target("avx2,fma")]] std::size_t write_rounds_avx2(const std::int32_t* residuals, std::size_t from, std::size_t to,
                                                          std::size_t length, RawBitWriter& out) {
  std::size_t k = from;
  for (; k + 8 <= to; k += 8) {
    __m256i rounds[8];
    for (std::size_t l = 0; l < 8; ++l)
      rounds[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(residuals + l * length + k));
    transpose(rounds);
    for (const __m256i& round : rounds) write_round(round, out);
  }
  return k;
}

[[gnu::target("avx2,fma")]] std::uint32_t tokenize_avx2(const std::int32_t* r, std::size_t n, std::uint8_t* tokens) {
  __m256i seen = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i t[4];
    for (std::size_t j = 0; j < 4; ++j)
      t[j] = tokens_of(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + i + 8 * j)), seen);
    // Packing works within 128-bit halves: the groups of four come out as 0 2 4 6 1 3 5 7 and go back in order.
    const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(t[0], t[1]), _mm256_packus_epi32(t[2], t[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(tokens + i),
                        _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
  }
  alignas(32) std::uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), seen);
  std::uint32_t out = tokenize(r + i, n - i, tokens + i);
  for (const std::uint32_t lane : lanes) out |= lane;
  return out;
}

// Four accumulators per lag: the additions of one would wait for each other.
[[gnu::target("avx2,fma")]] void autocorrelation_avx2(const double* z, std::size_t n, int order, double* ac) {
  for (int k = 0; k <= order; ++k) {
    const auto lag = static_cast<std::size_t>(k);
    __m256d sum[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
    std::size_t i = lag;
    for (; i + 16 <= n; i += 16)
      for (std::size_t j = 0; j < 4; ++j)
        sum[j] = _mm256_fmadd_pd(_mm256_loadu_pd(z + i + 4 * j), _mm256_loadu_pd(z + i + 4 * j - lag), sum[j]);
    double tail = 0;
    for (; i < n; ++i) tail += z[i] * z[i - lag];
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, _mm256_add_pd(_mm256_add_pd(sum[0], sum[1]), _mm256_add_pd(sum[2], sum[3])));
    ac[k] = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + tail;
  }
}

[[gnu::target("avx2,fma")]] double exact_dot_avx2(const double* x, const double* y, std::size_t n) {
  __m256d sum[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16)
    for (std::size_t j = 0; j < 4; ++j)
      sum[j] = _mm256_fmadd_pd(_mm256_loadu_pd(x + i + 4 * j), _mm256_loadu_pd(y + i + 4 * j), sum[j]);
  double tail = 0;
  for (; i < n; ++i) tail += x[i] * y[i];
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, _mm256_add_pd(_mm256_add_pd(sum[0], sum[1]), _mm256_add_pd(sum[2], sum[3])));
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + tail;
}

// Four values at a time, each operation as the portable loop does it (no fused multiply-adds, which would
// round differently). The shifted difference is exact in doubles: (q - first) has at most 33 bits, and
// its arithmetic shift is the floor of its product with 2^-scale.
[[gnu::target("avx2")]] void welch_window_avx2(const std::int32_t* q, std::size_t n, std::int32_t first, int scale,
                                              double* z) {
  const double half = 0.5 * double(n + 1);
  const double* table = n == kTaperLength ? whole_segment_taper() : nullptr;
  const __m256d halves = _mm256_set1_pd(half), one = _mm256_set1_pd(1.0), four = _mm256_set1_pd(4.0);
  const __m256d origin = _mm256_set1_pd(double(first)), unit = _mm256_set1_pd(std::ldexp(1.0, -scale));
  __m256d at = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4, at = _mm256_add_pd(at, four)) {
    __m256d taper;
    if (table) {
      taper = _mm256_loadu_pd(table + i);
    } else {
      const __m256d from_centre = _mm256_div_pd(_mm256_sub_pd(_mm256_add_pd(at, one), halves), halves);
      taper = _mm256_sub_pd(one, _mm256_mul_pd(from_centre, from_centre));
    }
    const __m256d codes = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i)));
    const __m256d value = _mm256_floor_pd(_mm256_mul_pd(_mm256_sub_pd(codes, origin), unit));
    _mm256_storeu_pd(z + i, _mm256_round_pd(_mm256_mul_pd(value, taper), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  }
  for (; i < n; ++i) z[i] = welch_value(q, i, table ? table[i] : welch_taper(i, half), first, scale);
}

[[gnu::target("avx2")]] void extent_avx2(const std::int32_t* q, std::size_t n, std::int32_t& low, std::int32_t& high) {
  __m256i lows = _mm256_set1_epi32(q[0]), highs = lows;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
    lows = _mm256_min_epi32(lows, v);
    highs = _mm256_max_epi32(highs, v);
  }
  alignas(32) std::array<std::int32_t, 8> l, h;
  _mm256_store_si256(reinterpret_cast<__m256i*>(l.data()), lows);
  _mm256_store_si256(reinterpret_cast<__m256i*>(h.data()), highs);
  low = std::ranges::min(l), high = std::ranges::max(h);
  for (; i < n; ++i) low = std::min(low, q[i]), high = std::max(high, q[i]);
}

namespace {

// Four predictions at a time: 64-bit products of the codes (sign-extended) and the coefficients, summed,
// shifted right; the low 32 bits of a logical shift by at most 15 are those of the arithmetic one.
[[gnu::target("avx2,fma")]] void lpc_residuals_wide(const std::int32_t* x, std::size_t& i, std::size_t to,
                                                    const std::int32_t* c, int order, int shift, std::int32_t* r) {
  const __m128i count = _mm_cvtsi32_si128(shift);
  const __m256i low_dwords = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  for (; i + 4 <= to; i += 4, r += 4) {
    __m256i sum = _mm256_setzero_si256();
    for (int j = 0; j < order; ++j) {
      const __m256i history = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i - 1 - j)));
      sum = _mm256_add_epi64(sum, _mm256_mul_epi32(history, _mm256_set1_epi64x(c[j])));
    }
    const __m256i shifted = _mm256_permutevar8x32_epi32(_mm256_srl_epi64(sum, count), low_dwords);
    const __m128i actual = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(r), _mm_sub_epi32(actual, _mm256_castsi256_si128(shifted)));
  }
}

// Eight predictions at a time in 32-bit lanes, for codes small enough that no partial sum can leave int32
// (every sum is then the exact one, and so is its shift). Order 0: any order, known only at run time.
template <int Order>
[[gnu::target("avx2,fma")]] void lpc_residuals_narrow(const std::int32_t* x, std::size_t& i, std::size_t to,
                                                      const std::int32_t* c, int order, int shift, std::int32_t* r) {
  const int taps = Order > 0 ? Order : order;
  const __m128i count = _mm_cvtsi32_si128(shift);
  __m256i coefficient[Order > 0 ? Order : kMaxLpcOrder];
  for (int j = 0; j < taps; ++j) coefficient[j] = _mm256_set1_epi32(c[j]);
  for (; i + 8 <= to; i += 8, r += 8) {
    __m256i sum = _mm256_setzero_si256();
    for (int j = 0; j < taps; ++j) {
      const __m256i history = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i - 1 - j));
      sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(history, coefficient[j]));
    }
    const __m256i actual = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(r), _mm256_sub_epi32(actual, _mm256_sra_epi32(sum, count)));
  }
}

// The largest magnitude in x[from, to), as unsigned (INT32_MIN counts 2^31).
[[gnu::target("avx2,fma")]] std::uint32_t largest_magnitude(const std::int32_t* x, std::size_t from, std::size_t to) {
  __m256i most = _mm256_setzero_si256();
  std::size_t i = from;
  for (; i + 8 <= to; i += 8)
    most = _mm256_max_epu32(most, _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i))));
  alignas(32) std::uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), most);
  std::uint32_t out = 0;
  for (const std::uint32_t lane : lanes) out = std::max(out, lane);
  for (; i < to; ++i) out = std::max(out, x[i] < 0 ? 0u - static_cast<std::uint32_t>(x[i]) : static_cast<std::uint32_t>(x[i]));
  return out;
}

}  // namespace

// Sums of 32-bit products where the coefficients' magnitudes times the codes' cannot reach 2^31, which is
// the usual case (codes of a few thousand steps), else 64-bit ones.
[[gnu::target("avx2,fma")]] void lpc_residuals_avx2(const std::int32_t* x, std::size_t from, std::size_t to,
                                                    const std::int32_t* c, int order, int shift, std::int32_t* r) {
  std::uint64_t weight = 0;
  for (int j = 0; j < order; ++j) weight += static_cast<std::uint64_t>(c[j] < 0 ? -std::int64_t{c[j]} : c[j]);
  std::size_t i = from;
  const auto history = static_cast<std::size_t>(order);
  if (from < to && weight * largest_magnitude(x, from - history, to) < (std::uint64_t{1} << 31)) {
    switch (order) {
      case 2: lpc_residuals_narrow<2>(x, i, to, c, order, shift, r); break;
      case 4: lpc_residuals_narrow<4>(x, i, to, c, order, shift, r); break;
      case 8: lpc_residuals_narrow<8>(x, i, to, c, order, shift, r); break;
      case 16: lpc_residuals_narrow<16>(x, i, to, c, order, shift, r); break;
      default: lpc_residuals_narrow<0>(x, i, to, c, order, shift, r); break;
    }
  } else {
    lpc_residuals_wide(x, i, to, c, order, shift, r);
  }
  lpc_residuals(x, i, to, c, order, shift, r + (i - from));
}

// Each vector's own running sums (two shifted adds per half, then the low half's total into the high
// one) wait for nothing; only the carry into the next vector does, one add per eight values.
[[gnu::target("avx2,fma")]] void running_sum_avx2(const std::int32_t* d, std::size_t n, std::int32_t previous,
                                                  std::int32_t* x) {
  const __m256i last = _mm256_set1_epi32(7), low_half_last = _mm256_setr_epi32(0, 0, 0, 0, 3, 3, 3, 3);
  const __m256i high_half = _mm256_setr_epi32(0, 0, 0, 0, -1, -1, -1, -1);
  __m256i carry = _mm256_set1_epi32(previous);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
    v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
    v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
    v = _mm256_add_epi32(v, _mm256_and_si256(_mm256_permutevar8x32_epi32(v, low_half_last), high_half));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + i), _mm256_add_epi32(v, carry));
    carry = _mm256_add_epi32(carry, _mm256_permutevar8x32_epi32(v, last));
  }
  running_sum(d + i, n - i, static_cast<std::int32_t>(_mm256_cvtsi256_si32(carry)), x + i);
}

// A 4 x 4 transpose of 32-bit values: rows to columns and back.
[[gnu::target("avx2,fma")]] inline void transpose4(__m128i (&v)[4]) {
  const __m128i a = _mm_unpacklo_epi32(v[0], v[1]), b = _mm_unpacklo_epi32(v[2], v[3]);
  const __m128i c = _mm_unpackhi_epi32(v[0], v[1]), d = _mm_unpackhi_epi32(v[2], v[3]);
  v[0] = _mm_unpacklo_epi64(a, b), v[1] = _mm_unpackhi_epi64(a, b), v[2] = _mm_unpacklo_epi64(c, d), v[3] = _mm_unpackhi_epi64(c, d);
}

// One round of the four lanes: their codes from their residuals (low halves), the history moved on.
constexpr std::size_t kLpcTaps = 8;
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m128i lpc_round(const __m256i (&c)[kLpcTaps],
                                                                          __m256i (&h)[kLpcTaps], __m256i shift,
                                                                          __m128i residuals) {
  __m256i older[kLpcTaps / 2];
#pragma GCC unroll 4
  for (std::size_t j = 0; j < kLpcTaps / 2; ++j)
    older[j] = _mm256_add_epi64(j == 0 ? _mm256_setzero_si256() : _mm256_mul_epi32(c[2 * j], h[2 * j]),
                                _mm256_mul_epi32(c[2 * j + 1], h[2 * j + 1]));
  const __m256i sum = _mm256_add_epi64(_mm256_add_epi64(older[0], older[1]), _mm256_add_epi64(older[2], older[3]));
  const __m256i prediction = _mm256_srlv_epi64(_mm256_add_epi64(sum, _mm256_mul_epi32(c[0], h[0])), shift);
  const __m256i value = _mm256_add_epi32(_mm256_cvtepi32_epi64(residuals), prediction);
  for (std::size_t j = kLpcTaps - 1; j > 0; --j) h[j] = h[j - 1];
  h[0] = value;
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(value, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
}

// Four lanes in the four 64-bit lanes of a register, each code in the low half of its lane. Products are
// exact signed 32 x 32 -> 64 bits; the low half of the logical shift of the sum (shift <= 15) is the low
// half of its arithmetic shift. The older codes' products are summed first, the newest one's last: the
// chain from one code to the next is one multiply, two adds and a shift. Residuals come in and codes go
// out four rounds at a time, transposed. Absent lanes run on lane 0's residuals and keep nothing.
[[gnu::target("avx2,fma")]] void lpc_restore_lanes_avx2(std::span<const LpcLane> lanes, std::size_t rounds) {
  constexpr std::size_t kTaps = kLpcTaps;
  const std::int32_t* r[kLpcLanes];
  alignas(32) std::int64_t shifts[kLpcLanes] = {}, coefficient[kTaps][kLpcLanes] = {}, code[kTaps][kLpcLanes] = {};
  for (std::size_t l = 0; l < kLpcLanes; ++l) {
    const LpcLane& lane = lanes[l < lanes.size() ? l : 0];
    r[l] = lane.r;
    if (l >= lanes.size()) continue;
    shifts[l] = lane.shift;
    for (std::size_t j = 0; j < kTaps; ++j) coefficient[j][l] = lane.c[j], code[j][l] = lane.x[-1 - static_cast<std::ptrdiff_t>(j)];
  }
  __m256i c[kTaps], h[kTaps];
  for (std::size_t j = 0; j < kTaps; ++j) {
    c[j] = _mm256_load_si256(reinterpret_cast<const __m256i*>(coefficient[j]));
    h[j] = _mm256_load_si256(reinterpret_cast<const __m256i*>(code[j]));
  }
  const __m256i shift = _mm256_load_si256(reinterpret_cast<const __m256i*>(shifts));
  std::size_t i = 0;
  for (; i + 4 <= rounds; i += 4) {
    __m128i v[4];
    for (std::size_t l = 0; l < kLpcLanes; ++l) v[l] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r[l] + i));
    transpose4(v);
    for (__m128i& row : v) row = lpc_round(c, h, shift, row);
    transpose4(v);
    for (std::size_t l = 0; l < lanes.size(); ++l) _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes[l].x + i), v[l]);
  }
  for (; i < rounds; ++i) {
    alignas(16) std::int32_t out[kLpcLanes];
    _mm_store_si128(reinterpret_cast<__m128i*>(out), lpc_round(c, h, shift, _mm_setr_epi32(r[0][i], r[1][i], r[2][i], r[3][i])));
    for (std::size_t l = 0; l < lanes.size(); ++l) lanes[l].x[i] = out[l];
  }
}

}  // namespace quorvel::sequence

#endif
