// The sequence coder: round trips of every kind of code sequence, the AVX2 kernels against the portable
// ones, table heads, and damaged or hostile blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codec/sequence/block.hpp"
#include "codec/sequence/coder.hpp"
#include "codec/sequence/kernels.hpp"
#include "codec/sequence/token_tables.hpp"
#include "rimble/arch.hpp"
#include "tier_cap.hpp"

namespace {

using quorvel::Effort;
using quorvel::SequenceCoding;

constexpr Effort kEfforts[] = {Effort::fast, Effort::default_, Effort::best};

// Whether the tier as capped runs other kernels than the portable ones.
bool vector_tier() {
  return &quorvel::sequence::kernels() != &quorvel::sequence::kernels_for(rimble::ProcessorTier::Portable);
}

// Sequences that stress each part: noise of a given bit width (predictions useless), random walks and
// waves (predictions good), constant runs, rare spikes, and int32 extremes whose residuals wrap.
std::vector<std::int32_t> codes_of(const std::string& kind, std::size_t n, int bits, std::mt19937& rng) {
  std::vector<std::int32_t> q(n);
  std::uniform_int_distribution<std::uint32_t> any;
  const std::uint32_t mask = bits >= 32 ? ~0u : (1u << bits) - 1;
  std::int64_t walk = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t noise = any(rng) & mask;
    if (kind == "noise") q[i] = static_cast<std::int32_t>(noise);
    if (kind == "walk") q[i] = static_cast<std::int32_t>(walk += static_cast<std::int32_t>(noise >> 1) - static_cast<std::int32_t>(mask >> 2));
    if (kind == "wave") q[i] = static_cast<std::int32_t>(std::lround(std::ldexp(std::sin(0.01 * double(i)), bits - 2)));
    if (kind == "constant") q[i] = -77;
    if (kind == "spikes") q[i] = i % 97 == 5 ? static_cast<std::int32_t>(any(rng)) : static_cast<std::int32_t>(noise & 3);
    if (kind == "extremes") q[i] = std::array{INT32_MIN, INT32_MAX, 0, -1}[any(rng) % 4];
  }
  return q;
}

std::vector<std::int32_t> round_trip(std::span<const std::int32_t> q, const SequenceCoding& coding) {
  const auto blocks = quorvel::encode_sequence(q, coding);
  EXPECT_TRUE(blocks.has_value());
  std::vector<std::span<const std::uint8_t>> spans(blocks->begin(), blocks->end());
  std::vector<std::int32_t> back(q.size(), 12345);
  const auto decoded = quorvel::decode_sequence(spans, back, coding);
  EXPECT_TRUE(decoded.has_value()) << (decoded ? "" : decoded.error().message());
  return back;
}

TEST(SequenceCoder, EverySequenceComesBackExactly) {
  std::mt19937 rng(20261208);
  for (const std::string kind : {"noise", "walk", "wave", "constant", "spikes", "extremes"}) {
    for (const int bits : {0, 1, 4, 13, 24, 32}) {
      if ((kind == "constant" || kind == "extremes") && bits != 0) continue;
      // Lengths at the edges of lanes (1024, 4096), segments (4096) and blocks (16384).
      for (const std::size_t n : {1u, 2u, 9u, 1023u, 1024u, 4095u, 4097u, 16384u * 2 + 1}) {
        const auto q = codes_of(kind, n, bits, rng);
        for (const Effort effort : kEfforts) {
          if (effort == Effort::best && n > 5000) continue;  // the slowest effort on the shorter ones
          SCOPED_TRACE(kind + " bits " + std::to_string(bits) + " n " + std::to_string(n) + " effort " +
                       std::to_string(static_cast<int>(effort)));
          EXPECT_EQ(round_trip(q, {.effort = effort}), q);
        }
      }
    }
  }
}

TEST(SequenceCoder, BlockLengthsAndThreadsGiveTheSameCodes) {
  std::mt19937 rng(7);
  const auto q = codes_of("walk", 3 * 4096 + 17, 9, rng);
  for (const std::size_t block : {1u, 64u, 4096u, 8192u, 65536u})
    for (const std::size_t threads : {1u, 2u, 0u}) {
      SCOPED_TRACE("block " + std::to_string(block) + " threads " + std::to_string(threads));
      EXPECT_EQ(round_trip(q, {.block_length = block, .threads = threads}), q);
    }
}

// Each predictor alone codes any block (identity too, where it looks dear), and a long sequence that
// learns its predictors from a few sampled blocks still codes blocks of another character between them.
TEST(SequenceCoder, AnyPredictorAloneAndLearnedSetsCodeEveryBlock) {
  std::mt19937 rng(3);
  for (const std::string kind : {"walk", "constant", "spikes", "extremes"}) {
    const auto q = codes_of(kind, 5000, 12, rng);
    for (const Effort effort : {Effort::fast, Effort::default_})
      for (std::size_t c = 0; c <= quorvel::sequence::kMaxCandidates; ++c) {
        SCOPED_TRACE(kind + " effort " + std::to_string(static_cast<int>(effort)) + " candidate " + std::to_string(c));
        std::vector<std::uint8_t> block;
        quorvel::sequence::encode_block(q, effort, block, quorvel::sequence::CandidateMask{1} << c % 32);
        std::vector<std::int32_t> back(q.size());
        ASSERT_TRUE(quorvel::sequence::decode_block(block, back));
        EXPECT_EQ(back, q);
      }
  }
  std::vector<std::int32_t> mixed;
  for (const std::string kind : {"wave", "noise", "constant", "extremes", "walk"}) {
    const auto part = codes_of(kind, 256 * 9 + 5, 20, rng);
    mixed.insert(mixed.end(), part.begin(), part.end());
  }
  for (const Effort effort : {Effort::fast, Effort::default_})
    EXPECT_EQ(round_trip(mixed, {.effort = effort, .block_length = 256, .threads = 2}), mixed);
}

// Blocks decoded side by side restore what each gives alone: one predictor in every segment of blocks of
// unequal lengths (shorter than an LPC lane's eight codes before it, one code past them, a segment and a
// bit), so that LPC and sign-LMS lanes run alone, together and with lanes past their end; codes of 7 and
// 20 bits keep the sign-LMS differences within 16 bits or take them past.
TEST(SequenceCoder, BlocksSideBySideRestoreEachPredictor) {
  namespace s = quorvel::sequence;
  std::mt19937 rng(17);
  for (const int bits : {7, 20}) {
    std::vector<std::vector<std::int32_t>> q;
    for (const std::size_t n : {5000u, 7u, 9u, 4096u + 300u, 2u * 4096u})
      q.push_back(codes_of(rng() % 2 ? "wave" : "walk", n, bits, rng));
    const std::vector<std::span<const std::int32_t>> spans(q.begin(), q.end());
    for (std::size_t c = 0; c < s::kMaxCandidates; ++c) {
      SCOPED_TRACE("bits " + std::to_string(bits) + " candidate " + std::to_string(c));
      std::vector<std::vector<std::uint8_t>> blocks(q.size());
      std::vector<std::vector<std::uint8_t>*> out;
      for (auto& block : blocks) out.push_back(&block);
      s::encode_blocks(spans, Effort::default_, out, s::CandidateMask{1} << c);
      std::vector<std::vector<std::int32_t>> back;
      for (const auto& codes : q) back.emplace_back(codes.size(), 12345);
      const std::vector<std::span<const std::uint8_t>> coded(blocks.begin(), blocks.end());
      const std::vector<std::span<std::int32_t>> into(back.begin(), back.end());
      ASSERT_TRUE(s::decode_blocks(coded, into));
      EXPECT_EQ(back, q);
    }
  }
}

// A lossless caller's default effort also tries the best effort's predictors, on every block (none learned
// from a sample): a long recording's blocks are each the block coded alone with them all, the predictors
// beyond the default effort's own win segments of a resonant recording (a few partials and a little noise,
// which a long LPC predicts far better than an order-8 one), which comes out smaller, and any sequence,
// extremes too, comes back exactly.
TEST(SequenceCoder, LosslessCodingTriesMorePredictors) {
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0.0, 2.0);
  std::vector<std::int32_t> partials(20 * 16384);
  for (std::size_t i = 0; i < partials.size(); ++i) {
    double v = noise(rng);
    for (int k = 1; k <= 7; ++k) v += 3000.0 / k * std::sin(0.013 * k * k * double(i) + k);
    partials[i] = static_cast<std::int32_t>(std::lround(v));
  }
  const auto bytes = [&](bool lossless) {
    const auto blocks = quorvel::encode_sequence(partials, {.lossless = lossless});  // outlives the loop
    std::size_t total = 0;
    for (const auto& block : *blocks) total += block.size();
    return total;
  };
  EXPECT_LT(bytes(true), bytes(false));
  EXPECT_EQ(round_trip(partials, {.lossless = true}), partials);
  // (the first block, white noise, is not among those a sample would take, and no predictor that wins on
  // the partials suits it)
  auto mixed = partials;
  const auto noise_block = codes_of("noise", 16384, 12, rng);
  std::ranges::copy(noise_block, mixed.begin());
  const auto blocks = quorvel::encode_sequence(mixed, {.lossless = true}).value();
  quorvel::sequence::CandidateWins wins{};
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    std::vector<std::uint8_t> alone;
    std::vector<std::uint8_t>* const out[] = {&alone};
    const auto codes = std::span<const std::int32_t>(mixed).subspan(b * 16384, 16384);
    quorvel::sequence::encode_blocks({&codes, 1}, Effort::default_, out, quorvel::sequence::kEveryCandidate, &wins, true);
    EXPECT_EQ(alone, blocks[b]) << "block " << b;
  }
  // (the default effort's own six predictors come first)
  EXPECT_GT(std::accumulate(wins.begin() + 6, wins.end(), 0u), 0u);
  for (const std::string kind : {"noise", "walk", "extremes"}) {
    const auto q = codes_of(kind, 2 * 16384 + 3, 16, rng);
    EXPECT_EQ(round_trip(q, {.lossless = true}), q) << kind;
  }
}

// A sample coded on its own (as the encoder measures a coding by it) and handed on gives the very blocks
// of coding the sequence in one go, on one thread or two; a sequence too short to be sampled has none.
TEST(SequenceCoder, AGivenSampleGivesTheSameBlocks) {
  std::mt19937 rng(5);
  std::vector<std::int32_t> q;
  for (const std::string kind : {"wave", "noise", "walk", "spikes"}) {
    const auto part = codes_of(kind, 256 * 5 + 3, 14, rng);
    q.insert(q.end(), part.begin(), part.end());
  }
  const std::size_t blocks = (q.size() + 255) / 256;
  EXPECT_TRUE(quorvel::sampled_blocks(15, Effort::default_).empty());
  EXPECT_TRUE(quorvel::sampled_blocks(blocks, Effort::best).empty());
  for (const Effort effort : {Effort::fast, Effort::default_})
    for (const std::size_t threads : {1u, 2u}) {
      const SequenceCoding coding{.effort = effort, .block_length = 256, .threads = threads};
      const auto which = quorvel::sampled_blocks(blocks, effort);
      ASSERT_EQ(which.size(), 4u);
      std::vector<std::int32_t> sampled;
      for (const std::size_t b : which) {
        const auto first = q.begin() + static_cast<std::ptrdiff_t>(b * 256);
        sampled.insert(sampled.end(), first, first + 256);
      }
      auto sample = quorvel::encode_sample(sampled, coding);
      ASSERT_TRUE(sample.has_value());
      const auto given = quorvel::encode_sequence(q, coding, &*sample);
      const auto whole = quorvel::encode_sequence(q, coding);
      ASSERT_TRUE(given.has_value() && whole.has_value());
      EXPECT_EQ(*given, *whole) << "effort " << static_cast<int>(effort) << " threads " << threads;
    }
}

// The cascade (a lossless caller's candidate) runs over a whole block: a segment that uses it after
// segments that did not makes the decoder catch it up over their codes. Audio-like segments (a resonance sweeping its pitch, driven by
// noise, which no one LPC of a segment follows) after a constant segment and around int32 extremes.
TEST(SequenceCoder, CascadeSegmentsAfterOthersComeBack) {
  std::mt19937 rng(21);
  std::vector<std::int32_t> q(4096, 5);
  double a = 0, b = 0;
  const auto sweep = [&](std::size_t n) {
    std::uniform_int_distribution<int> noise(-2000, 2000);
    for (std::size_t i = 0; i < n; ++i) {
      const double angle = 0.05 + 0.4 * std::sin(0.003 * double(q.size()));
      const double next = 2 * 0.97 * std::cos(angle) * a - 0.97 * 0.97 * b + noise(rng);
      b = a, a = next;
      q.push_back(static_cast<std::int32_t>(std::lround(next)));
    }
  };
  sweep(8192);
  const auto extremes = codes_of("extremes", 4096, 0, rng);
  q.insert(q.end(), extremes.begin(), extremes.end());
  sweep(4095);
  quorvel::sequence::CandidateWins wins{};
  std::vector<std::uint8_t> block;
  std::vector<std::uint8_t>* const out[] = {&block};
  const std::span<const std::int32_t> codes(q);
  quorvel::sequence::encode_blocks({&codes, 1}, Effort::default_, out, quorvel::sequence::kEveryCandidate, &wins,
                                   true);
  EXPECT_GE(wins[15], 1u) << "the cascade, the last lossless candidate, wins a sweeping segment";
  std::vector<std::int32_t> back(q.size());
  ASSERT_TRUE(quorvel::sequence::decode_block(block, back));
  EXPECT_EQ(back, q);
}

// The AVX2 kernels are exact twins of the portable ones: same bytes, same codes.
TEST(SequenceCoder, AvxAndPortableTiersWriteTheSameBytes) {
  if (!vector_tier()) GTEST_SKIP() << "no AVX2 here (or capped)";
  std::mt19937 rng(11);
  for (const std::string kind : {"walk", "wave", "noise", "spikes"}) {
    // (three whole blocks and a short one: blocks coded side by side, two of them through the vector rANS
    // encoder together, and one of four ways)
    const auto q = codes_of(kind, 3 * 16384 + 3616, kind == "noise" ? 28 : 12, rng);
    for (const Effort effort : {Effort::fast, Effort::default_}) {
      SCOPED_TRACE(kind + " effort " + std::to_string(static_cast<int>(effort)));
      const auto vector = quorvel::encode_sequence(q, {.effort = effort});
      std::vector<std::vector<std::uint8_t>> portable;
      {
        const quorvel_testing::ScopedTierCap cap(rimble::ProcessorTier::Portable);
        portable = quorvel::encode_sequence(q, {.effort = effort}).value();
        EXPECT_EQ(round_trip(q, {.effort = effort}), q);
      }
      EXPECT_EQ(vector.value(), portable);
    }
  }
}

TEST(SequenceCoder, AutocorrelationAndLpcKernelsMatchThePortableOnes) {
  if (!vector_tier()) GTEST_SKIP() << "no AVX2 here (or capped)";
  const auto& portable = quorvel::sequence::kernels_for(rimble::ProcessorTier::Portable);
  const auto& vector = quorvel::sequence::kernels();
  std::mt19937 rng(3);
  std::uniform_int_distribution<std::int32_t> small(-(1 << 20), 1 << 20), coefficient(-32768, 32767);
  for (const std::size_t n : {1u, 5u, 33u, 4096u}) {
    std::vector<double> z(n);
    for (double& v : z) v = small(rng);
    std::vector<double> a(33), b(33);
    portable.autocorrelation(z.data(), n, 32, a.data());
    vector.autocorrelation(z.data(), n, 32, b.data());
    EXPECT_EQ(a, b) << "n " << n;
    EXPECT_EQ(portable.exact_dot(z.data(), z.data() + n / 2, n - n / 2), vector.exact_dot(z.data(), z.data() + n / 2, n - n / 2));
    std::vector<std::int32_t> x(n + 32), c(32), r1(n), r2(n);
    for (auto& v : c) v = coefficient(rng);
    for (const int order : {1, 2, 3, 8, 16, 32}) {
      // Codes of any size (64-bit sums), and codes whose sums just fit int32 or just might not (the
      // kernel's 32-bit sums serve only the first).
      std::int64_t weight = 0;
      for (int j = 0; j < order; ++j) weight += std::abs(std::int64_t{c[j]});
      for (const std::int64_t bound : {std::int64_t{INT32_MAX}, INT32_MAX / weight, INT32_MAX / weight + 1}) {
        std::uniform_int_distribution<std::int32_t> code(static_cast<std::int32_t>(-bound), static_cast<std::int32_t>(bound));
        for (auto& v : x) v = code(rng);
        x[32 - static_cast<std::size_t>(order)] = static_cast<std::int32_t>(-bound);  // the extreme in the history only
        portable.lpc_residuals(x.data(), 32, n + 32, c.data(), order, 14, r1.data());
        vector.lpc_residuals(x.data(), 32, n + 32, c.data(), order, 14, r2.data());
        EXPECT_EQ(r1, r2) << "n " << n << " order " << order << " codes up to " << bound;
      }
    }
  }
}

// Tokens from the vector kernel at every bit length's edges (where a float's rounding could carry into
// its exponent) and at random, against the portable ones.
TEST(SequenceCoder, TokenKernelMatchesThePortableOne) {
  if (!vector_tier()) GTEST_SKIP() << "no AVX2 here (or capped)";
  const auto& portable = quorvel::sequence::kernels_for(rimble::ProcessorTier::Portable);
  const auto& vector = quorvel::sequence::kernels();
  std::vector<std::int32_t> r;
  for (int bits = 0; bits <= 32; ++bits) {
    const std::uint64_t power = std::uint64_t{1} << bits;
    for (const std::uint64_t u : {power - 1, power, power + 1, power + power / 2 - 1, power + power / 2})
      if (u <= UINT32_MAX) r.push_back(quorvel::sequence::unzigzag(static_cast<std::uint32_t>(u)));
  }
  std::mt19937 rng(5);
  while (r.size() < 1000) r.push_back(static_cast<std::int32_t>(rng()) >> (rng() % 32));
  for (const std::size_t n : {r.size(), std::size_t{37}, std::size_t{3}}) {
    std::vector<std::uint8_t> a(n), b(n);
    EXPECT_EQ(portable.tokenize(r.data(), n, a.data()), vector.tokenize(r.data(), n, b.data()));
    EXPECT_EQ(a, b) << "n " << n;
  }
}

// The local sign-LMS stages side by side: lanes of unequal lengths, taps and steps (the vector kernel runs
// them to the longest with the largest taps), small and wrapping differences; the inverse gives the
// differences back, and the vector kernel the portable one's values.
TEST(SequenceCoder, LmsLanesInvertAndMatchThePortableOnes) {
  namespace s = quorvel::sequence;
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::int32_t> small(-300, 300);
  std::uniform_int_distribution<std::uint32_t> any;
  for (int round = 0; round < 40; ++round) {
    const std::size_t count = 1 + round % s::kLmsLanes;
    std::vector<std::vector<std::int32_t>> d(count), r(count), r2(count), back(count);
    std::vector<s::LmsLane> forward(count), forward2(count), inverse(count);
    for (std::size_t l = 0; l < count; ++l) {
      const std::size_t n = std::array<std::size_t, 6>{1, 100, 255, 256, 257, 4096}[any(rng) % 6];
      d[l].resize(n);
      for (auto& v : d[l]) v = round % 3 == 2 && any(rng) % 8 == 0 ? static_cast<std::int32_t>(any(rng)) : small(rng);
      r[l].resize(n), r2[l].resize(n), back[l].resize(n);
      const int taps = 2 << (any(rng) % 4), step = 1 << (any(rng) % 4);
      forward[l] = {.in = d[l].data(), .out = r[l].data(), .n = n, .taps = taps, .step = step};
      forward2[l] = {.in = d[l].data(), .out = r2[l].data(), .n = n, .taps = taps, .step = step};
      inverse[l] = {.in = r2[l].data(), .out = back[l].data(), .n = n, .taps = taps, .step = step};
    }
    s::kernels_for(rimble::ProcessorTier::Portable).lms_lanes(forward, false);
    s::kernels().lms_lanes(forward2, false);
    EXPECT_EQ(r, r2) << "round " << round;
    s::kernels().lms_lanes(inverse, true);
    EXPECT_EQ(back, d) << "round " << round;
    s::kernels_for(rimble::ProcessorTier::Portable).lms_lanes(std::span(inverse).first(1), true);
    EXPECT_EQ(back[0], d[0]) << "round " << round;
  }
}

// The inverse in 16-bit arithmetic: differences up to the largest its lanes allow (products and sums at
// the edge of 32 bits) come back exactly; one just beyond, late in a segment or in another register of
// lanes, makes it give up with its inputs untouched, and the vector kernel still gives them back (also in
// place).
// A weight moves by at most `step` a round after the first: a narrow lane's sums stay below 2^31 while its
// differences stay within this bound.
std::int32_t bound_of(int taps, int step, std::size_t n) {
  return static_cast<std::int32_t>(std::min<std::int64_t>(32767, (std::int64_t{1} << 31) / (taps * step * std::int64_t(n - 1)) - 1));
}

TEST(SequenceCoder, NarrowLmsInverseIsExactOrGivesUp) {
#if RIMBLE_ARCH(X86_64)
  if (!vector_tier()) GTEST_SKIP() << "no AVX2 here (or capped)";
  namespace s = quorvel::sequence;
  std::mt19937 rng(11);
  for (int round = 0; round < 12; ++round) {
    const std::size_t count = round < 6 ? 16 : 1 + round % 9;
    const int step = 1 << (round % 3);
    std::vector<std::vector<std::int32_t>> d(count), r(count), back(count);
    std::vector<s::LmsLane> forward(count), inverse(count);
    for (std::size_t l = 0; l < count; ++l) {
      const std::size_t n = l == 3 ? 1000 : 4096;
      const int taps = 16 >> (l % 2);
      const std::int32_t bound = bound_of(taps, step, n);
      std::uniform_int_distribution<std::int32_t> edge(-bound, bound);
      d[l].resize(n), r[l].resize(n), back[l].assign(n, 0);
      for (auto& v : d[l]) v = rng() % 3 ? edge(rng) : (rng() % 2 ? bound : -bound);
      forward[l] = {.in = d[l].data(), .out = r[l].data(), .n = n, .taps = taps, .step = step};
      inverse[l] = {.in = r[l].data(), .out = back[l].data(), .n = n, .taps = taps, .step = step};
    }
    // A lane with one difference just past its bound, late in its segment.
    const std::size_t beyond = round % 2 == 0 ? count : rng() % count;
    if (beyond < count) {
      const std::int32_t past = bound_of(inverse[beyond].taps, step, inverse[beyond].n) + 1;
      d[beyond][d[beyond].size() - 1 - rng() % 900] = round % 4 == 1 ? past : -past;
    }
    s::kernels().lms_lanes(forward, false);
    const auto residuals = r;
    EXPECT_EQ(s::lms_inverse_narrow_avx2(inverse), beyond == count) << "round " << round;
    if (beyond == count) {
      EXPECT_EQ(back, d) << "round " << round;
    }
    EXPECT_EQ(r, residuals) << "round " << round;
    s::kernels().lms_lanes(inverse, true);
    EXPECT_EQ(back, d) << "round " << round;
    for (auto& lane : inverse) lane.in = lane.out, std::copy_n(r[&lane - inverse.data()].data(), lane.n, lane.out);
    s::kernels().lms_lanes(inverse, true);
    EXPECT_EQ(back, d) << "round " << round << " in place";
  }
#endif
}

// The forward stage in 16-bit arithmetic: lanes of every taps whose differences reach their bound give the
// portable residuals; a lane with one difference just past it (or at INT32_MIN) is left, in its order, to
// the exact kernel, and the whole vector kernel still gives the portable residuals, also in place.
TEST(SequenceCoder, NarrowLmsForwardIsExactOrLeavesTheLane) {
#if RIMBLE_ARCH(X86_64)
  if (!vector_tier()) GTEST_SKIP() << "no AVX2 here (or capped)";
  namespace s = quorvel::sequence;
  std::mt19937 rng(17);
  for (int round = 0; round < 8; ++round) {
    const std::size_t count = round < 4 ? 16 : 1 + round % 9;
    const int step = 1 << (round % 3);
    std::vector<std::vector<std::int32_t>> d(count), expected(count), r(count);
    std::vector<s::LmsLane> portable(count), narrow(count), rest(count);
    for (std::size_t l = 0; l < count; ++l) {
      const std::size_t n = l == 3 ? 1000 : l == 5 ? 37 : 4096;
      const int taps = 16 >> (l % 4);
      const std::int32_t bound = bound_of(taps, step, n);
      std::uniform_int_distribution<std::int32_t> edge(-bound, bound);
      d[l].resize(n), expected[l].resize(n), r[l].assign(n, 0);
      for (auto& v : d[l]) v = rng() % 3 ? edge(rng) : (rng() % 2 ? bound : -bound);
      portable[l] = {.in = d[l].data(), .out = expected[l].data(), .n = n, .taps = taps, .step = step};
      narrow[l] = {.in = d[l].data(), .out = r[l].data(), .n = n, .taps = taps, .step = step};
    }
    const std::size_t beyond = round % 2 == 0 ? count : rng() % count;
    if (beyond < count) {
      const std::int32_t past = bound_of(narrow[beyond].taps, step, narrow[beyond].n) + 1;
      d[beyond][d[beyond].size() - 1 - rng() % 30] = round % 4 == 3 ? std::numeric_limits<std::int32_t>::min() : past;
    }
    s::kernels_for(rimble::ProcessorTier::Portable).lms_lanes(portable, false);
    ASSERT_EQ(s::lms_forward_narrow_avx2(narrow, rest.data()), beyond < count ? 1u : 0u) << "round " << round;
    for (std::size_t l = 0; l < count; ++l)
      if (l == beyond)
        EXPECT_EQ(rest[0].in, d[l].data()) << "round " << round;
      else
        EXPECT_EQ(r[l], expected[l]) << "round " << round << " lane " << l;
    for (std::size_t l = 0; l < count; ++l) r[l] = d[l], narrow[l].in = narrow[l].out = r[l].data();
    s::kernels().lms_lanes(narrow, false);
    EXPECT_EQ(r, expected) << "round " << round << " in place";
  }
#endif
}

// The Welch-windowed codes that LPC fits on and the codes' extent, from the vector kernels, at every scale
// and segment length and with codes at the int32 extremes, against the portable ones.
TEST(SequenceCoder, WelchWindowAndExtentMatchThePortableOnes) {
  if (!vector_tier()) GTEST_SKIP() << "no AVX2 here (or capped)";
  const auto& portable = quorvel::sequence::kernels_for(rimble::ProcessorTier::Portable);
  const auto& vector = quorvel::sequence::kernels();
  std::mt19937 rng(13);
  for (const std::size_t n : {1u, 3u, 4u, 5u, 37u, 4095u, 4096u}) {
    std::vector<std::int32_t> q(n);
    for (auto& v : q) v = static_cast<std::int32_t>(rng()) >> (rng() % 32);
    q[n / 2] = INT32_MIN, q[n - 1] = INT32_MAX;
    for (int scale = 0; scale <= 13; ++scale) {
      std::vector<double> a(n), b(n), c(n);
      portable.welch_window(q.data(), n, q[0], scale, a.data());
      vector.welch_window(q.data(), n, q[0], scale, b.data());
      EXPECT_EQ(a, b) << "n " << n << " scale " << scale;
      // (a whole segment's taper comes from a table: the same as dividing for every value)
      for (std::size_t i = 0; i < n; ++i)
        c[i] = quorvel::sequence::welch_value(q.data(), i, quorvel::sequence::welch_taper(i, 0.5 * double(n + 1)), q[0], scale);
      EXPECT_EQ(a, c) << "n " << n << " scale " << scale;
    }
    std::int32_t low[2], high[2];
    portable.extent(q.data(), n, low[0], high[0]);
    vector.extent(q.data(), n, low[1], high[1]);
    EXPECT_EQ(low[0], *std::ranges::min_element(q));
    EXPECT_EQ(high[0], *std::ranges::max_element(q));
    EXPECT_EQ(low[1], low[0]);
    EXPECT_EQ(high[1], high[0]);
  }
}

// LPC segments restored side by side (one to four lanes of unequal lengths, orders up to 8 with zeros
// after, every shift, codes that wrap) give back the codes whose residuals the LPC kernel made, in both
// tiers.
TEST(SequenceCoder, LpcLanesRestoreTheCodes) {
  namespace s = quorvel::sequence;
  std::mt19937 rng(17);
  std::uniform_int_distribution<std::int32_t> coefficient(-32768, 32767);
  for (int round = 0; round < 24; ++round) {
    const std::size_t count = 1 + round % s::kLpcLanes;
    std::vector<std::vector<std::int32_t>> codes(count), residuals(count), back(count);
    std::vector<s::LpcLane> lanes(count);
    std::size_t rounds = 4096;
    for (std::size_t l = 0; l < count; ++l) {
      const std::size_t n = std::array<std::size_t, 5>{1, 4, 7, 100, 4096}[rng() % 5];
      const int order = 1 + static_cast<int>(rng() % 8), shift = static_cast<int>(rng() % 16);
      codes[l].resize(8 + n);
      const int bits = round % 3 == 2 ? 0 : 12;  // (0: any int32, residuals wrap)
      for (auto& v : codes[l]) v = static_cast<std::int32_t>(rng()) >> bits;
      s::LpcLane& lane = lanes[l];
      for (int j = 0; j < order; ++j) lane.c[static_cast<std::size_t>(j)] = coefficient(rng);
      residuals[l].resize(n);
      s::kernels_for(rimble::ProcessorTier::Portable)
          .lpc_residuals(codes[l].data(), 8, 8 + n, lane.c.data(), order, shift, residuals[l].data());
      back[l] = codes[l];
      std::fill(back[l].begin() + 8, back[l].end(), 12345);
      lane = {back[l].data() + 8, residuals[l].data(), n, lane.c, shift};
      rounds = std::min(rounds, n);
    }
    for (const auto tier : {rimble::ProcessorTier::Portable, rimble::processor_tier()}) {
      for (auto& b : back) std::fill(b.begin() + 8, b.end(), 12345);
      s::kernels_for(tier).lpc_restore_lanes(lanes, rounds);
      for (std::size_t l = 0; l < count; ++l) {
        const auto made = std::span(back[l]).first(8 + rounds), expected = std::span(codes[l]).first(8 + rounds);
        EXPECT_TRUE(std::ranges::equal(made, expected)) << "round " << round << " lane " << l;
        EXPECT_EQ(back[l].size() > 8 + rounds ? back[l][8 + rounds] : 12345, 12345) << "past the rounds";
      }
    }
  }
}

// Random half-octave codes (gaps of unused tokens, the extremes 1 and 31) survive the head, and their
// frequencies always sum to 2^11 with every used token at least 1.
TEST(SequenceCoder, TableHeadsRoundTripAndFrequenciesAreValid) {
  using namespace quorvel::sequence;
  std::mt19937 rng(5);
  for (int trial = 0; trial < 2000; ++trial) {
    TableSet set{.base = static_cast<int>(rng() % 32), .merge = static_cast<int>(rng() % 8)};
    for (int t = 0; t < set.table_count(); ++t) {
      TableCode& code = set.tables[t];
      if (rng() % 4 == 0) {
        code.preset = static_cast<int>(rng() % kPresetCount);
        continue;
      }
      code.count = 1 + static_cast<int>(rng() % kTokenCount);
      for (int i = 0; i < code.count; ++i) code.codes[i] = rng() % 3 == 0 ? 0 : static_cast<std::uint8_t>(1 + rng() % 31);
      code.codes[code.count - 1] = static_cast<std::uint8_t>(1 + rng() % 31);
      const Frequencies f = code.frequencies();
      std::uint32_t sum = 0;
      for (int i = 0; i < kTokenCount; ++i) {
        sum += f[i];
        EXPECT_EQ(f[i] > 0, i < code.count && code.codes[i] > 0);
      }
      EXPECT_EQ(sum, kProbTotal);
    }
    std::vector<std::uint8_t> bytes;
    BitWriter out(bytes);
    write_table_set(out, set);
    out.flush();
    BitReader in(bytes);
    TableSet back;
    ASSERT_TRUE(read_table_set(in, back));
    EXPECT_EQ(back.base, set.base);
    EXPECT_EQ(back.merge, set.merge);
    for (int t = 0; t < set.table_count(); ++t) EXPECT_EQ(back.tables[t].frequencies(), set.tables[t].frequencies());
  }
}

TEST(SequenceCoder, RejectsBadSettingsAndBlockCounts) {
  const std::vector<std::int32_t> q(100, 1);
  for (const std::size_t block : {std::size_t{0}, std::size_t{3}, std::size_t{100}, std::size_t{1} << 23}) {
    const auto encoded = quorvel::encode_sequence(q, {.block_length = block});
    ASSERT_FALSE(encoded.has_value());
    EXPECT_EQ(encoded.error().message(),
              "block length " + std::to_string(block) + " is not a power of two up to 2^22");
  }
  const auto blocks = quorvel::encode_sequence(q, {.block_length = 64}).value();  // 2 blocks
  std::vector<std::span<const std::uint8_t>> one(blocks.begin(), blocks.begin() + 1);
  std::vector<std::int32_t> out(100);
  const auto decoded = quorvel::decode_sequence(one, out, {.block_length = 64});
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().message(), "Can't decompress data, reason: 1 blocks for 100 codes");
}

// Every cut of a block is detected (the rANS states must end where they began and the raw bits must end
// the block); a changed byte either fails cleanly or decodes to some codes, and never reads or writes
// out of bounds (the sanitizer build and the fuzzer check that part).
TEST(SequenceCoder, DamagedBlocksFailCleanly) {
  std::mt19937 rng(13);
  for (const std::size_t n : {3u, 1500u, 9000u}) {
    const auto q = codes_of("walk", n, 10, rng);
    const auto blocks = quorvel::encode_sequence(q, {}).value();
    const std::vector<std::uint8_t>& block = blocks[0];
    std::vector<std::int32_t> out(n);
    for (std::size_t size = 0; size < block.size(); ++size) {
      const std::span<const std::uint8_t> cut[] = {std::span(block).first(size)};
      const auto decoded = quorvel::decode_sequence(cut, out, {});
      ASSERT_FALSE(decoded.has_value()) << "n " << n << " cut to " << size;
      EXPECT_EQ(decoded.error().message(), "Can't decompress data, reason: block 0 is damaged");
    }
    std::vector<std::uint8_t> longer = block;
    longer.push_back(0);
    const std::span<const std::uint8_t> extended[] = {longer};
    EXPECT_FALSE(quorvel::decode_sequence(extended, out, {}).has_value());
    for (std::size_t at = 0; at < block.size(); at += 1 + block.size() / 200) {
      std::vector<std::uint8_t> changed = block;
      changed[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      const std::span<const std::uint8_t> one[] = {changed};
      (void)quorvel::decode_sequence(one, out, {});
    }
  }
}

// Blocks decoded side by side: a damaged one among them is still the one named.
TEST(SequenceCoder, DamagedBlockAmongOthersIsTheOneNamed) {
  std::mt19937 rng(17);
  const auto q = codes_of("walk", 5 * 4096 + 100, 10, rng);
  const SequenceCoding coding{.block_length = 4096};
  const auto blocks = quorvel::encode_sequence(q, coding).value();
  for (const std::size_t damaged : {0u, 2u, 5u}) {
    std::vector<std::span<const std::uint8_t>> spans(blocks.begin(), blocks.end());
    spans[damaged] = spans[damaged].first(spans[damaged].size() - 1);
    std::vector<std::int32_t> out(q.size());
    const auto decoded = quorvel::decode_sequence(spans, out, coding);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().message(),
              "Can't decompress data, reason: block " + std::to_string(damaged) + " is damaged");
  }
}

}  // namespace
