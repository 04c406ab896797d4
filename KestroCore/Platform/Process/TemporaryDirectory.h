#pragma once

// A private directory of one's own for a while: scratch space for a run, a test or a benchmark.

#include <filesystem>
#include <string_view>

namespace kestro {

// Made with mkdtemp under $TMPDIR (or /tmp when that is unset or empty), named
// "<prefix>-XXXXXX", mode 0700, and removed with everything in it when the owner goes, unless
// released. Movable, not copyable. Throws std::system_error when it cannot be made.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(std::string_view prefix = "kestro");
  TemporaryDirectory(TemporaryDirectory&& other) noexcept;
  TemporaryDirectory& operator=(TemporaryDirectory&& other) noexcept;
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory();

  // Empty once moved from or released.
  const std::filesystem::path& path() const noexcept { return path_; }

  // Keeps the directory: returns its path, and the owner no longer removes it.
  std::filesystem::path release() noexcept;

 private:
  void remove() noexcept;
  std::filesystem::path path_;
};

}  // namespace kestro
