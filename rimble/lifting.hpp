// rimble/lifting.hpp: what the CDF 5/3 and CDF 9/7 lifting executors share: the scalar lifting
// steps with their mirror rules, and the sizes, checks and multi-level operations of a lifting
// scheme, written once over the scheme's single-level kernels.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "rimble/err.hpp"
#include "rimble/interfaces.hpp"
#include "rimble/memory.hpp"
#include "rimble/records.hpp"
#include "rimble/strip_inverse.hpp"

namespace rimble::lifting {

// A level splits x[0..n) into the even samples A (ceil(n/2), A[i] from x[2i]) and the odd samples
// D (floor(n/2), D[i] from x[2i+1]) and lifts one from the other. Both ends use whole-sample
// symmetric extension (x[-k] = x[k], x[n-1+k] = x[n-1-k]); on the two half-rate sequences that
// becomes a mirror of the nearest neighbour:
//   predict, n even: the missing even[a] is even[a-1];
//   update:          the missing odd[-1] is odd[0], and for n odd the missing odd[d] is odd[d-1].
// Every step evaluates (left + right) * w + centre, rounding the sum, the product and the final
// addition separately.

// odd[i] = (even[i] + even[i+1]) * w + odd[i].
inline void predict(std::span<float> odd, std::span<const float> even, float w) {
  const std::size_t interior_end = std::min(odd.size(), even.size() - 1);
  for (std::size_t i = 0; i < interior_end; ++i) {
    odd[i] = (even[i] + even[i + 1]) * w + odd[i];
  }
  if (odd.size() == even.size()) {
    const std::size_t last = odd.size() - 1;
    odd[last] = (even[last] + even[last]) * w + odd[last];
  }
}

// even[i] = (odd[i-1] + odd[i]) * w + even[i].
inline void update(std::span<float> even, std::span<const float> odd, float w) {
  even[0] = (odd[0] + odd[0]) * w + even[0];
  for (std::size_t i = 1; i < odd.size(); ++i) {
    even[i] = (odd[i - 1] + odd[i]) * w + even[i];
  }
  if (even.size() > odd.size()) {
    const std::size_t last = odd.size();
    even[last] = (odd[last - 1] + odd[last - 1]) * w + even[last];
  }
}

// even[i] = x[2i], odd[i] = x[2i+1]; an odd-length signal's last sample has no odd partner.
inline void split(std::span<const float> x, std::span<float> even, std::span<float> odd) {
  for (std::size_t i = 0; i < odd.size(); ++i) {
    even[i] = x[2 * i];
    odd[i] = x[2 * i + 1];
  }
  if (even.size() > odd.size()) {
    even.back() = x.back();
  }
}

// output[2i] = even[i], output[2i+1] = odd[i].
inline void merge(std::span<const float> even, std::span<const float> odd, std::span<float> output) {
  for (std::size_t i = 0; i < odd.size(); ++i) {
    output[2 * i] = even[i];
    output[2 * i + 1] = odd[i];
  }
  if (even.size() > odd.size()) {
    output.back() = even.back();
  }
}

inline void scale(std::span<float> values, float factor) {
  for (float& v : values) {
    v = v * factor;
  }
}

// Everything of a lifting executor except its two single-level kernels, which Executor (the final
// executor class, deriving from this) provides as static members:
//   kMinLength, kFilterLength: shortest signal one level accepts, and the codec's filter length;
//   execute_forward_impl(x, approx, details): one forward level, sizes already checked;
//   inverse_work_size(n): samples of working memory the inverse kernel needs for n outputs;
//   execute_inverse_impl(approx, details, output, work): one inverse level, sizes already checked;
// and optionally
//   execute_inverse_quantised_impl(approx, details, step, output, map): the same level on 16-bit
//   details times step, map (when not null) applied to the output, in one pass.
// Vector executors reuse it unchanged: only their kernels differ.
template <class Executor>
class LiftingExecutor : public DwtExecutor<float> {
 public:
  [[nodiscard]] Result<void> execute_forward(std::span<const float> input, std::span<float> approximations,
                                             std::span<float> details) const final {
    const std::size_t n = input.size();
    if (n < Executor::kMinLength) {
      return std::unexpected(RimbleError::input_too_short(n, Executor::kMinLength));
    }
    // Both band checks report the signal length n as the "required size": callers match on
    // these messages, so they keep that form although the band itself needs (n + 1) / 2 or n / 2.
    if (approximations.size() != (n + 1) / 2) {
      return std::unexpected(RimbleError::approximation_size_mismatch(approximations.size(), n));
    }
    if (details.size() != n / 2) {
      return std::unexpected(RimbleError::approximation_size_mismatch(details.size(), n));
    }
    Executor::execute_forward_impl(input, approximations, details);
    return {};
  }

  [[nodiscard]] Result<void> execute_forward_with_scratch(std::span<const float> input,
                                                          std::span<float> approximations, std::span<float> details,
                                                          std::span<float> /*scratch*/) const final {
    return execute_forward(input, approximations, details);
  }

  [[nodiscard]] std::size_t required_scratch_size(std::size_t /*n*/) const final { return 0; }

  // The bands of a signal of max(n, kMinLength) samples.
  [[nodiscard]] BandLengths dwt_size(std::size_t n) const final {
    const std::size_t m = std::max(n, Executor::kMinLength);
    return {(m + 1) / 2, m / 2};
  }

  [[nodiscard]] Result<void> execute_inverse(std::span<const float> approximations, std::span<const float> details,
                                             std::span<float> output) const final {
    const std::size_t n = output.size();
    const std::size_t sum = approximations.size() + details.size();
    if (sum != n) {
      return std::unexpected(RimbleError::output_size_mismatch(sum, n));
    }
    // Together with the sum rule these reject every output shorter than kMinLength; the detail
    // rule is what catches the rest (5/3: 2 + 0 samples; 9/7: 2 + 0 and 2 + 1 samples).
    const BandLengths required = dwt_size(n);
    if (approximations.size() != required.approx_length) {
      return std::unexpected(
          RimbleError::approximation_size_mismatch(approximations.size(), required.approx_length));
    }
    if (details.size() != required.details_length) {
      return std::unexpected(RimbleError::approximation_size_mismatch(details.size(), required.details_length));
    }
    auto work = zeroed_vector<float>(Executor::inverse_work_size(n));
    if (!work) {
      return std::unexpected(work.error());
    }
    Executor::execute_inverse_impl(approximations, details, output, *work);
    return {};
  }

  [[nodiscard]] std::size_t idwt_size(BandLengths lengths) const final {
    return std::max(lengths.approx_length + lengths.details_length, Executor::kMinLength);
  }

  [[nodiscard]] std::size_t filter_length() const final { return Executor::kFilterLength; }

  // Only the deepest level's bands are kept; each level reads the previous level's approximation
  // band in place, so no copy of the signal is made.
  [[nodiscard]] Result<Dwt<float>> dwt(std::span<const float> signal, std::size_t level) const final {
    Dwt<float> deepest;
    auto done = decompose(signal, level, [&deepest](Dwt<float>&& bands) {
      deepest = std::move(bands);
      return std::span<const float>(deepest.approximations);
    });
    if (!done) {
      return std::unexpected(done.error());
    }
    return deepest;
  }

  [[nodiscard]] Result<MultiDwt<float>> multi_dwt(std::span<const float> signal, std::size_t levels) const final {
    MultiDwt<float> result;
    // At most one level per halving: reserving for an absurd level count would only fail.
    result.levels.reserve(std::min(std::max<std::size_t>(levels, 1), possible_levels(signal.size())));
    // Moving a Dwt into the list keeps its arrays' storage, so the span handed back stays valid.
    auto done = decompose(signal, levels, [&result](Dwt<float>&& bands) {
      result.levels.push_back(std::move(bands));
      return std::span<const float>(result.levels.back().approximations);
    });
    if (!done) {
      return std::unexpected(done.error());
    }
    return result;
  }

  [[nodiscard]] Result<std::vector<float>> idwt(const DwtView<float>& view) const final {
    auto output = zeroed_vector<float>(view.approximations.size() + view.details.size());
    if (!output) {
      return output;
    }
    if (auto done = execute_inverse(view.approximations, view.details, *output); !done) {
      return std::unexpected(done.error());
    }
    return output;
  }

  // Coarsest level first; each reconstruction is the next finer level's approximation band.
  [[nodiscard]] Result<std::vector<float>> multi_idwt(const MultiDwtView<float>& view) const final {
    if (view.details.empty() || view.approximations.empty()) {
      return std::unexpected(RimbleError::zero_sized_input());
    }
    auto current = idwt({view.approximations, view.details.back()});
    for (std::size_t k = view.details.size() - 1; k-- > 0 && current;) {
      current = idwt({*current, view.details[k]});
    }
    return current;
  }

  // A scheme with a quantised kernel runs each level whole, in one pass.
  // Otherwise each strip of detail pairs [s, e) runs on the window of bands
  // widened by kStripMargin pairs on each side (clipped at the signal's ends):
  // the window's own mirror rules and the kernels' scalar ends stay inside the
  // margins, and the strip's samples are those of the whole level.
  [[nodiscard]] Result<void> multi_idwt_quantised(const QuantisedMultiDwtView<float>& view, OutputMap<float> map,
                                                  std::span<float> output) const final {
    // The plan: each level's bands must be the ones dwt_size gives for their
    // sum, as execute_inverse requires; otherwise the reference road reports
    // multi_idwt's error.
    const std::size_t levels = view.details.size();
    std::vector<std::size_t> outputs(levels);
    std::size_t approx_length = view.approximations.size();
    bool planned = levels > 0 && approx_length > 0;
    for (std::size_t k = levels; planned && k-- > 0;) {
      outputs[k] = approx_length + view.details[k].size();
      planned = dwt_size(outputs[k]) == BandLengths{approx_length, view.details[k].size()};
      approx_length = outputs[k];
    }
    if (!planned) return strips::dequantised_multi_idwt(*this, view, map, output);

    if constexpr (requires { &Executor::execute_inverse_quantised_impl; }) {
      const auto level = [&](std::span<const float> approx, std::span<const std::int16_t> details,
                             std::span<float> out, bool last, std::span<float> /*strip*/) {
        Executor::execute_inverse_quantised_impl(approx, details, view.step, out, last ? &map : nullptr);
        return Result<void>{};
      };
      return strips::run_levels(view, outputs, 0, output, level);
    }
    constexpr std::size_t window_pairs = 2 * strips::kStripPairs + 2 * kStripMargin + 1;
    const auto level = [&](std::span<const float> approx, std::span<const std::int16_t> details, std::span<float> out,
                           bool last, std::span<float> strip) {
      const std::span<float> widened = strip.first(window_pairs);
      const std::span<float> window_out = strip.subspan(window_pairs, 2 * window_pairs);
      const std::span<float> work = strip.subspan(3 * window_pairs);
      return strips::for_each_strip(details.size(), [&](std::size_t begin, std::size_t end) -> Result<void> {
        const std::size_t first = begin > kStripMargin ? begin - kStripMargin : 0;
        const std::size_t details_end = std::min(details.size(), end + kStripMargin);
        const std::size_t approx_end = details_end == details.size() ? approx.size() : details_end;
        const std::size_t n = (approx_end - first) + (details_end - first);
        strips::widen(details.subspan(first, details_end - first), view.step, widened.data());
        Executor::execute_inverse_impl(approx.subspan(first, approx_end - first),
                                     widened.first(details_end - first), window_out.first(n),
                                     work.first(Executor::inverse_work_size(n)));
        // The strip's samples; the last strip also takes an odd level's last sample.
        const std::size_t count = 2 * (end - begin) + (end == details.size() ? approx.size() - details.size() : 0);
        const std::span<const float> kept = window_out.subspan(2 * (begin - first), count);
        if (last) {
          std::ranges::transform(kept, out.begin() + 2 * begin, map);
        } else {
          std::ranges::copy(kept, out.begin() + 2 * begin);
        }
        return Result<void>{};
      });
    };
    return strips::run_levels(view, outputs, 3 * window_pairs + Executor::inverse_work_size(2 * window_pairs), output,
                              level);
  }

 private:
  // Pairs on each side of a strip's window: more than a lifting chain's reach
  // and than the scalar ends of the vector kernels.
  static constexpr std::size_t kStripMargin = 96;

  // Forward level into fresh zero-filled bands.
  [[nodiscard]] Result<Dwt<float>> forward_level(std::span<const float> input) const {
    const BandLengths lengths = dwt_size(input.size());
    auto approximations = zeroed_vector<float>(lengths.approx_length);
    if (!approximations) {
      return std::unexpected(approximations.error());
    }
    auto details = zeroed_vector<float>(lengths.details_length);
    if (!details) {
      return std::unexpected(details.error());
    }
    if (auto done = execute_forward(input, *approximations, *details); !done) {
      return std::unexpected(done.error());
    }
    return Dwt<float>{std::move(*approximations), std::move(*details)};
  }

  // Runs max(levels, 1) forward levels, each on the approximation band that keep() returns for
  // the previous level's bands. Every level's input must have at least kMinLength samples.
  template <class Keep>
  [[nodiscard]] Result<void> decompose(std::span<const float> signal, std::size_t levels, Keep keep) const {
    std::span<const float> input = signal;
    for (std::size_t k = 0; k < std::max<std::size_t>(levels, 1); ++k) {
      if (input.size() < Executor::kMinLength) {
        return std::unexpected(RimbleError::buffer_too_small_for_level());
      }
      auto bands = forward_level(input);
      if (!bands) {
        return std::unexpected(bands.error());
      }
      input = keep(std::move(*bands));
    }
    return {};
  }

  // How many successive levels a signal of n samples allows.
  [[nodiscard]] static std::size_t possible_levels(std::size_t n) {
    std::size_t count = 0;
    for (std::size_t m = n; m >= Executor::kMinLength; m = (m + 1) / 2) {
      ++count;
    }
    return count;
  }
};

// One predict step and the update step that follows it, by their weights.
struct Step {
  float predict;
  float update;
};

// A lifting scheme: all that tells CDF 5/3 from CDF 9/7. Its N predict-update pairs run in
// order, then, when it is scaled, approximations are multiplied by k and details by k_prime. The
// inverse unscales (approximations times k_prime, details times k), then undoes the pairs in
// reverse order with the negated weights: exact negations, the sign bit flipped.
template <std::size_t N>
struct Scheme {
  std::size_t min_length;     // the shortest signal one level accepts
  std::size_t filter_length;  // the filter length the codec plans its levels with
  std::array<Step, N> steps;
  bool scaled = false;
  float k = 0.0f;
  float k_prime = 0.0f;
};

// The portable executor of a scheme: one pass over memory per step.
template <const auto& kScheme>
class PortableLifting final : public LiftingExecutor<PortableLifting<kScheme>> {
 public:
  static constexpr std::size_t kMinLength = kScheme.min_length;
  static constexpr std::size_t kFilterLength = kScheme.filter_length;

  static void execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                   std::span<float> details) {
    split(input, approximations, details);
    for (const Step& step : kScheme.steps) {
      predict(details, approximations, step.predict);
      update(approximations, details, step.update);
    }
    if constexpr (kScheme.scaled) {
      scale(approximations, kScheme.k);
      scale(details, kScheme.k_prime);
    }
  }

  // The inverse lifts copies of both bands.
  static constexpr std::size_t inverse_work_size(std::size_t n) { return n; }

  static void execute_inverse_impl(std::span<const float> approximations, std::span<const float> details,
                                   std::span<float> output, std::span<float> work) {
    const std::span<float> even = work.first(approximations.size());
    const std::span<float> odd = work.subspan(approximations.size(), details.size());
    if constexpr (kScheme.scaled) {
      std::ranges::transform(approximations, even.begin(), [](float a) { return a * kScheme.k_prime; });
      std::ranges::transform(details, odd.begin(), [](float d) { return d * kScheme.k; });
    } else {
      std::ranges::copy(approximations, even.begin());
      std::ranges::copy(details, odd.begin());
    }
    for (auto step = kScheme.steps.rbegin(); step != kScheme.steps.rend(); ++step) {
      update(even, odd, -step->update);
      predict(odd, even, -step->predict);
    }
    merge(even, odd, output);
  }
};

}  // namespace rimble::lifting
