// python/binding/errors.cpp: codec errors as ValueError, or as quorvel_tools' exceptions with
// their particulars.
#include "python/binding/errors.hpp"

#include <string>

#include "python/binding/arguments.hpp"

namespace quorvel::python {
namespace {

// Sets `object.name = value`, taking over `value`; false with an exception set.
bool set_attribute(PyObject* object, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  const int done = PyObject_SetAttrString(object, name, value);
  Py_DECREF(value);
  return done == 0;
}

PyObject* optional_index(std::optional<std::size_t> index) {
  if (!index) Py_RETURN_NONE;
  return PyLong_FromSize_t(*index);
}

// The exception object for `error`, its attributes set; nullptr with an exception set.
PyObject* exception_for(const QuorvelError& error, std::optional<std::size_t> row) {
  PyObject* errors = PyImport_ImportModule("quorvel_tools.errors");
  if (errors == nullptr) return nullptr;
  const auto target = error.target();
  PyObject* type = PyObject_GetAttrString(errors, target ? "UnreachableTargetError" : "CodecError");
  Py_DECREF(errors);
  if (type == nullptr) return nullptr;
  std::string message = error.message();
  if (row) message = "row " + std::to_string(*row) + ": " + message;
  PyObject* arguments = utf8_text(message);
  PyObject* exception = arguments != nullptr ? PyObject_CallOneArg(type, arguments) : nullptr;
  Py_XDECREF(arguments);
  Py_DECREF(type);
  if (exception == nullptr) return nullptr;
  bool ok = set_attribute(exception, "kind", utf8_text(error.kind_name())) &&
            set_attribute(exception, "lane", optional_index(error.lane())) &&
            set_attribute(exception, "row", optional_index(row));
  if (ok && target) {
    ok = set_attribute(exception, "target", utf8_text(name_of(target->kind))) &&
         set_attribute(exception, "value", PyFloat_FromDouble(target->value)) &&
         set_attribute(exception, "best_reachable", PyFloat_FromDouble(error.best_reachable().value_or(0.0)));
  }
  if (!ok) {
    Py_DECREF(exception);
    return nullptr;
  }
  return exception;
}

}  // namespace

PyObject* raise_value_error(const QuorvelError& error) { return raise_value_error(error.message()); }

PyObject* raise_codec_error(const QuorvelError& error, std::optional<std::size_t> row) {
  PyObject* exception = exception_for(error, row);
  if (exception != nullptr) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
    Py_DECREF(exception);
  }
  return nullptr;
}

}  // namespace quorvel::python
