// python/tools_codec/settings_binding.cpp: settings by name, thread counts, the vocabulary's names.
#include "python/tools_codec/settings_binding.hpp"

#include <iterator>

#include "python/binding/arguments.hpp"

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

// The container version; encode checks what it allows (check_format).
bool container_format(PyObject* format, Settings& settings) {
  const long number = PyLong_AsLong(format);
  if (number == -1 && PyErr_Occurred()) return false;
  if (number < first_format || number > last_format) {
    PyErr_Format(PyExc_ValueError, "unknown container format %ld", number);
    return false;
  }
  settings.format = static_cast<std::uint16_t>(number);
  return true;
}

template <class E>
PyObject* names() {
  const auto& table = Names<E>::table;
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(table.size()));
  for (std::size_t i = 0; tuple != nullptr && i < table.size(); ++i) {
    PyObject* name = python::utf8_text(table[i].name);
    if (name == nullptr) Py_CLEAR(tuple);
    if (tuple != nullptr) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), name);
  }
  return tuple;
}

}  // namespace

bool settings_from(PyObject* object, Settings& settings) {
  static constexpr const char* names[] = {"target", "value", "method", "effort", "scale", "cutoff", "format"};
  PyObject* fields[std::size(names)] = {};
  bool ok = true;
  for (std::size_t i = 0; ok && i < std::size(names); ++i) {
    fields[i] = PyObject_GetAttrString(object, names[i]);
    ok = fields[i] != nullptr;
  }
  if (ok) {
    const auto [target, value, method, effort, scale, cutoff, format] = fields;
    ok = target == Py_None ? fixed_settings(method, scale, cutoff, settings)
                           : aimed_settings(target, value, method, effort, settings);
    ok = ok && container_format(format, settings);
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

PyObject* vocabulary(PyObject* /*module*/, PyObject* /*unused*/) {
  return Py_BuildValue("{sNsNsNsN}", "methods", names<CompressionMethod>(), "cutoffs", names<CutoffLevel>(), "targets",
                       names<TargetKind>(), "efforts", names<Effort>());
}

}  // namespace quorvel::tools
