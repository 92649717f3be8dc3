// python/binding/arguments.cpp: argument binding and argument-error wording.
#include "python/binding/arguments.hpp"

#include <string>

namespace quorvel::python {
namespace {

// The pending exception as one normalised object (new reference), cleared.
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

void raise_too_many_positional(const Parameters& parameters, Py_ssize_t given) {
  const auto total = static_cast<Py_ssize_t>(parameters.names.size());
  const auto required = static_cast<Py_ssize_t>(parameters.required);
  const char* verb = given == 1 ? "was" : "were";
  if (required == total) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", parameters.full_name,
                 total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 parameters.full_name, required, total, given, verb);
  }
}

// Places one keyword argument; false with TypeError set when the keyword names
// no parameter or a parameter that already has a value.
bool bind_keyword(const Parameters& parameters, PyObject* keyword, PyObject* value, std::span<PyObject*> bound) {
  for (std::size_t i = 0; i < parameters.names.size(); ++i) {
    if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, parameters.names[i]) == 0) {
      if (bound[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", parameters.full_name,
                     parameters.names[i]);
        return false;
      }
      bound[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", parameters.full_name, keyword);
  return false;
}

// Missing required parameters are named in CPython's manner: 'a', 'a' and
// 'b', or 'a', 'b' and 'c'.
bool check_required(const Parameters& parameters, std::span<PyObject*> bound) {
  std::string names;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (bound[i] == nullptr) ++missing;
  }
  if (missing == 0) return true;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (bound[i] != nullptr) continue;
    if (listed > 0) names += listed + 1 == missing ? (missing > 2 ? ", and " : " and ") : ", ";
    names += '\'';
    names += parameters.names[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", parameters.full_name,
               missing, missing == 1 ? "" : "s", names.c_str());
  return false;
}

bool bind_positional(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> bound) {
  if (nargs > static_cast<Py_ssize_t>(parameters.names.size())) {
    raise_too_many_positional(parameters, nargs);
    return false;
  }
  for (std::size_t i = 0; i < bound.size(); ++i) {
    bound[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
  return true;
}

}  // namespace

bool bind_fastcall(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   std::span<PyObject*> bound) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!bind_positional(parameters, args, nargs, bound)) return false;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(parameters, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) return false;
  }
  return check_required(parameters, bound);
}

bool bind_tuple_dict(const Parameters& parameters, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
  if (!bind_positional(parameters, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), bound)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *keyword = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!bind_keyword(parameters, keyword, value, bound)) return false;
    }
  }
  return check_required(parameters, bound);
}

PyObject* utf8_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* raise_value_error(std::string_view message) {
  PyObject* text = utf8_text(message);
  if (text != nullptr) {
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

PyObject* raise_not_instance(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return nullptr;
  }
  PyObject* qualname = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
  if (qualname == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname, expected);
  Py_DECREF(qualname);
  return nullptr;
}

void prefix_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* original = take_exception();
  if (original == nullptr) return;
  if (Py_TYPE(original) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(original);  // a TypeError subclass passes unchanged
    return;
  }
  PyObject* cause = PyException_GetCause(original);
  PyObject* message = PyUnicode_FromFormat("argument '%s': %S", name, original);
  Py_DECREF(original);
  if (message == nullptr) {
    Py_XDECREF(cause);
    return;
  }
  PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, message);
  Py_DECREF(message);
  if (replacement == nullptr) {
    Py_XDECREF(cause);
    return;
  }
  if (cause != nullptr) PyException_SetCause(replacement, cause);  // steals cause
  restore_exception(replacement);
}

}  // namespace quorvel::python
