// python/binding/buffers.hpp: sample and byte views over objects that export the buffer protocol,
// and codec readers run on them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "python/binding/errors.hpp"

namespace quorvel::python {

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

// Holds `object`'s buffer in `held` and views it as writable samples: an
// aligned, C-contiguous buffer of native float32 or float64, of any shape.
// Otherwise returns false with TypeError set (or the exporter's own exception).
[[nodiscard]] bool view_output(PyObject* object, HeldBuffer& held,
                               std::variant<std::span<float>, std::span<double>>& samples);

// Runs `codec(bytes)` (a reader of containers or frames) on the bytes of
// `object`'s buffer with the interpreter released: its result, or nothing
// with the codec's error raised as quorvel_tools' exception.
template <class Codec>
auto on_bytes(PyObject* object, Codec codec)
    -> std::optional<typename std::invoke_result_t<Codec, std::span<const std::uint8_t>>::value_type> {
  HeldBuffer held;
  std::span<const std::uint8_t> bytes;
  if (!view_bytes(object, held, bytes)) return std::nullopt;
  std::invoke_result_t<Codec, std::span<const std::uint8_t>> result;
  Py_BEGIN_ALLOW_THREADS
  result = codec(bytes);
  Py_END_ALLOW_THREADS
  if (!result) {
    raise_codec_error(result.error());
    return std::nullopt;
  }
  return std::move(*result);
}

}  // namespace quorvel::python
