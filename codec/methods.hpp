// codec/methods.hpp: everything the codec knows about each wavelet method, in one table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "rimble/factory.hpp"

namespace quorvel {

enum class CompressionMethod : std::uint8_t { cdf53 = 0, cdf97 = 1, db4 = 2, sym4 = 3 };

struct MethodFacts {
  CompressionMethod method;
  std::array<std::uint8_t, 4> tag;  // what the container stores
  std::string_view name;            // what callers pass as the option
  std::shared_ptr<const rimble::DwtExecutor<float>> (*make_executor)();
  std::size_t filter_length;  // the executor's own; band sizes follow from it
};

// One row per method, in the order of their codes. A new method is one row
// here and one enumerator above.
inline constexpr std::array<MethodFacts, 4> methods{{
    {CompressionMethod::cdf53, {'c', 'f', '5', '3'}, "cdf53", +[] { return rimble::Rimble::make_cdf53_f32(); }, 6},
    {CompressionMethod::cdf97, {'c', 'f', '9', '7'}, "cdf97", +[] { return rimble::Rimble::make_cdf97_f32(); }, 10},
    {CompressionMethod::db4, {'d', 'b', '0', '4'}, "db4",
     +[] { return rimble::Rimble::make_daubechies_f32(rimble::DaubechiesFamily::Db4, rimble::BorderMode::Periodic); },
     8},
    {CompressionMethod::sym4, {'s', 'y', 'm', '4'}, "sym4",
     +[] { return rimble::Rimble::make_symlet_f32(rimble::SymletFamily::Sym4, rimble::BorderMode::Periodic); }, 8},
}};

[[nodiscard]] constexpr const MethodFacts& method_facts(CompressionMethod method) {
  return methods[static_cast<std::size_t>(method)];
}

// The 4-byte tag that the container stores for a method.
[[nodiscard]] constexpr std::array<std::uint8_t, 4> method_tag(CompressionMethod method) {
  return method_facts(method).tag;
}

// The method whose tag equals these exact bytes, if any.
[[nodiscard]] constexpr std::optional<CompressionMethod> method_from_tag(const std::array<std::uint8_t, 4>& tag) {
  for (const auto& facts : methods) {
    if (facts.tag == tag) return facts.method;
  }
  return std::nullopt;
}

// The method of this exact (case-sensitive) name, if any.
[[nodiscard]] constexpr std::optional<CompressionMethod> method_from_name(std::string_view name) {
  for (const auto& facts : methods) {
    if (facts.name == name) return facts.method;
  }
  return std::nullopt;
}

// "'cdf97' or 'cdf53' or 'db4' or 'sym4'": `first` (the default method), then
// the others in table order.
[[nodiscard]] inline std::string method_names_text(CompressionMethod first) {
  std::string text;
  const auto add = [&text](std::string_view name) { text.append(text.empty() ? "'" : " or '").append(name).append("'"); };
  add(method_facts(first).name);
  for (const auto& facts : methods) {
    if (facts.method != first) add(facts.name);
  }
  return text;
}

}  // namespace quorvel
