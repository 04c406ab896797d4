#include "KestroCore/Platform/Storage/UserDirectories.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <optional>
#include <string>

#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

// Reads the directories with HOME, XDG_CONFIG_HOME, XDG_DATA_HOME and TMPDIR set as given (null:
// unset), and puts the old values back.
UserDirectories directoriesFrom(const std::array<const char*, 4>& values) {
  const char* const names[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "TMPDIR"};
  std::array<std::optional<std::string>, 4> saved;
  for (std::size_t i = 0; i < 4; ++i) {
    if (const char* old = std::getenv(names[i])) saved[i] = old;
    values[i] ? ::setenv(names[i], values[i], 1) : ::unsetenv(names[i]);
  }
  UserDirectories directories = UserDirectories::fromEnvironment();
  for (std::size_t i = 0; i < 4; ++i) {
    saved[i] ? ::setenv(names[i], saved[i]->c_str(), 1) : ::unsetenv(names[i]);
  }
  return directories;
}

TEST(UserDirectoriesTest, EnvironmentFollowsTheXDGRules) {
  const UserDirectories given = directoriesFrom({"/home/someone", "/cfg", nullptr, "/scratch"});
  EXPECT_EQ(given.configurationHome(), fs::path("/cfg"));
  EXPECT_EQ(given.dataHome(), fs::path("/home/someone/.local/share"));
  EXPECT_EQ(given.temporaryDirectoryPath(), "/scratch");
  EXPECT_EQ(places::applicationSettingsDirectory(given), fs::path("/cfg/kestro"));
  // Relative and empty values are ignored, as the XDG Base Directory rules ask.
  const UserDirectories ignored = directoriesFrom({"/home/someone", "relative/cfg", "", "tmp"});
  EXPECT_EQ(ignored.configurationHome(), fs::path("/home/someone/.config"));
  EXPECT_EQ(ignored.dataHome(), fs::path("/home/someone/.local/share"));
  EXPECT_EQ(ignored.temporaryDirectoryPath(), "/tmp");
}

TEST(UserDirectoriesTest, ContainersStayInsideTheDataHome) {
  const UserDirectories directories("/cfg", "/data", "/tmp");
  EXPECT_EQ(directories.containerURL("group.kestro.capture")->filePath(),
            fs::path("/data/group.kestro.capture"));
  for (const char* group : {"", "..", "../etc", "a/b", ".hidden"}) {
    EXPECT_FALSE(directories.containerURL(group)) << group;
  }
  ASSERT_EQ(directories.applicationSupportDirectories().size(), 1u);
  EXPECT_EQ(directories.applicationSupportDirectories()[0].filePath(), fs::path("/data"));

  const UserDirectories homeless(std::nullopt, std::nullopt, "/tmp");
  EXPECT_FALSE(homeless.containerURL("group.kestro.capture"));
  EXPECT_TRUE(homeless.applicationSupportDirectories().empty());
  EXPECT_THROW(UserDirectories("relative", "/data", "/tmp"), std::invalid_argument);
}

}  // namespace
}  // namespace kestro
