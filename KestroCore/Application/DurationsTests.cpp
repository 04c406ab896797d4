#include "KestroCore/Application/Durations.h"

#include <gtest/gtest.h>

#include "KestroCore/Application/ApplicationTestSupport.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;

TEST(DurationsTest, ReadsWhatUsersTypeAndWritesTheTwoLargestUnits) {
  const std::vector<std::pair<std::string, std::chrono::seconds>> valid{
      {"0", 0s},
      {" 1h 30m ", 90min},
      {"1w2d3h4m5s", std::chrono::weeks(1) + std::chrono::days(2) + 3h + 4min + 5s},
  };
  for (const auto& [text, expected] : valid) EXPECT_EQ(parseDuration(text), expected) << text;
}

TEST(DurationsTest, RefusesWithAReason) {
  const std::vector<std::pair<std::string, std::string>> invalid{
      {"", "empty"},
      {"7 d", "needs a unit"},
      {"1h1h", "largest to the smallest"},
      {"1.5h", "unknown unit"},
      {"-1d", "where a number should be"},
      {"99999999999999999999d", "hundred years"},
      {"5300w", "hundred years"},
  };
  for (const auto& [text, reason] : invalid) {
    const std::string& input = text;  // a lambda may not capture a structured binding (clang 14)
    const auto refusal = testsupport::refusalOf([&] { parseDuration(input); });
    EXPECT_EQ(refusal.status, ExitStatus::usage) << text;
    EXPECT_NE(refusal.message.find(reason), std::string::npos) << text;
  }

  // Written back in its two largest units.
  EXPECT_EQ(formatDuration(-5s), "0 s");
  EXPECT_EQ(formatDuration(12min + 30s), "12 min");
  EXPECT_EQ(formatDuration(1h + 5min + 59s), "1 h 5 min");
  EXPECT_EQ(formatDuration(std::chrono::days(3) + 4h + 5min), "3 d 4 h");
  EXPECT_EQ(formatDuration(std::chrono::days(1) + 5min), "1 d");
}

}  // namespace
}  // namespace kestro
