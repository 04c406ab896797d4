#include "KestroCore/Platform/HTTP/URLSession.h"

#include <algorithm>

#include "KestroCore/Foundation/ASCII.h"

namespace kestro {

void HTTPHeaders::set(std::string name, std::string value) {
  auto existing = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return equalsIgnoringASCIICase(entry.first, name);
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
                [&](const Entry& entry) { return equalsIgnoringASCIICase(entry.first, name); });
}

std::optional<std::string_view> HTTPHeaders::value(std::string_view name) const {
  for (const auto& [entryName, entryValue] : entries_) {
    if (equalsIgnoringASCIICase(entryName, name)) return std::string_view(entryValue);
  }
  return std::nullopt;
}

}  // namespace kestro
