#pragma once

// Durations as users type and read them on a command line: "30s", "15m", "12h", "7d", "2w",
// and sums of them such as "1d12h". Pure functions; callable from any thread.

#include <chrono>
#include <string>
#include <string_view>

namespace kestro {

// Reads a duration: one or more <whole number><unit> parts, units s, m (minutes), h, d and w,
// each at most once and from the largest down ("1d12h", not "12h1d"); white space between parts
// is allowed. "0" alone means no time at all. Throws ApplicationError (usage) saying what is
// wrong for anything else: an empty text, a number without a unit ("7" is seven what?), an
// unknown unit, a fraction or sign, or more than a hundred years.
std::chrono::seconds parseDuration(std::string_view text);

// A duration for reading: "0 s", "45 s", "12 min", "1 h 5 min", "3 d 4 h" (the two largest
// non-zero units; seconds only below a minute). Negative durations read as "0 s".
std::string formatDuration(std::chrono::seconds duration);

}  // namespace kestro
