// codec/v2/encoder.cpp: the version-2 encoder's input, containers of codes, and the check by decoding.
#include "codec/v2/encoder.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>

#include "codec/v2/bytes.hpp"
#include "codec/v2/float_ordinal.hpp"
#include "codec/v2/interpolation.hpp"
#include "codec/v2/sample_kernels.hpp"
#include "codec/v2/samples.hpp"
#include "codec/sequence/coder.hpp"
#include "codec/v2/decoder.hpp"
#include "codec/v2/encoder_stages.hpp"

namespace quorvel {

namespace v2 {

namespace stages {

namespace {

// ---------------------------------------------------------------- containers

SequenceCoding sequence_coding(const EncodeOptions& options) {
  return {.effort = options.effort,
          .block_length = std::size_t{1} << options.block_log2,
          .threads = options.threads,
          .lossless = options.lossless};
}

// A container's coded parts, weighed before they are joined: of the codings
// an encoder tries, only the smallest is ever made whole.
struct Candidate {
  std::vector<std::uint8_t> head;
  std::vector<std::vector<std::uint8_t>> blocks;
  std::size_t size = 0;
};

// `sample`, if given, is the codes' own: its blocks are not coded again.
std::expected<Candidate, QuorvelError> candidate(const Header& header, std::span<const std::int32_t> codes,
                                                 std::span<const std::int32_t> corrections,
                                                 const EncodeOptions& options, SequenceSample* sample = nullptr) {
  const SequenceCoding coding = sequence_coding(options);
  auto blocks = encode_sequence(codes, coding, sample);
  if (!blocks) return std::unexpected(blocks.error());
  if (header.mode == Mode::corrected) {
    auto second = encode_sequence(corrections, coding);
    if (!second) return std::unexpected(second.error());
    for (std::size_t b = 0; b < blocks->size(); ++b) {
      std::vector<std::uint8_t> joined;
      ByteWriter w(joined);
      w.leb128((*blocks)[b].size());
      w.bytes((*blocks)[b]);
      w.bytes((*second)[b]);
      (*blocks)[b] = std::move(joined);
    }
  }
  auto head = container_head(header, *blocks);
  if (!head) return std::unexpected(head.error());
  const std::size_t size = container_size(*head, *blocks);
  return Candidate{std::move(*head), std::move(*blocks), size};
}

// A palette: the sorted distinct codes, when there are few of them (at most a
// quarter of the samples and 65536) with gaps between them. The codes' ranks
// in it then code smaller than the codes themselves; they are made only for
// the codes a trial needs. Found by bitmap, it keeps the bitmap of the values
// present from `low` and the rank before each of its words.
struct Palette {
  std::vector<std::int32_t> entries;
  std::int32_t low = 0;
  std::vector<std::uint64_t> present;
  std::vector<std::int32_t> before;

  [[nodiscard]] Buffer<std::int32_t> ranks(std::span<const std::int32_t> codes) const {
    Buffer<std::int32_t> out(codes.size());
    if (!present.empty()) {
      kernels::sample_kernels().palette_ranks(codes, low, present.data(), before.data(), out.data());
      return out;
    }
    for (std::size_t i = 0; i < codes.size(); ++i)
      out[i] = static_cast<std::int32_t>(std::lower_bound(entries.begin(), entries.end(), codes[i]) - entries.begin());
    return out;
  }
};

// Codes spanning up to 2^22 values: a bitmap of the values present, and the
// ranks from its prefix counts, in two passes. Codes spread wider (float
// ordinals): sorting, for signals up to 2^20 samples.
constexpr std::int64_t bitmap_span = std::int64_t{1} << 22;
constexpr std::size_t most_sorted = std::size_t{1} << 20;

// Whether a palette of `count` codes spanning `span` values, among n codes, is made.
bool palette_may_pay(std::size_t count, std::int64_t span, std::size_t n) {
  if (count > std::min(max_palette, n / 4)) return false;
  // Ranks pay for their palette only where it leaves out much of the span.
  if (span <= bitmap_span) return 4 * static_cast<std::int64_t>(count) <= 3 * span;
  return n <= most_sorted;
}

std::optional<Palette> palette_by_bitmap(std::span<const std::int32_t> codes, std::int32_t low,
                                         std::int64_t span) {
  const kernels::SampleKernels& tier = kernels::sample_kernels();
  std::vector<std::uint64_t> present(static_cast<std::size_t>((span + 63) / 64));
  const auto present_count = [&] { return tier.count_bits(present); };
  // The count only grows: a prefix of the codes that already has too many
  // values (as a smooth signal's first few thousand do) settles it.
  for (std::size_t start = 0, piece = 4096; start < codes.size(); start += piece, piece *= 2) {
    // Most codes repeat a value already marked: testing first leaves loads alone, where marking each
    // would chain a store on the same few words from one code to the next.
    for (const std::int32_t c : codes.subspan(start, std::min(piece, codes.size() - start))) {
      const auto v = static_cast<std::uint64_t>(std::int64_t{c} - low);
      const std::uint64_t bit = std::uint64_t{1} << (v % 64);
      if ((present[v / 64] & bit) == 0) present[v / 64] |= bit;
    }
    if (!palette_may_pay(present_count(), span, codes.size())) return std::nullopt;
  }
  std::vector<std::int32_t> before(present.size());
  std::size_t count = 0;
  for (std::size_t w = 0; w < present.size(); ++w) {
    before[w] = static_cast<std::int32_t>(count);
    count += static_cast<std::size_t>(std::popcount(present[w]));
  }
  Palette p;
  p.entries.reserve(count);
  for (std::size_t w = 0; w < present.size(); ++w) {
    for (std::uint64_t bits = present[w]; bits != 0; bits &= bits - 1) {
      p.entries.push_back(
          static_cast<std::int32_t>(low + static_cast<std::int64_t>(64 * w) + std::countr_zero(bits)));
    }
  }
  p.low = low;
  p.present = std::move(present);
  p.before = std::move(before);
  return p;
}

std::optional<Palette> palette_by_sorting(std::span<const std::int32_t> codes, std::int64_t span) {
  if (codes.size() > most_sorted) return std::nullopt;
  std::vector<std::int32_t> entries(codes.begin(), codes.end());
  std::sort(entries.begin(), entries.end());
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  if (!palette_may_pay(entries.size(), span, codes.size())) return std::nullopt;
  Palette p;
  p.entries = std::move(entries);
  return p;
}

// `distinct`, the sorted distinct codes when known, may tell at once that no
// palette pays.
std::optional<Palette> sparse_palette(std::span<const std::int32_t> codes,
                                      std::span<const std::int32_t> distinct) {
  if (std::min(max_palette, codes.size() / 4) < 2) return std::nullopt;
  if (!distinct.empty() &&
      !palette_may_pay(distinct.size(), std::int64_t{distinct.back()} - distinct.front() + 1, codes.size())) {
    return std::nullopt;
  }
  std::int32_t low = codes[0], high = codes[0];
  for (const std::int32_t c : codes) {
    low = c < low ? c : low;
    high = c > high ? c : high;
  }
  const std::int64_t span = std::int64_t{high} - low + 1;
  if (span <= bitmap_span) return palette_by_bitmap(codes, low, span);
  return palette_by_sorting(codes, span);
}

Buffer<std::int32_t> block_residuals(std::span<const std::int32_t> codes, std::size_t block_length) {
  Buffer<std::int32_t> out(codes.size());
  for (std::size_t start = 0; start < codes.size(); start += block_length) {
    const std::size_t n = std::min(block_length, codes.size() - start);
    interpolation_residuals(codes.subspan(start, n), std::span(out).subspan(start, n));
  }
  return out;
}

}  // namespace

Distortion distortion(const Input& input, std::span<const float> decoded) {
  return quorvel::distortion(input.x, decoded, input.unit);
}

Extremes extremes(std::span<const float> y) {
  kernels::Range lanes;
  std::fill(std::begin(lanes.lowest), std::end(lanes.lowest), y[0]);
  std::fill(std::begin(lanes.highest), std::end(lanes.highest), y[0]);
  const std::size_t whole = y.size() / 8 * 8;
  kernels::sample_kernels().range(y.first(whole), lanes);
  float* const low = lanes.lowest;
  float* const high = lanes.highest;
  for (std::size_t i = whole; i < y.size(); ++i) {
    low[0] = std::min(low[0], y[i]);
    high[0] = std::max(high[0], y[i]);
  }
  return {*std::min_element(low, low + 8), *std::max_element(high, high + 8)};
}

// The bytes of a sample's blocks.
std::size_t coded_size(const SequenceSample& sample) {
  std::size_t total = 0;
  for (const auto& block : sample.blocks) total += block.size();
  return total;
}

// The bytes of the codes' blocks, coded in full as a sample's are (the sizes are compared with a sample's).
std::expected<std::size_t, QuorvelError> coded_size(std::span<const std::int32_t> codes, const EncodeOptions& options) {
  SequenceCoding coding = sequence_coding(options);
  coding.slow_predictors = false;
  auto blocks = encode_sequence(codes, coding);
  if (!blocks) return std::unexpected(blocks.error());
  std::size_t total = 0;
  for (const auto& block : *blocks) total += block.size();
  return total;
}

// The codes of the sampled blocks, one after the other.
Buffer<std::int32_t> sampled_codes(std::span<const std::int32_t> codes, std::span<const std::size_t> sampled,
                                   std::size_t block_length) {
  Buffer<std::int32_t> sample(sampled.size() * block_length);
  for (std::size_t i = 0; i < sampled.size(); ++i) {
    std::copy_n(codes.begin() + static_cast<std::ptrdiff_t>(sampled[i] * block_length), block_length,
                sample.begin() + static_cast<std::ptrdiff_t>(i * block_length));
  }
  return sample;
}

// The palette's container, where it may be smaller than `best`. At default effort the sampled blocks of
// the ranks decide first: coded at least 0.5 % smaller there than `best`'s own blocks, the ranks are coded
// whole (the sample's blocks kept); else not at all. The gaps in the tails of a quantised signal's
// histogram give palettes that save a few bytes in the blocks and lose them again in the header, at the
// cost of a second coding of the whole signal.
std::optional<Candidate> palette_candidate(const Header& header, std::span<const std::int32_t> codes,
                                           const Palette& palette, const Candidate& best,
                                           const EncodeOptions& options) {
  const std::vector<std::size_t> sampled = sampled_blocks(header.block_count(), options.effort);
  std::optional<SequenceSample> sample;
  if (!sampled.empty()) {
    auto coded = encode_sample(palette.ranks(sampled_codes(codes, sampled, header.block_length())),
                               sequence_coding(options));
    if (!coded) return std::nullopt;
    sample = std::move(*coded);
    std::size_t own = 0;
    for (const std::size_t b : sampled) own += best.blocks[b].size();
    if (200 * coded_size(*sample) >= 199 * own) return std::nullopt;
  }
  auto made = candidate(header, palette.ranks(codes), {}, options, sample ? &*sample : nullptr);
  if (!made) return std::nullopt;
  return std::move(*made);
}

// Which codings of grid codes are made whole.
enum class Codings { plain, interpolated, both };

// The codings to make, and the sample of the one its sample chose, whose blocks its container takes.
struct Choice {
  Codings codings;
  std::optional<SequenceSample> sample;
};

// Every block is coded on its own, so at default effort the few whole blocks spread over a long signal
// that the sequence coder samples first decide between the codes and their interpolation residuals for
// all of them: the signal is then coded once instead of twice, and the winner's sampled blocks only once.
// Best effort, and signals of few blocks, code both whole.
std::expected<Choice, QuorvelError> codings_to_make(std::span<const std::int32_t> codes, const Header& header,
                                                    const Settings& settings) {
  const Effort effort = settings.options.effort;
  if (!settings.interpolated || header.mode != Mode::grid || effort == Effort::fast) {
    return Choice{Codings::plain, {}};
  }
  const std::size_t block_length = header.block_length();
  const std::vector<std::size_t> sampled = sampled_blocks(header.block_count(), effort);
  if (sampled.empty()) return Choice{Codings::both, {}};
  const Buffer<std::int32_t> sample = sampled_codes(codes, sampled, block_length);
  const SequenceCoding coding = sequence_coding(settings.options);
  auto plain = encode_sample(sample, coding);
  if (!plain) return std::unexpected(plain.error());
  auto interpolated = encode_sample(block_residuals(sample, block_length), coding);
  if (!interpolated) return std::unexpected(interpolated.error());
  if (coded_size(*interpolated) < coded_size(*plain)) {
    return Choice{Codings::interpolated, std::move(*interpolated)};
  }
  return Choice{Codings::plain, std::move(*plain)};
}

// The residuals are let go before the container is joined.
std::expected<Candidate, QuorvelError> interpolated_candidate(const Codes& codes, const Settings& settings,
                                                              SequenceSample* sample = nullptr) {
  const Header header{Mode::interpolated, settings.options.block_log2,
                      static_cast<std::uint32_t>(codes.codes.size()), codes.grid, {}, codes.filter, {}};
  return candidate(header, block_residuals(codes.codes, header.block_length()), {}, settings.options, sample);
}

// Coding 5 or 6's residuals, block by block: the scaled quantiser made the codes reachable.
std::expected<std::vector<std::uint8_t>, QuorvelError> scaled_container(const Codes& codes,
                                                                        const Settings& settings) {
  Header header{codes.mode, settings.options.block_log2, static_cast<std::uint32_t>(codes.codes.size()),
                codes.grid, {}, {}, {}, codes.multiplier};
  Buffer<std::int32_t> residuals(codes.codes.size());
  for (std::size_t start = 0; start < codes.codes.size(); start += header.block_length()) {
    const std::size_t n = std::min(header.block_length(), codes.codes.size() - start);
    scaled_residuals(std::span(codes.codes).subspan(start, n), codes.multiplier, std::span(residuals).subspan(start, n),
                     spline_of(codes.mode));
  }
  auto made = candidate(header, residuals, {}, settings.options);
  if (!made) return std::unexpected(made.error());
  return join(std::move(made->head), made->blocks);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> smallest_container(const Codes& codes,
                                                                          const Settings& settings) {
  if (is_scaled(codes.mode)) return scaled_container(codes, settings);
  const auto n = static_cast<std::uint32_t>(codes.codes.size());
  Header header{codes.mode, settings.options.block_log2, n, codes.grid, {}, codes.filter, codes.band_steps};
  auto choice = codings_to_make(codes.codes, header, settings);
  if (!choice) return std::unexpected(choice.error());
  const Codings codings = choice->codings;
  SequenceSample* const sample = choice->sample ? &*choice->sample : nullptr;
  auto best = codings == Codings::interpolated
                  ? interpolated_candidate(codes, settings, sample)
                  : candidate(header, codes.codes, codes.corrections, settings.options, sample);
  if (!best) return std::unexpected(best.error());
  const auto keep_smaller = [&best](std::expected<Candidate, QuorvelError> other) {
    if (other && other->size < best->size) best = std::move(other);
  };
  if (settings.options.effort != Effort::fast && allows_palette(codes.mode) && !codes.filter) {
    if (auto palette = sparse_palette(codes.codes, codes.distinct)) {
      Header with{codes.mode, settings.options.block_log2, n, codes.grid, palette->entries, {}, {}};
      auto other = palette_candidate(with, codes.codes, *palette, *best, settings.options);
      if (other && other->size < best->size) best = std::move(*other);
    }
  }
  if (settings.options.effort != Effort::fast && codings == Codings::both) {
    keep_smaller(interpolated_candidate(codes, settings));
  }
  return join(std::move(best->head), best->blocks);
}

}  // namespace stages

namespace {

using namespace stages;

// What the plans take: the samples' float32 values (the samples themselves,
// or float64 ones narrowed into `narrowed`) and what they cost float64 input.
Input input_of(const Samples& x, const SignalFacts& facts, Buffer<float>& narrowed) {
  Input input;
  input.x = x;
  input.unit = facts.unit;
  input.signal_sum_squares = facts.sum_squares;
  // float32 rounding keeps order: the extremes of the float32 values are the
  // float32 values of the extremes.
  input.lowest = static_cast<float>(facts.lowest);
  input.highest = static_cast<float>(facts.highest);
  if (const auto* narrow = std::get_if<std::span<const float>>(&x)) {
    input.xf = *narrow;
  } else {
    const auto wide = std::get<std::span<const double>>(x);
    narrowed.resize(wide.size());
    std::transform(wide.begin(), wide.end(), narrowed.begin(),
                   [](double v) { return static_cast<float>(v); });
    input.xf = narrowed;
    input.rounding = quorvel::distortion(x, input.xf, input.unit);
  }
  return input;
}

std::expected<void, QuorvelError> check_options(const EncodeOptions& options) {
  if (!is_known(options.effort)) {
    return std::unexpected(QuorvelError::invalid_options("Unknown effort code " +
                                                         std::to_string(static_cast<int>(options.effort))));
  }
  if (options.block_log2 < min_block_log2 || options.block_log2 > max_block_log2) {
    return std::unexpected(QuorvelError::invalid_options(
        "Block length 2^" + std::to_string(options.block_log2) + " outside 2^" +
        std::to_string(min_block_log2) + " to 2^" + std::to_string(max_block_log2)));
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, QuorvelError> plan(const Input& input, Target target,
                                                            const EncodeOptions& options) {
  switch (target.kind) {
    case TargetKind::max_error:
      return encode_max_error(input, target.value, Settings{options, false});
    case TargetKind::rmse:
      return encode_rms(input, target.value, Settings{options, true, true});
    case TargetKind::prd: {
      const double rms = std::sqrt(input.signal_sum_squares / static_cast<double>(input.size())) / input.unit;
      // The PRD's own rounding (a ratio of two sums) may put the very figure a
      // refusal named an ulp below the RMSE it stands for; 1e-12 covers that.
      auto container = encode_rms(input, target.value / 100.0 * rms * (1 + 1e-12), Settings{options, true});
      if (!container && container.error().kind() == QuorvelError::Kind::Unreachable) {
        // Only float32's rounding of the samples is out of reach: named as
        // the final check measures it, so that asking for it is met.
        const Measure prd{TargetKind::prd, input.size(), input.signal_sum_squares, input.unit};
        return std::unexpected(QuorvelError::unreachable(target, prd(input.rounding)));
      }
      return container;
    }
    case TargetKind::max_bytes:
      return encode_budget(input, target.value, Settings{options, true});
  }
  return std::unexpected(QuorvelError::invalid_target("Unknown target kind"));
}

// The container's figure for the target's kind, as decoding it gives, without a decoded copy of the whole
// signal. The largest error (all a max_error or max_bytes check needs) comes a group of blocks at a time,
// on threads; a sum of squares a part at a time, in the order the search measured its trials.
std::expected<double, QuorvelError> decoded_figure(const Input& input, TargetKind kind,
                                                   std::span<const std::uint8_t> container, std::size_t threads) {
  const Measure measure{kind, input.size(), input.signal_sum_squares, input.unit};
  if (kind == TargetKind::rmse || kind == TargetKind::prd) {
    // Whole blocks at a time (any block length divides the part), summed in the search's order.
    constexpr std::size_t part = std::size_t{1} << 20;
    Buffer<float> decoded(std::min(part, input.size()));
    DistortionSum sum(input.unit);
    for (std::size_t start = 0; start < input.size(); start += part) {
      const auto piece = std::span(decoded).first(std::min(part, input.size() - start));
      if (auto done = decode_into(container, start, piece, threads); !done) return std::unexpected(done.error());
      std::visit([&](auto x) { sum.add(x.subspan(start, piece.size()), std::span<const float>(piece)); }, input.x);
    }
    return measure(sum.total());
  }
  std::mutex mutex;
  Distortion largest;
  auto done = decode_groups(container, threads, [&](std::size_t start, std::span<const float> y) {
    const Distortion d = std::visit(
        [&](auto x) { return quorvel::distortion(x.subspan(start, y.size()), y, input.unit); }, input.x);
    const std::lock_guard lock(mutex);
    largest.max_abs = std::max(largest.max_abs, d.max_abs);
  });
  if (!done) return std::unexpected(done.error());
  return measure(largest);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode_samples(const Samples& x, Target target,
                                                                      const EncodeOptions& options) {
  const auto facts = examine(x);
  if (!facts) return std::unexpected(facts.error());
  if (auto checked = check_target(target); !checked) return std::unexpected(checked.error());
  if (auto checked = check_options(options); !checked) return std::unexpected(checked.error());
  Buffer<float> narrowed;
  const Input input = input_of(x, *facts, narrowed);
  auto container = plan(input, target, options);
  if (!container) return container;
  // The check: decode with the decoder itself and measure.
  const auto figure = decoded_figure(input, target.kind, *container, options.threads);
  if (!figure) return std::unexpected(figure.error());
  const double size = static_cast<double>(container->size());
  if (target.kind == TargetKind::max_bytes ? size <= target.value : *figure <= target.value) return container;
  return std::unexpected(
      QuorvelError::unreachable(target, target.kind == TargetKind::max_bytes ? size : *figure));
}

}  // namespace

std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const float> samples, Target target,
                                                              const EncodeOptions& options) {
  return encode_samples(samples, target, options);
}

std::expected<std::vector<std::uint8_t>, QuorvelError> encode(std::span<const double> samples, Target target,
                                                              const EncodeOptions& options) {
  return encode_samples(samples, target, options);
}

}  // namespace v2

}  // namespace quorvel
