// python/native/frame_binding.hpp: the chunk-frame functions of quorvel_tools._native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvel::tools {

// encode_frame(samples, shape, target_kind, target_value, method, effort, scale, cutoff, threads, /) -> bytes
[[nodiscard]] PyObject* encode_frame(PyObject* module, PyObject* args);
// frame_info(frame, /) -> (dtype name, shape)
[[nodiscard]] PyObject* frame_info(PyObject* module, PyObject* frame);
// decode_frame(frame, out, threads, /) -> None
[[nodiscard]] PyObject* decode_frame(PyObject* module, PyObject* args);

}  // namespace quorvel::tools
