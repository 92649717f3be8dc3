// python/tools_codec/settings_binding.hpp: what the functions of quorvel_tools._codec share: settings
// and thread counts from the package's arguments, the vocabulary's names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "codec/codec.hpp"

namespace quorvel::tools {

// The codec's settings from a quorvel_tools.Settings (its attributes target,
// value, method, effort, scale, cutoff and format, by name): a target name
// with its value, "auto" or a method name, an effort name; or no target (None)
// and a method, scale and cutoff; and the container version, 1 or 2. The package has checked them; a name the codec
// does not know or a missing value raise ValueError here.
[[nodiscard]] bool settings_from(PyObject* object, Settings& settings);

// A thread count: a non-negative int; ValueError otherwise.
[[nodiscard]] bool thread_count(Py_ssize_t threads, std::size_t& count);

// vocabulary() -> {"methods": names, "cutoffs": ..., "targets": ..., "efforts": ...},
// each a tuple of names in enumerator order.
[[nodiscard]] PyObject* vocabulary(PyObject* module, PyObject* unused);

}  // namespace quorvel::tools
