#include "KestroCore/Platform/Storage/UserDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kestro {
namespace {

namespace fs = std::filesystem;

// An environment variable naming an absolute path; relative and empty values do not count.
std::optional<fs::path> absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || value[0] != '/') return std::nullopt;
  return fs::path(value);
}

std::optional<fs::path> homeDirectory() {
  if (auto home = absoluteFromEnvironment("HOME")) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir || found->pw_dir[0] != '/') {
    return std::nullopt;
  }
  return fs::path(found->pw_dir);
}

void requireAbsolute(const std::optional<fs::path>& path, const char* what) {
  if (path && !path->is_absolute()) {
    throw std::invalid_argument(std::string("UserDirectories: the ") + what +
                                " must be an absolute path: " + path->native());
  }
}

}  // namespace

bool isPlainFileName(std::string_view name) noexcept {
  return !name.empty() && name.size() <= NAME_MAX && name.front() != '.' &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

UserDirectories UserDirectories::fromEnvironment() {
  std::optional<fs::path> configurationHome = absoluteFromEnvironment("XDG_CONFIG_HOME");
  std::optional<fs::path> dataHome = absoluteFromEnvironment("XDG_DATA_HOME");
  if (!configurationHome || !dataHome) {
    if (const std::optional<fs::path> home = homeDirectory()) {
      if (!configurationHome) configurationHome = *home / ".config";
      if (!dataHome) dataHome = *home / ".local" / "share";
    }
  }
  return UserDirectories(std::move(configurationHome), std::move(dataHome),
                         absoluteFromEnvironment("TMPDIR").value_or("/tmp"));
}

UserDirectories::UserDirectories(std::optional<fs::path> configurationHome,
                                 std::optional<fs::path> dataHome, fs::path temporaryDirectory)
    : configurationHome_(std::move(configurationHome)),
      dataHome_(std::move(dataHome)),
      temporaryDirectory_(std::move(temporaryDirectory)) {
  requireAbsolute(configurationHome_, "configuration home");
  requireAbsolute(dataHome_, "data home");
  requireAbsolute(temporaryDirectory_, "temporary directory");
}

std::optional<URL> UserDirectories::containerURL(
    std::string_view forSecurityApplicationGroupIdentifier) const {
  if (!dataHome_ || !isPlainFileName(forSecurityApplicationGroupIdentifier)) return std::nullopt;
  return URL::fileURL(*dataHome_ / forSecurityApplicationGroupIdentifier);
}

std::vector<URL> UserDirectories::applicationSupportDirectories() const {
  if (!dataHome_) return {};
  return {URL::fileURL(*dataHome_)};
}

URL UserDirectories::temporaryDirectory() const { return URL::fileURL(temporaryDirectory_); }

}  // namespace kestro
