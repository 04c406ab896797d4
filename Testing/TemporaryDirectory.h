#pragma once

// A fresh directory for one test, removed with everything in it when the object goes
// (header-only; never installed).

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace kestro::testsupport {

// Made with mkdtemp under $TMPDIR (or /tmp), named "<prefix>-XXXXXX". Not copyable.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(std::string_view prefix = "kestro-test") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace kestro::testsupport
