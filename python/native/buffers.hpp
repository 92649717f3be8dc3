// python/native/buffers.hpp: sample and byte views over objects that export the buffer protocol.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

namespace quorvel::tools {

// A buffer exported by a Python object, held for as long as this lives.
// Destroy it with the interpreter attached.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Requests the buffer with `flags`; false with the exporter's exception set.
  [[nodiscard]] bool acquire(PyObject* object, int flags) {
    held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
    return held_;
  }
  [[nodiscard]] const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The samples of a buffer, in place: float32 or float64, rows of `columns`
// values one after the other (a 1-D buffer is one row).
struct SampleTable {
  std::variant<std::span<const float>, std::span<const double>> values;
  std::size_t rows;
  std::size_t columns;
};

// Holds `object`'s buffer in `held` and views it as samples. The buffer must
// have `ndim` dimensions (1 or 2), be C-contiguous and aligned, and hold
// native-order float32 or float64. Otherwise returns false with TypeError
// set (or the exporter's own exception).
[[nodiscard]] bool view_samples(PyObject* object, int ndim, HeldBuffer& held, SampleTable& table);

// Holds `object`'s buffer in `held` and views it as bytes (any contiguous buffer).
[[nodiscard]] bool view_bytes(PyObject* object, HeldBuffer& held, std::span<const std::uint8_t>& bytes);

}  // namespace quorvel::tools
