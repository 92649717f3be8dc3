// rimble/records.hpp: the plain records that travel through the executors.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Input of a multi-level inverse whose bands are stored as 16-bit integers,
// each integer c standing for the sample c * step; bands in MultiDwtView's order.
template <class T>
struct QuantisedMultiDwtView {
  std::span<const std::int16_t> approximations;
  std::vector<std::span<const std::int16_t>> details;
  T step;
};

// Applied to every reconstructed sample y: ((y + shift) * scale) + offset, each
// operation rounded to T. The default keeps every sample (a -0 becomes +0).
template <class T>
struct OutputMap {
  T shift = T(0);
  T scale = T(1);
  T offset = T(0);

  [[nodiscard]] T operator()(T y) const { return ((y + shift) * scale) + offset; }
};

}  // namespace rimble
