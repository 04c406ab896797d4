#include "KestroCore/Platform/Storage/KestroPlaces.h"

#include <utility>
#include <variant>
#include <vector>

#include "KestroCore/Foundation/Text.h"

namespace kestro::places {
namespace {

constexpr std::string_view kDefaultApplicationVersion = "0.1.0";
constexpr std::string_view kUnexpandedBuildSetting = "$(";

}  // namespace

std::string appGroupIdentifier(const Bundle& bundle) {
  const Bundle::InfoValue* value = bundle.object(kAppGroupIdentifierInfoKey);
  if (const std::string* text = value ? std::get_if<std::string>(value) : nullptr) {
    const std::string_view trimmed = trimmingWhitespaceAndNewlines(*text);
    if (!trimmed.empty() && !trimmed.starts_with(kUnexpandedBuildSetting)) {
      return std::string(trimmed);
    }
  }
  return std::string(kDefaultAppGroupIdentifier);
}

std::string applicationVersion(const Bundle& bundle) {
  const Bundle::InfoValue* value = bundle.object(kShortVersionInfoKey);
  if (const std::string* text = value ? std::get_if<std::string>(value) : nullptr) return *text;
  return std::string(kDefaultApplicationVersion);
}

std::optional<std::filesystem::path> storageDirectory(const Bundle& bundle,
                                                      const UserDirectories& directories) {
  if (const std::optional<URL> container = directories.containerURL(appGroupIdentifier(bundle))) {
    return *container->filePath();
  }
  const std::vector<URL> support = directories.applicationSupportDirectories();
  if (support.empty()) return std::nullopt;
  return *support.front().filePath() / kFallbackStorageDirectoryName;
}

std::optional<UUID> signedInUser(const UserDefaults& shared) {
  const std::optional<std::string> text = shared.string(kCurrentUserIdKey);
  return text ? UUID::fromString(*text) : std::nullopt;
}

UUID deviceIdentifier(const UserDefaults& shared) {
  if (const std::optional<std::string> text = shared.string(kDeviceIdKey)) {
    if (const std::optional<UUID> stored = UUID::fromString(*text)) return *stored;
  }
  // Made under the suite's lock: shares started together (one per file a file manager hands
  // over) must all name the identifier the first of them stored, never one each.
  const std::string stored = shared.stringOrSet(
      kDeviceIdKey, [](const std::string& text) { return UUID::fromString(text).has_value(); },
      [] { return UUID().uuidString(); });
  return *UUID::fromString(stored);
}

std::set<std::string> parseApplicationList(std::string_view text) {
  std::set<std::string> list;
  std::string current;
  const auto finish = [&] {
    if (!current.empty()) list.insert(std::move(current));
    current.clear();
  };
  for (const char c : text) {
    if (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      finish();
    } else {
      current.push_back(c);
    }
  }
  finish();
  return list;
}

}  // namespace kestro::places
