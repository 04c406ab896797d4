#include "KestroCore/Application/ApplicationPlaces.h"

#include <gtest/gtest.h>

#include "KestroCore/Application/ApplicationError.h"

namespace kestro {
namespace {

TEST(ApplicationPlacesTest, WithoutAHomeThereIsNoPlaceAndExclusionsAreAList) {
  const ApplicationPlaces homeless(Bundle({}), UserDirectories(std::nullopt, std::nullopt, "/tmp"));
  EXPECT_THROW(homeless.sharedSettings(), ApplicationError);
  EXPECT_THROW(homeless.applicationSettings(), ApplicationError);
  EXPECT_THROW(homeless.storageDirectory(), ApplicationError);

  // Excluded applications are written as a list.
  EXPECT_EQ(parseApplicationList(" org.keepassxc.KeePassXC,com.bitwarden.desktop\n\tsignal ,, "),
            (std::set<std::string>{"org.keepassxc.KeePassXC", "com.bitwarden.desktop", "signal"}));
  EXPECT_TRUE(parseApplicationList(" , ").empty());
  // Read from the settings: QuickCaptureTest.RefusalsStoreNothing.
}

}  // namespace
}  // namespace kestro
