// python/tools_codec/frame_functions.cpp: chunk frames for Python: encode, read the lane table, decode into a buffer.
//
// As for the containers, the package checks and converts the arguments; the
// frame functions run with the interpreter released.
#include "python/tools_codec/frame_functions.hpp"

#include <cstdint>
#include <expected>
#include <variant>
#include <vector>

#include "codec/codec.hpp"
#include "python/binding/buffers.hpp"
#include "python/binding/errors.hpp"
#include "python/tools_codec/settings_binding.hpp"

namespace quorvel::tools {

using python::HeldBuffer;
using python::raise_codec_error;

namespace {

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

// The shape as a tuple of ints (a new reference, or nullptr with an exception set).
PyObject* shape_tuple(const std::vector<std::uint64_t>& shape) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(shape.size()));
  for (std::size_t axis = 0; tuple != nullptr && axis < shape.size(); ++axis) {
    PyObject* extent = PyLong_FromUnsignedLongLong(shape[axis]);
    if (extent == nullptr) {
      Py_CLEAR(tuple);
      break;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(axis), extent);
  }
  return tuple;
}

// The reference table as ((lane, reference lane, Q12 weight), ...), as shape_tuple.
PyObject* references_tuple(const std::vector<LaneReference>& references) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(references.size()));
  for (std::size_t e = 0; tuple != nullptr && e < references.size(); ++e) {
    const LaneReference& r = references[e];
    PyObject* entry = Py_BuildValue("(IIi)", r.lane, r.reference, static_cast<int>(r.weight));
    if (entry == nullptr) {
      Py_CLEAR(tuple);
      break;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(e), entry);
  }
  return tuple;
}

const char* dtype_name(FrameDtype dtype) { return dtype == FrameDtype::float32 ? "float32" : "float64"; }

}  // namespace

PyObject* encode_frame(PyObject* /*module*/, PyObject* args) {
  PyObject *data, *shape_tuple, *settings_object;
  Py_ssize_t threads = 0;
  int joint = 1, compact = 1;
  if (!PyArg_ParseTuple(args, "OO!On|pp:encode_frame", &data, &PyTuple_Type, &shape_tuple, &settings_object, &threads,
                        &joint, &compact)) {
    return nullptr;
  }
  FrameSettings settings;
  std::vector<std::uint64_t> shape;
  if (!settings_from(settings_object, settings) || !thread_count(threads, settings.threads) ||
      !shape_of(shape_tuple, shape)) {
    return nullptr;
  }
  HeldBuffer held;
  python::SampleTable table;
  if (!python::view_samples(data, 1, held, table)) return nullptr;
  std::expected<std::vector<std::uint8_t>, QuorvelError> frame;
  Py_BEGIN_ALLOW_THREADS
  const auto layout = compact != 0 ? quorvel::FrameLayout::compact : quorvel::FrameLayout::lane_table;
  frame = std::visit([&](auto samples) { return quorvel::encode_frame(samples, shape, settings, joint != 0, layout); },
                     table.values);
  Py_END_ALLOW_THREADS
  if (!frame) return raise_codec_error(frame.error());
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame->data()),
                                   static_cast<Py_ssize_t>(frame->size()));
}

PyObject* frame_info(PyObject* /*module*/, PyObject* frame) {
  const auto info = python::on_bytes(frame, &read_frame_info);
  if (!info) return nullptr;
  PyObject* lanes = PyTuple_New(static_cast<Py_ssize_t>(info->lanes.size()));
  bool ok = lanes != nullptr;
  for (std::size_t lane = 0; ok && lane < info->lanes.size(); ++lane) {
    PyObject* part = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(info->lanes[lane].offset),
                                   static_cast<Py_ssize_t>(info->lanes[lane].size));
    ok = part != nullptr;
    if (ok) PyTuple_SET_ITEM(lanes, static_cast<Py_ssize_t>(lane), part);
  }
  PyObject* shape = shape_tuple(info->shape);
  PyObject* references = references_tuple(info->references);
  if (!ok || shape == nullptr || references == nullptr) {
    Py_XDECREF(lanes);
    Py_XDECREF(shape);
    Py_XDECREF(references);
    return nullptr;
  }
  return Py_BuildValue("(sNNN)", dtype_name(info->dtype), shape, lanes, references);
}

PyObject* frame_head(PyObject* /*module*/, PyObject* prefix) {
  auto head = python::on_bytes(prefix, &read_frame_head);
  if (!head) return nullptr;
  const FrameInfo& info = head->info;
  PyObject* shape = shape_tuple(info.shape);
  PyObject* references = references_tuple(info.references);
  if (shape == nullptr || references == nullptr) {
    Py_XDECREF(shape);
    Py_XDECREF(references);
    return nullptr;
  }
  const char* bitmap = head->bitmap.empty() ? "" : reinterpret_cast<const char*>(head->bitmap.data());
  return Py_BuildValue("(BsNnny#ON)", info.version, dtype_name(info.dtype), shape,
                       static_cast<Py_ssize_t>(info.lane_count), static_cast<Py_ssize_t>(head->end), bitmap,
                       static_cast<Py_ssize_t>(head->bitmap.size()), head->any_container ? Py_True : Py_False,
                       references);
}

PyObject* container_blocks(PyObject* /*module*/, PyObject* args) {
  PyObject* container = nullptr;
  unsigned char version = 0;
  if (!PyArg_ParseTuple(args, "Ob:container_blocks", &container, &version)) return nullptr;
  const auto blocks = python::on_bytes(container, [version](std::span<const std::uint8_t> bytes) {
    return read_container_blocks(bytes, version);
  });
  if (!blocks) return nullptr;
  PyObject* starts = PyTuple_New(static_cast<Py_ssize_t>(blocks->starts.size()));
  bool ok = starts != nullptr;
  for (std::size_t b = 0; ok && b < blocks->starts.size(); ++b) {
    PyObject* start = PyLong_FromSize_t(blocks->starts[b]);
    ok = start != nullptr;
    if (ok) PyTuple_SET_ITEM(starts, static_cast<Py_ssize_t>(b), start);
  }
  if (!ok) {
    Py_XDECREF(starts);
    return nullptr;
  }
  return Py_BuildValue("(nnN)", static_cast<Py_ssize_t>(blocks->sample_count),
                       static_cast<Py_ssize_t>(blocks->block_length), starts);
}

PyObject* frame_overhead(PyObject* /*module*/, PyObject* shape_tuple) {
  std::vector<std::uint64_t> shape;
  if (!shape_of(shape_tuple, shape)) return nullptr;
  return PyLong_FromSize_t(quorvel::frame_overhead(shape));
}

PyObject* decode_frame(PyObject* /*module*/, PyObject* args) {
  PyObject *frame = nullptr, *out = nullptr, *lanes_tuple = nullptr;
  Py_ssize_t threads = 0, start = 0, stop = 0;
  if (!PyArg_ParseTuple(args, "OOn|O!nn:decode_frame", &frame, &out, &threads, &PyTuple_Type, &lanes_tuple, &start,
                        &stop)) {
    return nullptr;
  }
  std::size_t count = 0;
  if (!thread_count(threads, count)) return nullptr;
  std::vector<std::size_t> lanes;
  for (Py_ssize_t i = 0; lanes_tuple != nullptr && i < PyTuple_GET_SIZE(lanes_tuple); ++i) {
    const Py_ssize_t lane = PyLong_AsSsize_t(PyTuple_GET_ITEM(lanes_tuple, i));
    if (lane < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "lanes must be non-negative");
      return nullptr;
    }
    lanes.push_back(static_cast<std::size_t>(lane));
  }
  if (start < 0 || stop < 0) {
    PyErr_SetString(PyExc_ValueError, "start and stop must be non-negative");
    return nullptr;
  }
  const quorvel::FramePart part{lanes, static_cast<std::size_t>(start), static_cast<std::size_t>(stop)};
  HeldBuffer held_frame, held_out;
  std::span<const std::uint8_t> bytes;
  std::variant<std::span<float>, std::span<double>> samples;
  if (!python::view_bytes(frame, held_frame, bytes) || !python::view_output(out, held_out, samples)) {
    return nullptr;
  }
  std::expected<void, QuorvelError> decoded;
  Py_BEGIN_ALLOW_THREADS
  decoded = std::visit(
      [&](auto target) {
        return lanes_tuple != nullptr ? quorvel::decode_frame_part(bytes, part, target, count)
                                      : quorvel::decode_frame(bytes, target, count);
      },
      samples);
  Py_END_ALLOW_THREADS
  if (!decoded) return raise_codec_error(decoded.error());
  Py_RETURN_NONE;
}

}  // namespace quorvel::tools
