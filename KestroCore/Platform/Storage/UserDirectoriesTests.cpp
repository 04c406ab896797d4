#include "KestroCore/Platform/Storage/UserDirectories.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

// Sets environment variables for one scope and puts the old values back.
class ScopedEnvironment {
 public:
  void set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(UserDirectoriesTest, EnvironmentFollowsTheXDGRules) {
  {
    ScopedEnvironment environment;
    environment.set("HOME", "/home/someone");
    environment.set("XDG_CONFIG_HOME", "/cfg");
    environment.set("XDG_DATA_HOME", nullptr);
    environment.set("TMPDIR", "/scratch");
    const UserDirectories directories = UserDirectories::fromEnvironment();
    EXPECT_EQ(directories.configurationHome(), fs::path("/cfg"));
    EXPECT_EQ(directories.dataHome(), fs::path("/home/someone/.local/share"));
    EXPECT_EQ(directories.temporaryDirectoryPath(), "/scratch");
    EXPECT_EQ(places::applicationSettingsDirectory(directories), fs::path("/cfg/kestro"));
  }
  {
    // Relative values are ignored, as the XDG Base Directory rules ask.
    ScopedEnvironment environment;
    environment.set("HOME", "/home/someone");
    environment.set("XDG_CONFIG_HOME", "relative/cfg");
    environment.set("XDG_DATA_HOME", "");
    environment.set("TMPDIR", "tmp");
    const UserDirectories directories = UserDirectories::fromEnvironment();
    EXPECT_EQ(directories.configurationHome(), fs::path("/home/someone/.config"));
    EXPECT_EQ(directories.dataHome(), fs::path("/home/someone/.local/share"));
    EXPECT_EQ(directories.temporaryDirectoryPath(), "/tmp");
  }
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
