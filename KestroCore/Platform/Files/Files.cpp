#include "KestroCore/Platform/Files/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

namespace kestro::files {

namespace fs = std::filesystem;

void throwError(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

void throwError(const char* what, const fs::path& path1, const fs::path& path2, int error) {
  throw fs::filesystem_error(what, path1, path2, std::error_code(error, std::generic_category()));
}

namespace {

// An extension longer than this is more likely part of the name than a type, and not worth
// keeping at the expense of the name.
constexpr std::size_t kMaximumKeptExtension = 32;

bool isDirectory(const fs::path& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::vector<fs::path> createDirectories(const fs::path& directory, mode_t mode) {
  std::vector<fs::path> missing;
  fs::path current = directory;
  while (current.has_relative_path() && !current.has_filename()) current = current.parent_path();
  for (;;) {
    struct stat status;
    if (::stat(current.c_str(), &status) == 0) {
      if (!S_ISDIR(status.st_mode)) throwError("cannot create directories", current, ENOTDIR);
      break;
    }
    if (errno != ENOENT) throwError("cannot create directories", current, errno);
    missing.push_back(current);
    const fs::path parent = current.parent_path();
    if (parent == current) break;
    current = parent;
  }
  std::vector<fs::path> created;
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), mode) == 0) {
      created.push_back(*it);
      continue;
    }
    const int error = errno;
    if (error == EEXIST && isDirectory(*it)) continue;
    throwError("cannot create directories", *it, error == EEXIST ? ENOTDIR : error);
  }
  return created;
}

std::string fileName(const fs::path& path) {
  std::string_view text = path.native();
  while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  const std::size_t slash = text.rfind('/');
  return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

std::string prefixedFileName(std::string_view prefix, const std::string& name) {
  const std::size_t budget = NAME_MAX - prefix.size();
  if (name.size() <= budget) return std::string(prefix) + name;
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > kMaximumKeptExtension) {
    dot = name.size();
  }
  const std::string_view extension = std::string_view(name).substr(dot);
  std::size_t cut = budget - extension.size();
  for (int step = 0; step < 3 && cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80;
       ++step) {
    --cut;
  }
  return std::string(prefix) + name.substr(0, cut) + std::string(extension);
}

FileDescriptor openRegularFileForReading(const fs::path& path) {
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it changes nothing for a
  // regular file.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) throwError("cannot open file", path, errno);
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) throwError("cannot open file", path, errno);
  if (!S_ISREG(status.st_mode)) {
    throwError("cannot open file", path, S_ISDIR(status.st_mode) ? EISDIR : ENOTSUP);
  }
  return fd;
}

FileDescriptor createNewFile(const fs::path& path, mode_t mode) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.valid()) throwError("cannot create file", path, errno);
  return fd;
}

void writeAll(int fd, const void* data, std::size_t size, const fs::path& path) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      throwError("cannot write file", path, errno);
    }
    if (written == 0) throwError("cannot write file", path, EIO);
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

std::size_t readSome(int fd, void* buffer, std::size_t size, const fs::path& path) {
  for (;;) {
    const ssize_t count = ::read(fd, buffer, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) throwError("cannot read file", path, errno);
  }
}

void adviseSequentialRead(int fd) noexcept { ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

void startWriteBack(int fd, off_t offset, off_t length) noexcept {
  ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

void removeFileQuietly(const fs::path& path) noexcept { ::unlink(path.c_str()); }

void syncFile(int fd, const fs::path& path) {
  if (::fsync(fd) != 0) throwError("cannot flush file", path, errno);
}

void syncDirectory(const fs::path& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) throwError("cannot open directory", directory, errno);
  if (::fsync(fd.get()) != 0 && errno != EINVAL) {
    throwError("cannot flush directory", directory, errno);
  }
}

}  // namespace kestro::files
