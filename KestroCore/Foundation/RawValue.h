#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kestro {

// Enumerations that travel as text ("retry_wait") declare their cases once, in order, by
// specialising this template:
//
//   template <> struct RawValues<AssetRole> {
//     static constexpr std::string_view typeName = "AssetRole";
//     static constexpr std::array cases{std::pair{AssetRole::primary, std::string_view{"primary"}},
//     ...};
//   };
//
// and get `rawValue`, `fromRawValue`, `allCases` and their JSON form from that one table.
template <class E>
struct RawValues;

template <class E>
concept RawValueEnum = std::is_enum_v<E> && requires {
  RawValues<E>::typeName;
  RawValues<E>::cases;
};

// The raw value of a case.
template <RawValueEnum E>
constexpr std::string_view rawValue(E value) noexcept {
  for (const auto& [candidate, text] : RawValues<E>::cases) {
    if (candidate == value) return text;
  }
  return {};  // unreachable for a declared case
}

// The case whose raw value is exactly `text` (letter case matters), or nothing.
template <RawValueEnum E>
constexpr std::optional<E> fromRawValue(std::string_view text) noexcept {
  for (const auto& [candidate, raw] : RawValues<E>::cases) {
    if (raw == text) return candidate;
  }
  return std::nullopt;
}

// Every case, in declaration order.
template <RawValueEnum E>
constexpr auto allCases() noexcept {
  constexpr auto& table = RawValues<E>::cases;
  std::array<E, table.size()> result{};
  for (std::size_t i = 0; i < table.size(); ++i) result[i] = table[i].first;
  return result;
}

}  // namespace kestro
