#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kestro {

// A point in time. JSON carries it as an ISO 8601 internet date-time in whole seconds; the outbox
// database as seconds since 1970 with their fraction.
using Date = std::chrono::system_clock::time_point;

// Writes "2025-03-04T05:06:07Z": UTC, whole seconds, the fraction dropped toward the earlier
// second (so 1969-12-31T23:59:59.5Z writes as ...:59Z, not as 1970-01-01T00:00:00Z).
std::string formatInternetDate(Date date);

// Reads an internet date-time: "YYYY-MM-DDThh:mm:ss" followed by "Z" or a "+hh:mm"/"-hh:mm"
// offset. Gives nothing for a fraction of a second, a missing designator, a field out of range
// (month 13, 30 February, hour 24, second 60) or a time this clock cannot hold (before 1678 or
// after 2261).
std::optional<Date> parseInternetDate(std::string_view text) noexcept;

// Seconds since 1970-01-01T00:00:00Z, fraction included (negative before 1970). Defined for
// every Date, Date::min() and Date::max() included, so either may stand for "ever".
double secondsSince1970(Date date) noexcept;

// The inverse of `secondsSince1970`, to the nearest representable tick. Gives nothing for a
// non-finite value or one outside the clock's range.
std::optional<Date> dateFromSecondsSince1970(double seconds) noexcept;

}  // namespace kestro
