// python/binding/numpy_api.hpp: the few NumPy operations the modules need, kept in one
// translation unit so that NumPy's C API table has a single home in each module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <span>

#include "codec/common/runtime.hpp"

namespace quorvel::python {

// Fetches NumPy's C API table on first use (importing NumPy then, never at
// module import). False with the import's exception set when that fails.
[[nodiscard]] bool numpy_ready();

// True when `object` is an ndarray (or subclass) of one dimension whose data
// type is equivalent to native-byte-order float32. Needs numpy_ready().
[[nodiscard]] bool is_float32_vector(PyObject* object);

// The samples of a float32 vector, read in place: empty for an array without
// elements whatever its flags, nullopt for a non-empty array that is
// misaligned or not contiguous.
[[nodiscard]] std::optional<std::span<const float>> float32_samples(PyObject* vector);

// A new writable 1-D float32 array over the memory of `samples`, which it
// takes over without copying; the memory is freed when the array dies.
// Returns nullptr with an exception set on failure (the samples are freed).
[[nodiscard]] PyObject* adopt_float32_block(LargeBlock<float>&& samples);

}  // namespace quorvel::python
