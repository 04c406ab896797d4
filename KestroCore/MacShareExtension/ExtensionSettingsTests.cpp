#include "KestroCore/MacShareExtension/ExtensionSettings.h"

#include <gtest/gtest.h>

#include "KestroCore/Models/KestroAPIError.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

class ExtensionSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = temporary_.path(); }

  ExtensionSettings settings(Bundle::InfoDictionary info = {}) const {
    return ExtensionSettings(ShareEnvironment{
        Bundle(std::move(info)), UserDirectories(root_ / "config", root_ / "data", root_ / "tmp"),
        [] { return Date{}; }});
  }

  testsupport::TemporaryDirectory temporary_{"kestro-settings"};
  fs::path root_;
};

// The group comes from the dictionary unless it is blank or unexpanded; without a container,
// captures go to the fallback directory; without a data home, nowhere.
TEST_F(ExtensionSettingsTest, TheGroupDecidesWhereCapturesGo) {
  const std::vector<std::pair<Bundle::InfoValue, std::string>> cases = {
      {std::string(" \n group.example.spaced\t\n"), "group.example.spaced"},
      {std::string("  $(APP_GROUP)"), "group.kestro.capture"},
      {std::int64_t{42}, "group.kestro.capture"},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(settings({{"KestroAppGroupIdentifier", value}}).appGroupIdentifier(), expected);
  }
  // The suite and the storage directory follow the group.
  const ExtensionSettings other = settings({{"KestroAppGroupIdentifier", std::string("group.b")}});
  EXPECT_EQ(other.sharedSettingsStore().filePath(), root_ / "config" / "group.b.json");
  EXPECT_EQ(other.storageDirectory(), root_ / "data" / "group.b");

  // A group that cannot be a directory name has no container.
  const ExtensionSettings odd = settings({{"KestroAppGroupIdentifier", std::string("a/../b")}});
  const fs::path fallback = root_ / "data" / "PersonalKestroLocal";
  EXPECT_EQ(odd.storageDirectory(), fallback);
  EXPECT_TRUE(fs::is_directory(fallback));

  const ExtensionSettings homeless(ShareEnvironment{
      Bundle({}), UserDirectories(std::nullopt, std::nullopt, "/tmp"), [] { return Date{}; }});
  try {
    homeless.storageDirectory();
    ADD_FAILURE() << "a place without a data home";
  } catch (const KestroAPIError& error) {
    EXPECT_EQ(error.code(), "LOCAL_FILE_ERROR");  // for the user to mend, not to retry
    EXPECT_FALSE(error.retryable());
  }
}

TEST_F(ExtensionSettingsTest, TheDeviceIdentifierIsWrittenOnceAndReplacedWhenInvalid) {
  const ExtensionSettings shared = settings();
  const UUID first = shared.deviceIdentifier();
  EXPECT_EQ(settings().deviceIdentifier(), first);

  shared.sharedSettingsStore().set("not-a-device", "tavlo-device-id");
  const UUID replaced = shared.deviceIdentifier();
  EXPECT_NE(replaced, first);
  EXPECT_EQ(shared.sharedSettingsStore().string("tavlo-device-id"), replaced.uuidString());
}

}  // namespace
}  // namespace kestro
