// codec/v2/plan_scaled.cpp: strict bounds quantised in closed loop on a fine grid (codings 5 and 6), and the rule
// that keeps a signal so made.
#include <algorithm>
#include <array>
#include <numeric>

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
// Cubic first, so that a signal either reproduces is kept as coding 5.
constexpr std::array<Spline, 2> splines{Spline::cubic, Spline::linear};

// A multiplier and a prediction: one scaled coding.
struct Scaling {
  std::int64_t multiplier;
  Spline spline;
};

// Every scaling, in the order they are tried.
std::vector<Scaling> all_scalings() {
  std::vector<Scaling> all;
  for (const std::int64_t m : multipliers) {
    for (const Spline spline : splines) all.push_back({m, spline});
  }
  return all;
}

Grid fine_grid(double step, std::int64_t multiplier) { return Grid{0.0, step / static_cast<double>(multiplier)}; }

Codes scaled_codes(const Grid& fine, Buffer<std::int32_t> codes, Scaling scaling) {
  Codes c = grid_codes(fine, std::move(codes));
  c.mode = scaling.spline == Spline::linear ? Mode::scaled_linear : Mode::scaled;
  c.multiplier = static_cast<std::uint32_t>(scaling.multiplier);
  return c;
}

// The scalings worth coding whole: all of them at best effort; else the one whose residuals code smallest,
// when they code in less than `lead` times `container`'s own blocks, on the few whole blocks spread over
// the signal that the sequence coder samples first, or on every block of a signal too short to be sampled.
// The residuals are coded as a sample's are (without the predictors slow to fit), and only the winner whole.
std::vector<Scaling> scalings_for(const Input& input, double e, double step, const Settings& settings,
                                  std::span<const std::uint8_t> container, double lead) {
  if (settings.options.effort == Effort::best) return all_scalings();
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  const std::size_t blocks = (input.size() + block_length - 1) / block_length;
  std::vector<std::size_t> sampled = sampled_blocks(blocks, settings.options.effort);
  const bool whole = sampled.empty();
  if (whole) {
    sampled.resize(blocks);
    std::iota(sampled.begin(), sampled.end(), std::size_t{0});
  }
  const auto layout = parse(container);
  if (!layout) return {};
  if (layout->block_sizes.size() != blocks) return all_scalings();  // (a container of other blocks: code each)
  std::size_t own = 0;
  for (const std::size_t b : sampled) own += layout->block_sizes[b];
  // (a whole signal's sizes are measured without the slow predictors that the container's own blocks had,
  // which save up to a fifth of a cyclic signal: its smallest scaling is coded whole unless it measures a
  // quarter larger, and the containers' sizes decide)
  auto best = static_cast<std::size_t>((whole ? 1.25 : lead) * static_cast<double>(own));
  Buffer<double> x(whole ? input.size() : sampled.size() * block_length);
  for (std::size_t i = 0; i < sampled.size(); ++i) {
    const std::size_t start = sampled[i] * block_length, n = std::min(block_length, input.size() - start);
    std::visit([&](auto all) {
      std::copy_n(all.begin() + static_cast<std::ptrdiff_t>(start), n, x.begin() + static_cast<std::ptrdiff_t>(i * block_length));
    }, input.x);
  }
  Buffer<std::int32_t> codes(x.size()), residuals(x.size());
  Buffer<float> y(x.size());
  std::vector<Scaling> chosen;
  std::array<bool, splines.size()> losing{};  // a prediction whose largest multiplier lost clearly
  for (const Scaling s : all_scalings()) {
    const auto prediction = static_cast<std::size_t>(std::ranges::find(splines, s.spline) - splines.begin());
    if (losing[prediction]) continue;
    const std::int64_t m = s.multiplier;
    if (!quantise_scaled(std::span<const double>(x), fine_grid(step, m), m, e, block_length, std::span(codes),
                         std::span(y), s.spline)) {
      continue;
    }
    for (std::size_t start = 0; start < x.size(); start += block_length) {
      const std::size_t n = std::min(block_length, x.size() - start);
      scaled_residuals(std::span(codes).subspan(start, n), m, std::span(residuals).subspan(start, n), s.spline);
    }
    const auto size = coded_size(residuals, settings.options);
    if (!size) return {};
    // One prediction's multipliers code within a fraction of a percent of each other: where the
    // largest loses by more than 1 %, so do the others.
    if (m == multipliers.front() && 100 * *size > 101 * best) losing[prediction] = true;
    if (*size < best) {
      best = *size;
      chosen = {s};
    }
  }
  return chosen;
}

// The samples the scaled quantiser makes; none where one misses the bound or a code leaves int32.
std::optional<Buffer<float>> scaled_samples(const Input& input, double e, double step, Scaling scaling,
                                            std::size_t block_length) {
  Buffer<std::int32_t> codes(input.size());
  Buffer<float> y(input.size());
  const bool made = std::visit(
      [&](auto x) {
        return quantise_scaled(x, fine_grid(step, scaling.multiplier), scaling.multiplier, e, block_length,
                               std::span(codes), std::span(y), scaling.spline);
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
    for (const Scaling s : all_scalings()) {
      const Grid fine = fine_grid(coarse->step, s.multiplier);
      if (scaled_reproduces(y, fine, s.multiplier, block_length, codes, s.spline)) {
        return scaled_codes(fine, std::move(codes), s);
      }
    }
  }
  return std::nullopt;
}

std::expected<std::vector<std::uint8_t>, QuorvelError> or_scaled(
    std::expected<std::vector<std::uint8_t>, QuorvelError> container, const Input& input, double e, double step,
    const Settings& settings, double lead) {
  if (!container || settings.options.effort == Effort::fast) return container;
  const std::size_t block_length = std::size_t{1} << settings.options.block_log2;
  for (const Scaling s : scalings_for(input, e, step, settings, *container, lead)) {
    auto y = scaled_samples(input, e, step, s, block_length);
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
