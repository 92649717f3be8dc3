// codec/common/vocabulary.hpp: the codec's words (methods, cutoffs, targets, efforts) and their names, once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvel {

enum class CompressionMethod : std::uint8_t { cdf53 = 0, cdf97 = 1, db4 = 2, sym4 = 3 };
enum class CutoffLevel : std::uint8_t { low = 0, medium = 1, high = 2 };

// What the decoded signal must meet: an absolute error in the signal's units
// (max_error, rmse), a percentage root-mean-square difference (prd: 100 *
// sqrt(sum (x - y)^2 / sum x^2)), or a size in bytes for the whole container.
enum class TargetKind : std::uint8_t { max_error, rmse, prd, max_bytes };

struct Target {
  TargetKind kind;
  double value;
  friend bool operator==(const Target&, const Target&) = default;
};

// How hard the aimed encoder looks: fast takes one method and a fast DEFLATE
// level, best tries every method and rounding and DEFLATEs at libdeflate's
// level 12. The middle one is named "default" (a keyword in C++).
enum class Effort : std::uint8_t { fast, default_, best };

// The wavelet behind a method, in the codec's own terms; codec/v1/wavelet.cpp
// builds its executor (filter banks with periodic borders).
struct Wavelet {
  enum class Family : std::uint8_t { cdf53_lifting, cdf97_lifting, daubechies, symlet };
  Family family;
  std::uint8_t order = 0;  // db<order>, sym<order>
};

struct MethodRow {
  CompressionMethod method;
  std::array<std::uint8_t, 4> tag;  // what the container stores
  std::string_view name;            // what callers pass
  Wavelet wavelet;
};

// One row per method, in the order of their codes. A new method is one
// enumerator above and one row here; everything else follows.
inline constexpr auto method_rows = std::to_array<MethodRow>({
    {CompressionMethod::cdf53, {'c', 'f', '5', '3'}, "cdf53", {Wavelet::Family::cdf53_lifting}},
    {CompressionMethod::cdf97, {'c', 'f', '9', '7'}, "cdf97", {Wavelet::Family::cdf97_lifting}},
    {CompressionMethod::db4, {'d', 'b', '0', '4'}, "db4", {Wavelet::Family::daubechies, 4}},
    {CompressionMethod::sym4, {'s', 'y', 'm', '4'}, "sym4", {Wavelet::Family::symlet, 4}},
});
static_assert([] {
  for (std::size_t i = 0; i < method_rows.size(); ++i) {
    if (static_cast<std::size_t>(method_rows[i].method) != i) return false;
  }
  return true;
}(), "method rows are indexed by their code");

// Python's name for letting the aimed encoder choose the method.
inline constexpr std::string_view automatic_method_name = "auto";

template <class E>
struct Named {
  E value;
  std::string_view name;
};

// The names of each enumeration, in enumerator order.
template <class E>
struct Names;

template <>
struct Names<CompressionMethod> {
  static constexpr auto table = [] {
    std::array<Named<CompressionMethod>, method_rows.size()> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = {method_rows[i].method, method_rows[i].name};
    return out;
  }();
};
template <>
struct Names<CutoffLevel> {
  static constexpr std::array<Named<CutoffLevel>, 3> table{
      {{CutoffLevel::low, "low"}, {CutoffLevel::medium, "medium"}, {CutoffLevel::high, "high"}}};
};
template <>
struct Names<TargetKind> {
  static constexpr std::array<Named<TargetKind>, 4> table{{{TargetKind::max_error, "max_error"},
                                                           {TargetKind::rmse, "rmse"},
                                                           {TargetKind::prd, "prd"},
                                                           {TargetKind::max_bytes, "max_bytes"}}};
};
template <>
struct Names<Effort> {
  static constexpr std::array<Named<Effort>, 3> table{
      {{Effort::fast, "fast"}, {Effort::default_, "default"}, {Effort::best, "best"}}};
};

// The value of this exact (case-sensitive) name, if any.
template <class E>
[[nodiscard]] constexpr std::optional<E> from_name(std::string_view name) {
  for (const auto& entry : Names<E>::table) {
    if (entry.name == name) return entry.value;
  }
  return std::nullopt;
}

// The name of a value; empty for a value outside the enumeration.
template <class E>
[[nodiscard]] constexpr std::string_view name_of(E value) {
  for (const auto& entry : Names<E>::table) {
    if (entry.value == value) return entry.name;
  }
  return {};
}

// Whether a value (perhaps cast from a number) is one of the enumerators.
template <class E>
[[nodiscard]] constexpr bool is_known(E value) {
  return !name_of(value).empty();
}

// "'cdf97' or 'cdf53' or 'db4' or 'sym4'": `first` (a default), then the
// others in enumerator order.
template <class E>
[[nodiscard]] std::string names_text(E first) {
  std::string text;
  const auto add = [&text](std::string_view name) { text.append(text.empty() ? "'" : " or '").append(name).append("'"); };
  add(name_of(first));
  for (const auto& entry : Names<E>::table) {
    if (entry.value != first) add(entry.name);
  }
  return text;
}

// The 4-byte tag that the container stores for a method.
[[nodiscard]] constexpr std::array<std::uint8_t, 4> method_tag(CompressionMethod method) {
  return method_rows[static_cast<std::size_t>(method)].tag;
}

// The method whose tag equals these exact bytes, if any.
[[nodiscard]] constexpr std::optional<CompressionMethod> method_from_tag(const std::array<std::uint8_t, 4>& tag) {
  for (const auto& row : method_rows) {
    if (row.tag == tag) return row.method;
  }
  return std::nullopt;
}

}  // namespace quorvel
