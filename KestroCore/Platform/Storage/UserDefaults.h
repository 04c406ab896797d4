#pragma once

// Settings suites: string values by key, shared by the processes of one user. The share target
// and the application meet in one suite (the application group's), where the application writes
// the signed-in user and the share target writes the device identifier and the capture revision.
//
// Storage: one file per suite, <configuration home>/<suite name>.json, a JSON object whose string
// members are the values. Every read opens the file afresh, so a value another process wrote is
// seen at once. Every write is a read-modify-write of the whole file under an exclusive lock
// (flock on <suite name>.lock beside it), written to a temporary file, flushed to disk and renamed
// over the old one: readers never see a half-written file, and two processes writing different
// keys at the same time never lose each other's keys. Members that are not strings, written by
// someone else, are kept as they are.
//
// The standard suite is the process's own: the suite named after the program
// (program_invocation_short_name, "kestro-share" for the share target), in the same directory.
// When no configuration home can be found, or the program's name cannot name a file, the standard
// suite lives in memory only, shared by the whole process and lost when it ends.
//
// Thread safety: a UserDefaults is a small value (the suite's paths); copies may be used from any
// number of threads and processes at once.
//
// Errors: reads and writes throw std::filesystem::filesystem_error for a file that cannot be
// read, written, flushed or renamed, and UserDefaultsError for a suite file whose contents are
// not a JSON object (or are larger than 1 MiB); a write then leaves the file as it was.
//
// Not guaranteed: a write that has returned survives a crash of the process, and a power failure
// leaves either the old or the new file whole; the rename itself is not flushed, so a power
// failure right after a write may bring back the previous contents.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "KestroCore/Platform/Storage/UserDirectories.h"

namespace kestro {

// A suite file that is not a JSON object, or is too large to be one.
class UserDefaultsError : public std::runtime_error {
 public:
  UserDefaultsError(const std::string& what, std::filesystem::path path)
      : std::runtime_error(what + ": " + path.native()), path_(std::move(path)) {}
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

class UserDefaults {
 public:
  // The suite `suiteName`, or nothing when it cannot be opened: no configuration home is known,
  // or the name cannot be a file name of its own (see isPlainFileName). Touches no file.
  static std::optional<UserDefaults> suite(std::string_view suiteName,
                                           const UserDirectories& directories);

  // The process's own suite (see above). Never fails.
  static UserDefaults standard(const UserDirectories& directories);

  // The string stored under `key`; nothing when the suite has no file yet, the key is absent, or
  // its value is not a string.
  std::optional<std::string> string(std::string_view forKey) const;

  // Stores `value` under `key`, creating the configuration home (mode 0700) and the suite file
  // (mode 0600) when needed.
  void set(std::string_view value, std::string_view forKey) const;

  // The string under `key` when `accepts` takes it; otherwise `makeValue()`, stored under `key`
  // and returned. The read, the making and the write are one step under the suite's lock, so of
  // several processes (or threads) that find no acceptable value at once, exactly one stores its
  // own and every one of them returns that one.
  std::string stringOrSet(std::string_view forKey,
                          const std::function<bool(const std::string&)>& accepts,
                          const std::function<std::string()>& makeValue) const;

  // Removes `key`; removing an absent key changes nothing.
  void removeObject(std::string_view forKey) const;

  // The suite's file; nothing for a suite held in memory.
  std::optional<std::filesystem::path> filePath() const;

 private:
  struct MemoryStore;
  UserDefaults(std::filesystem::path file, std::filesystem::path lock);
  explicit UserDefaults(std::shared_ptr<MemoryStore> memory);

  template <class Change>
  void modify(Change&& change) const;

  std::filesystem::path file_;
  std::filesystem::path lock_;
  std::shared_ptr<MemoryStore> memory_;  // set only for the in-memory standard suite
};

}  // namespace kestro
