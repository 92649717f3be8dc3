// python/native/buffers.cpp: buffer-protocol checks for sample tables and byte strings.
#include "python/native/buffers.hpp"

#include <bit>
#include <optional>
#include <string_view>

namespace quorvel::tools {
namespace {

enum class SampleType { float32, float64 };

// The struct-module format of a native-order float or double: "f" or "d",
// optionally behind a byte-order character that means this machine's order.
std::optional<SampleType> sample_type(const Py_buffer& view) {
  std::string_view format = view.format != nullptr ? view.format : "B";
  constexpr bool little = std::endian::native == std::endian::little;
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == (little ? '<' : '>'))) {
    format.remove_prefix(1);
  }
  if (format == "f" && view.itemsize == 4) return SampleType::float32;
  if (format == "d" && view.itemsize == 8) return SampleType::float64;
  return std::nullopt;
}

template <class T>
bool aligned(const void* address) {
  return reinterpret_cast<std::uintptr_t>(address) % alignof(T) == 0;
}

}  // namespace

bool view_samples(PyObject* object, int ndim, HeldBuffer& held, SampleTable& table) {
  if (!held.acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
  const Py_buffer& view = held.view();
  if (view.ndim != ndim) {
    PyErr_Format(PyExc_TypeError, "expected a %d-dimensional buffer of samples, got %d dimensions", ndim, view.ndim);
    return false;
  }
  const auto type = sample_type(view);
  if (!type) {
    PyErr_Format(PyExc_TypeError, "expected native-order float32 or float64 samples, got format '%s'",
                 view.format != nullptr ? view.format : "B");
    return false;
  }
  const auto count = static_cast<std::size_t>(view.len / view.itemsize);
  table.rows = ndim == 2 ? static_cast<std::size_t>(view.shape[0]) : 1;
  table.columns = ndim == 2 ? static_cast<std::size_t>(view.shape[1]) : count;
  const bool is_float = *type == SampleType::float32;
  if (count > 0 && !(is_float ? aligned<float>(view.buf) : aligned<double>(view.buf))) {
    PyErr_SetString(PyExc_TypeError, "the samples are misaligned");
    return false;
  }
  if (is_float) {
    table.values = std::span<const float>{static_cast<const float*>(view.buf), count};
  } else {
    table.values = std::span<const double>{static_cast<const double*>(view.buf), count};
  }
  return true;
}

bool view_bytes(PyObject* object, HeldBuffer& held, std::span<const std::uint8_t>& bytes) {
  if (!held.acquire(object, PyBUF_SIMPLE)) return false;
  bytes = {static_cast<const std::uint8_t*>(held.view().buf), static_cast<std::size_t>(held.view().len)};
  return true;
}

}  // namespace quorvel::tools
