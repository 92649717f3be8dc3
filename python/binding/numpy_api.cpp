// python/binding/numpy_api.cpp: NumPy array checks and creation.
//
// Built against NumPy 2.x headers but usable at run time with NumPy 1.24 and
// newer: NPY_TARGET_VERSION restricts us to the API that 1.24 already had.
// This file is the only user of the API table, so the table stays a static
// of this translation unit (no PY_ARRAY_UNIQUE_SYMBOL needed).
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_24_API_VERSION

#include "python/binding/numpy_api.hpp"

#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

#include <cstdlib>
#include <utility>

namespace quorvel::python {
namespace {

constexpr const char* owner_name = "quorvel.samples";

void free_owned_samples(PyObject* capsule) {
  std::free(PyCapsule_GetPointer(capsule, owner_name));
}

}  // namespace

bool numpy_ready() {
  // PyArray_ImportNumPyAPI imports only while the table is still unset; a
  // second concurrent first call stores the same table again.
  return PyArray_ImportNumPyAPI() == 0;
}

bool is_float32_vector(PyObject* object) {
  if (!PyArray_Check(object)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 1) return false;
  PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT32);
  // EquivTypes, unlike a type-number comparison, tells byte orders apart.
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), float32) != 0;
  Py_DECREF(float32);
  return equivalent;
}

std::optional<std::span<const float>> float32_samples(PyObject* vector) {
  auto* array = reinterpret_cast<PyArrayObject*>(vector);
  const auto count = static_cast<std::size_t>(PyArray_SIZE(array));
  if (count == 0) return std::span<const float>{};
  const int flags = PyArray_FLAGS(array);
  const bool contiguous = (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0;
  if ((flags & NPY_ARRAY_ALIGNED) == 0 || !contiguous) return std::nullopt;
  return std::span<const float>{static_cast<const float*>(PyArray_DATA(array)), count};
}

PyObject* adopt_float32_block(LargeBlock<float>&& samples) {
  npy_intp length = static_cast<npy_intp>(samples.size());
  if (length == 0) return PyArray_SimpleNew(1, &length, NPY_FLOAT32);

  // The capsule owns the memory from here on; dropping it frees the samples.
  float* owned = samples.release();
  PyObject* owner = PyCapsule_New(owned, owner_name, free_owned_samples);
  if (owner == nullptr) {
    std::free(owned);
    return nullptr;
  }
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT32), 1, &length, nullptr,
                                         owned, NPY_ARRAY_CARRAY, nullptr);
  if (array == nullptr) {
    Py_DECREF(owner);
    return nullptr;
  }
  // Steals the owner, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace quorvel::python
