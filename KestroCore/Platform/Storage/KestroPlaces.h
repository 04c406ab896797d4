#pragma once

// The places where the share target and the application meet: one list, used by both, so that
// what one program writes the other finds.
//
//   application group             group.kestro.capture (unless the build's information
//                                 dictionary names another)
//   storage directory             <data home>/<group>/          ($XDG_DATA_HOME, ~/.local/share)
//     the outbox database           kestro.sqlite
//     staged files of a capture     attachments/<capture id>/
//     a watch runs                  kestro.watch.lock   (held, shared, by `kestro flush --watch`)
//   shared settings suite         <configuration home>/<group>.json   ($XDG_CONFIG_HOME, ~/.config)
//     the signed-in user            "tavlo.current-user-id"      written by the application
//     this installation             "tavlo-device-id"            written once by the share target
//     the outbox changed            "kestro.shared-capture-revision"   after every stored capture
//   the application's own settings <configuration home>/kestro/
//
// Constants, and the few readings of them both programs make the same way; thread-safe.

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/Storage/Bundle.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"
#include "KestroCore/Platform/Storage/UserDirectories.h"

namespace kestro::places {

// The application group when the information dictionary names none usable.
inline constexpr std::string_view kDefaultAppGroupIdentifier = "group.kestro.capture";

// Keys of the information dictionary.
inline constexpr std::string_view kAppGroupIdentifierInfoKey = "KestroAppGroupIdentifier";
inline constexpr std::string_view kShortVersionInfoKey = "CFBundleShortVersionString";

// Inside the storage directory.
inline constexpr std::string_view kDatabaseFileName = "kestro.sqlite";
inline constexpr std::string_view kAttachmentsDirectoryName = "attachments";
// Held (a shared flock, FileLock::acquireShared) by every running `kestro flush --watch` for its
// lifetime, so that the share target can tell without waiting that a capture will go at once.
inline constexpr std::string_view kWatchLockFileName = "kestro.watch.lock";

// The storage directory inside the first Application Support directory when the group has no
// container.
inline constexpr std::string_view kFallbackStorageDirectoryName = "PersonalKestroLocal";

// Keys of the shared settings suite, whose name is the application group's identifier.
inline constexpr std::string_view kCurrentUserIdKey = "tavlo.current-user-id";
inline constexpr std::string_view kDeviceIdKey = "tavlo-device-id";
inline constexpr std::string_view kSharedCaptureRevisionKey = "kestro.shared-capture-revision";

// The application's own settings (server address, excluded applications), never shared.
inline constexpr std::string_view kApplicationSettingsDirectoryName = "kestro";

// The application's settings suite inside that directory, and its key of the applications never
// to capture from: application ids separated by commas or white space
// ("org.keepassxc.KeePassXC, com.bitwarden.desktop"), edited by hand. Every capture trigger reads
// the same list, so `kestro capture` and the browsers' host refuse the same applications.
inline constexpr std::string_view kApplicationSettingsSuiteName = "settings";
inline constexpr std::string_view kExcludedApplicationsKey = "kestro.excluded-applications";

// <configuration home>/kestro; nothing when no configuration home is known.
inline std::optional<std::filesystem::path> applicationSettingsDirectory(
    const UserDirectories& directories) {
  if (!directories.configurationHome()) return std::nullopt;
  return *directories.configurationHome() / kApplicationSettingsDirectoryName;
}

// The application group: the information dictionary's, trimmed, unless it is missing, blank or
// a build setting left unexpanded ("$(...)"); otherwise kDefaultAppGroupIdentifier.
std::string appGroupIdentifier(const Bundle& bundle);

// The version the information dictionary names, or "0.1.0".
std::string applicationVersion(const Bundle& bundle);

// The storage directory: the group's container, or kFallbackStorageDirectoryName in the first
// Application Support directory; nothing when there is neither (no data home). Creates nothing.
std::optional<std::filesystem::path> storageDirectory(const Bundle& bundle,
                                                      const UserDirectories& directories);

// The signed-in user in the shared settings suite, when it holds a valid one.
std::optional<UUID> signedInUser(const UserDefaults& shared);

// Splits an exclusion list at commas and white space; empty entries are dropped.
std::set<std::string> parseApplicationList(std::string_view text);

// This installation's identifier in the shared settings suite, written there first if missing
// or invalid.
UUID deviceIdentifier(const UserDefaults& shared);

}  // namespace kestro::places
