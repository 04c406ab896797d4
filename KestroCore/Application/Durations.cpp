#include "KestroCore/Application/Durations.h"

#include <array>
#include <cstdint>
#include <utility>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/Text.h"

namespace kestro {
namespace {

struct Unit {
  char letter;
  std::int64_t seconds;
  const char* name;  // for reading
};

// Largest first: parts must come in this order.
constexpr std::array<Unit, 5> kUnits{{
    {'w', 7 * 86400, "w"},
    {'d', 86400, "d"},
    {'h', 3600, "h"},
    {'m', 60, "min"},
    {'s', 1, "s"},
}};

constexpr std::int64_t kLongest = 100LL * 366 * 86400;

[[noreturn]] void invalid(std::string_view text, const std::string& why) {
  throw ApplicationError(ExitStatus::usage, "not a duration: \"" + std::string(text) + "\" (" +
                                                why +
                                                "; write it like 30s, 15m, 12h, 7d or 1d12h)");
}

}  // namespace

std::chrono::seconds parseDuration(std::string_view text) {
  const std::string_view trimmed = trimmingWhitespaceAndNewlines(text);
  if (trimmed.empty()) invalid(text, "it is empty");
  if (trimmed == "0") return std::chrono::seconds(0);

  std::int64_t total = 0;
  std::size_t nextUnit = 0;  // units before this one are no longer allowed
  std::size_t i = 0;
  while (i < trimmed.size()) {
    if (trimmed[i] == ' ') {
      ++i;
      continue;
    }
    if (trimmed[i] < '0' || trimmed[i] > '9') {
      invalid(text, std::string("\"") + trimmed[i] + "\" where a number should be");
    }
    std::int64_t number = 0;
    while (i < trimmed.size() && trimmed[i] >= '0' && trimmed[i] <= '9') {
      number = number * 10 + (trimmed[i] - '0');
      if (number > kLongest) invalid(text, "longer than a hundred years");
      ++i;
    }
    if (i == trimmed.size() || trimmed[i] == ' ') invalid(text, "a number needs a unit");
    const char letter = trimmed[i++];
    std::size_t unit = nextUnit;
    while (unit < kUnits.size() && kUnits[unit].letter != letter) ++unit;
    if (unit == kUnits.size()) {
      bool known = false;
      for (const Unit& u : kUnits) known = known || u.letter == letter;
      invalid(text, known ? "units go from the largest to the smallest, each once"
                          : std::string("unknown unit \"") + letter + "\"");
    }
    total += number * kUnits[unit].seconds;
    if (total > kLongest) invalid(text, "longer than a hundred years");
    nextUnit = unit + 1;
  }
  return std::chrono::seconds(total);
}

std::string formatDuration(std::chrono::seconds duration) {
  std::int64_t left = duration.count();
  if (left < 60) return std::to_string(left < 0 ? 0 : left) + " s";
  std::string text;
  int parts = 0;
  // Weeks read badly in "time left"; days are the largest unit here.
  for (const Unit& unit : kUnits) {
    if (unit.letter == 'w' || unit.letter == 's') continue;
    const std::int64_t count = left / unit.seconds;
    left %= unit.seconds;
    if (count == 0 && parts == 0) continue;
    if (count != 0) {
      if (!text.empty()) text += ' ';
      text += std::to_string(count) + " " + unit.name;
    }
    if (++parts == 2) break;
  }
  return text;
}

}  // namespace kestro
