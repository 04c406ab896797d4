#include "KestroCore/Application/DesktopContext.h"

#include <vector>

#include "KestroCore/Foundation/Text.h"

namespace kestro {
namespace {

// The quoted strings of one xprop value ("a", "b\"c" gives a and b"c); stops at the first
// malformed one.
std::vector<std::string> quotedStrings(std::string_view value) {
  std::vector<std::string> strings;
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] != '"') {
      ++i;
      continue;
    }
    std::string text;
    bool closed = false;
    for (++i; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) {
        text.push_back(value[++i]);
      } else if (value[i] == '"') {
        closed = true;
        ++i;
        break;
      } else {
        text.push_back(value[i]);
      }
    }
    if (!closed) break;
    strings.push_back(std::move(text));
  }
  return strings;
}

// The value after "<name>(<type>) = " or "<name>(<type>): " on one of the output's lines.
std::optional<std::string_view> propertyValue(std::string_view output, std::string_view name) {
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    const std::string_view line = output.substr(start, end - start);
    start = end + 1;
    if (!line.starts_with(name) || line.size() <= name.size() || line[name.size()] != '(') {
      continue;
    }
    // "NAME(TYPE) = value" for strings, "NAME(TYPE): value" for windows and the like.
    const std::size_t close = line.find(')', name.size());
    if (close == std::string_view::npos) continue;
    const std::string_view rest = line.substr(close + 1);
    if (rest.starts_with(" = ")) return rest.substr(3);
    if (rest.starts_with(": ")) return rest.substr(2);
  }
  return std::nullopt;
}

std::optional<std::string> nonBlank(std::string text) {
  if (trimmingWhitespaceAndNewlines(text).empty()) return std::nullopt;
  return repairedUTF8(text);
}

}  // namespace

std::optional<std::string> activeWindowFromXprop(std::string_view output) {
  const std::optional<std::string_view> value = propertyValue(output, "_NET_ACTIVE_WINDOW");
  if (!value) return std::nullopt;
  const std::size_t hash = value->find("# ");
  if (hash == std::string_view::npos) return std::nullopt;
  std::string_view id = trimmingWhitespaceAndNewlines(value->substr(hash + 2));
  if (const std::size_t comma = id.find(','); comma != std::string_view::npos) {
    id = id.substr(0, comma);
  }
  if (!id.starts_with("0x") || id.size() < 3) return std::nullopt;
  for (const char c : id.substr(2)) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return std::nullopt;
  }
  if (id.find_first_not_of('0', 2) == std::string_view::npos) return std::nullopt;
  return std::string(id);
}

WindowContext windowContextFromXprop(std::string_view output) {
  WindowContext context;
  if (const auto value = propertyValue(output, "WM_CLASS")) {
    const std::vector<std::string> parts = quotedStrings(*value);
    // instance, class: the class names the application.
    if (parts.size() >= 2) {
      context.applicationId = nonBlank(parts[1]);
    } else if (parts.size() == 1) {
      context.applicationId = nonBlank(parts[0]);
    }
  }
  for (const std::string_view name : {"_NET_WM_NAME", "WM_NAME"}) {
    if (context.title) break;
    if (const auto value = propertyValue(output, name)) {
      const std::vector<std::string> parts = quotedStrings(*value);
      if (!parts.empty()) context.title = nonBlank(parts.front());
    }
  }
  return context;
}

std::optional<std::string> firstLineOf(std::string_view output) {
  const std::size_t end = output.find('\n');
  std::string_view line = output.substr(0, end);
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (trimmingWhitespaceAndNewlines(line).empty()) return std::nullopt;
  return repairedUTF8(line);
}

}  // namespace kestro
