// rimble/completed.hpp: multi-level transforms on top of any single-level
// executor.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "rimble/err.hpp"
#include "rimble/interfaces.hpp"
#include "rimble/records.hpp"

namespace rimble {

// Forwards the single-level operations to the inner executor and builds
// dwt, multi_dwt, idwt and multi_idwt from its dwt_size, execute_forward,
// idwt_size and execute_inverse. Levels of two or more refuse an input
// shorter than the filter length.
template <class T>
class CompletedDwtExecutor final : public DwtExecutor<T> {
 public:
  // filter_length: the inner executor's filter_length(), read once by the
  // caller and kept.
  CompletedDwtExecutor(std::shared_ptr<const IncompleteDwtExecutor<T>> inner, std::size_t filter_length);

  [[nodiscard]] Result<void> execute_forward(std::span<const T> input, std::span<T> approximations,
                                             std::span<T> details) const override;
  [[nodiscard]] Result<void> execute_forward_with_scratch(std::span<const T> input, std::span<T> approximations,
                                                          std::span<T> details, std::span<T> scratch) const override;
  [[nodiscard]] std::size_t required_scratch_size(std::size_t n) const override;
  [[nodiscard]] BandLengths dwt_size(std::size_t n) const override;
  [[nodiscard]] Result<void> execute_inverse(std::span<const T> approximations, std::span<const T> details,
                                             std::span<T> output) const override;
  [[nodiscard]] std::size_t idwt_size(BandLengths lengths) const override;
  [[nodiscard]] std::size_t filter_length() const override { return filter_length_; }

  // Allocation failures other than the zero-filled bands end the process
  // (noexcept): plain copies are not reported as errors.
  [[nodiscard]] Result<Dwt<T>> dwt(std::span<const T> signal, std::size_t level) const noexcept override;
  [[nodiscard]] Result<MultiDwt<T>> multi_dwt(std::span<const T> signal, std::size_t levels) const noexcept override;
  [[nodiscard]] Result<std::vector<T>> idwt(const DwtView<T>& view) const noexcept override;
  [[nodiscard]] Result<std::vector<T>> multi_idwt(const MultiDwtView<T>& view) const noexcept override;
  [[nodiscard]] Result<void> multi_idwt_quantised(const QuantisedMultiDwtView<T>& view, OutputMap<T> map,
                                                  std::span<T> output) const noexcept override;

 private:
  // One forward level into two new zero-filled bands.
  [[nodiscard]] Result<Dwt<T>> forward_level(std::span<const T> input) const;

  std::shared_ptr<const IncompleteDwtExecutor<T>> inner_;
  std::size_t filter_length_;
};

extern template class CompletedDwtExecutor<float>;

}  // namespace rimble
