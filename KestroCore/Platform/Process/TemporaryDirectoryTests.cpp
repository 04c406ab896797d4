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

// Sets TMPDIR for the life of the object.
class TemporaryBase {
 public:
  explicit TemporaryBase(const char* value) {
    if (const char* old = std::getenv("TMPDIR")) previous_ = old;
    ::setenv("TMPDIR", value, 1);
  }
  ~TemporaryBase() {
    if (previous_) {
      ::setenv("TMPDIR", previous_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> previous_;
};

TEST(TemporaryDirectoryTest, IsPrivateUnderTmpdirAndGoesWithItsContents) {
  const TemporaryDirectory outer("kestro-outer");
  fs::path made;
  {
    const TemporaryBase base(outer.path().c_str());
    const TemporaryDirectory directory("kestro-inner");
    made = directory.path();
    EXPECT_EQ(made.parent_path(), outer.path());
    EXPECT_TRUE(made.filename().string().starts_with("kestro-inner-"));
    struct stat status {};
    ASSERT_EQ(::stat(made.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    fs::create_directories(made / "a" / "b");
    std::ofstream(made / "a" / "b" / "file") << "contents";
  }
  EXPECT_FALSE(fs::exists(made));
  EXPECT_TRUE(fs::exists(outer.path()));
}

TEST(TemporaryDirectoryTest, MovingHandsItOverAndReleasingKeepsIt) {
  std::optional<TemporaryDirectory> first(std::in_place, "kestro-move");
  const fs::path path = first->path();
  TemporaryDirectory second = std::move(*first);
  first.reset();  // the moved-from owner removes nothing
  EXPECT_EQ(second.path(), path);
  EXPECT_TRUE(fs::is_directory(path));

  TemporaryDirectory third("kestro-move");
  const fs::path replaced = third.path();
  third = std::move(second);  // the directory third held goes
  EXPECT_FALSE(fs::exists(replaced));
  EXPECT_EQ(third.path(), path);

  const fs::path kept = third.release();
  EXPECT_TRUE(third.path().empty());
  { TemporaryDirectory gone = std::move(third); }
  EXPECT_TRUE(fs::is_directory(kept));
  fs::remove_all(kept);
}

TEST(TemporaryDirectoryTest, AnUnusableBaseIsATypedError) {
  const TemporaryBase base("/nonexistent/kestro");
  EXPECT_THROW(TemporaryDirectory("kestro-missing"), std::system_error);
}

}  // namespace
}  // namespace kestro
