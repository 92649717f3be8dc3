// python/binding/errors.hpp: the codec's errors as Python exceptions, for both modules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>

#include "codec/codec.hpp"

namespace quorvel::python {

// What the quorvel module raises: ValueError with the codec's display text,
// unchanged. Returns nullptr.
PyObject* raise_value_error(const QuorvelError& error);

// What quorvel_tools raises (quorvel_tools.errors): UnreachableTargetError
// with target, value and best_reachable for an unreachable target, CodecError
// otherwise; each with the error's kind name, its lane and the row of
// encode_rows it belongs to (the text then starts "row <index>: ").
// Returns nullptr.
PyObject* raise_codec_error(const QuorvelError& error, std::optional<std::size_t> row = std::nullopt);

}  // namespace quorvel::python
