#include "KestroCore/Foundation/Date.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

namespace kestro {
namespace {

using namespace std::chrono_literals;

Date at(std::chrono::system_clock::duration sinceEpoch) { return Date{sinceEpoch}; }

TEST(DateTest, WritesUTCWholeSecondsDroppingTheFractionTowardTheEarlierSecond) {
  struct Case {
    Date date;
    const char* text;
  };
  const Case cases[] = {
      {at(0s), "1970-01-01T00:00:00Z"},
      {at(1741064767s), "2025-03-04T05:06:07Z"},
      {at(1741064767s + 999ms), "2025-03-04T05:06:07Z"},
      {at(-1s), "1969-12-31T23:59:59Z"},
      // Half a second before 1970 is still in the last second of 1969.
      {at(-500ms), "1969-12-31T23:59:59Z"},
      {at(-1ns), "1969-12-31T23:59:59Z"},
      {at(951782400s), "2000-02-29T00:00:00Z"},
      {at(-2208988800s), "1900-01-01T00:00:00Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatInternetDate(c.date), c.text);
}

TEST(DateTest, ReadsZuluAndOffsets) {
  EXPECT_EQ(parseInternetDate("2025-03-04T05:06:07Z"), at(1741064767s));
  EXPECT_EQ(parseInternetDate("2025-03-04T07:06:07+02:00"), at(1741064767s));
  EXPECT_EQ(parseInternetDate("2025-03-03T23:36:07-05:30"), at(1741064767s));
  EXPECT_EQ(parseInternetDate("2025-03-04T05:06:07-00:00"), at(1741064767s));
  EXPECT_EQ(parseInternetDate("1969-12-31T23:59:59Z"), at(-1s));
  EXPECT_EQ(parseInternetDate("2024-02-29T12:00:00Z"), at(1709208000s));
  // What is written reads back.
  const Date now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  EXPECT_EQ(parseInternetDate(formatInternetDate(now)), now);
}

TEST(DateTest, RefusesFractionsMissingDesignatorsAndFieldsOutOfRange) {
  for (const char* text : {
           "",
           "2025-03-04T05:06:07.5Z",     // fraction
           "2025-03-04T05:06:07.000Z",   // even a zero fraction
           "2025-03-04T05:06:07",        // no designator
           "2025-03-04 05:06:07Z",       // space for T
           "2025-03-04",                 // date only
           "2025-13-04T05:06:07Z",       // month 13
           "2025-00-04T05:06:07Z",       // month 0
           "2025-02-30T05:06:07Z",       // 30 February
           "2025-02-29T05:06:07Z",       // not a leap year
           "2025-03-00T05:06:07Z",       // day 0
           "2025-03-04T24:00:00Z",       // hour 24
           "2025-03-04T05:60:07Z",       // minute 60
           "2025-03-04T05:06:60Z",       // leap second
           "2025-03-04T05:06:07+24:00",  // offset hour out of range
           "2025-03-04T05:06:07+02:60",  // offset minute out of range
           "2025-03-04T05:06:07+0200",   // offset without colon
           "2025-03-04T05:06:07+02",     // short offset
           "2025-03-04T05:06:07ZZ",      // trailing text
           "2025-3-04T05:06:07Z",        // short month
           "+2025-03-04T05:06:07Z",      // signed year
           "2025-03-04T05:06:0xZ",       // not a digit
           "0001-01-01T00:00:00Z",       // before the clock's range
           "9999-12-31T23:59:59Z",       // after it
       }) {
    EXPECT_FALSE(parseInternetDate(text)) << text;
  }
}

TEST(DateTest, DatabaseSecondsKeepTheFraction) {
  EXPECT_EQ(secondsSince1970(at(1741064767s + 250ms)), 1741064767.25);
  EXPECT_EQ(secondsSince1970(at(-1500ms)), -1.5);
  EXPECT_EQ(dateFromSecondsSince1970(1741064767.25), at(1741064767s + 250ms));
  EXPECT_EQ(dateFromSecondsSince1970(-1.5), at(-1500ms));
  const Date now = std::chrono::system_clock::now();
  const auto back = dateFromSecondsSince1970(secondsSince1970(now));
  ASSERT_TRUE(back);
  // A double holds today's dates to well under a microsecond.
  EXPECT_LT(std::chrono::abs(*back - now), 1us);

  EXPECT_FALSE(dateFromSecondsSince1970(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(dateFromSecondsSince1970(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(dateFromSecondsSince1970(1e300));
  EXPECT_FALSE(dateFromSecondsSince1970(-1e300));
}

}  // namespace
}  // namespace kestro
