// rimble/interfaces.hpp: the abstract executor interfaces, in virtual-slot order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rimble/err.hpp"
#include "rimble/memory.hpp"
#include "rimble/records.hpp"

namespace rimble {

// One forward level. Output views must have exactly the lengths of dwt_size(n).
template <class T>
class DwtForwardExecutor {
 public:
  virtual ~DwtForwardExecutor() = default;
  [[nodiscard]] virtual Result<void> execute_forward(std::span<const T> input, std::span<T> approximations,
                                                     std::span<T> details) const = 0;
  [[nodiscard]] virtual Result<void> execute_forward_with_scratch(std::span<const T> input,
                                                                  std::span<T> approximations,
                                                                  std::span<T> details,
                                                                  std::span<T> scratch) const = 0;
  [[nodiscard]] virtual std::size_t required_scratch_size(std::size_t n) const = 0;
  [[nodiscard]] virtual BandLengths dwt_size(std::size_t n) const = 0;
};

// One inverse level. Filter banks add into the output, which the caller zero-fills.
template <class T>
class DwtInverseExecutor {
 public:
  virtual ~DwtInverseExecutor() = default;
  [[nodiscard]] virtual Result<void> execute_inverse(std::span<const T> approximations, std::span<const T> details,
                                                     std::span<T> output) const = 0;
  [[nodiscard]] virtual std::size_t idwt_size(BandLengths lengths) const = 0;
  // A decoder's level: the details are 16-bit codes times `step`, and the
  // level is written over `output` (which need not be initialised) with `map`
  // applied to every sample. The samples are those of widening the details,
  // zero-filling the output, execute_inverse and the map in turn: this body is
  // that definition, and filter banks override it with one pass.
  [[nodiscard]] virtual Result<void> execute_inverse_quantised(std::span<const T> approximations,
                                                               std::span<const std::int16_t> details, T step,
                                                               std::span<T> output, OutputMap<T> map) const {
    auto widened = zeroed_vector<T>(details.size());
    if (!widened) return std::unexpected(widened.error());
    for (std::size_t i = 0; i < details.size(); ++i) (*widened)[i] = static_cast<T>(details[i]) * step;
    std::fill(output.begin(), output.end(), T(0));
    if (auto done = execute_inverse(approximations, *widened, output); !done) return done;
    for (T& y : output) y = map(y);
    return {};
  }
};

template <class T>
class IncompleteDwtExecutor : public DwtForwardExecutor<T>, public DwtInverseExecutor<T> {
 public:
  [[nodiscard]] virtual std::size_t filter_length() const = 0;
};

// Adds the whole-transform operations to the single-level ones.
template <class T>
class DwtExecutor : public IncompleteDwtExecutor<T> {
 public:
  [[nodiscard]] virtual Result<Dwt<T>> dwt(std::span<const T> signal, std::size_t level) const = 0;
  [[nodiscard]] virtual Result<MultiDwt<T>> multi_dwt(std::span<const T> signal, std::size_t levels) const = 0;
  [[nodiscard]] virtual Result<std::vector<T>> idwt(const DwtView<T>& view) const = 0;
  [[nodiscard]] virtual Result<std::vector<T>> multi_idwt(const MultiDwtView<T>& view) const = 0;
  // multi_idwt of the dequantised bands with `map` applied to its result,
  // written into `output`, which must have the length multi_idwt returns:
  // the same samples and the same errors (OutputSizeMismatch for another
  // length). Decoders call it to touch each band and each output sample once,
  // in memory of their choosing: the bands are widened and the map applied
  // as the levels run, and the coarser levels' reconstructions take no more
  // memory than one level's. `output` need not be initialised.
  // This body is the definition; executors override it with faster roads to
  // the same result, and executors written elsewhere need not.
  [[nodiscard]] virtual Result<void> multi_idwt_quantised(const QuantisedMultiDwtView<T>& view, OutputMap<T> map,
                                                          std::span<T> output) const {
    const auto dequantised = [&view](std::span<const std::int16_t> band) {
      std::vector<T> values(band.size());
      for (std::size_t i = 0; i < band.size(); ++i) values[i] = static_cast<T>(band[i]) * view.step;
      return values;
    };
    const std::vector<T> approximations = dequantised(view.approximations);
    std::vector<std::vector<T>> details;
    details.reserve(view.details.size());
    MultiDwtView<T> floats{approximations, {}};
    for (const auto band : view.details) floats.details.push_back(details.emplace_back(dequantised(band)));
    const auto signal = multi_idwt(floats);
    if (!signal) return std::unexpected(signal.error());
    if (signal->size() != output.size()) {
      return std::unexpected(RimbleError::output_size_mismatch(signal->size(), output.size()));
    }
    for (std::size_t i = 0; i < output.size(); ++i) output[i] = map((*signal)[i]);
    return {};
  }
};

}  // namespace rimble
