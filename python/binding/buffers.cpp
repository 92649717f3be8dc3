// python/binding/buffers.cpp: buffer-protocol checks for sample tables, byte strings and outputs.
#include "python/binding/buffers.hpp"

#include <bit>
#include <optional>
#include <string_view>

namespace quorvel::python {
namespace {

enum class SampleType { float32, float64 };

// The buffer's struct-module format; "B" (bytes) when the exporter gives none.
const char* format_of(const Py_buffer& view) { return view.format != nullptr ? view.format : "B"; }

// The struct-module format of a native-order float or double: "f" or "d",
// optionally behind a byte-order character that means this machine's order.
std::optional<SampleType> sample_type(const Py_buffer& view) {
  std::string_view format = format_of(view);
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
    PyErr_Format(PyExc_TypeError, "expected a %d-dimensional buffer of samples, got %d dimensions", ndim,
                 view.ndim);
    return false;
  }
  const auto type = sample_type(view);
  if (!type) {
    PyErr_Format(PyExc_TypeError, "expected native-order float32 or float64 samples, got format '%s'",
                 format_of(view));
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

bool view_output(PyObject* object, HeldBuffer& held,
                 std::variant<std::span<float>, std::span<double>>& samples) {
  if (!held.acquire(object, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
  const Py_buffer& view = held.view();
  const auto count = static_cast<std::size_t>(view.len / view.itemsize);
  const auto type = sample_type(view);
  if (type == SampleType::float32 && aligned<float>(view.buf)) {
    samples = std::span<float>(static_cast<float*>(view.buf), count);
  } else if (type == SampleType::float64 && aligned<double>(view.buf)) {
    samples = std::span<double>(static_cast<double*>(view.buf), count);
  } else {
    PyErr_Format(PyExc_TypeError, "expected an aligned native float32 or float64 buffer, got format '%s'",
                 format_of(view));
    return false;
  }
  return true;
}

}  // namespace quorvel::python
