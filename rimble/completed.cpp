// rimble/completed.cpp: the multi-level driver.
#include "rimble/completed.hpp"

#include <algorithm>
#include <utility>

#include "rimble/memory.hpp"
#include "rimble/strip_inverse.hpp"

namespace rimble {

template <class T>
CompletedDwtExecutor<T>::CompletedDwtExecutor(std::shared_ptr<const IncompleteDwtExecutor<T>> inner,
                                              std::size_t filter_length)
    : inner_(std::move(inner)), filter_length_(filter_length) {
  if (!inner_) fatal("internal error: CompletedDwtExecutor needs an inner executor");
}

template <class T>
Result<void> CompletedDwtExecutor<T>::execute_forward(std::span<const T> input, std::span<T> approximations,
                                                      std::span<T> details) const {
  return inner_->execute_forward(input, approximations, details);
}

template <class T>
Result<void> CompletedDwtExecutor<T>::execute_forward_with_scratch(std::span<const T> input,
                                                                   std::span<T> approximations, std::span<T> details,
                                                                   std::span<T> scratch) const {
  return inner_->execute_forward_with_scratch(input, approximations, details, scratch);
}

template <class T>
std::size_t CompletedDwtExecutor<T>::required_scratch_size(std::size_t n) const {
  return inner_->required_scratch_size(n);
}

template <class T>
BandLengths CompletedDwtExecutor<T>::dwt_size(std::size_t n) const {
  return inner_->dwt_size(n);
}

template <class T>
Result<void> CompletedDwtExecutor<T>::execute_inverse(std::span<const T> approximations, std::span<const T> details,
                                                      std::span<T> output) const {
  return inner_->execute_inverse(approximations, details, output);
}

template <class T>
std::size_t CompletedDwtExecutor<T>::idwt_size(BandLengths lengths) const {
  return inner_->idwt_size(lengths);
}

template <class T>
Result<Dwt<T>> CompletedDwtExecutor<T>::forward_level(std::span<const T> input) const {
  const BandLengths lengths = inner_->dwt_size(input.size());
  auto approximations = zeroed_vector<T>(lengths.approx_length);
  if (!approximations) return std::unexpected(approximations.error());
  auto details = zeroed_vector<T>(lengths.details_length);
  if (!details) return std::unexpected(details.error());
  if (auto done = inner_->execute_forward(input, *approximations, *details); !done) {
    return std::unexpected(done.error());
  }
  return Dwt<T>{std::move(*approximations), std::move(*details)};
}

template <class T>
Result<Dwt<T>> CompletedDwtExecutor<T>::dwt(std::span<const T> signal, std::size_t level) const noexcept {
  if (level <= 1) return forward_level(signal);
  // Only the last level is returned: each level's approximation band becomes
  // the next level's input and its detail band is dropped.
  std::vector<T> working(signal.begin(), signal.end());
  Dwt<T> current;
  for (std::size_t k = 0; k < level; ++k) {
    if (k > 0) working = std::move(current.approximations);
    if (working.size() < filter_length_) return std::unexpected(RimbleError::buffer_too_small_for_level());
    auto next = forward_level(working);
    if (!next) return std::unexpected(next.error());
    current = std::move(*next);
  }
  return current;
}

template <class T>
Result<MultiDwt<T>> CompletedDwtExecutor<T>::multi_dwt(std::span<const T> signal, std::size_t levels) const noexcept {
  if (levels <= 1) {
    auto level = forward_level(signal);
    if (!level) return std::unexpected(level.error());
    MultiDwt<T> result;
    result.levels.push_back(std::move(*level));
    return result;
  }
  // Each level reads the previous level's approximation band where it lies in the result: the
  // signal is never copied, and moving a Dwt into the list keeps its arrays' storage, so the
  // span stays valid while the list grows.
  MultiDwt<T> result;
  result.levels.reserve(levels);
  std::span<const T> input = signal;
  for (std::size_t k = 0; k < levels; ++k) {
    if (input.size() < filter_length_) return std::unexpected(RimbleError::buffer_too_small_for_level());
    auto level = forward_level(input);
    if (!level) return std::unexpected(level.error());
    result.levels.push_back(std::move(*level));
    input = result.levels.back().approximations;
  }
  return result;
}

template <class T>
Result<std::vector<T>> CompletedDwtExecutor<T>::idwt(const DwtView<T>& view) const noexcept {
  const std::size_t length = view.approximations.size();
  if (length != view.details.size()) {
    return std::unexpected(RimbleError::approx_details_mismatch(length, view.details.size()));
  }
  // Bands of m samples rebuild 2m - L + 2 samples: for m below (L - 2) / 2
  // that count is negative, and idwt_size's unsigned arithmetic wraps it.
  if (2 * length + 2 < filter_length_) {
    return std::unexpected(RimbleError::approximation_size_mismatch(length, (filter_length_ - 2) / 2));
  }
  auto output = zeroed_vector<T>(inner_->idwt_size({length, length}));
  if (!output) return std::unexpected(output.error());
  if (auto done = inner_->execute_inverse(view.approximations, view.details, *output); !done) {
    return std::unexpected(done.error());
  }
  return output;
}

template <class T>
Result<std::vector<T>> CompletedDwtExecutor<T>::multi_idwt(const MultiDwtView<T>& view) const noexcept {
  if (view.details.empty() || view.approximations.empty()) return std::unexpected(RimbleError::zero_sized_input());
  auto current = idwt({view.approximations, view.details.back()});
  if (!current) return current;
  // From the second-coarsest detail band down to the finest: each
  // reconstruction is cut to the length of the next finer band (the inverse
  // of an odd-length level gives one sample more than its input had).
  for (std::size_t k = view.details.size() - 1; k-- > 0;) {
    const std::span<const T> band = view.details[k];
    if (current->size() < band.size()) {
      return std::unexpected(RimbleError::approx_details_mismatch(current->size(), band.size()));
    }
    auto next = idwt({std::span<const T>(*current).first(band.size()), band});
    if (!next) return next;
    current = std::move(next);
  }
  return current;
}

// The filter bank's inverse gathers: output pair q reads only coefficient
// pairs q .. q + L/2 - 1, so a strip of output pairs [s, e) is exactly the
// single-level inverse of bands [s, e + L/2 - 1), with no border to mend.
template <class T>
Result<void> CompletedDwtExecutor<T>::multi_idwt_quantised(const QuantisedMultiDwtView<T>& view, OutputMap<T> map,
                                                           std::span<T> output) const noexcept {
  // The plan: every level's reconstruction must be long enough for the next
  // finer detail band and no shorter than its own bands allow; anything else
  // takes the reference road, which reports multi_idwt's error.
  const std::size_t levels = view.details.size();
  std::vector<std::size_t> outputs(levels);
  bool planned = levels > 0 && view.approximations.size() == view.details.back().size();
  for (std::size_t k = levels; planned && k-- > 0;) {
    const std::size_t m = view.details[k].size();
    outputs[k] = inner_->idwt_size({m, m});
    planned = m > 0 && outputs[k] <= 2 * m && outputs[k] % 2 == 0 && (k == 0 || outputs[k] >= view.details[k - 1].size());
  }
  if (!planned) return strips::dequantised_multi_idwt(*this, view, map, output);

  const std::size_t reach = filter_length_ / 2 - 1;  // coefficient pairs an output pair reads beyond its own
  const auto level = [&](std::span<const float> approx, std::span<const std::int16_t> details, std::span<float> out,
                         bool last, std::span<float> /*strip*/) {
    const std::size_t width = out.size() / 2 + reach;
    return inner_->execute_inverse_quantised(approx.first(width), details.first(width), view.step, out,
                                             last ? map : OutputMap<T>{});
  };
  return strips::run_levels(view, outputs, 0, output, level);
}

template class CompletedDwtExecutor<float>;

}  // namespace rimble
