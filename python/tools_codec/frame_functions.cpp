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
  PyObject* shape = PyTuple_New(static_cast<Py_ssize_t>(info->shape.size()));
  PyObject* lanes = PyTuple_New(static_cast<Py_ssize_t>(info->lanes.size()));
  PyObject* references = PyTuple_New(static_cast<Py_ssize_t>(info->references.size()));
  bool ok = shape != nullptr && lanes != nullptr && references != nullptr;
  for (std::size_t axis = 0; ok && axis < info->shape.size(); ++axis) {
    PyObject* extent = PyLong_FromUnsignedLongLong(info->shape[axis]);
    ok = extent != nullptr;
    if (ok) PyTuple_SET_ITEM(shape, static_cast<Py_ssize_t>(axis), extent);
  }
  for (std::size_t lane = 0; ok && lane < info->lanes.size(); ++lane) {
    PyObject* part = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(info->lanes[lane].offset),
                                   static_cast<Py_ssize_t>(info->lanes[lane].size));
    ok = part != nullptr;
    if (ok) PyTuple_SET_ITEM(lanes, static_cast<Py_ssize_t>(lane), part);
  }
  for (std::size_t e = 0; ok && e < info->references.size(); ++e) {
    const LaneReference& r = info->references[e];
    PyObject* entry = Py_BuildValue("(IIi)", r.lane, r.reference, static_cast<int>(r.weight));
    ok = entry != nullptr;
    if (ok) PyTuple_SET_ITEM(references, static_cast<Py_ssize_t>(e), entry);
  }
  if (!ok) {
    Py_XDECREF(shape);
    Py_XDECREF(lanes);
    Py_XDECREF(references);
    return nullptr;
  }
  return Py_BuildValue("(sNNN)", info->dtype == FrameDtype::float32 ? "float32" : "float64", shape, lanes,
                       references);
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
