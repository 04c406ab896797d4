#include "KestroCore/Application/TransferMeter.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

using namespace std::chrono_literals;
using Clock = TransferMeter::Clock;

constexpr std::uint64_t kMiB = 1024 * 1024;

TEST(TransferMeterTest, TheRateFollowsTheRecentPastAndGivesTheTimeLeft) {
  const Clock::time_point start{};
  TransferMeter meter(100 * kMiB, start);
  meter.update(1 * kMiB, start + 100ms);
  EXPECT_FALSE(meter.bytesPerSecond());  // too short a span to mean anything

  // 10 MiB/s for four seconds...
  for (int tenth = 1; tenth <= 40; ++tenth) meter.update(tenth * kMiB, start + tenth * 100ms);
  EXPECT_NEAR(*meter.bytesPerSecond(), 10.0 * kMiB, 0.01 * kMiB);
  ASSERT_TRUE(meter.timeLeft());
  EXPECT_NEAR(meter.timeLeft()->count(), 6, 1);
  // ...then 1 MiB/s: after a few seconds only the new speed counts.
  for (int tenth = 1; tenth <= 50; ++tenth) {
    meter.update(40 * kMiB + tenth * kMiB / 10, start + 4s + tenth * 100ms);
  }
  EXPECT_NEAR(*meter.bytesPerSecond(), 1.0 * kMiB, 0.05 * kMiB);
  EXPECT_NEAR(meter.timeLeft()->count(), 55, 1);

  // A transfer that starts again measures afresh.
  meter.update(0, start + 10s);
  EXPECT_FALSE(meter.bytesPerSecond());
  // Without a total there is no time left.
  TransferMeter unknown(0, start);
  unknown.update(kMiB, start + 1s);
  EXPECT_TRUE(unknown.bytesPerSecond());
  EXPECT_FALSE(unknown.timeLeft());
  // Until the total turns up later.
  unknown.setTotalBytes(3 * kMiB);
  ASSERT_TRUE(unknown.timeLeft());
  EXPECT_NEAR(unknown.timeLeft()->count(), 2, 1);
}

TEST(TransferMeterTest, BytesReadInBinaryUnitsAndAProgressLineFitsItsWidth) {
  EXPECT_EQ(formatBytes(1023), "1023 B");
  EXPECT_EQ(formatBytes(1024), "1.00 KiB");
  // Rounded up into the next unit, not shown as "1024 MiB".
  EXPECT_EQ(formatBytes(1023 * kMiB + 1000 * 1024), "1.00 GiB");

  // A progress line fits its width.
  const Clock::time_point start{};
  TransferMeter meter(1024 * kMiB, start);
  meter.update(512 * kMiB, start + 10s);
  const std::string line = progressLine("holiday-video.mkv", meter, 100);
  EXPECT_EQ(line.substr(0, 17), "holiday-video.mkv");
  for (const char* shown : {"[####", "512 MiB of 1.00 GiB", "51.2 MiB/s", " s left"}) {
    EXPECT_NE(line.find(shown), std::string::npos) << shown;
  }
  for (const std::size_t width : {100u, 10u}) {
    const std::string narrow = progressLine(std::string(200, 'n'), meter, width);
    std::size_t columns = 0;
    for (const char c : narrow) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    EXPECT_LE(columns, width) << narrow;
  }
}

}  // namespace
}  // namespace kestro
