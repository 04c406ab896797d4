// Internet date-times, and the seconds the outbox database keeps. An input is read as text; its
// first eight bytes are also read as a clock tick count and as a double.

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "Fuzz/FuzzSupport.h"
#include "KestroCore/Foundation/Date.h"

namespace {

using kestro::Date;
using kestro::fuzz::fail;
using std::chrono::floor;
using std::chrono::seconds;

// Whole seconds since 1970 that the text form can carry: the clock's range, less its edges.
constexpr auto kLatestWritten = std::chrono::duration_cast<seconds>(Date::duration::max());

void checkText(std::string_view text) {
  const auto date = kestro::parseInternetDate(text);
  if (!date) return;
  if (floor<seconds>(*date) != *date) fail("a date read from text has a fraction", text);
  if (kestro::parseInternetDate(kestro::formatInternetDate(*date)) != date) {
    fail("a date does not read back from the text it writes", text);
  }
}

void checkTicks(Date::rep ticks) {
  const Date date{Date::duration{ticks}};
  // Every date writes as text, and reads back to its whole second unless it is at the clock's
  // very edges.
  const std::string text = kestro::formatInternetDate(date);
  const seconds whole = floor<seconds>(date.time_since_epoch());
  if (whole > -kLatestWritten && whole < kLatestWritten) {
    const auto read = kestro::parseInternetDate(text);
    if (!read || floor<seconds>(read->time_since_epoch()) != whole) {
      fail("a date's text does not read back to its second", text);
    }
  }
  // Every date has its seconds since 1970, and they come back to within the precision of a
  // double (a microsecond at the clock's edges, 2^33 seconds from 1970).
  const double value = kestro::secondsSince1970(date);
  if (!std::isfinite(value)) fail("a date has no seconds since 1970", text);
  if (const auto back = kestro::dateFromSecondsSince1970(value)) {
    const auto difference = *back > date ? *back - date : date - *back;
    if (difference > std::chrono::microseconds(2)) fail("seconds since 1970 drift", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkText(kestro::fuzz::text(data, size));
  if (size >= 8) {
    Date::rep ticks;
    std::memcpy(&ticks, data, sizeof ticks);
    checkTicks(ticks);
    double value;
    std::memcpy(&value, data, sizeof value);
    if (const auto date = kestro::dateFromSecondsSince1970(value)) {
      kestro::secondsSince1970(*date);
    }
  }
  return 0;
}
