#include "KestroCore/Platform/Files/FileDescriptor.h"

#include <unistd.h>

namespace kestro {

void FileDescriptor::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace kestro
