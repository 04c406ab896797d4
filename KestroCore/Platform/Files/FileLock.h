#pragma once

// An exclusive lock that processes take turns on, through a lock file.

#include <filesystem>
#include <optional>

#include "KestroCore/Platform/Files/FileDescriptor.h"

namespace kestro {

// Holds an exclusive advisory lock (flock) on a file for its lifetime; destroying it releases
// the lock, and so does the end of the process, however it ends, so a lock is never left
// behind by a killed holder. Two FileLock objects on one file exclude each other also within
// one process. Movable, not copyable.
//
// Not guaranteed: only holders that ask for the lock are excluded; the file's contents are
// never looked at. On network file systems flock may lock nothing at all.
class FileLock {
 public:
  // Takes the lock if nobody holds it, creating the file (mode 0600) when it is missing;
  // nothing when somebody else holds it. Never waits. Throws std::filesystem::filesystem_error
  // when the file cannot be opened or locked for another reason.
  static std::optional<FileLock> tryAcquire(const std::filesystem::path& path);

  // Waits until the lock is free and takes it. Throws as tryAcquire.
  static FileLock acquire(const std::filesystem::path& path);

  // A shared lock: any number of holders at once, waiting only while an exclusive one is held.
  // For a lock that says "somebody is here" (a running watch) rather than "one at a time".
  // Throws as tryAcquire.
  static FileLock acquireShared(const std::filesystem::path& path);

  // Whether some holder (shared or exclusive) keeps the file locked now, asked without waiting
  // and without creating it: a missing file is held by nobody. The question takes the exclusive
  // lock for a moment, so another process asking at the same instant may be taken for a holder;
  // asked again after a short pause, such a passing holder is gone. Throws as tryAcquire.
  static bool isHeld(const std::filesystem::path& path);

 private:
  explicit FileLock(FileDescriptor fd) noexcept : fd_(std::move(fd)) {}

  FileDescriptor fd_;
};

}  // namespace kestro
