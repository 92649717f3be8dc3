// codec/sequence/coder.cpp: a sequence of codes as independently decodable blocks, on several threads.
#include "codec/sequence/coder.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "codec/common/parallel.hpp"
#include "codec/sequence/rans.hpp"
#include "codec/sequence/block.hpp"
#include "codec/sequence/kernels.hpp"

namespace quorvel {

namespace {

// Blocks up to 2^22 codes: working memory per block stays a few tens of megabytes.
constexpr std::size_t kMaxBlockLength = std::size_t{1} << 22;

std::expected<void, QuorvelError> check_coding(const SequenceCoding& coding) {
  if (coding.block_length == 0 || coding.block_length > kMaxBlockLength || !std::has_single_bit(coding.block_length))
    return std::unexpected(QuorvelError::invalid_options(
        "block length " + std::to_string(coding.block_length) + " is not a power of two up to 2^22"));
  if (!is_known(coding.effort)) return std::unexpected(QuorvelError::invalid_options("unknown effort"));
  return {};
}

// A long sequence below the best effort first codes a few blocks spread over it with every predictor, then
// the others with only those that won at least an eighth of the sampled segments: a long recording keeps
// its character, and the predictors that rarely win there cost time and, by splitting the segments' table
// sets, often bytes too.
constexpr std::size_t kSampledBlocks = 4;

bool learns_predictors(std::size_t blocks, Effort effort) {
  return effort != Effort::best && blocks >= 4 * kSampledBlocks;
}

// The slow candidates (the cycle search) stay only where they win at least a quarter of the sampled
// segments: winning now and then does not pay for their time on every block, in the encoder and in every
// decode.
sequence::CandidateMask frequent_winners(const sequence::CandidateWins& wins, sequence::CandidateMask slow) {
  std::uint32_t total = 0, most = 0;
  for (const std::uint32_t w : wins) {
    total += w;
    most = std::max(most, w);
  }
  sequence::CandidateMask mask = 0;
  for (std::size_t c = 0; c < wins.size(); ++c)
    if (wins[c] == most || ((slow >> c) & 1 ? 4 : 8) * wins[c] >= total) mask |= sequence::CandidateMask{1} << c;
  return mask;
}

// Codes blocks which[...] of `codes` into blocks[...] with the predictors `allowed`, adding each group's
// winners to wins[group] if given (one per group); false if memory ran out.
bool code_blocks(std::span<const std::int32_t> codes, const SequenceCoding& coding, std::span<const std::size_t> which,
                 sequence::CandidateMask allowed, std::span<sequence::CandidateWins> wins,
                 std::vector<std::vector<std::uint8_t>>& blocks) {
  std::atomic<bool> out_of_memory{false};
  // Blocks of fewer segments than the LMS kernel has lanes go together, as long as every thread still
  // gets a group.
  const std::size_t threads = coding.threads == 0 ? std::max<std::size_t>(1, std::thread::hardware_concurrency()) : coding.threads;
  const std::size_t segments = (coding.block_length + sequence::kSegmentLength - 1) / sequence::kSegmentLength;
  const std::size_t most = std::max<std::size_t>(1, sequence::kLmsLanes / segments);
  const std::size_t together = std::clamp<std::size_t>(which.size() / threads, 1, most);
  const std::size_t groups = (which.size() + together - 1) / together;
  parallel_for(groups, threads, [&](std::size_t g) {
    const std::size_t first = g * together, n = std::min(together, which.size() - first);
    std::array<std::span<const std::int32_t>, sequence::kLmsLanes> group;
    std::array<std::vector<std::uint8_t>*, sequence::kLmsLanes> out;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t start = which[first + i] * coding.block_length;
      group[i] = codes.subspan(start, std::min(coding.block_length, codes.size() - start));
      out[i] = &blocks[which[first + i]];
    }
    try {
      sequence::encode_blocks({group.data(), n}, coding.effort, {out.data(), n},
                              coding.slow_predictors ? allowed : allowed & ~sequence::slow_candidates(coding.effort, coding.lossless),
                              wins.empty() ? nullptr : &wins[g], coding.lossless);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  });
  return !out_of_memory;
}

QuorvelError out_of_memory(const SequenceCoding& coding) {
  return QuorvelError::out_of_memory(16 * std::uint64_t{coding.block_length});
}

}  // namespace

std::vector<std::size_t> sampled_blocks(std::size_t blocks, Effort effort) {
  if (!learns_predictors(blocks, effort)) return {};
  std::vector<std::size_t> which(kSampledBlocks);
  for (std::size_t i = 0; i < kSampledBlocks; ++i) which[i] = (2 * i + 1) * (blocks - 1) / (2 * kSampledBlocks);
  return which;
}

std::expected<SequenceSample, QuorvelError> encode_sample(std::span<const std::int32_t> sampled,
                                                          const SequenceCoding& coding) {
  if (auto checked = check_coding(coding); !checked) return std::unexpected(checked.error());
  SequenceSample sample;
  const std::size_t count = (sampled.size() + coding.block_length - 1) / coding.block_length;
  sample.blocks.resize(count);
  std::vector<std::size_t> which(count);
  for (std::size_t b = 0; b < count; ++b) which[b] = b;
  std::vector<sequence::CandidateWins> wins(count);
  if (!code_blocks(sampled, coding, which, sequence::kEveryCandidate, wins, sample.blocks))
    return std::unexpected(out_of_memory(coding));
  sequence::CandidateWins all{};
  for (const auto& w : wins)
    for (std::size_t c = 0; c < all.size(); ++c) all[c] += w[c];
  sample.predictors = frequent_winners(all, sequence::slow_candidates(coding.effort, coding.lossless));
  return sample;
}

std::expected<std::vector<std::vector<std::uint8_t>>, QuorvelError> encode_sequence(
    std::span<const std::int32_t> codes, const SequenceCoding& coding, SequenceSample* sample) {
  if (auto checked = check_coding(coding); !checked) return std::unexpected(checked.error());
  const std::size_t count = (codes.size() + coding.block_length - 1) / coding.block_length;
  std::vector<std::vector<std::uint8_t>> blocks(count);
  // A lossless caller codes every block with every predictor: a few tenths of a percent for 2 to 3 times
  // the time.
  const std::vector<std::size_t> which = coding.lossless ? std::vector<std::size_t>{} : sampled_blocks(count, coding.effort);
  sequence::CandidateMask allowed = sequence::kEveryCandidate;
  if (!which.empty()) {
    std::optional<SequenceSample> own;
    if (sample == nullptr || sample->blocks.size() != which.size()) {
      std::vector<std::int32_t> codes_of_sample;
      codes_of_sample.reserve(which.size() * coding.block_length);
      for (const std::size_t b : which) {
        const auto block = codes.subspan(b * coding.block_length, coding.block_length);
        codes_of_sample.insert(codes_of_sample.end(), block.begin(), block.end());
      }
      auto coded = encode_sample(codes_of_sample, coding);
      if (!coded) return std::unexpected(coded.error());
      sample = &own.emplace(std::move(*coded));
    }
    for (std::size_t i = 0; i < which.size(); ++i) blocks[which[i]] = std::move(sample->blocks[i]);
    allowed = sample->predictors;
  }
  std::vector<bool> sampled(count, false);
  for (const std::size_t b : which) sampled[b] = true;
  std::vector<std::size_t> rest;
  rest.reserve(count);
  for (std::size_t b = 0; b < count; ++b)
    if (!sampled[b]) rest.push_back(b);
  if (!code_blocks(codes, coding, rest, allowed, {}, blocks)) return std::unexpected(out_of_memory(coding));
  if (coding.effort == Effort::best) {
    // The best effort prices its choices on counts, and a block the default effort codes smaller (its
    // fewer segments' tables can cost less than the best's) keeps the default's bytes: never larger.
    SequenceCoding plain = coding;
    plain.effort = Effort::default_;
    auto other = encode_sequence(codes, plain);
    if (!other) return std::unexpected(other.error());
    for (std::size_t b = 0; b < count; ++b)
      if ((*other)[b].size() < blocks[b].size()) blocks[b] = std::move((*other)[b]);
  }
  return blocks;
}

std::expected<void, QuorvelError> decode_sequence(std::span<const std::span<const std::uint8_t>> blocks,
                                                  std::span<std::int32_t> codes, const SequenceCoding& coding) {
  if (auto checked = check_coding(coding); !checked) return std::unexpected(checked.error());
  if (blocks.size() != (codes.size() + coding.block_length - 1) / coding.block_length)
    return std::unexpected(QuorvelError::decompression_failed(
        std::to_string(blocks.size()) + " blocks for " + std::to_string(codes.size()) + " codes"));
  std::atomic<std::size_t> first_damaged{blocks.size()};
  std::atomic<bool> out_of_memory{false};
  const auto codes_of = [&](std::size_t b) {
    const std::size_t start = b * coding.block_length;
    return codes.subspan(start, std::min(coding.block_length, codes.size() - start));
  };
  // Blocks go in groups of up to four, decoded side by side, as long as every thread still gets a group;
  // where one of them is damaged, one by one to tell which.
  constexpr std::size_t most = sequence::RansDecoder::kMaxTogether;
  const std::size_t threads = coding.threads == 0 ? std::max<std::size_t>(1, std::thread::hardware_concurrency()) : coding.threads;
  const std::size_t together = std::clamp<std::size_t>(blocks.size() / threads, 1, most);
  parallel_for((blocks.size() + together - 1) / together, threads, [&](std::size_t g) {
    const std::size_t first = g * together, count = std::min(together, blocks.size() - first);
    std::array<std::span<std::int32_t>, most> group;
    for (std::size_t i = 0; i < count; ++i) group[i] = codes_of(first + i);
    try {
      if (sequence::decode_blocks(blocks.subspan(first, count), {group.data(), count})) return;
      for (std::size_t b = first; b < first + count; ++b) {
        if (sequence::decode_block(blocks[b], codes_of(b))) continue;
        std::size_t seen = first_damaged.load();
        while (b < seen && !first_damaged.compare_exchange_weak(seen, b)) {
        }
        return;
      }
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  });
  if (out_of_memory) return std::unexpected(QuorvelError::out_of_memory(16 * std::uint64_t{coding.block_length}));
  if (first_damaged.load() < blocks.size())
    return std::unexpected(QuorvelError::decompression_failed("block " + std::to_string(first_damaged.load()) + " is damaged"));
  return {};
}

}  // namespace quorvel
