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
#include "codec/v1/deflate.hpp"
#include "codec/common/parallel.hpp"
#include "python/binding/buffers.hpp"
#include "python/binding/errors.hpp"
#include "python/binding/numpy_api.hpp"
#include "python/tools_codec/frame_functions.hpp"
#include "python/tools_codec/settings_binding.hpp"

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

// The arguments of both encoders: samples of `dims` axes, a Settings object and
// a thread count ("OOn:" and the function's name in `format`).
bool encoder_arguments(PyObject* args, const char* format, int dims, Settings& settings, HeldBuffer& held,
                       SampleTable& table) {
  PyObject *data, *settings_object;
  Py_ssize_t threads = 0;
  return PyArg_ParseTuple(args, format, &data, &settings_object, &threads) &&
         settings_from(settings_object, settings) && thread_count(threads, settings.threads) &&
         python::view_samples(data, dims, held, table);
}

PyObject* encode(PyObject* /*module*/, PyObject* args) {
  Settings settings;
  HeldBuffer held;
  SampleTable table;
  if (!encoder_arguments(args, "OOn:encode", 1, settings, held, table)) return nullptr;
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
  Settings settings;
  HeldBuffer held;
  SampleTable table;
  if (!encoder_arguments(args, "OOn:encode_rows", 2, settings, held, table)) return nullptr;
  std::vector<Encoded> containers(table.rows);
  Py_BEGIN_ALLOW_THREADS
  parallel_for(table.rows, settings.threads,
               [&](std::size_t row) { containers[row] = encode_row(table, row, settings); });
  Py_END_ALLOW_THREADS
  return container_list(containers);
}

PyObject* decode(PyObject* /*module*/, PyObject* args) {
  PyObject* container;
  Py_ssize_t threads = 0;
  std::size_t count = 0;
  if (!PyArg_ParseTuple(args, "On:decode", &container, &threads) || !thread_count(threads, count) ||
      !python::numpy_ready()) {
    return nullptr;
  }
  auto samples = python::on_bytes(container, [count](std::span<const std::uint8_t> bytes) {
    return quorvel::decode(bytes, count);
  });
  if (!samples) return nullptr;
  return python::adopt_float32_block(std::move(*samples));
}

// Samples [start, stop) of a container; a version-2 container is read only in
// the blocks that hold them.
PyObject* decode_range(PyObject* /*module*/, PyObject* args) {
  PyObject* container;
  Py_ssize_t start = 0, stop = 0, threads = 0;
  std::size_t count = 0;
  if (!PyArg_ParseTuple(args, "Onnn:decode_range", &container, &start, &stop, &threads) ||
      !thread_count(threads, count) || !python::numpy_ready()) {
    return nullptr;
  }
  if (start < 0 || stop < start) {
    PyErr_Format(PyExc_ValueError, "samples %zd to %zd are no range", start, stop);
    return nullptr;
  }
  const auto length = static_cast<std::size_t>(stop - start);
  auto samples = python::on_bytes(container, [&](std::span<const std::uint8_t> bytes)
                                                 -> std::expected<LargeBlock<float>, QuorvelError> {
    LargeBlock<float> out(length);
    if (out.size() != length) return std::unexpected(QuorvelError::out_of_memory(length * sizeof(float)));
    if (auto done = decode_into(bytes, static_cast<std::size_t>(start), out.span(), count); !done) {
      return std::unexpected(done.error());
    }
    return out;
  });
  if (!samples) return nullptr;
  return python::adopt_float32_block(std::move(*samples));
}

// What the header says, as keyword arguments of quorvel_tools.ContainerInfo.
PyObject* header_fields(const ContainerInfo& info) {
  if (info.v1) {
    const ContainerHeader& header = *info.v1;
    const std::string method(name_of(header.method));
    return Py_BuildValue("{sIsIsnsssIsIsdsdsdsI}", "version", unsigned{info.version}, "sample_count",
                         static_cast<unsigned>(info.sample_count), "size", static_cast<Py_ssize_t>(info.size),
                         "method", method.c_str(), "levels", static_cast<unsigned>(header.levels), "scale",
                         static_cast<unsigned>(header.scale), "minimum", static_cast<double>(header.minimum),
                         "maximum", static_cast<double>(header.maximum), "mean", static_cast<double>(header.mean),
                         "payload_length", static_cast<unsigned>(header.payload_length));
  }
  static constexpr const char* mode_names[] = {"grid", "interpolated", "corrected", "ordinals", "lifted",
                                                "scaled", "scaled_linear"};
  const v2::Header& header = info.v2->header;
  const bool grid = v2::has_grid(header.mode);
  PyObject* origin = grid ? PyFloat_FromDouble(header.grid.origin) : Py_NewRef(Py_None);
  PyObject* step = grid ? PyFloat_FromDouble(header.grid.step) : Py_NewRef(Py_None);
  PyObject* filter = Py_NewRef(Py_None);
  if (header.filter) {
    const auto& g = *header.filter;
    Py_DECREF(filter);
    filter = Py_BuildValue("(iiii)", int{g[0]}, int{g[1]}, int{g[2]}, int{g[3]});
  }
  return Py_BuildValue("{sIsIsnsssnsnsNsNsnsN}", "version", unsigned{info.version}, "sample_count",
                       static_cast<unsigned>(info.sample_count), "size", static_cast<Py_ssize_t>(info.size), "mode",
                       mode_names[static_cast<std::size_t>(header.mode)], "block_length",
                       static_cast<Py_ssize_t>(header.block_length()), "block_count",
                       static_cast<Py_ssize_t>(header.block_count()), "grid_origin", origin, "grid_step", step,
                       "palette_size", static_cast<Py_ssize_t>(header.palette.size()), "cell_filter", filter);
}

PyObject* inspect(PyObject* /*module*/, PyObject* container) {
  const auto info = python::on_bytes(container, [](std::span<const std::uint8_t> bytes) {
    return quorvel::inspect(bytes);
  });
  return info ? header_fields(*info) : nullptr;
}

PyObject* build_info(PyObject* /*module*/, PyObject* /*unused*/) {
  const DeflateLibrary deflate = deflate_library();
  const std::string_view zlib = zlib_runtime_version();
  const std::string_view tier = processor_tier_name();
  return Py_BuildValue("(s#s#s#s#)", deflate.name.data(), static_cast<Py_ssize_t>(deflate.name.size()),
                       deflate.version.data(), static_cast<Py_ssize_t>(deflate.version.size()), zlib.data(),
                       static_cast<Py_ssize_t>(zlib.size()), tier.data(), static_cast<Py_ssize_t>(tier.size()));
}

PyMethodDef methods[] = {
    {"encode", encode, METH_VARARGS,
     "encode(samples, settings, threads, /)\n--\n\n"
     "One container for a C-contiguous 1-D float32 or float64 buffer under a quorvel_tools.Settings\n"
     "(the blocks of a version-2 container on threads)."},
    {"encode_rows", encode_rows, METH_VARARGS,
     "encode_rows(samples, settings, threads, /)\n--\n\n"
     "One container per row of a C-contiguous 2-D float32 or float64 buffer, rows spread over threads."},
    {"decode", decode, METH_VARARGS,
     "decode(container, threads, /)\n--\n\nThe float32 samples of a container of either version held in any buffer."},
    {"decode_range", decode_range, METH_VARARGS,
     "decode_range(container, start, stop, threads, /)\n--\n\n"
     "Samples [start, stop) of a container, read only from the blocks that hold them."},
    {"inspect", inspect, METH_O,
     "inspect(container, /)\n--\n\n"
     "A dict of what a container's header says (version, sample_count, size, and the fields of its version)."},
    {"encode_frame", encode_frame, METH_VARARGS,
     "encode_frame(samples, shape, settings, threads, joint=True, compact=True, /)\n--\n\n"
     "A chunk frame of the C-ordered float32 or float64 samples of that shape; joint: lanes may be coded "
     "against one another."},
    {"frame_info", frame_info, METH_O,
     "frame_info(frame, /)\n--\n\n(dtype name, shape, ((offset, size) of each lane's container, ...), "
     "((lane, reference lane, Q12 weight) of each joint lane, ...)) of a frame."},
    {"frame_head", frame_head, METH_O,
     "frame_head(prefix, /)\n--\n\n(version, dtype name, shape, lane count, where the containers start, lane "
     "bitmap, any container, reference table) from a compact frame's first bytes; the last axis comes from "
     "the first container when any."},
    {"container_blocks", container_blocks, METH_VARARGS,
     "container_blocks(container, version, /)\n--\n\n(sample count, block length, (start of each block, ..., "
     "end)) of a frame's container, from its header and block index."},
    {"frame_overhead", frame_overhead, METH_O,
     "frame_overhead(shape, /)\n--\n\nBytes a compact frame of this shape takes at most besides its containers, masks and reference table."},
    {"vocabulary", vocabulary, METH_NOARGS,
     "vocabulary()\n--\n\nThe codec's names: methods, cutoffs, targets and efforts, in enumerator order."},
    {"decode_frame", decode_frame, METH_VARARGS,
     "decode_frame(frame, out, threads, lanes=None, start=0, stop=0, /)\n--\n\n"
     "Decodes a frame (or samples [start, stop) of the lanes in the tuple `lanes`, row after row) into a "
     "writable C-contiguous buffer of its dtype and that many samples."},
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
