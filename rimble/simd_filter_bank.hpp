// rimble/simd_filter_bank.hpp: the executor shell shared by the SSE and AVX2 filter banks.
//
// A vectorised filter bank is the portable executor's sizes, checks and border
// outputs (rimble/wavelet_n_taps.hpp, namespace filter_bank) around a pair of
// instruction-set kernels. Kernels is a type with
//   template <std::size_t L> static void forward(const float* x, std::size_t count,
//       const float* low, const float* high, std::size_t taps, float* approx, float* details);
//     approx[i] = sum_j low[j] x[2i+j], details[i] likewise with high, for i < count
//     (reads x[0 .. 2 count + taps - 2));
//   template <std::size_t L> static void inverse(const float* approx, const float* details,
//       std::size_t count, const float* low, const float* high, std::size_t taps, float* out);
//     out[2m+p] += sum_q low[2q+p] approx[m+h-q] + high[2q+p] details[m+h-q],
//     p = 0, 1, h = taps/2 - 1, for m < count: the whole output of 2 count samples.
// L is the tap count when it is fixed, 0 when it is given at run time in taps.
// Only the kernels execute vector instructions; everything here is baseline
// code, so an executor can be built (not run) on any processor.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "rimble/border_mode.hpp"
#include "rimble/err.hpp"
#include "rimble/interfaces.hpp"
#include "rimble/records.hpp"
#include "rimble/util.hpp"
#include "rimble/wavelet_n_taps.hpp"

namespace rimble::simd {

// The kernels' plain loops for bands too short to fill one register: the same
// sums, each taken in the order of the portable executors.
void forward_short(const float* x, std::size_t count, const float* low, const float* high, std::size_t taps,
                   float* approx, float* details);
void inverse_short(const float* approx, const float* details, std::size_t count, const float* low,
                   const float* high, std::size_t taps, float* out);

// Forward outputs [first, last) whose window x[2i-(L-2) .. 2i+1] crosses an end
// of the input: the window is gathered through the border mode and summed as
// the portable fixed-length executors do it. At most 16 taps.
void border_outputs(std::span<const float> input, BorderMode mode, std::span<const float> low,
                    std::span<const float> high, std::size_t first, std::size_t last, std::span<float> approx,
                    std::span<float> details);

// Executor for a fixed filter length L. Needs no scratch and reads the input in
// place: the L/2 - 1 outputs at the left end and the L/2 - 1 or L/2 at the
// right end go through the border mapping, all others through the forward
// kernel. The inverse kernel covers the whole output with no border case.
template <class Kernels, std::size_t L>
class FixedTapsFilterBank final : public IncompleteDwtExecutor<float> {
  static_assert(L >= 2 && L % 2 == 0 && L <= 16, "fixed filter banks have an even number of taps, at most 16");

 public:
  FixedTapsFilterBank(BorderMode mode, const std::array<float, L>& low)
      : mode_(mode), low_(low), high_(util::low_pass_to_high(low)) {}

  [[nodiscard]] Result<void> execute_forward(std::span<const float> input, std::span<float> approximations,
                                             std::span<float> details) const override {
    return execute_forward_impl(input, approximations, details);
  }
  [[nodiscard]] Result<void> execute_forward_with_scratch(std::span<const float> input,
                                                          std::span<float> approximations, std::span<float> details,
                                                          std::span<float> /*scratch*/) const override {
    return execute_forward_impl(input, approximations, details);
  }
  [[nodiscard]] std::size_t required_scratch_size(std::size_t /*n*/) const override { return 0; }
  [[nodiscard]] BandLengths dwt_size(std::size_t n) const override {
    const std::size_t out = filter_bank::band_length(n, L);
    return {out, out};
  }
  [[nodiscard]] Result<void> execute_inverse(std::span<const float> approximations, std::span<const float> details,
                                             std::span<float> output) const override {
    return execute_inverse_impl(approximations, details, output);
  }
  [[nodiscard]] std::size_t idwt_size(BandLengths lengths) const override {
    return filter_bank::reconstruction_length(lengths.approx_length, L);
  }
  [[nodiscard]] std::size_t filter_length() const override { return L; }

  [[nodiscard]] const std::array<float, L>& low() const { return low_; }
  [[nodiscard]] const std::array<float, L>& high() const { return high_; }
  [[nodiscard]] BorderMode border_mode() const { return mode_; }

 private:
  [[nodiscard]] Result<void> execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                                  std::span<float> details) const {
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
    border_outputs(input, mode_, low_, high_, 0, split.interior_begin, approximations, details);
    border_outputs(input, mode_, low_, high_, split.interior_end, split.count, approximations, details);
    return {};
  }

  [[nodiscard]] Result<void> execute_inverse_impl(std::span<const float> approximations,
                                                  std::span<const float> details, std::span<float> output) const {
    if (auto checked = filter_bank::check_inverse(approximations.size(), details.size(), output.size(), L);
        !checked) {
      return checked;
    }
    Kernels::template inverse<L>(approximations.data(), details.data(), output.size() / 2, low_.data(),
                                 high_.data(), L, output.data());
    return {};
  }

  BorderMode mode_;
  std::array<float, L> low_;
  std::array<float, L> high_;
};

// Ends the process unless the filter has an even number of taps, at least 2,
// as WaveletNTaps requires.
void check_filter_length(std::size_t taps);

// Executor for any even filter length, laid out like WaveletNTaps: the forward
// step copies the input with its extensions into the arena (the caller's
// scratch, or a zero-filled one of its own) through the process-wide arena
// writer and runs the forward kernel over it.
template <class Kernels>
class NTapsFilterBank final : public IncompleteDwtExecutor<float> {
 public:
  NTapsFilterBank(BorderMode mode, std::span<const float> low)
      : low_(low.begin(), low.end()), high_(util::low_pass_to_high(low)), filter_length_(low.size()), mode_(mode) {
    check_filter_length(filter_length_);
  }

  [[nodiscard]] Result<void> execute_forward(std::span<const float> input, std::span<float> approximations,
                                             std::span<float> details) const override {
    auto scratch = zeroed_vector<float>(required_scratch_size(input.size()));
    if (!scratch) return std::unexpected(scratch.error());
    return execute_forward_impl(input, approximations, details, *scratch);
  }
  [[nodiscard]] Result<void> execute_forward_with_scratch(std::span<const float> input,
                                                          std::span<float> approximations, std::span<float> details,
                                                          std::span<float> scratch) const override {
    return execute_forward_impl(input, approximations, details, scratch);
  }
  [[nodiscard]] std::size_t required_scratch_size(std::size_t n) const override {
    return filter_bank::arena_length(n, filter_length_);
  }
  [[nodiscard]] BandLengths dwt_size(std::size_t n) const override {
    const std::size_t out = filter_bank::band_length(n, filter_length_);
    return {out, out};
  }
  [[nodiscard]] Result<void> execute_inverse(std::span<const float> approximations, std::span<const float> details,
                                             std::span<float> output) const override {
    return execute_inverse_impl(approximations, details, output);
  }
  [[nodiscard]] std::size_t idwt_size(BandLengths lengths) const override {
    return filter_bank::reconstruction_length(lengths.approx_length, filter_length_);
  }
  [[nodiscard]] std::size_t filter_length() const override { return filter_length_; }

  [[nodiscard]] std::span<const float> low() const { return low_; }
  [[nodiscard]] std::span<const float> high() const { return high_; }
  [[nodiscard]] BorderMode border_mode() const { return mode_; }

 private:
  [[nodiscard]] Result<void> execute_forward_impl(std::span<const float> input, std::span<float> approximations,
                                                  std::span<float> details, std::span<float> scratch) const {
    const auto arena = filter_bank::prepare_arena<float>(input, filter_length_, mode_, approximations.size(),
                                                         details.size(), scratch);
    if (!arena) return std::unexpected(arena.error());
    Kernels::template forward<0>(arena->data(), approximations.size(), low_.data(), high_.data(), filter_length_,
                                 approximations.data(), details.data());
    return {};
  }

  [[nodiscard]] Result<void> execute_inverse_impl(std::span<const float> approximations,
                                                  std::span<const float> details, std::span<float> output) const {
    if (auto checked =
            filter_bank::check_inverse(approximations.size(), details.size(), output.size(), filter_length_);
        !checked) {
      return checked;
    }
    Kernels::template inverse<0>(approximations.data(), details.data(), output.size() / 2, low_.data(),
                                 high_.data(), filter_length_, output.data());
    return {};
  }

  std::vector<float> low_;
  std::vector<float> high_;
  std::size_t filter_length_;
  BorderMode mode_;
};

}  // namespace rimble::simd
