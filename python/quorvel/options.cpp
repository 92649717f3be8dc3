// python/quorvel/options.cpp: TarvoCompressionOptions, parsed and validated once at
// construction.
#include "python/quorvel/options.hpp"

#include <array>
#include <atomic>
#include <new>
#include <optional>

#include "python/binding/arguments.hpp"

namespace quorvel::python {
namespace {

struct OptionsObject {
  PyObject_HEAD
  CompressionOptions options;
};

// A text argument: its str object (nullptr for the default) and UTF-8 bytes.
struct TextArgument {
  PyObject* object;
  std::string_view utf8;
};

bool text_argument(PyObject* object, const char* name, TextArgument& text) {
  if (!PyUnicode_Check(object)) {
    raise_not_instance(object, "str");
    prefix_argument_error(name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;  // lone surrogates: CPython's encoding error, unchanged
  text = {object, std::string_view(utf8, static_cast<std::size_t>(size))};
  return true;
}

// PyLong_AsLong, then the range of an unsigned byte. Conversion failures keep
// their own exception (a TypeError gains the argument prefix).
bool scale_argument(PyObject* object, std::uint8_t& scale) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) {
    prefix_argument_error("scale");
    return false;
  }
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  scale = static_cast<std::uint8_t>(value);
  return true;
}

void raise_unknown(const char* what, const TextArgument& text, const char* expected) {
  const auto kind = PyUnicode_KIND(text.object);
  const void* data = PyUnicode_DATA(text.object);
  std::u32string code_points(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.object)), U'\0');
  for (std::size_t i = 0; i < code_points.size(); ++i) {
    code_points[i] = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
  }
  raise_value_error(std::string(what) + quoted_text(code_points) + expected);
}

PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 3> names{"method", "scale", "cutoff"};
  static constexpr Parameters parameters{"TarvoCompressionOptions.__new__()", names, 0};
  std::array<PyObject*, 3> bound{};
  if (!bind_tuple_dict(parameters, args, kwargs, bound)) return nullptr;

  // Every type check runs before any value check.
  TextArgument method{nullptr, name_of(CompressionOptions().method())};
  TextArgument cutoff{nullptr, name_of(CompressionOptions().cutoff())};
  std::uint8_t scale = CompressionOptions().scale();
  if (bound[0] != nullptr && !text_argument(bound[0], "method", method)) return nullptr;
  if (bound[1] != nullptr && !scale_argument(bound[1], scale)) return nullptr;
  if (bound[2] != nullptr && !text_argument(bound[2], "cutoff", cutoff)) return nullptr;

  const auto known_method = from_name<CompressionMethod>(method.utf8);
  if (!known_method) {
    const std::string expected = ", expected " + names_text(CompressionOptions().method());
    raise_unknown("Unknown method ", method, expected.c_str());
    return nullptr;
  }
  const auto known_cutoff = from_name<CutoffLevel>(cutoff.utf8);
  if (!known_cutoff) {
    const std::string expected = ", expected " + names_text(CompressionOptions().cutoff());
    raise_unknown("Unknown cutoff level ", cutoff, expected.c_str());
    return nullptr;
  }
  if (scale < min_scale || scale > max_scale) {
    raise_value_error(QuorvelError::unsupported_scale(scale).message());
    return nullptr;
  }

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<OptionsObject*>(self)->options) CompressionOptions(*known_method, scale, *known_cutoff);
  return self;
}

PyObject* create_options_type() {
  static char doc[] = "TarvoCompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\")\n--\n\n";
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(options_new)},
      {Py_tp_doc, doc},
      {0, nullptr},
  };
  // Not a base type, no dict, no weak references. Immutable where CPython can
  // say so: the one type object is shared by every module object.
  unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
  // The dotted spec name gives the type its __module__ (CPython warns about
  // types without one, and -W error turns that into a failed import); the C
  // name stays the bare class name that messages show.
  static PyType_Spec spec = {"quorvel.TarvoCompressionOptions", sizeof(OptionsObject), 0, flags, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type != nullptr) reinterpret_cast<PyTypeObject*>(type)->tp_name = "TarvoCompressionOptions";
  return type;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

PyTypeObject* options_type() {
  // Created once per process; a thread that loses the race to create it drops
  // its copy and uses the winner's.
  static std::atomic<PyObject*> shared{nullptr};
  PyObject* type = shared.load(std::memory_order_acquire);
  if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
  PyObject* created = create_options_type();
  if (created == nullptr) return nullptr;
  if (!shared.compare_exchange_strong(type, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return reinterpret_cast<PyTypeObject*>(type);
  }
  return reinterpret_cast<PyTypeObject*>(created);
}

CompressionOptions options_of(PyObject* instance) { return reinterpret_cast<OptionsObject*>(instance)->options; }

std::string quoted_text(std::u32string_view text) {
  std::string out = "\"";
  for (const char32_t c : text) {
    switch (c) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(c))) {
          append_utf8(out, c);
        } else {
          char hex[16];
          PyOS_snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
          out += hex;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace quorvel::python
