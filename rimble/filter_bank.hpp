// rimble/filter_bank.hpp: one level of a two-channel filter bank: the sizes, checks, border and
// arena rules that every tier shares, and the two executors into which a tier plugs its kernels.
//
// A tier is a kernels type (the portable one in rimble/wavelet_n_taps.hpp, the vector ones in
// rimble/vector_filter_bank.hpp) with
//   using sample_type = T;
//   static constexpr std::size_t max_fixed_taps;   // longest length of RIMBLE_FIXED_TAPS it unrolls
//   template <std::size_t L> static void forward(const T* x, std::size_t count, const T* low,
//       const T* high, std::size_t taps, T* approx, T* details);
//     approx[i] = sum_j low[j] x[2i+j], details[i] likewise with high, for i < count
//     (reads x[0 .. 2 count + taps - 2));
//   template <std::size_t L> static void inverse(const T* approx, const T* details,
//       std::size_t count, const T* low, const T* high, std::size_t taps, T* out);
//     out[2m+p] += sum_q low[2q+p] approx[m+h-q] + high[2q+p] details[m+h-q],
//     p = 0, 1, h = taps/2 - 1, for m < count: the whole output of 2 count samples.
// L is the tap count when it is fixed, 0 when it is given at run time in taps.
// Only the kernels execute vector instructions; everything here is baseline
// code, so an executor can be built (not run) on any processor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rimble/border_mode.hpp"
#include "rimble/err.hpp"
#include "rimble/filter_padding.hpp"
#include "rimble/interfaces.hpp"
#include "rimble/memory.hpp"
#include "rimble/records.hpp"
#include "rimble/util.hpp"

// The filter lengths with an unrolled executor, ascending: RIMBLE_FIXED_TAPS(X, arg) expands
// X(L, arg) for each of them, RIMBLE_FIXED_TAPS_UP_TO_<n>(X, arg) for those up to n. Every other
// even length runs on the n-tap executor.
#define RIMBLE_FIXED_TAPS_UP_TO_2(X, arg) X(2, arg)
#define RIMBLE_FIXED_TAPS_UP_TO_4(X, arg) RIMBLE_FIXED_TAPS_UP_TO_2(X, arg) X(4, arg)
#define RIMBLE_FIXED_TAPS_UP_TO_6(X, arg) RIMBLE_FIXED_TAPS_UP_TO_4(X, arg) X(6, arg)
#define RIMBLE_FIXED_TAPS_UP_TO_8(X, arg) RIMBLE_FIXED_TAPS_UP_TO_6(X, arg) X(8, arg)
#define RIMBLE_FIXED_TAPS_UP_TO_10(X, arg) RIMBLE_FIXED_TAPS_UP_TO_8(X, arg) X(10, arg)
#define RIMBLE_FIXED_TAPS_UP_TO_12(X, arg) RIMBLE_FIXED_TAPS_UP_TO_10(X, arg) X(12, arg)
#define RIMBLE_FIXED_TAPS_UP_TO_16(X, arg) RIMBLE_FIXED_TAPS_UP_TO_12(X, arg) X(16, arg)
#define RIMBLE_FIXED_TAPS(X, arg) RIMBLE_FIXED_TAPS_UP_TO_16(X, arg)

namespace rimble {

#define RIMBLE_FIXED_TAPS_ELEMENT(L, unused) L,
inline constexpr std::size_t kFixedTaps[] = {RIMBLE_FIXED_TAPS(RIMBLE_FIXED_TAPS_ELEMENT, )};
#undef RIMBLE_FIXED_TAPS_ELEMENT

// Shapes and checks of every filter bank, whatever its tier. Forward output i
// of a filter of L taps covers the signal window x[2i - (L-2)] .. x[2i + 1];
// the inverse adds coefficient pair j into the same window of the output.
namespace filter_bank {

// Approximation and detail length of one level: floor((n + L - 1) / 2).
[[nodiscard]] constexpr std::size_t band_length(std::size_t n, std::size_t taps) { return (n + taps - 1) / 2; }

// Reconstructed length 2m - L + 2, in wrapping unsigned arithmetic: bands
// shorter than L/2 - 1 give a huge value that no output slice can match.
[[nodiscard]] constexpr std::size_t reconstruction_length(std::size_t m, std::size_t taps) {
  return 2 * m - taps + 2;
}

// Arena of the generic executors: L - 2 extension samples on the left, L - 2
// (even n) or L - 1 (odd n) on the right.
[[nodiscard]] constexpr std::size_t arena_length(std::size_t n, std::size_t taps) {
  return 2 * band_length(n, taps) + taps - 2;
}

// Forward outputs [0, interior_begin) and [interior_end, count) have windows
// that cross an end of a signal of n >= L samples; the others read only real
// samples.
struct ForwardSplit {
  std::size_t interior_begin;
  std::size_t interior_end;
  std::size_t count;
};
[[nodiscard]] constexpr ForwardSplit forward_split(std::size_t n, std::size_t taps) {
  return {taps / 2 - 1, n / 2, band_length(n, taps)};
}

// Checks of a forward step, in order: input length, approximation length,
// details length.
[[nodiscard]] inline Result<void> check_forward(std::size_t n, std::size_t taps, std::size_t approx_length,
                                                std::size_t details_length) {
  if (n < taps) return std::unexpected(RimbleError::input_too_short(n, taps));
  const std::size_t out = band_length(n, taps);
  if (approx_length != out) return std::unexpected(RimbleError::half_length_mismatch(approx_length));
  if (details_length != out) return std::unexpected(RimbleError::half_length_mismatch(details_length));
  return {};
}

// Checks of an inverse step, in order: equal bands, output length.
[[nodiscard]] inline Result<void> check_inverse(std::size_t approx_length, std::size_t details_length,
                                                std::size_t output_length, std::size_t taps) {
  if (approx_length != details_length) {
    return std::unexpected(RimbleError::approx_details_mismatch(approx_length, details_length));
  }
  const std::size_t required = reconstruction_length(approx_length, taps);
  if (output_length != required) return std::unexpected(RimbleError::output_size_mismatch(required, output_length));
  return {};
}

// The forward checks of the arena-based executors, then the arena written by
// the process-wide arena writer into scratch[0, A). Returns the arena.
template <class T>
[[nodiscard]] Result<std::span<const T>> prepare_arena(std::span<const T> input, std::size_t taps, BorderMode mode,
                                                      std::size_t approx_length, std::size_t details_length,
                                                      std::span<T> scratch) {
  if (auto checked = check_forward(input.size(), taps, approx_length, details_length); !checked) {
    return std::unexpected(checked.error());
  }
  const std::size_t arena_size = arena_length(input.size(), taps);
  if (scratch.size() < arena_size) {
    return std::unexpected(RimbleError::scratch_too_small(arena_size, scratch.size()));
  }
  const std::size_t left = (arena_size - input.size()) / 2;
  const std::size_t right = arena_size - input.size() - left;
  const std::span<T> arena = scratch.first(arena_size);
  if (auto written = MakeArenaFactoryProvider<T>::make_arena_writer_1d_executor()(input, arena, left, right, mode);
      !written) {
    return std::unexpected(written.error());
  }
  return std::span<const T>(arena);
}

// approx = sum low[j] * window[j], details = sum high[j] * window[j]: each
// sum starts at +0 and adds the separately rounded products in increasing j.
template <class T, class Taps>
[[gnu::always_inline]] inline void analyse(const T* window, const T* low, const T* high, Taps taps, T& approx,
                                           T& details) {
  T a = T(0);
  T d = T(0);
  for (std::size_t j = 0; j < static_cast<std::size_t>(taps); ++j) {
    const T sample = window[j];
    a = a + low[j] * sample;
    d = d + high[j] * sample;
  }
  approx = a;
  details = d;
}

// Forward outputs [first, last) whose window x[2i-(L-2) .. 2i+1] crosses an end
// of the input: the window is gathered through the border mode and summed in
// the portable order, on every tier. At most 16 taps.
template <class T>
void border_outputs(std::span<const T> input, BorderMode mode, std::span<const T> low, std::span<const T> high,
                    std::size_t first, std::size_t last, std::span<T> approx, std::span<T> details) {
  if (first >= last) return;
  const std::size_t taps = low.size();
  const auto reach = static_cast<std::int64_t>(taps - 2);  // window of output i starts at 2i - reach
  const BorderInterpolation border(mode, 0, static_cast<std::int64_t>(input.size()));
  std::array<T, 16> storage;
  const std::span<T> window = std::span<T>(storage).first(taps);
  for (std::size_t i = first; i < last; ++i) {
    border.gather(input, 2 * static_cast<std::int64_t>(i) - reach, window);
    analyse(window.data(), low.data(), high.data(), taps, approx[i], details[i]);
  }
}

// Ends the process unless the filter has an even number of taps, at least 2.
void check_filter_length(std::size_t taps);

}  // namespace filter_bank

// Executor for a fixed filter length L. Needs no scratch and reads the input in
// place: the L/2 - 1 outputs at the left end and the L/2 - 1 or L/2 at the
// right end go through the border mapping, all others through the forward
// kernel. The inverse kernel covers the whole output with no border case.
template <class Kernels, std::size_t L>
class FixedTapsFilterBank final : public IncompleteDwtExecutor<typename Kernels::sample_type> {
  static_assert(L >= 2 && L % 2 == 0 && L <= Kernels::max_fixed_taps,
                "fixed filter banks have an even number of taps, at most the tier's longest");
  using T = typename Kernels::sample_type;

 public:
  // The high-pass filter is derived by the quadrature-mirror rule.
  FixedTapsFilterBank(BorderMode mode, const std::array<T, L>& low)
      : mode_(mode), low_(low), high_(util::low_pass_to_high(low)) {}

  [[nodiscard]] Result<void> execute_forward(std::span<const T> input, std::span<T> approximations,
                                             std::span<T> details) const override {
    return execute_forward_impl(input, approximations, details);
  }
  [[nodiscard]] Result<void> execute_forward_with_scratch(std::span<const T> input, std::span<T> approximations,
                                                          std::span<T> details, std::span<T> /*scratch*/) const override {
    return execute_forward_impl(input, approximations, details);
  }
  [[nodiscard]] std::size_t required_scratch_size(std::size_t /*n*/) const override { return 0; }
  [[nodiscard]] BandLengths dwt_size(std::size_t n) const override {
    const std::size_t out = filter_bank::band_length(n, L);
    return {out, out};
  }
  [[nodiscard]] Result<void> execute_inverse(std::span<const T> approximations, std::span<const T> details,
                                             std::span<T> output) const override {
    return execute_inverse_impl(approximations, details, output);
  }
  [[nodiscard]] Result<void> execute_inverse_quantised(std::span<const T> approximations,
                                                       std::span<const std::int16_t> details, T step,
                                                       std::span<T> output, OutputMap<T> map) const override {
    if (auto checked = filter_bank::check_inverse(approximations.size(), details.size(), output.size(), L);
        !checked) {
      return checked;
    }
    Kernels::template inverse_quantised<L>(approximations.data(), details.data(), step, output.size() / 2,
                                           low_.data(), high_.data(), output.data(), map);
    return {};
  }
  [[nodiscard]] std::size_t idwt_size(BandLengths lengths) const override {
    return filter_bank::reconstruction_length(lengths.approx_length, L);
  }
  [[nodiscard]] std::size_t filter_length() const override { return L; }

  [[nodiscard]] const std::array<T, L>& low() const { return low_; }
  [[nodiscard]] const std::array<T, L>& high() const { return high_; }
  [[nodiscard]] BorderMode border_mode() const { return mode_; }

 private:
  [[nodiscard]] Result<void> execute_forward_impl(std::span<const T> input, std::span<T> approximations,
                                                  std::span<T> details) const {
    if (auto checked = filter_bank::check_forward(input.size(), L, approximations.size(), details.size());
        !checked) {
      return checked;
    }
    // The first interior window, of output L/2 - 1, starts at x[0]; n >= L
    // leaves at least one interior output.
    const auto split = filter_bank::forward_split(input.size(), L);
    Kernels::template forward<L>(input.data(), split.interior_end - split.interior_begin, low_.data(),
                                 high_.data(), L, approximations.data() + split.interior_begin,
                                 details.data() + split.interior_begin);
    const std::span<const T> low(low_), high(high_);
    filter_bank::border_outputs(input, mode_, low, high, 0, split.interior_begin, approximations, details);
    filter_bank::border_outputs(input, mode_, low, high, split.interior_end, split.count, approximations, details);
    return {};
  }

  [[nodiscard]] Result<void> execute_inverse_impl(std::span<const T> approximations, std::span<const T> details,
                                                  std::span<T> output) const {
    if (auto checked = filter_bank::check_inverse(approximations.size(), details.size(), output.size(), L);
        !checked) {
      return checked;
    }
    Kernels::template inverse<L>(approximations.data(), details.data(), output.size() / 2, low_.data(),
                                 high_.data(), L, output.data());
    return {};
  }

  BorderMode mode_;
  std::array<T, L> low_;
  std::array<T, L> high_;
};

// Executor for any even filter length: the forward step copies the input with
// its extensions into the arena (the caller's scratch, or a zero-filled one of
// its own) through the process-wide arena writer and runs the forward kernel
// over it.
template <class Kernels>
class NTapsFilterBank final : public IncompleteDwtExecutor<typename Kernels::sample_type> {
  using T = typename Kernels::sample_type;

 public:
  // The high-pass filter is derived by the quadrature-mirror rule.
  NTapsFilterBank(BorderMode mode, std::span<const T> low)
      : low_(low.begin(), low.end()), high_(util::low_pass_to_high(low)), filter_length_(low.size()), mode_(mode) {
    filter_bank::check_filter_length(filter_length_);
  }

  [[nodiscard]] Result<void> execute_forward(std::span<const T> input, std::span<T> approximations,
                                             std::span<T> details) const override {
    auto scratch = zeroed_vector<T>(required_scratch_size(input.size()));
    if (!scratch) return std::unexpected(scratch.error());
    return execute_forward_with_scratch(input, approximations, details, *scratch);
  }
  [[nodiscard]] Result<void> execute_forward_with_scratch(std::span<const T> input, std::span<T> approximations,
                                                          std::span<T> details, std::span<T> scratch) const override {
    const auto arena = filter_bank::prepare_arena<T>(input, filter_length_, mode_, approximations.size(),
                                                     details.size(), scratch);
    if (!arena) return std::unexpected(arena.error());
    Kernels::template forward<0>(arena->data(), approximations.size(), low_.data(), high_.data(), filter_length_,
                                 approximations.data(), details.data());
    return {};
  }
  [[nodiscard]] std::size_t required_scratch_size(std::size_t n) const override {
    return filter_bank::arena_length(n, filter_length_);
  }
  [[nodiscard]] BandLengths dwt_size(std::size_t n) const override {
    const std::size_t out = filter_bank::band_length(n, filter_length_);
    return {out, out};
  }
  [[nodiscard]] Result<void> execute_inverse(std::span<const T> approximations, std::span<const T> details,
                                             std::span<T> output) const override {
    if (auto checked =
            filter_bank::check_inverse(approximations.size(), details.size(), output.size(), filter_length_);
        !checked) {
      return checked;
    }
    Kernels::template inverse<0>(approximations.data(), details.data(), output.size() / 2, low_.data(),
                                 high_.data(), filter_length_, output.data());
    return {};
  }
  [[nodiscard]] std::size_t idwt_size(BandLengths lengths) const override {
    return filter_bank::reconstruction_length(lengths.approx_length, filter_length_);
  }
  [[nodiscard]] std::size_t filter_length() const override { return filter_length_; }

  [[nodiscard]] std::span<const T> low() const { return low_; }
  [[nodiscard]] std::span<const T> high() const { return high_; }
  [[nodiscard]] BorderMode border_mode() const { return mode_; }

 private:
  std::vector<T> low_;
  std::vector<T> high_;
  std::size_t filter_length_;
  BorderMode mode_;
};

// A tier's executor for a filter of L taps (L = 0: of any length): the
// unrolled one where the tier has it, the n-tap one otherwise.
template <class Kernels, std::size_t L>
struct TierFilterBank {
  using type = FixedTapsFilterBank<Kernels, L>;
};
template <class Kernels, std::size_t L>
  requires(L == 0 || L > Kernels::max_fixed_taps)
struct TierFilterBank<Kernels, L> {
  using type = NTapsFilterBank<Kernels>;
};

}  // namespace rimble
