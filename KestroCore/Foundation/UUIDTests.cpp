#include "KestroCore/Foundation/UUID.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace kestro {
namespace {

TEST(UUIDTest, ReadsEitherCaseOfTheHyphenatedFormOnlyAndWritesUpperCase) {
  const auto mixed = UUID::fromString("e621E1f8-c36C-495a-93Fc-0c247A3e6e5F");
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(mixed->bytes()[15], 0x5F);
  for (const char* text :
       {"{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
        "E621E1F8-C36C-495A-93FC-0C247A3E6E5G", "E621E1F-8C36C-495A-93FC-0C247A3E6E5F",
        "/621E1F8-C36C-495A-93FC-0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E\xC3\xA9",
        "E621E1F8-C36C+495A-93FC-0C247A3E6E5F", "E621E1F8-C36C-495A-93FC00C247A3E6E5F"}) {
    EXPECT_FALSE(UUID::fromString(text)) << text;
  }
}

TEST(UUIDTest, RandomIdentifiersAreVersion4AndDistinct) {
  std::unordered_set<UUID> seen;
  for (int i = 0; i < 1000; ++i) {
    const UUID uuid;
    const std::string text = uuid.uuidString();
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;  // the variant
    EXPECT_EQ(UUID::fromString(text), uuid);
    EXPECT_TRUE(seen.insert(uuid).second) << "repeated " << text;
  }
}

}  // namespace
}  // namespace kestro
