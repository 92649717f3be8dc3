// python/quorvel/options.hpp: the TarvoCompressionOptions type, an immutable carrier of
// the codec's CompressionOptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "codec/codec.hpp"

namespace quorvel::python {

// The type object, created on first use and shared by every module object of
// the process. Borrowed; nullptr with an exception set when creation fails.
[[nodiscard]] PyTypeObject* options_type();

// The record stored in an instance of options_type().
[[nodiscard]] CompressionOptions options_of(PyObject* instance);

// A text as a rejection message shows it: in double quotes, with \" \\ \t \r
// \n \0 escapes and \u{hex} for every other character that str.isprintable
// would call non-printable.
[[nodiscard]] std::string quoted_text(std::u32string_view text);

}  // namespace quorvel::python
