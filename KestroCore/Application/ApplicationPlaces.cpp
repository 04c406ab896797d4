#include "KestroCore/Application/ApplicationPlaces.h"

#include <utility>
#include <variant>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/Text.h"
#include "Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDefaultApplicationVersion = "0.1.0";
constexpr std::string_view kUnexpandedBuildSetting = "$(";

[[noreturn]] void noConfigurationHome() {
  throw ApplicationError(ExitStatus::failure,
                         "no place for settings: neither XDG_CONFIG_HOME nor HOME is set");
}

}  // namespace

ApplicationPlaces::ApplicationPlaces(Bundle bundle, UserDirectories directories)
    : bundle_(std::move(bundle)), directories_(std::move(directories)) {}

ApplicationPlaces ApplicationPlaces::current() {
  return ApplicationPlaces(Bundle::main(), UserDirectories::fromEnvironment());
}

std::string ApplicationPlaces::appGroupIdentifier() const {
  const Bundle::InfoValue* value = bundle_.object(places::kAppGroupIdentifierInfoKey);
  const std::string* text = value ? std::get_if<std::string>(value) : nullptr;
  if (text) {
    const std::string_view trimmed = trimmingWhitespaceAndNewlines(*text);
    if (!trimmed.empty() && !trimmed.starts_with(kUnexpandedBuildSetting)) {
      return std::string(trimmed);
    }
  }
  return std::string(places::kDefaultAppGroupIdentifier);
}

fs::path ApplicationPlaces::storageDirectory() const {
  if (const std::optional<URL> container = directories_.containerURL(appGroupIdentifier())) {
    return *container->filePath();
  }
  const std::vector<URL> support = directories_.applicationSupportDirectories();
  if (support.empty()) {
    throw ApplicationError(ExitStatus::failure,
                           "no place for captures: neither XDG_DATA_HOME nor HOME is set");
  }
  return *support.front().filePath() / places::kFallbackStorageDirectoryName;
}

URL ApplicationPlaces::databaseURL() const {
  return URL::fileURL(storageDirectory() / places::kDatabaseFileName);
}

fs::path ApplicationPlaces::attachmentsDirectory() const {
  return storageDirectory() / places::kAttachmentsDirectoryName;
}

UserDefaults ApplicationPlaces::sharedSettings() const {
  std::optional<UserDefaults> suite = UserDefaults::suite(appGroupIdentifier(), directories_);
  if (!suite) {
    if (!directories_.configurationHome()) noConfigurationHome();
    throw ApplicationError(ExitStatus::failure, "the application group \"" + appGroupIdentifier() +
                                                    "\" cannot name a settings file");
  }
  return std::move(*suite);
}

UserDefaults ApplicationPlaces::applicationSettings() const {
  const std::optional<fs::path> directory = places::applicationSettingsDirectory(directories_);
  if (!directory) noConfigurationHome();
  const UserDirectories own(*directory, directories_.dataHome(),
                            directories_.temporaryDirectoryPath());
  return *UserDefaults::suite(kApplicationSettingsSuiteName, own);
}

std::optional<UUID> ApplicationPlaces::signedInUser() const {
  const std::optional<std::string> text = sharedSettings().string(places::kCurrentUserIdKey);
  return text ? UUID::fromString(*text) : std::nullopt;
}

UUID ApplicationPlaces::deviceIdentifier() const {
  const UserDefaults shared = sharedSettings();
  if (const std::optional<std::string> text = shared.string(places::kDeviceIdKey)) {
    if (const std::optional<UUID> stored = UUID::fromString(*text)) return *stored;
  }
  const UUID created;
  shared.set(created.uuidString(), places::kDeviceIdKey);
  return created;
}

std::string ApplicationPlaces::applicationVersion() const {
  const Bundle::InfoValue* value = bundle_.object(places::kShortVersionInfoKey);
  if (const std::string* text = value ? std::get_if<std::string>(value) : nullptr) return *text;
  return std::string(kDefaultApplicationVersion);
}

std::set<std::string> ApplicationPlaces::excludedApplications() const {
  const std::optional<std::string> text =
      applicationSettings().string(settingskeys::kExcludedApplications);
  return text ? parseApplicationList(*text) : std::set<std::string>{};
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

}  // namespace kestro
