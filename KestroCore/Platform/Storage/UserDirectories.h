#pragma once

// Where a user's files go on a Linux machine, after freedesktop.org's XDG Base Directory rules: the
// settings suites under the configuration home, the application group's container and the
// "Application Support" directory under the data home, and the temporary directory.
//
// A UserDirectories is a plain value; copy it and use it from any thread. Nothing here creates a
// directory: callers create what they write into.

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "KestroCore/Foundation/URL.h"

namespace kestro {

class UserDirectories {
 public:
  // From this process's environment, read once at this call:
  // - configuration home: $XDG_CONFIG_HOME, else <home>/.config;
  // - data home: $XDG_DATA_HOME, else <home>/.local/share;
  // - temporary directory: $TMPDIR, else /tmp.
  // <home> is $HOME, else the home directory in the user database. Relative values are ignored,
  // as the XDG rules ask. A home that cannot be found leaves the configuration and data
  // homes unknown. Throws only std::bad_alloc.
  static UserDirectories fromEnvironment();

  // Explicit roots, for hosts and tests that keep their files elsewhere. Each must be absolute
  // (std::invalid_argument otherwise).
  UserDirectories(std::optional<std::filesystem::path> configurationHome,
                  std::optional<std::filesystem::path> dataHome,
                  std::filesystem::path temporaryDirectory);

  // Where settings suites keep their files; nothing when no home was found.
  const std::optional<std::filesystem::path>& configurationHome() const noexcept {
    return configurationHome_;
  }
  const std::optional<std::filesystem::path>& dataHome() const noexcept { return dataHome_; }

  // The directory shared by the programs of an application group: <data home>/<identifier>.
  // Nothing when the data home is unknown, or when the identifier cannot be one directory name
  // of its own (empty, ".", "..", holding "/" or NUL, starting with ".", or longer than 255
  // bytes), so that no identifier reaches outside the data home. Does not create it.
  std::optional<URL> containerURL(std::string_view forSecurityApplicationGroupIdentifier) const;

  // The user's "Application Support" directories, most important first: the data home alone;
  // empty when it is unknown.
  std::vector<URL> applicationSupportDirectories() const;

  // The directory for files that may be deleted once the process has ended.
  URL temporaryDirectory() const;
  const std::filesystem::path& temporaryDirectoryPath() const noexcept {
    return temporaryDirectory_;
  }

 private:
  std::optional<std::filesystem::path> configurationHome_;
  std::optional<std::filesystem::path> dataHome_;
  std::filesystem::path temporaryDirectory_;
};

// Whether `name` can be a file or directory name of its own in a directory we choose: not empty,
// not "." or "..", no "/" or NUL, no leading "." (which would hide it), at most 255 bytes.
bool isPlainFileName(std::string_view name) noexcept;

}  // namespace kestro
