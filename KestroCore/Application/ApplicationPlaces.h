#pragma once

// Where the application finds what it shares with the share target (the outbox database, the
// staged files, the shared settings suite) and what is its own (its settings), on the places
// KestroCore/Platform/Storage/KestroPlaces.h names, so that both programs always meet in the same
// place.
//
//   storage directory         <data home>/<application group>/   (kestro.sqlite, attachments/)
//   shared settings suite     <configuration home>/<application group>.json
//   the application's own     <configuration home>/kestro/settings.json
//
// A plain value (a bundle and the user's directories); copy it and use it from any thread. It
// caches nothing: every value is read afresh from its file.

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/Storage/Bundle.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"
#include "KestroCore/Platform/Storage/UserDirectories.h"

namespace kestro {

// Keys of the application's own settings suite.
namespace settingskeys {
inline constexpr std::string_view kServerURL = "kestro.server-url";
inline constexpr std::string_view kAccountEmail = "kestro.account-email";
// Applications never to capture from (see KestroPlaces.h).
inline constexpr std::string_view kExcludedApplications = places::kExcludedApplicationsKey;
// The conversation `chat` continues.
inline constexpr std::string_view kConversationId = "kestro.conversation-id";
}  // namespace settingskeys

// The suite name of the application's own settings, inside <configuration home>/kestro/.
using places::kApplicationSettingsSuiteName;

class ApplicationPlaces {
 public:
  ApplicationPlaces(Bundle bundle, UserDirectories directories);

  // The programs' own bundle (Bundle::main()) and the XDG directories of this process.
  static ApplicationPlaces current();

  // The information dictionary's "KestroAppGroupIdentifier" (trimmed, when usable), else
  // group.kestro.capture: the same rule the share target follows.
  std::string appGroupIdentifier() const;

  // The application group's container; without one, "PersonalKestroLocal" in the data home, as
  // for the share target. Throws ApplicationError when no data home is known. Creates nothing.
  std::filesystem::path storageDirectory() const;
  URL databaseURL() const;                             // <storage>/kestro.sqlite
  std::filesystem::path attachmentsDirectory() const;  // <storage>/attachments
  // <storage>/attachments/<capture id>: where a capture's files are staged.
  std::filesystem::path captureDirectory(const UUID& captureId) const;

  // The suite shared with the share target. Throws ApplicationError when no configuration home
  // is known (the application never falls back to a suite in memory: a sign-in must reach the
  // share target).
  UserDefaults sharedSettings() const;
  // <configuration home>/kestro/settings.json. Same failure.
  UserDefaults applicationSettings() const;

  // The user signed in, from the shared suite; nothing when absent or not a UUID.
  std::optional<UUID> signedInUser() const;
  // This installation's device identifier, shared with the share target: read, or made and
  // stored when there is none.
  UUID deviceIdentifier() const;
  // "CFBundleShortVersionString", else "0.1.0".
  std::string applicationVersion() const;
  // The excluded applications of the application's settings (see settingskeys).
  std::set<std::string> excludedApplications() const;

  const UserDirectories& directories() const noexcept { return directories_; }
  const Bundle& bundle() const noexcept { return bundle_; }

 private:
  Bundle bundle_;
  UserDirectories directories_;
};

using places::parseApplicationList;

}  // namespace kestro
