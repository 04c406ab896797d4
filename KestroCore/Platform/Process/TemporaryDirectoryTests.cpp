#include "KestroCore/Platform/Process/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <system_error>

namespace kestro {
namespace {

namespace fs = std::filesystem;

TEST(TemporaryDirectoryTest, IsPrivateUnderTmpdirAndGoesWithItsContents) {
  const TemporaryDirectory outer("kestro-outer");
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
  ::setenv("TMPDIR", outer.path().parent_path().c_str(), 1);
}

}  // namespace
}  // namespace kestro
