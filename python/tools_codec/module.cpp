// python/tools_codec/module.cpp: quorvel_tools._codec, the codec's encoders, decoders, header reader
// and chunk frames for the quorvel_tools package.
//
// The Python package checks every argument and hands the settings down as a
// quorvel_tools.Settings, which names its values; these functions turn the
// names into the codec's enumerators and run the codec with the interpreter
// released.
// Codec errors become the package's exceptions (python/binding/errors.hpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "codec/codec.hpp"
#include "codec/deflate.hpp"
#include "codec/parallel.hpp"
#include "python/binding/buffers.hpp"
#include "python/binding/errors.hpp"
#include "python/binding/numpy_api.hpp"
#include "python/tools_codec/frame_functions.hpp"
#include "python/tools_codec/settings_binding.hpp"
#include "rimble/processor_tier.hpp"

namespace quorvel::tools {

using python::HeldBuffer;
using python::raise_codec_error;
using python::SampleTable;

namespace {

using Encoded = std::expected<std::vector<std::uint8_t>, QuorvelError>;

PyObject* bytes_of(const std::vector<std::uint8_t>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// Row `row` of the table, encoded.
Encoded encode_row(const SampleTable& table, std::size_t row, const Settings& settings) {
  return std::visit(
      [&](auto samples) { return quorvel::encode(samples.subspan(row * table.columns, table.columns), settings); },
      table.values);
}

PyObject* encode(PyObject* /*module*/, PyObject* args) {
  PyObject *data, *settings_object;
  if (!PyArg_ParseTuple(args, "OO:encode", &data, &settings_object)) return nullptr;
  Settings settings;
  if (!settings_from(settings_object, settings)) return nullptr;
  HeldBuffer held;
  SampleTable table;
  if (!python::view_samples(data, 1, held, table)) return nullptr;
  Encoded container;
  Py_BEGIN_ALLOW_THREADS
  container = encode_row(table, 0, settings);
  Py_END_ALLOW_THREADS
  if (!container) return raise_codec_error(container.error());
  return bytes_of(*container);
}

// A list of one container per row. The first row that failed raises, with its index.
PyObject* container_list(const std::vector<Encoded>& containers) {
  for (std::size_t row = 0; row < containers.size(); ++row) {
    if (!containers[row]) return raise_codec_error(containers[row].error(), row);
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
  PyObject *data, *settings_object;
  Py_ssize_t threads = 0;
  if (!PyArg_ParseTuple(args, "OOn:encode_rows", &data, &settings_object, &threads)) return nullptr;
  Settings settings;
  if (!settings_from(settings_object, settings) || !thread_count(threads, settings.threads)) return nullptr;
  HeldBuffer held;
  SampleTable table;
  if (!python::view_samples(data, 2, held, table)) return nullptr;
  std::vector<Encoded> containers(table.rows);
  Py_BEGIN_ALLOW_THREADS
  parallel_for(table.rows, settings.threads,
               [&](std::size_t row) { containers[row] = encode_row(table, row, settings); });
  Py_END_ALLOW_THREADS
  return container_list(containers);
}

PyObject* decode(PyObject* /*module*/, PyObject* container) {
  if (!python::numpy_ready()) return nullptr;
  auto samples =
      python::on_bytes(container, [](std::span<const std::uint8_t> bytes) { return decompress_block(bytes); });
  if (!samples) return nullptr;
  return python::adopt_float32_block(std::move(*samples));
}

PyObject* read_header(PyObject* /*module*/, PyObject* container) {
  const auto header = python::on_bytes(container, &ContainerHeader::parse);
  if (!header) return nullptr;
  const std::string method(name_of(header->method));
  return Py_BuildValue("(sIIIdddI)", method.c_str(), static_cast<unsigned>(header->levels),
                       static_cast<unsigned>(header->scale), static_cast<unsigned>(header->sample_count),
                       static_cast<double>(header->minimum), static_cast<double>(header->maximum),
                       static_cast<double>(header->mean), static_cast<unsigned>(header->payload_length));
}

PyObject* build_info(PyObject* /*module*/, PyObject* /*unused*/) {
  const DeflateLibrary deflate = deflate_library();
  const std::string_view zlib = zlib_runtime_version();
  const std::string_view tier = rimble::tier_name(rimble::processor_tier());
  return Py_BuildValue("(s#s#s#s#)", deflate.name.data(), static_cast<Py_ssize_t>(deflate.name.size()),
                       deflate.version.data(), static_cast<Py_ssize_t>(deflate.version.size()), zlib.data(),
                       static_cast<Py_ssize_t>(zlib.size()), tier.data(), static_cast<Py_ssize_t>(tier.size()));
}

PyMethodDef methods[] = {
    {"encode", encode, METH_VARARGS,
     "encode(samples, settings, /)\n--\n\n"
     "One container for a C-contiguous 1-D float32 or float64 buffer under a quorvel_tools.Settings."},
    {"encode_rows", encode_rows, METH_VARARGS,
     "encode_rows(samples, settings, threads, /)\n--\n\n"
     "One container per row of a C-contiguous 2-D float32 or float64 buffer, rows spread over threads."},
    {"decode", decode, METH_O, "decode(container, /)\n--\n\nThe float32 samples of a container held in any buffer."},
    {"read_header", read_header, METH_O,
     "read_header(container, /)\n--\n\n"
     "(method, levels, scale, sample_count, minimum, maximum, mean, payload_length) of a container's header."},
    {"encode_frame", encode_frame, METH_VARARGS,
     "encode_frame(samples, shape, settings, threads, /)\n--\n\n"
     "A chunk frame of the C-ordered float32 or float64 samples of that shape."},
    {"frame_info", frame_info, METH_O,
     "frame_info(frame, /)\n--\n\n(dtype name, shape, ((offset, size) of each lane's container, ...)) of a frame."},
    {"frame_overhead", frame_overhead, METH_O,
     "frame_overhead(shape, /)\n--\n\nBytes a frame of this shape takes besides its containers and masks."},
    {"vocabulary", vocabulary, METH_NOARGS,
     "vocabulary()\n--\n\nThe codec's names: methods, cutoffs, targets and efforts, in enumerator order."},
    {"decode_frame", decode_frame, METH_VARARGS,
     "decode_frame(frame, out, threads, /)\n--\n\n"
     "Decodes a frame into a writable C-contiguous buffer of its dtype and sample count."},
    {"build_info", build_info, METH_NOARGS,
     "build_info()\n--\n\n(DEFLATE library, its version, zlib's version, processor tier) of this build."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "quorvel_tools._codec", "The C++ codec behind quorvel_tools.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorvel::tools

PyMODINIT_FUNC PyInit__codec() {
  return PyModuleDef_Init(&quorvel::tools::definition);
}
