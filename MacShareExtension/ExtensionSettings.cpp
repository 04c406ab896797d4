#include "MacShareExtension/ExtensionSettings.h"

#include <chrono>
#include <utility>
#include <vector>

#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Models/KestroAPIError.h"
#include "Platform/Files/Files.h"
#include "Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDefaultApplicationVersion = "0.1.0";
constexpr std::string_view kUnexpandedBuildSetting = "$(";

}  // namespace

ShareEnvironment ShareEnvironment::current() {
  return ShareEnvironment{Bundle::main(), UserDirectories::fromEnvironment(),
                          [] { return std::chrono::system_clock::now(); }};
}

ExtensionSettings::ExtensionSettings(ShareEnvironment environment)
    : environment_(std::move(environment)) {}

std::optional<std::string> ExtensionSettings::informationDictionaryString(
    std::string_view key) const {
  const Bundle::InfoValue* value = environment_.bundle.object(key);
  const std::string* text = value ? std::get_if<std::string>(value) : nullptr;
  if (!text) return std::nullopt;
  const std::string_view trimmed = trimmingWhitespaceAndNewlines(*text);
  if (trimmed.empty() || trimmed.starts_with(kUnexpandedBuildSetting)) return std::nullopt;
  return std::string(trimmed);
}

std::string ExtensionSettings::appGroupIdentifier() const {
  return informationDictionaryString(places::kAppGroupIdentifierInfoKey)
      .value_or(std::string(places::kDefaultAppGroupIdentifier));
}

UserDefaults ExtensionSettings::sharedSettingsStore() const {
  if (auto suite = UserDefaults::suite(appGroupIdentifier(), environment_.directories)) {
    return std::move(*suite);
  }
  return UserDefaults::standard(environment_.directories);
}

std::optional<UUID> ExtensionSettings::signedInUser() const {
  const std::optional<std::string> text = sharedSettingsStore().string(places::kCurrentUserIdKey);
  return text ? UUID::fromString(*text) : std::nullopt;
}

UUID ExtensionSettings::deviceIdentifier() const {
  const UserDefaults store = sharedSettingsStore();
  if (const std::optional<std::string> text = store.string(places::kDeviceIdKey)) {
    if (const std::optional<UUID> stored = UUID::fromString(*text)) return *stored;
  }
  const UUID created;
  store.set(created.uuidString(), places::kDeviceIdKey);
  return created;
}

fs::path ExtensionSettings::storageDirectory() const {
  const UserDirectories& directories = environment_.directories;
  if (const std::optional<URL> container = directories.containerURL(appGroupIdentifier())) {
    return *container->filePath();
  }
  const std::vector<URL> support = directories.applicationSupportDirectories();
  if (support.empty()) {
    throw KestroAPIError::localFile(
        "No place to store captures: neither XDG_DATA_HOME nor a home directory is set");
  }
  const fs::path fallback = *support.front().filePath() / places::kFallbackStorageDirectoryName;
  try {
    files::createDirectories(fallback, 0700);
  } catch (const fs::filesystem_error&) {
    // Used anyway: opening the database or staging a file there reports the real problem.
  }
  return fallback;
}

std::string ExtensionSettings::applicationVersion() const {
  const Bundle::InfoValue* value = environment_.bundle.object(places::kShortVersionInfoKey);
  if (const std::string* text = value ? std::get_if<std::string>(value) : nullptr) return *text;
  return std::string(kDefaultApplicationVersion);
}

}  // namespace kestro
