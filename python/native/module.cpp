// python/native/module.cpp: quorvel_tools._native, the aimed encoder, decoder and header reader for Python.
//
// The Python package checks and converts every argument; these functions take
// them ready-made (targets, methods and efforts as the C++ enumerators' codes)
// and only guard against codes out of range. The codec runs with the
// interpreter released; results become Python objects once it is back.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "codec/aim.hpp"
#include "codec/codec.hpp"
#include "codec/parallel.hpp"
#include "python/native/buffers.hpp"
#include "python/native/frame_binding.hpp"
#include "python/numpy_api.hpp"

namespace quorvel::tools {
namespace {

using Encoded = std::expected<std::vector<std::uint8_t>, AimError>;

PyObject* raise_value_error(const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

PyObject* bytes_of(const std::vector<std::uint8_t>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// The target and options from their codes; false with ValueError set for a code out of range.
bool aim_arguments(int kind, double value, int method, int effort, Target& target, AimOptions& options) {
  if (kind < 0 || kind > static_cast<int>(TargetKind::max_bytes)) {
    PyErr_Format(PyExc_ValueError, "unknown target kind %d", kind);
    return false;
  }
  if (method < -1 || method > static_cast<int>(CompressionMethod::sym4)) {
    PyErr_Format(PyExc_ValueError, "unknown method %d", method);
    return false;
  }
  if (effort < 0 || effort > static_cast<int>(Effort::best)) {
    PyErr_Format(PyExc_ValueError, "unknown effort %d", effort);
    return false;
  }
  target = Target{static_cast<TargetKind>(kind), value};
  options.method = method < 0 ? std::nullopt : std::optional{static_cast<CompressionMethod>(method)};
  options.effort = static_cast<Effort>(effort);
  return true;
}

// Row `row` of the table, encoded.
Encoded encode_row(const SampleTable& table, std::size_t row, Target target, AimOptions options) {
  return std::visit(
      [&](auto samples) {
        return compress_aimed(samples.subspan(row * table.columns, table.columns), target, options);
      },
      table.values);
}

PyObject* encode(PyObject* /*module*/, PyObject* args) {
  PyObject* data = nullptr;
  int kind = 0, method = 0, effort = 0;
  double value = 0;
  if (!PyArg_ParseTuple(args, "Oidii:encode", &data, &kind, &value, &method, &effort)) return nullptr;
  Target target{};
  AimOptions options;
  if (!aim_arguments(kind, value, method, effort, target, options)) return nullptr;

  HeldBuffer held;
  SampleTable table;
  if (!view_samples(data, 1, held, table)) return nullptr;
  Encoded container;
  Py_BEGIN_ALLOW_THREADS
  container = encode_row(table, 0, target, options);
  Py_END_ALLOW_THREADS
  if (!container) return raise_value_error(container.error().message());
  return bytes_of(*container);
}

// A list of one container per row. The first row that failed raises, named by its index.
PyObject* container_list(const std::vector<Encoded>& containers) {
  for (std::size_t row = 0; row < containers.size(); ++row) {
    if (!containers[row]) {
      return raise_value_error("row " + std::to_string(row) + ": " + containers[row].error().message());
    }
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(containers.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t row = 0; row < containers.size(); ++row) {
    PyObject* bytes = bytes_of(*containers[row]);
    if (bytes == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(row), bytes);
  }
  return list;
}

PyObject* encode_rows(PyObject* /*module*/, PyObject* args) {
  PyObject* data = nullptr;
  int kind = 0, method = 0, effort = 0;
  double value = 0;
  Py_ssize_t threads = 0;
  if (!PyArg_ParseTuple(args, "Oidiin:encode_rows", &data, &kind, &value, &method, &effort, &threads)) {
    return nullptr;
  }
  if (threads < 0) {
    PyErr_SetString(PyExc_ValueError, "threads must not be negative");
    return nullptr;
  }
  Target target{};
  AimOptions options;
  if (!aim_arguments(kind, value, method, effort, target, options)) return nullptr;

  HeldBuffer held;
  SampleTable table;
  if (!view_samples(data, 2, held, table)) return nullptr;
  std::vector<Encoded> containers(table.rows);
  Py_BEGIN_ALLOW_THREADS
  parallel_for(table.rows, static_cast<std::size_t>(threads),
               [&](std::size_t row) { containers[row] = encode_row(table, row, target, options); });
  Py_END_ALLOW_THREADS
  return container_list(containers);
}

PyObject* decode(PyObject* /*module*/, PyObject* container) {
  if (!python::numpy_ready()) return nullptr;
  HeldBuffer held;
  std::span<const std::uint8_t> bytes;
  if (!view_bytes(container, held, bytes)) return nullptr;
  std::expected<rimble::LargeBlock<float>, QuorvelError> samples;
  Py_BEGIN_ALLOW_THREADS
  samples = decompress_block(bytes);
  Py_END_ALLOW_THREADS
  if (!samples) return raise_value_error(samples.error().message());
  return python::adopt_float32_block(std::move(*samples));
}

const char* method_name(CompressionMethod method) {
  switch (method) {
    case CompressionMethod::cdf53: return "cdf53";
    case CompressionMethod::cdf97: return "cdf97";
    case CompressionMethod::db4: return "db4";
    case CompressionMethod::sym4: return "sym4";
  }
  return "";
}

PyObject* read_header(PyObject* /*module*/, PyObject* container) {
  HeldBuffer held;
  std::span<const std::uint8_t> bytes;
  if (!view_bytes(container, held, bytes)) return nullptr;
  std::expected<QuorvelHeader, QuorvelError> header;
  Py_BEGIN_ALLOW_THREADS
  header = QuorvelHeader::from_bytes(bytes);
  Py_END_ALLOW_THREADS
  if (!header) return raise_value_error(header.error().message());
  // from_bytes accepts only the four known tags, so the method is always found.
  const auto method = method_from_tag(header->method_tag);
  return Py_BuildValue("(sIIIdddI)", method_name(*method), static_cast<unsigned>(header->levels),
                       static_cast<unsigned>(header->scale), static_cast<unsigned>(header->sample_count),
                       static_cast<double>(header->minimum), static_cast<double>(header->maximum),
                       static_cast<double>(header->mean), static_cast<unsigned>(header->payload_length));
}

PyMethodDef methods[] = {
    {"encode", encode, METH_VARARGS,
     "encode(samples, target_kind, target_value, method, effort, /)\n--\n\n"
     "One container for a C-contiguous 1-D float32 or float64 buffer."},
    {"encode_rows", encode_rows, METH_VARARGS,
     "encode_rows(samples, target_kind, target_value, method, effort, threads, /)\n--\n\n"
     "One container per row of a C-contiguous 2-D float32 or float64 buffer, rows spread over "
     "threads."},
    {"decode", decode, METH_O,
     "decode(container, /)\n--\n\nThe float32 samples of a container held in any buffer."},
    {"read_header", read_header, METH_O,
     "read_header(container, /)\n--\n\n"
     "(method, levels, scale, sample_count, minimum, maximum, mean, payload_length) of a container's "
     "header."},
    {"encode_frame", encode_frame, METH_VARARGS,
     "encode_frame(samples, shape, target_kind, target_value, method, effort, scale, cutoff, threads, /)\n--\n\n"
     "A chunk frame of the C-ordered float32 or float64 samples of that shape; target_kind -1 uses the\n"
     "fixed method, scale and cutoff."},
    {"frame_info", frame_info, METH_O, "frame_info(frame, /)\n--\n\n(dtype name, shape) from a frame's header."},
    {"decode_frame", decode_frame, METH_VARARGS,
     "decode_frame(frame, out, threads, /)\n--\n\n"
     "Decodes a frame into a writable C-contiguous buffer of its dtype and sample count."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "quorvel_tools._native", "The C++ codec behind quorvel_tools.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorvel::tools

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&quorvel::tools::definition);
}
