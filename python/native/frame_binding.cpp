// python/native/frame_binding.cpp: chunk frames for Python: encode, read the header, decode into a buffer.
//
// As for the containers, the package checks and converts the arguments; the
// frame functions run with the interpreter released.
#include "python/native/frame_binding.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codec/frame.hpp"
#include "python/native/buffers.hpp"

namespace quorvel::tools {
namespace {

PyObject* raise_frame_error(const FrameError& error) {
  PyObject* text =
      PyUnicode_DecodeUTF8(error.message().data(), static_cast<Py_ssize_t>(error.message().size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

// A tuple of non-negative Python ints as a shape; false with an exception set.
bool shape_of(PyObject* tuple, std::vector<std::uint64_t>& shape) {
  if (!PyTuple_Check(tuple)) {
    PyErr_SetString(PyExc_TypeError, "shape must be a tuple");
    return false;
  }
  shape.resize(static_cast<std::size_t>(PyTuple_GET_SIZE(tuple)));
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    shape[axis] = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(axis)));
    if (PyErr_Occurred()) return false;
  }
  return true;
}

// Settings from their codes; target_kind -1 means the fixed method, scale and cutoff.
bool settings_of(int kind, double value, int method, int effort, int scale, int cutoff, Py_ssize_t threads,
                 FrameSettings& settings) {
  const bool codes_valid = kind >= -1 && kind <= static_cast<int>(TargetKind::max_bytes) && method >= -1 &&
                           method <= static_cast<int>(CompressionMethod::sym4) && effort >= 0 &&
                           effort <= static_cast<int>(Effort::best) && scale >= 6 && scale <= 12 && cutoff >= 0 &&
                           cutoff <= static_cast<int>(CutoffLevel::high) && threads >= 0 &&
                           (kind >= 0 || method >= 0);
  if (!codes_valid) {
    PyErr_SetString(PyExc_ValueError, "frame settings out of range");
    return false;
  }
  if (kind >= 0) {
    settings.target = Target{static_cast<TargetKind>(kind), value};
    settings.aim.method = method < 0 ? std::nullopt : std::optional{static_cast<CompressionMethod>(method)};
    settings.aim.effort = static_cast<Effort>(effort);
  } else {
    settings.fixed = CompressionOptions(static_cast<CompressionMethod>(method), static_cast<std::uint8_t>(scale),
                                        static_cast<CutoffLevel>(cutoff));
  }
  settings.threads = static_cast<std::size_t>(threads);
  return true;
}

// A writable, aligned, C-contiguous 1-D buffer of float32 or float64.
bool view_output(PyObject* object, HeldBuffer& held, std::variant<std::span<float>, std::span<double>>& out) {
  if (!held.acquire(object, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
  const Py_buffer& view = held.view();
  const std::string_view format = view.format != nullptr ? view.format : "B";
  const auto count = static_cast<std::size_t>(view.len / view.itemsize);
  const auto address = reinterpret_cast<std::uintptr_t>(view.buf);
  if (format == "f" && view.itemsize == 4 && address % alignof(float) == 0) {
    out = std::span<float>(static_cast<float*>(view.buf), count);
  } else if (format == "d" && view.itemsize == 8 && address % alignof(double) == 0) {
    out = std::span<double>(static_cast<double*>(view.buf), count);
  } else {
    PyErr_Format(PyExc_TypeError, "expected an aligned native float32 or float64 buffer, got format '%s'",
                 view.format != nullptr ? view.format : "B");
    return false;
  }
  return true;
}

}  // namespace

PyObject* encode_frame(PyObject* /*module*/, PyObject* args) {
  PyObject *data = nullptr, *shape_tuple = nullptr;
  int kind = 0, method = 0, effort = 0, scale = 0, cutoff = 0;
  double value = 0;
  Py_ssize_t threads = 0;
  if (!PyArg_ParseTuple(args, "OO!idiiiin:encode_frame", &data, &PyTuple_Type, &shape_tuple, &kind, &value, &method,
                        &effort, &scale, &cutoff, &threads)) {
    return nullptr;
  }
  FrameSettings settings;
  std::vector<std::uint64_t> shape;
  if (!settings_of(kind, value, method, effort, scale, cutoff, threads, settings) || !shape_of(shape_tuple, shape)) {
    return nullptr;
  }
  HeldBuffer held;
  SampleTable table;
  if (!view_samples(data, 1, held, table)) return nullptr;
  std::expected<std::vector<std::uint8_t>, FrameError> frame;
  Py_BEGIN_ALLOW_THREADS
  frame = std::visit([&](auto samples) { return quorvel::encode_frame(samples, shape, settings); }, table.values);
  Py_END_ALLOW_THREADS
  if (!frame) return raise_frame_error(frame.error());
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame->data()),
                                   static_cast<Py_ssize_t>(frame->size()));
}

PyObject* frame_info(PyObject* /*module*/, PyObject* frame) {
  HeldBuffer held;
  std::span<const std::uint8_t> bytes;
  if (!view_bytes(frame, held, bytes)) return nullptr;
  std::expected<FrameInfo, FrameError> info;
  Py_BEGIN_ALLOW_THREADS
  info = read_frame_info(bytes);
  Py_END_ALLOW_THREADS
  if (!info) return raise_frame_error(info.error());
  PyObject* shape = PyTuple_New(static_cast<Py_ssize_t>(info->shape.size()));
  if (shape == nullptr) return nullptr;
  for (std::size_t axis = 0; axis < info->shape.size(); ++axis) {
    PyObject* extent = PyLong_FromUnsignedLongLong(info->shape[axis]);
    if (extent == nullptr) {
      Py_DECREF(shape);
      return nullptr;
    }
    PyTuple_SET_ITEM(shape, static_cast<Py_ssize_t>(axis), extent);
  }
  return Py_BuildValue("(sN)", info->dtype == FrameDtype::float32 ? "float32" : "float64", shape);
}

PyObject* decode_frame(PyObject* /*module*/, PyObject* args) {
  PyObject *frame = nullptr, *out = nullptr;
  Py_ssize_t threads = 0;
  if (!PyArg_ParseTuple(args, "OOn:decode_frame", &frame, &out, &threads)) return nullptr;
  if (threads < 0) {
    PyErr_SetString(PyExc_ValueError, "threads must not be negative");
    return nullptr;
  }
  HeldBuffer held_frame, held_out;
  std::span<const std::uint8_t> bytes;
  std::variant<std::span<float>, std::span<double>> samples;
  if (!view_bytes(frame, held_frame, bytes) || !view_output(out, held_out, samples)) return nullptr;
  std::expected<void, FrameError> decoded;
  Py_BEGIN_ALLOW_THREADS
  decoded = std::visit(
      [&](auto target) { return quorvel::decode_frame(bytes, target, static_cast<std::size_t>(threads)); }, samples);
  Py_END_ALLOW_THREADS
  if (!decoded) return raise_frame_error(decoded.error());
  Py_RETURN_NONE;
}

}  // namespace quorvel::tools
