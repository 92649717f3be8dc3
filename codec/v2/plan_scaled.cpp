// codec/v2/plan_scaled.cpp: strict bounds quantised in closed loop on a fine grid (coding 5), and the rule
// that keeps a signal so made.
#include <array>

#include "codec/sequence/coder.hpp"
#include "codec/v2/container.hpp"
#include "codec/v2/encoder_stages.hpp"
#include "codec/v2/interpolation.hpp"

// Grid coding rounds every sample to a step just under 2e, and its noise enters every prediction of the
// codes. The scaled quantiser rounds each sample's residual against its interpolation from samples already
// decoded instead, so on a smooth signal most residuals are 0. The codes live on a grid K times finer, so
// that predictions keep their fractions of a step; the residuals count whole coarse steps. The fine grid
// starts at 0 rather than at the lowest sample, which decoding moves: encoding the decoded signal again
// finds the same grid.

namespace quorvel::v2::stages {

namespace {

// Multipliers tried, largest first: 16 and 64 win on most smooth signals, 4 on rougher ones.
constexpr std::array<std::int64_t, 3> multipliers{64, 16, 4};

Grid fine_grid(double step, std::int64_t multiplier) { return Grid{0.0, step / static_cast<double>(multiplier)}; }

Codes scaled_codes(const Grid& fine, Buffer<std::int32_t> codes, std::int64_t multiplier) {
  Codes c = grid_codes(fine, std::move(codes));
  c.mode = Mode::scaled;
  c.multiplier = static_cast<std::uint32_t>(multiplier);
  return c;
}

// The multipliers worth coding whole: all of them at best effort and on signals of few blocks; else the
// one whose residuals code smallest on the few whole blocks spread over the signal that the sequence coder
// samples first, when they code smaller there than `container`'s own blocks do (the largest multiplier is
// tried first, and where it loses clearly there, the others are not tried).
std::vector<std::int64_t> multipliers_for(const Input& input, double e, double step, const Settings& settings,
                                          std::span<const std::uint8_t> container) {
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  const std::size_t blocks = (input.size() + block_length - 1) / block_length;
  const std::vector<std::size_t> sampled = sampled_blocks(blocks, settings.options.effort);
  if (sampled.empty()) return {multipliers.begin(), multipliers.end()};
  const auto layout = parse(container);
  if (!layout) return {};
  std::size_t best = 0;
  for (const std::size_t b : sampled) best += layout->block_sizes[b];
  Buffer<double> x(sampled.size() * block_length);
  for (std::size_t i = 0; i < sampled.size(); ++i) {
    std::visit([&](auto all) {
      std::copy_n(all.begin() + static_cast<std::ptrdiff_t>(sampled[i] * block_length), block_length,
                  x.begin() + static_cast<std::ptrdiff_t>(i * block_length));
    }, input.x);
  }
  Buffer<std::int32_t> codes(x.size()), residuals(x.size());
  Buffer<float> y(x.size());
  std::vector<std::int64_t> chosen;
  for (const std::int64_t m : multipliers) {
    if (!quantise_scaled(std::span<const double>(x), fine_grid(step, m), m, e, block_length, std::span(codes),
                         std::span(y))) {
      continue;
    }
    for (std::size_t start = 0; start < x.size(); start += block_length) {
      scaled_residuals(std::span(codes).subspan(start, block_length), m,
                       std::span(residuals).subspan(start, block_length));
    }
    const auto size = coded_size(residuals, settings.options);
    if (!size) return {};
    // The multipliers' residuals code within a fraction of a percent of each other: where the first
    // loses by more than 1 %, so do the others.
    if (m == multipliers.front() && 100 * *size > 101 * best) return {};
    if (*size < best) {
      best = *size;
      chosen = {m};
    }
  }
  return chosen;
}

// The samples the scaled quantiser makes; none where one misses the bound or a code leaves int32.
std::optional<Buffer<float>> scaled_samples(const Input& input, double e, double step, std::int64_t multiplier,
                                            std::size_t block_length) {
  Buffer<std::int32_t> codes(input.size());
  Buffer<float> y(input.size());
  const bool made = std::visit(
      [&](auto x) {
        return quantise_scaled(x, fine_grid(step, multiplier), multiplier, e, block_length, std::span(codes),
                               std::span(y));
      },
      input.x);
  if (!made) return std::nullopt;
  return y;
}

}  // namespace

std::optional<Codes> keep_scaled(std::span<const float> y, const Extremes& ex, double e, std::size_t block_length) {
  if (ex.lowest == ex.highest) return std::nullopt;
  Buffer<std::int32_t> codes(y.size());
  for (const std::optional<Grid>& coarse : bound_ladder(e, ex.lowest, ex.peak())) {
    if (!coarse) continue;
    for (const std::int64_t m : multipliers) {
      const Grid fine = fine_grid(coarse->step, m);
      if (scaled_reproduces(y, fine, m, block_length, codes)) return scaled_codes(fine, std::move(codes), m);
    }
  }
  return std::nullopt;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> or_scaled(
    std::expected<std::vector<std::uint8_t>, QuorvelError> container, const Input& input, double e, double step,
    const Settings& settings) {
  if (!container || settings.options.effort == Effort::fast) return container;
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  for (const std::int64_t m : multipliers_for(input, e, step, settings, *container)) {
    auto y = scaled_samples(input, e, step, m, block_length);
    if (!y) continue;
    // The canonical codes of what it decodes to, which encoding that again finds.
    Detected unused;
    const Extremes ex = extremes(*y);
    auto codes = keep_for_bound(*y, ex, e, unused, nullptr);
    if (!codes) codes = keep_scaled(*y, ex, e, block_length);
    release(*y);
    if (!codes) continue;
    auto other = smallest_container(*codes, settings);
    if (other && other->size() < container->size()) container = std::move(other);
  }
  return container;
}

}  // namespace quorvel::v2::stages
