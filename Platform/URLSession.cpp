#include "Platform/URLSession.h"

#include <algorithm>

namespace kestro {

namespace {

// HTTP field names are ASCII; a locale-aware comparison would make "I" and "i" differ under a
// Turkish locale.
bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return lower(static_cast<unsigned char>(x)) == lower(static_cast<unsigned char>(y));
         });
}

}  // namespace

void HTTPHeaders::set(std::string name, std::string value) {
  auto existing = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return equalsIgnoringCase(entry.first, name);
  });
  if (existing == entries_.end()) {
    entries_.emplace_back(std::move(name), std::move(value));
    return;
  }
  // The latest spelling of the name wins along with the value; only the position is kept.
  *existing = Entry(std::move(name), std::move(value));
}

void HTTPHeaders::remove(std::string_view name) {
  std::erase_if(entries_,
                [&](const Entry& entry) { return equalsIgnoringCase(entry.first, name); });
}

std::optional<std::string_view> HTTPHeaders::value(std::string_view name) const {
  for (const auto& [entryName, entryValue] : entries_) {
    if (equalsIgnoringCase(entryName, name)) return std::string_view(entryValue);
  }
  return std::nullopt;
}

}  // namespace kestro
