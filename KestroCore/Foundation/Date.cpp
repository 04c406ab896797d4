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

// The two decimal digits at `at`, or -1. Unsigned arithmetic folds both range checks into one:
// a byte below '0' wraps to a large value.
int twoDigits(const char* at) noexcept {
  const unsigned tens = static_cast<unsigned char>(at[0]) - unsigned{'0'};
  const unsigned ones = static_cast<unsigned char>(at[1]) - unsigned{'0'};
  if ((tens > 9) | (ones > 9)) return -1;
  return static_cast<int>(tens * 10 + ones);
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
  // YYYY-MM-DDThh:mm:ss is 19 characters; then "Z" (20) or "+hh:mm" (25). Pages of items carry
  // thousands of these, so every field is read at its fixed place, without a loop.
  if (text.size() != 20 && text.size() != 25) return std::nullopt;
  const char* const p = text.data();
  const int century = twoDigits(p), yearOfCentury = twoDigits(p + 2), month = twoDigits(p + 5),
            day = twoDigits(p + 8), hour = twoDigits(p + 11), minute = twoDigits(p + 14),
            second = twoDigits(p + 17);
  if ((century | yearOfCentury | month | day | hour | minute | second) < 0 || p[4] != '-' ||
      p[7] != '-' || p[10] != 'T' || p[13] != ':' || p[16] != ':') {
    return std::nullopt;
  }
  const int year = century * 100 + yearOfCentury;
  int offsetMinutes = 0;
  if (text.size() == 20) {
    if (p[19] != 'Z') return std::nullopt;  // a fraction, or no designator
  } else {
    const int offsetHours = twoDigits(p + 20), offsetMinutesPart = twoDigits(p + 23);
    if ((p[19] != '+' && p[19] != '-') || p[22] != ':' || offsetHours < 0 || offsetHours > 23 ||
        offsetMinutesPart < 0 || offsetMinutesPart > 59) {
      return std::nullopt;
    }
    offsetMinutes = (offsetHours * 60 + offsetMinutesPart) * (p[19] == '-' ? -1 : 1);
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
