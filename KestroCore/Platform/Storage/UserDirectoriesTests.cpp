#include "KestroCore/Platform/Storage/UserDirectories.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

// Sets environment variables (null: unsets them) for one scope and puts the old values back.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::vector<std::pair<const char*, const char*>>& values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name);
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, old] : saved_) {
      old ? ::setenv(name.c_str(), old->c_str(), 1) : ::unsetenv(name.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(UserDirectoriesTest, EnvironmentFollowsTheXDGRules) {
  {
    const ScopedEnvironment environment({{"HOME", "/home/someone"},
                                         {"XDG_CONFIG_HOME", "/cfg"},
                                         {"XDG_DATA_HOME", nullptr},
                                         {"TMPDIR", "/scratch"}});
    const UserDirectories directories = UserDirectories::fromEnvironment();
    EXPECT_EQ(directories.configurationHome(), fs::path("/cfg"));
    EXPECT_EQ(directories.dataHome(), fs::path("/home/someone/.local/share"));
    EXPECT_EQ(directories.temporaryDirectoryPath(), "/scratch");
    EXPECT_EQ(places::applicationSettingsDirectory(directories), fs::path("/cfg/kestro"));
  }
  // Relative and empty values are ignored, as the XDG Base Directory rules ask.
  const ScopedEnvironment environment({{"HOME", "/home/someone"},
                                       {"XDG_CONFIG_HOME", "relative/cfg"},
                                       {"XDG_DATA_HOME", ""},
                                       {"TMPDIR", "tmp"}});
  const UserDirectories directories = UserDirectories::fromEnvironment();
  EXPECT_EQ(directories.configurationHome(), fs::path("/home/someone/.config"));
  EXPECT_EQ(directories.dataHome(), fs::path("/home/someone/.local/share"));
  EXPECT_EQ(directories.temporaryDirectoryPath(), "/tmp");
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
