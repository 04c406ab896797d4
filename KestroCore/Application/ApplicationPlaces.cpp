#include "KestroCore/Application/ApplicationPlaces.h"

#include <utility>
#include <variant>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

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
  return places::appGroupIdentifier(bundle_);
}

fs::path ApplicationPlaces::storageDirectory() const {
  const std::optional<fs::path> directory = places::storageDirectory(bundle_, directories_);
  if (!directory) {
    throw ApplicationError(ExitStatus::failure,
                           "no place for captures: neither XDG_DATA_HOME nor HOME is set");
  }
  return *directory;
}

URL ApplicationPlaces::databaseURL() const {
  return URL::fileURL(storageDirectory() / places::kDatabaseFileName);
}

fs::path ApplicationPlaces::attachmentsDirectory() const {
  return storageDirectory() / places::kAttachmentsDirectoryName;
}

fs::path ApplicationPlaces::captureDirectory(const UUID& captureId) const {
  return attachmentsDirectory() / captureId.uuidString();
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
  return places::signedInUser(sharedSettings());
}

UUID ApplicationPlaces::deviceIdentifier() const {
  return places::deviceIdentifier(sharedSettings());
}

std::string ApplicationPlaces::applicationVersion() const {
  return places::applicationVersion(bundle_);
}

std::set<std::string> ApplicationPlaces::excludedApplications() const {
  const std::optional<std::string> text =
      applicationSettings().string(settingskeys::kExcludedApplications);
  return text ? places::parseApplicationList(*text) : std::set<std::string>{};
}

}  // namespace kestro
