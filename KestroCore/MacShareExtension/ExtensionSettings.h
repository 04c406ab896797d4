#pragma once

// The share target's settings: which application group it belongs to, the settings suite it
// shares with the application, who is signed in, this installation's device identifier, where
// captures are stored and the version it reports. Nothing is kept: every value is looked up
// afresh on each use, so a sign-in that happens while the share target runs is seen.
//
// Thread safety: an ExtensionSettings may be used from any thread; the shared suite is safe for
// several processes at once (see UserDefaults).

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/Platform/Storage/Bundle.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"
#include "KestroCore/Platform/Storage/UserDirectories.h"

namespace kestro {

// A file the host gives up with a request, with the media type it was given as: its name's
// extension may fit several types, or none.
struct HandedOverFile {
  std::filesystem::path path;
  std::string mimeType;

  bool operator==(const HandedOverFile&) const = default;
};

// What the share target reads from the world around it. Tests bring their own.
struct ShareEnvironment {
  Bundle bundle;                // the information dictionary
  UserDirectories directories;  // settings, containers, temporary files
  std::function<Date()> now;    // the clock of `capturedAt`
  // Files the host gives up with the request (standard input it wrote into the storage
  // directory): staging moves them into the capture's directory rather than copying them.
  std::vector<HandedOverFile> handedOverFiles = {};
  // Told of each capture once it is in the outbox, on the request's task thread, for a host that
  // reports what was stored. Optional; what it throws is ignored.
  std::function<void(const OutboxRecord&)> captureStored = {};

  // The process's own: Bundle::main(), the XDG directories of its environment, the system clock.
  static ShareEnvironment current();
};

class ExtensionSettings {
 public:
  explicit ExtensionSettings(ShareEnvironment environment);

  // The information dictionary's string under `key`, trimmed of white space and newlines;
  // nothing when the value is absent, not a string, empty after trimming, or an unexpanded build
  // setting ("$(...").
  std::optional<std::string> informationDictionaryString(std::string_view key) const;

  // "KestroAppGroupIdentifier", else places::kDefaultAppGroupIdentifier.
  std::string appGroupIdentifier() const;

  // The suite named after the application group, else the process's standard suite.
  UserDefaults sharedSettingsStore() const;

  // The user the application signed in ("tavlo.current-user-id"); nothing when the key is
  // missing or its value is not a UUID. Throws what reading the suite throws.
  std::optional<UUID> signedInUser() const;

  // "tavlo-device-id" when it holds a UUID; otherwise a new one, written there first (its
  // canonical upper-case string). Throws what reading or writing the suite throws.
  UUID deviceIdentifier() const;

  // The application group's container; without one (no data home is known, or the group's
  // identifier cannot be a directory name), "PersonalKestroLocal" in the first Application
  // Support directory, created with its parents if it can be (a failure to create it is left to
  // whoever writes there next). Throws KestroAPIError::localFile when not even an Application
  // Support directory is known (no $XDG_DATA_HOME and no home directory).
  std::filesystem::path storageDirectory() const;

  // "CFBundleShortVersionString" if it is a string, unchanged (not trimmed, possibly empty);
  // otherwise "0.1.0".
  std::string applicationVersion() const;

  const ShareEnvironment& environment() const noexcept { return environment_; }

 private:
  ShareEnvironment environment_;
};

}  // namespace kestro
