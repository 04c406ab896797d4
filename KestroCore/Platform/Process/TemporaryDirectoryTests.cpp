#include "KestroCore/Platform/Process/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

namespace kestro {
namespace {

namespace fs = std::filesystem;

TEST(TemporaryDirectoryTest, IsPrivateUnderTmpdirAndGoesWithItsContents) {
  const TemporaryDirectory outer("kestro-outer");
  const std::optional<std::string> previous =
      std::getenv("TMPDIR") ? std::optional<std::string>(std::getenv("TMPDIR")) : std::nullopt;
  ::setenv("TMPDIR", outer.path().c_str(), 1);
  fs::path made;
  {
    const TemporaryDirectory directory("kestro-inner");
    made = directory.path();
    EXPECT_EQ(made.parent_path(), outer.path());
    EXPECT_TRUE(made.filename().string().starts_with("kestro-inner-"));
    struct stat status {};
    EXPECT_EQ(::stat(made.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    fs::create_directories(made / "a" / "b");
    std::ofstream(made / "a" / "b" / "file") << "contents";
  }
  EXPECT_FALSE(fs::exists(made));
  ::setenv("TMPDIR", (outer.path() / "missing").c_str(), 1);
  EXPECT_THROW(TemporaryDirectory("kestro-missing"), std::system_error);
  previous ? ::setenv("TMPDIR", previous->c_str(), 1) : ::unsetenv("TMPDIR");
}

TEST(TemporaryDirectoryTest, MovingHandsItOverAndReleasingKeepsIt) {
  std::optional<TemporaryDirectory> first(std::in_place, "kestro-move");
  const fs::path path = first->path();
  TemporaryDirectory second("kestro-move");
  const fs::path replaced = second.path();
  second = std::move(*first);  // the directory second held goes
  first.reset();               // the moved-from owner removes nothing
  EXPECT_FALSE(fs::exists(replaced));
  EXPECT_TRUE(fs::is_directory(path));

  const fs::path kept = second.release();
  { TemporaryDirectory gone = std::move(second); }
  EXPECT_EQ(kept, path);
  EXPECT_TRUE(fs::is_directory(kept));
  fs::remove_all(kept);
}

}  // namespace
}  // namespace kestro
