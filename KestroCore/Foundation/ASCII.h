#pragma once

// Letter case in protocol text: schemes, header names, MIME types, hosts. These are ASCII by
// definition, so the comparison folds A-Z only and never consults the locale (under a Turkish
// locale std::tolower would make "I" and "i" differ). Bytes outside ASCII compare exactly.

#include <string>
#include <string_view>

namespace kestro {

constexpr char asciiLowercase(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char asciiUppercase(char c) noexcept {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// `text` with A-Z turned into a-z.
std::string asciiLowercased(std::string_view text);

constexpr bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLowercase(a[i]) != asciiLowercase(b[i])) return false;
  }
  return true;
}

constexpr bool startsWithIgnoringASCIICase(std::string_view text,
                                           std::string_view prefix) noexcept {
  return text.size() >= prefix.size() &&
         equalsIgnoringASCIICase(text.substr(0, prefix.size()), prefix);
}

// `text` without the spaces and tabs around it: HTTP's optional white space around a field
// value.
constexpr std::string_view trimmingSpacesAndTabs(std::string_view text) noexcept {
  const auto begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

}  // namespace kestro
