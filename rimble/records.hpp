// rimble/records.hpp: the plain records that travel through the executors.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace rimble {

// Lengths of the two bands of one decomposition level.
struct BandLengths {
  std::size_t approx_length;
  std::size_t details_length;
  friend bool operator==(const BandLengths&, const BandLengths&) = default;
};

// One decomposition level: low-pass (approximation) and high-pass (detail) band.
template <class T>
struct Dwt {
  std::vector<T> approximations;
  std::vector<T> details;
};

// Several levels, finest (computed from the signal itself) first.
template <class T>
struct MultiDwt {
  std::vector<Dwt<T>> levels;
};

// Read-only input of one inverse level.
template <class T>
struct DwtView {
  std::span<const T> approximations;
  std::span<const T> details;
};

// Read-only input of a multi-level inverse: the coarsest approximation band and
// every detail band, finest first.
template <class T>
struct MultiDwtView {
  std::span<const T> approximations;
  std::vector<std::span<const T>> details;
};

}  // namespace rimble
