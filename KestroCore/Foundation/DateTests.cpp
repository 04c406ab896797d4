#include "KestroCore/Foundation/Date.h"

#include <gtest/gtest.h>

#include <limits>

namespace kestro {
namespace {

using namespace std::chrono_literals;

Date at(std::chrono::system_clock::duration sinceEpoch) { return Date{sinceEpoch}; }

TEST(DateTest, WritesUTCWholeSecondsAndReadsZuluAndOffsets) {
  // The fraction is dropped toward the earlier second: half a second before 1970 is still in
  // the last second of 1969.
  EXPECT_EQ(formatInternetDate(at(1741064767s + 999ms)), "2025-03-04T05:06:07Z");
  EXPECT_EQ(formatInternetDate(at(-500ms)), "1969-12-31T23:59:59Z");
  EXPECT_EQ(formatInternetDate(at(951782400s)), "2000-02-29T00:00:00Z");
  for (const char* text : {"2025-03-04T05:06:07Z", "2025-03-03T23:36:07-05:30",
                           "2025-03-04T07:06:07+02:00", "2025-03-05T05:05:07+23:59"}) {
    EXPECT_EQ(parseInternetDate(text), at(1741064767s)) << text;
  }
  EXPECT_EQ(parseInternetDate("1969-12-31T23:59:59Z"), at(-1s));
  EXPECT_EQ(parseInternetDate("2024-02-29T12:00:00Z"), at(1709208000s));
}

TEST(DateTest, RefusesFractionsMissingDesignatorsAndFieldsOutOfRange) {
  // clang-format off
  for (const char* text : {
           "", "2025-03-04T05:06:07.5Z", "2025-03-04T05:06:07", "2025-13-04T05:06:07Z",
           "2025-02-29T05:06:07Z", "2025-03-04T24:00:00Z", "2025-03-04T05:06:60Z",
           "2025-03-04T05:06:07+24:00", "2025-03-04T05:06:07+0200", "2025-03-04T05:06:07ZZ",
           "2025-03-04T05:06:0/Z", "2025-03-04T05:06:0:Z", "2025-0a-04T05:06:07Z",
           "2025-03-04 05:06:07Z", " 2025-03-04T05:06:07Z", "2025-03-04T05:06:07+02",
           "2025-03-04T05:06:07+02-00", "2025-03-04T05:06:07 02:00", "2025-03-04T05:06:07+02:60",
           "0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z",  // outside the clock's range
       }) {
    EXPECT_FALSE(parseInternetDate(text)) << text;
  }
  // clang-format on
}

TEST(DateTest, DatabaseSecondsKeepTheFractionOverTheClocksWholeRange) {
  EXPECT_EQ(secondsSince1970(at(-1500ms)), -1.5);
  EXPECT_EQ(dateFromSecondsSince1970(-1.5), at(-1500ms));
  // A double holds today's dates to well under a microsecond.
  const Date now = std::chrono::system_clock::now();
  const auto back = dateFromSecondsSince1970(secondsSince1970(now));
  ASSERT_TRUE(back);
  EXPECT_LT(std::chrono::abs(*back - now), 1us);
  EXPECT_FALSE(dateFromSecondsSince1970(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(dateFromSecondsSince1970(-1e300));
  // The earliest dates lie within the clock's first second, whose whole seconds do not fit in
  // its ticks: callers pass Date::min() as "the distant past".
  EXPECT_DOUBLE_EQ(secondsSince1970(Date::min()), -9223372036.854775808);
  EXPECT_DOUBLE_EQ(secondsSince1970(Date::min() + 854'775'807ns), -9223372036.0);
  EXPECT_DOUBLE_EQ(secondsSince1970(Date::max()), 9223372036.854775807);
}

}  // namespace
}  // namespace kestro
