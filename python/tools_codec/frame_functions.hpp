// python/tools_codec/frame_functions.hpp: the chunk-frame functions of quorvel_tools._codec.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvel::tools {

// encode_frame(samples, shape, settings, threads, joint=True, compact=True, /) -> bytes
[[nodiscard]] PyObject* encode_frame(PyObject* module, PyObject* args);
// frame_info(frame, /) -> (dtype name, shape, ((offset, size) of each lane's container, ...),
//                          ((lane, reference lane, Q12 weight) of each joint lane, ...))
[[nodiscard]] PyObject* frame_info(PyObject* module, PyObject* frame);
// frame_head(prefix, /) -> (version, dtype name, shape, lane count, where the containers start,
//                          lane bitmap, any container, reference table) of a compact frame's first bytes
[[nodiscard]] PyObject* frame_head(PyObject* module, PyObject* prefix);
// container_blocks(container, version, /) -> (sample count, block length, (start of each block..., end))
[[nodiscard]] PyObject* container_blocks(PyObject* module, PyObject* args);
// frame_overhead(shape, /) -> bytes besides the containers and masks
[[nodiscard]] PyObject* frame_overhead(PyObject* module, PyObject* shape);
// decode_frame(frame, out, threads, lanes=None, start=0, stop=0, /) -> None: the whole frame, or
// samples [start, stop) of the lanes in the tuple `lanes`, row after row
[[nodiscard]] PyObject* decode_frame(PyObject* module, PyObject* args);

}  // namespace quorvel::tools
