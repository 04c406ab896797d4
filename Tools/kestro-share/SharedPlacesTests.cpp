// The two programs, kestro and kestro-share, find each other through the places both derive
// from the same information dictionary and directories: a floor above both libraries checks that
// they agree.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationPlaces.h"
#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/MacShareExtension/ExtensionSettings.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

// The application and the share target, built the same way, must meet in the same places.
TEST(SharedPlacesTest, TheApplicationAndTheShareTargetMeetInTheSamePlaces) {
  testsupport::TemporaryTree tree;
  for (const std::optional<std::string>& group :
       {std::optional<std::string>(), std::optional<std::string>(" group.example.other "),
        std::optional<std::string>("not/a/directory"), std::optional<std::string>("$(GROUP)")}) {
    Bundle::InfoDictionary info{{"CFBundleShortVersionString", std::string("2.0")}};
    if (group) info.emplace("KestroAppGroupIdentifier", *group);
    const ApplicationPlaces places(Bundle(info), tree.directories());
    const ExtensionSettings share(
        ShareEnvironment{Bundle(info), tree.directories(), [] { return Date{}; }});
    SCOPED_TRACE(group.value_or("(none)"));
    EXPECT_EQ(places.appGroupIdentifier(), share.appGroupIdentifier());
    EXPECT_EQ(places.storageDirectory(), share.storageDirectory());
    EXPECT_EQ(places.applicationVersion(), share.applicationVersion());
    if (group && *group == "not/a/directory") {
      // No settings file can carry that name, so the two programs could never meet there: the
      // application says so rather than keeping a sign-in that no share would see.
      EXPECT_THROW(places.sharedSettings(), ApplicationError);
    } else {
      EXPECT_EQ(places.sharedSettings().filePath(), share.sharedSettingsStore().filePath());
    }
  }

  // One device identifier, whichever program makes it first, and the user the application signs
  // in is the user the share target sees.
  const ApplicationPlaces app = tree.places();
  const ExtensionSettings share(
      ShareEnvironment{app.bundle(), tree.directories(), [] { return Date{}; }});
  const UUID device = app.deviceIdentifier();
  EXPECT_EQ(share.deviceIdentifier(), device);
  EXPECT_EQ(app.deviceIdentifier(), device);
  app.sharedSettings().set("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", places::kCurrentUserIdKey);
  EXPECT_EQ(share.signedInUser(), app.signedInUser());
}

}  // namespace
}  // namespace kestro
