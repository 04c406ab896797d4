#include "KestroCore/Foundation/Date.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace kestro {
namespace {

using std::chrono::days;
using std::chrono::duration_cast;
using std::chrono::floor;
using std::chrono::seconds;
using std::chrono::sys_days;
using std::chrono::year_month_day;

// Reads exactly `count` decimal digits at `pos`.
bool readDigits(std::string_view text, std::size_t pos, std::size_t count, int& value) noexcept {
  if (pos + count > text.size()) return false;
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

}  // namespace

std::string formatInternetDate(Date date) {
  const auto wholeSeconds = floor<seconds>(date);
  const auto day = floor<days>(wholeSeconds);
  const year_month_day ymd{day};
  const std::chrono::hh_mm_ss time{wholeSeconds - day};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return buffer;
}

std::optional<Date> parseInternetDate(std::string_view text) noexcept {
  // YYYY-MM-DDThh:mm:ss is 19 characters; then "Z" (20) or "+hh:mm" (25).
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (text.size() < 20) return std::nullopt;
  if (!readDigits(text, 0, 4, year) || text[4] != '-' || !readDigits(text, 5, 2, month) ||
      text[7] != '-' || !readDigits(text, 8, 2, day) || text[10] != 'T' ||
      !readDigits(text, 11, 2, hour) || text[13] != ':' || !readDigits(text, 14, 2, minute) ||
      text[16] != ':' || !readDigits(text, 17, 2, second)) {
    return std::nullopt;
  }
  int offsetMinutes = 0;
  const std::string_view zone = text.substr(19);
  if (zone == "Z") {
    offsetMinutes = 0;
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    int offsetHours = 0, offsetMinutesPart = 0;
    if (!readDigits(zone, 1, 2, offsetHours) || !readDigits(zone, 4, 2, offsetMinutesPart) ||
        offsetHours > 23 || offsetMinutesPart > 59) {
      return std::nullopt;
    }
    offsetMinutes = (offsetHours * 60 + offsetMinutesPart) * (zone[0] == '-' ? -1 : 1);
  } else {
    return std::nullopt;  // a fraction, a missing designator, or trailing text
  }
  const year_month_day ymd{std::chrono::year{year},
                           std::chrono::month{static_cast<unsigned>(month)},
                           std::chrono::day{static_cast<unsigned>(day)}};
  if (!ymd.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;

  // Work in seconds first, then check that the clock's ticks can hold the result.
  const std::int64_t daysSinceEpoch = sys_days{ymd}.time_since_epoch().count();
  const std::int64_t total = daysSinceEpoch * 86400 + hour * 3600 + minute * 60 + second -
                             static_cast<std::int64_t>(offsetMinutes) * 60;
  constexpr auto kMaximum = duration_cast<seconds>(Date::duration::max()).count();
  constexpr auto kMinimum = duration_cast<seconds>(Date::duration::min()).count();
  if (total >= kMaximum || total <= kMinimum) return std::nullopt;
  return Date{duration_cast<Date::duration>(seconds{total})};
}

double secondsSince1970(Date date) noexcept {
  // Whole seconds and the fraction apart: nanoseconds since 1970 need more bits than a double
  // has, so converting the tick count in one go would blur the fraction. The split works on the
  // tick count itself: the whole seconds of a time point in the clock's first second, counted
  // back in ticks, do not fit in a tick count, so chrono's floor and subtraction would overflow.
  using Ticks = Date::duration;
  static_assert(Ticks::period::num == 1, "the clock's tick is a fraction of a second");
  constexpr Ticks::rep kTicksPerSecond = Ticks::period::den;
  const Ticks::rep ticks = date.time_since_epoch().count();
  Ticks::rep whole = ticks / kTicksPerSecond;
  Ticks::rep fraction = ticks % kTicksPerSecond;
  if (fraction < 0) {
    whole -= 1;
    fraction += kTicksPerSecond;
  }
  return static_cast<double>(whole) +
         static_cast<double>(fraction) / static_cast<double>(kTicksPerSecond);
}

std::optional<Date> dateFromSecondsSince1970(double value) noexcept {
  if (!std::isfinite(value)) return std::nullopt;
  using Ticks = Date::duration;
  constexpr auto kTicksPerSecond = static_cast<double>(Ticks::period::den) / Ticks::period::num;
  constexpr double kMaximumSeconds =
      static_cast<double>(duration_cast<seconds>(Ticks::max()).count());
  const double whole = std::floor(value);
  if (whole >= kMaximumSeconds || whole <= -kMaximumSeconds) return std::nullopt;
  const auto fractionTicks = static_cast<Ticks::rep>(std::round((value - whole) * kTicksPerSecond));
  return Date{duration_cast<Ticks>(seconds{static_cast<std::int64_t>(whole)}) +
              Ticks{fractionTicks}};
}

}  // namespace kestro
