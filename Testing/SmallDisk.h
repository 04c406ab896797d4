#pragma once

// A real file system that runs out of space when a test says so: a small tmpfs mounted on a
// temporary directory, filled to the last block by a filler file and freed again by removing it.
// Mounting needs root (or CAP_SYS_ADMIN); without it `mounted()` is false and the test skips.
// Test support only.

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "KestroCore/Foundation/UUID.h"

namespace kestro::testsupport {

class SmallDisk {
 public:
  // A tmpfs of `bytes`, mounted on a new directory under the system's temporary directory.
  explicit SmallDisk(std::size_t bytes = 4 * 1024 * 1024)
      : path_(std::filesystem::temp_directory_path() /
              ("kestro-small-disk-" + UUID().uuidString())) {
    std::filesystem::create_directories(path_);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      reason_ = std::strerror(errno);
    }
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const noexcept { return mounted_; }
  // Why the mount failed.
  const std::string& reason() const noexcept { return reason_; }
  const std::filesystem::path& path() const noexcept { return path_; }

  // Takes every free block: from now on, anything that needs a new block fails with ENOSPC.
  void fill() {
    const int fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot create the filler");
    static const char block[4096] = {};
    int error = 0;
    for (;;) {
      const ssize_t written = ::write(fd, block, sizeof block);
      if (written > 0) continue;
      error = written < 0 ? errno : ENOSPC;
      if (error != EINTR) break;
    }
    ::close(fd);
    if (error != ENOSPC)
      throw std::system_error(error, std::generic_category(), "filling the disk");
  }

  // Gives the space back.
  void free() { std::filesystem::remove(filler()); }

 private:
  std::filesystem::path filler() const { return path_ / "filler"; }

  std::filesystem::path path_;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace kestro::testsupport
