#include "KestroCore/Application/ApplicationPlaces.h"

#include <gtest/gtest.h>

#include <chrono>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

TEST(ApplicationPlacesTest, WithoutAHomeThereIsNoPlaceAndTheErrorSaysSo) {
  const ApplicationPlaces homeless(Bundle({}), UserDirectories(std::nullopt, std::nullopt, "/tmp"));
  EXPECT_THROW(homeless.sharedSettings(), ApplicationError);
  EXPECT_THROW(homeless.applicationSettings(), ApplicationError);
  EXPECT_THROW(homeless.storageDirectory(), ApplicationError);
}

TEST(ApplicationPlacesTest, ExcludedApplicationsComeFromTheSettingsAsAList) {
  EXPECT_EQ(parseApplicationList(" org.keepassxc.KeePassXC,com.bitwarden.desktop\n\tsignal ,, "),
            (std::set<std::string>{"org.keepassxc.KeePassXC", "com.bitwarden.desktop", "signal"}));
  EXPECT_TRUE(parseApplicationList(" , ").empty());
  testsupport::TemporaryTree tree;
  const ApplicationPlaces places = tree.places();
  EXPECT_TRUE(places.excludedApplications().empty());
  places.applicationSettings().set("KeePassXC, 1Password", settingskeys::kExcludedApplications);
  EXPECT_EQ(places.excludedApplications(), (std::set<std::string>{"KeePassXC", "1Password"}));
}

}  // namespace
}  // namespace kestro
