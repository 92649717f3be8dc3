// python/native/codec_binding.hpp: what every function of quorvel_tools._native shares: settings by
// name, the one translator of codec errors, the vocabulary's names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "codec/codec.hpp"
#include "python/native/buffers.hpp"

namespace quorvel::tools {

// The codec's settings from a quorvel_tools.Settings (its attributes target,
// value, method, effort, scale and cutoff, by name): a target name with its
// value, "auto" or a method name, an effort name; or no target (None) and a
// method, scale and cutoff. The package has checked them; a name the codec
// does not know or a missing value raise ValueError here.
[[nodiscard]] bool settings_from(PyObject* object, Settings& settings);

// A thread count: a non-negative int; ValueError otherwise.
[[nodiscard]] bool thread_count(Py_ssize_t threads, std::size_t& count);

// Raises the package's exception for a codec error (quorvel_tools.errors):
// UnreachableTargetError with target, value and best_reachable for an
// unreachable target, CodecError otherwise; each with the error's kind name,
// its lane and the row of encode_rows it belongs to. Returns nullptr.
PyObject* raise_codec_error(const QuorvelError& error, std::optional<std::size_t> row = std::nullopt);

// Runs `codec(bytes)` (a reader of containers or frames) on the bytes of
// `object`'s buffer with the interpreter released: its result, or nothing
// with the exception set.
template <class Codec>
auto on_bytes(PyObject* object, Codec codec)
    -> std::optional<typename std::invoke_result_t<Codec, std::span<const std::uint8_t>>::value_type> {
  HeldBuffer held;
  std::span<const std::uint8_t> bytes;
  if (!view_bytes(object, held, bytes)) return std::nullopt;
  std::invoke_result_t<Codec, std::span<const std::uint8_t>> result;
  Py_BEGIN_ALLOW_THREADS
  result = codec(bytes);
  Py_END_ALLOW_THREADS
  if (!result) {
    raise_codec_error(result.error());
    return std::nullopt;
  }
  return std::move(*result);
}

// vocabulary() -> {"methods": names, "cutoffs": ..., "targets": ..., "efforts": ...},
// each a tuple of names in enumerator order.
[[nodiscard]] PyObject* vocabulary(PyObject* module, PyObject* unused);

}  // namespace quorvel::tools
