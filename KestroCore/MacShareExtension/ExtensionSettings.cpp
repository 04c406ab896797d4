#include "KestroCore/MacShareExtension/ExtensionSettings.h"

#include <chrono>
#include <utility>
#include <vector>

#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Models/KestroAPIError.h"
#include "KestroCore/Platform/Files/Files.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

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
  return places::appGroupIdentifier(environment_.bundle);
}

UserDefaults ExtensionSettings::sharedSettingsStore() const {
  if (auto suite = UserDefaults::suite(appGroupIdentifier(), environment_.directories)) {
    return std::move(*suite);
  }
  return UserDefaults::standard(environment_.directories);
}

std::optional<UUID> ExtensionSettings::signedInUser() const {
  return places::signedInUser(sharedSettingsStore());
}

UUID ExtensionSettings::deviceIdentifier() const {
  return places::deviceIdentifier(sharedSettingsStore());
}

fs::path ExtensionSettings::storageDirectory() const {
  const std::optional<fs::path> directory =
      places::storageDirectory(environment_.bundle, environment_.directories);
  if (!directory) {
    throw KestroAPIError::localFile(
        "No place to store captures: neither XDG_DATA_HOME nor a home directory is set");
  }
  if (!environment_.directories.containerURL(appGroupIdentifier())) {
    try {
      files::createDirectories(*directory, 0700);
    } catch (const fs::filesystem_error&) {
      // Used anyway: opening the database or staging a file there reports the real problem.
    }
  }
  return *directory;
}

std::string ExtensionSettings::applicationVersion() const {
  return places::applicationVersion(environment_.bundle);
}

}  // namespace kestro
