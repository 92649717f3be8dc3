// python/binding/arguments.hpp: argument binding and argument-error wording in CPython's own words.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace quorvel::python {

// The parameters of one callable, all positional-or-keyword: the first
// `required` have no default. `full_name` is how messages name the callable,
// "compress_signal()" or "TarvoCompressionOptions.__new__()".
struct Parameters {
  const char* full_name;
  std::span<const char* const> names;
  std::size_t required;
};

// Binds a fast call (vectorcall layout) to `bound`, one slot per parameter:
// a borrowed reference, or nullptr for an absent optional parameter. Checks
// the positional count first, then each keyword, then the missing required
// parameters. Returns false with a TypeError set on the first failure.
[[nodiscard]] bool bind_fastcall(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames, std::span<PyObject*> bound);

// The same for the classic (tuple, dict-or-null) calling convention of tp_new.
[[nodiscard]] bool bind_tuple_dict(const Parameters& parameters, PyObject* args, PyObject* kwargs,
                                   std::span<PyObject*> bound);

// Sets TypeError "'<qualname>' object is not an instance of '<expected>'",
// or "'None' is not an instance of '<expected>'" for None. Returns nullptr.
PyObject* raise_not_instance(PyObject* object, const char* expected);

// A str of UTF-8 text (new reference), bytes that are not UTF-8 replaced.
// Texts may carry any byte, NUL included, so they are passed sized, never as
// C strings. nullptr with an exception set on failure.
[[nodiscard]] PyObject* utf8_text(std::string_view text);

// Sets ValueError with `message`. Returns nullptr.
PyObject* raise_value_error(std::string_view message);

// Rewrites the pending exception as TypeError "argument '<name>': <message>"
// when its type is exactly TypeError, keeping its cause; any other exception
// is left untouched.
void prefix_argument_error(const char* name);

}  // namespace quorvel::python
