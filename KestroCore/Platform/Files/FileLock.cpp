#include "KestroCore/Platform/Files/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <utility>

#include "KestroCore/Platform/Files/Files.h"

namespace kestro {
namespace {

FileDescriptor openLockFile(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) files::throwError("cannot open lock file", path, errno);
  return fd;
}

}  // namespace

std::optional<FileLock> FileLock::tryAcquire(const std::filesystem::path& path) {
  FileDescriptor fd = openLockFile(path);
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::nullopt;
    if (errno != EINTR) files::throwError("cannot lock", path, errno);
  }
  return FileLock(std::move(fd));
}

FileLock FileLock::acquire(const std::filesystem::path& path) {
  FileDescriptor fd = openLockFile(path);
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) files::throwError("cannot lock", path, errno);
  }
  return FileLock(std::move(fd));
}

FileLock FileLock::acquireShared(const std::filesystem::path& path) {
  FileDescriptor fd = openLockFile(path);
  while (::flock(fd.get(), LOCK_SH) != 0) {
    if (errno != EINTR) files::throwError("cannot lock", path, errno);
  }
  return FileLock(std::move(fd));
}

bool FileLock::isHeld(const std::filesystem::path& path) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return false;
    files::throwError("cannot open lock file", path, errno);
  }
  // Taken and let go at once (closing the descriptor releases it).
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return true;
    if (errno != EINTR) files::throwError("cannot lock", path, errno);
  }
  return false;
}

}  // namespace kestro
