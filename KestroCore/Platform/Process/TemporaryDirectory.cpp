#include "KestroCore/Platform/Process/TemporaryDirectory.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

namespace kestro {

TemporaryDirectory::TemporaryDirectory(std::string_view prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (std::filesystem::path(base && base[0] != '\0' ? base : "/tmp") /
                         (std::string(prefix) + "-XXXXXX"))
                            .string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "cannot make a directory " + pattern);
  }
  path_ = std::move(pattern);
}

TemporaryDirectory::TemporaryDirectory(TemporaryDirectory&& other) noexcept
    : path_(other.release()) {}

TemporaryDirectory& TemporaryDirectory::operator=(TemporaryDirectory&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = other.release();
  }
  return *this;
}

TemporaryDirectory::~TemporaryDirectory() { remove(); }

std::filesystem::path TemporaryDirectory::release() noexcept { return std::exchange(path_, {}); }

void TemporaryDirectory::remove() noexcept {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  path_.clear();
}

}  // namespace kestro
