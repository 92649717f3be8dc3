// python/native/codec_binding.cpp: settings by name, codec errors as the package's exceptions, the vocabulary's names.
#include "python/native/codec_binding.hpp"

#include <iterator>
#include <string>
#include <string_view>

namespace quorvel::tools {
namespace {

// The value of `E` named by a str; ValueError for anything else.
template <class E>
bool named(PyObject* object, const char* what, E& value) {
  const char* text = object != nullptr && PyUnicode_Check(object) ? PyUnicode_AsUTF8(object) : nullptr;
  const auto found = text != nullptr ? from_name<E>(text) : std::nullopt;
  if (!found) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "unknown %s %R", what, object != nullptr ? object : Py_None);
    return false;
  }
  value = *found;
  return true;
}

bool aimed_settings(PyObject* target, PyObject* value, PyObject* method, PyObject* effort, Settings& settings) {
  TargetKind kind{};
  if (!named(target, "target", kind)) return false;
  const double figure = PyFloat_AsDouble(value);
  if (figure == -1.0 && PyErr_Occurred()) return false;
  settings.target = Target{kind, figure};
  const char* text = PyUnicode_Check(method) ? PyUnicode_AsUTF8(method) : nullptr;
  if (text != nullptr && text == automatic_method_name) {
    settings.aim.method = std::nullopt;
  } else {
    CompressionMethod chosen{};
    if (!named(method, "method", chosen)) return false;
    settings.aim.method = chosen;
  }
  return named(effort, "effort", settings.aim.effort);
}

bool fixed_settings(PyObject* method, PyObject* scale, PyObject* cutoff, Settings& settings) {
  CompressionMethod chosen{};
  CutoffLevel level{};
  if (!named(method, "method", chosen) || !named(cutoff, "cutoff", level)) return false;
  const long number = PyLong_AsLong(scale);
  if (number == -1 && PyErr_Occurred()) return false;
  if (number < 0 || number > 255) {
    PyErr_Format(PyExc_ValueError, "scale %ld is out of range", number);
    return false;
  }
  settings.fixed = CompressionOptions(chosen, static_cast<std::uint8_t>(number), level);
  return true;
}

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

PyObject* text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
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
  PyObject* arguments = text(message);
  PyObject* exception = arguments != nullptr ? PyObject_CallOneArg(type, arguments) : nullptr;
  Py_XDECREF(arguments);
  Py_DECREF(type);
  if (exception == nullptr) return nullptr;
  bool ok = set_attribute(exception, "kind", text(error.kind_name())) &&
            set_attribute(exception, "lane", optional_index(error.lane())) &&
            set_attribute(exception, "row", optional_index(row));
  if (ok && target) {
    ok = set_attribute(exception, "target", text(name_of(target->kind))) &&
         set_attribute(exception, "value", PyFloat_FromDouble(target->value)) &&
         set_attribute(exception, "best_reachable", PyFloat_FromDouble(error.best_reachable().value_or(0.0)));
  }
  if (!ok) {
    Py_DECREF(exception);
    return nullptr;
  }
  return exception;
}

template <class E>
PyObject* names() {
  const auto& table = Names<E>::table;
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(table.size()));
  for (std::size_t i = 0; tuple != nullptr && i < table.size(); ++i) {
    PyObject* name = text(table[i].name);
    if (name == nullptr) Py_CLEAR(tuple);
    if (tuple != nullptr) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), name);
  }
  return tuple;
}

}  // namespace

bool settings_from(PyObject* object, Settings& settings) {
  static constexpr const char* names[] = {"target", "value", "method", "effort", "scale", "cutoff"};
  PyObject* fields[std::size(names)] = {};
  bool ok = true;
  for (std::size_t i = 0; ok && i < std::size(names); ++i) {
    fields[i] = PyObject_GetAttrString(object, names[i]);
    ok = fields[i] != nullptr;
  }
  if (ok) {
    const auto [target, value, method, effort, scale, cutoff] = fields;
    ok = target == Py_None ? fixed_settings(method, scale, cutoff, settings)
                           : aimed_settings(target, value, method, effort, settings);
  }
  for (PyObject* field : fields) Py_XDECREF(field);
  return ok;
}

bool thread_count(Py_ssize_t threads, std::size_t& count) {
  if (threads < 0) {
    PyErr_SetString(PyExc_ValueError, "threads must not be negative");
    return false;
  }
  count = static_cast<std::size_t>(threads);
  return true;
}

PyObject* raise_codec_error(const QuorvelError& error, std::optional<std::size_t> row) {
  PyObject* exception = exception_for(error, row);
  if (exception != nullptr) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
    Py_DECREF(exception);
  }
  return nullptr;
}

PyObject* vocabulary(PyObject* /*module*/, PyObject* /*unused*/) {
  return Py_BuildValue("{sNsNsNsN}", "methods", names<CompressionMethod>(), "cutoffs", names<CutoffLevel>(), "targets",
                       names<TargetKind>(), "efforts", names<Effort>());
}

}  // namespace quorvel::tools
