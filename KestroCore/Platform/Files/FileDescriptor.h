#pragma once

// The one owner of an open file descriptor.

#include <utility>

namespace kestro {

// Owns one file descriptor and closes it when destroyed or reset. Movable, not copyable. Errors
// from closing are ignored: whoever needed to know whether the data reached the disk has asked
// fsync already, which reports what close could.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Closes the descriptor held, if any, and takes `fd`.
  void reset(int fd = -1) noexcept;

 private:
  int fd_;
};

}  // namespace kestro
