// python/quorvel/module.cpp: the quorvel extension module, its exec step, and the two
// functions as thin argument-handling wrappers around pure bodies.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <span>
#include <string>

#include "codec/codec.hpp"
#include "python/binding/arguments.hpp"
#include "python/binding/errors.hpp"
#include "python/binding/numpy_api.hpp"
#include "python/quorvel/options.hpp"

namespace quorvel::python {
namespace {

// The pure bodies: codec in, Python object out.
PyObject* compress_body(std::span<const float> samples, CompressionOptions options) {
  auto container = compress(samples, options);
  if (!container) return raise_value_error(container.error());
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(container->data()),
                                   static_cast<Py_ssize_t>(container->size()));
}

PyObject* decompress_body(std::span<const std::uint8_t> container) {
  auto samples = decompress_block(container);
  if (!samples) return raise_value_error(samples.error());
  if (!numpy_ready()) return nullptr;
  return adopt_float32_block(std::move(*samples));
}

PyObject* compress_signal(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> names{"data", "options"};
  static constexpr Parameters parameters{"compress_signal()", names, 1};
  std::array<PyObject*, 2> bound{};
  if (!bind_fastcall(parameters, args, nargsf, kwnames, bound)) return nullptr;
  auto [data, options_object] = bound;

  if (!numpy_ready()) return nullptr;
  if (!is_float32_vector(data)) {
    raise_not_instance(data, "ndarray");
    prefix_argument_error("data");
    return nullptr;
  }

  CompressionOptions options;  // cdf97, scale 11, cutoff low
  if (options_object != nullptr && options_object != Py_None) {
    PyTypeObject* type = options_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(options_object, type)) {
      raise_not_instance(options_object, "TarvoCompressionOptions");
      prefix_argument_error("options");
      return nullptr;
    }
    options = options_of(options_object);
  }

  const auto samples = float32_samples(data);
  if (!samples) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return nullptr;
  }
  return compress_body(*samples, options);
}

PyObject* decompress_signal(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> names{"data"};
  static constexpr Parameters parameters{"decompress_signal()", names, 1};
  std::array<PyObject*, 1> bound{};
  if (!bind_fastcall(parameters, args, nargsf, kwnames, bound)) return nullptr;
  PyObject* data = bound[0];

  if (!PyBytes_Check(data)) {
    raise_not_instance(data, "bytes");
    prefix_argument_error("data");
    return nullptr;
  }
  const std::span<const std::uint8_t> container{reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(data))};
  return decompress_body(container);
}

PyMethodDef compress_definition = {
    "compress_signal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compress_signal)),
    METH_FASTCALL | METH_KEYWORDS,
    "compress_signal(data, options=None)\n--\n\n"
    "Compress a 1-D float32 NumPy array into a Quorvel-encoded bytes object."};

PyMethodDef decompress_definition = {
    "decompress_signal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decompress_signal)),
    METH_FASTCALL | METH_KEYWORDS,
    "decompress_signal(data)\n--\n\n"
    "Decompress a Quorvel bytes object into a 1-D float32 NumPy array."};

// Appends `name` to the module's __all__ (creating the list on first use),
// then sets the attribute.
bool add_public(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* namespace_dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(namespace_dict, "__all__");  // borrowed
  if (all == nullptr) {
    all = PyList_New(0);
    if (all == nullptr) return false;
    const int stored = PyDict_SetItemString(namespace_dict, "__all__", all);
    Py_DECREF(all);  // the module's dict keeps it
    if (stored < 0) return false;
  }
  if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  return PyList_Append(all, name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

bool add_function(PyObject* module, PyMethodDef* definition) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return false;
  PyObject* function = PyCFunction_NewEx(definition, module, module_name);
  Py_DECREF(module_name);
  if (function == nullptr) return false;
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  const bool ok = name != nullptr && add_public(module, name, function);
  Py_XDECREF(name);
  Py_DECREF(function);
  return ok;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_not_instance(module, "module");
    return -1;
  }
  PyTypeObject* type = options_type();
  if (type == nullptr) return -1;
  PyObject* type_name = PyUnicode_FromString("TarvoCompressionOptions");
  if (type_name == nullptr) return -1;
  const bool added = add_public(module, type_name, reinterpret_cast<PyObject*>(type));
  Py_DECREF(type_name);
  if (!added) return -1;
  if (!add_function(module, &compress_definition)) return -1;
  if (!add_function(module, &decompress_definition)) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quorvel", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorvel::python

PyMODINIT_FUNC PyInit_quorvel() {
  return PyModuleDef_Init(&quorvel::python::module_definition);
}
