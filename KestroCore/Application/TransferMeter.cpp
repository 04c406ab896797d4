#include "KestroCore/Application/TransferMeter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "KestroCore/Application/Durations.h"
#include "KestroCore/Foundation/Text.h"

namespace kestro {
namespace {

// A rate over less than this is noise.
constexpr std::chrono::milliseconds kShortestSpan{200};

}  // namespace

TransferMeter::TransferMeter(std::uint64_t totalBytes, Clock::time_point start)
    : total_(totalBytes) {
  samples_.emplace_back(start, 0);
}

void TransferMeter::update(std::uint64_t sentBytes, Clock::time_point at) {
  if (sentBytes < sent_) samples_.clear();
  sent_ = sentBytes;
  samples_.emplace_back(at, sentBytes);
  // Keep one sample older than the window, so the window is always spanned.
  while (samples_.size() > 2 && at - samples_[1].first >= kWindow) samples_.pop_front();
}

std::optional<double> TransferMeter::bytesPerSecond() const {
  if (samples_.size() < 2) return std::nullopt;
  const auto& [firstTime, firstBytes] = samples_.front();
  const auto& [lastTime, lastBytes] = samples_.back();
  const auto span = lastTime - firstTime;
  if (span < kShortestSpan) return std::nullopt;
  return static_cast<double>(lastBytes - firstBytes) / std::chrono::duration<double>(span).count();
}

std::optional<std::chrono::seconds> TransferMeter::timeLeft() const {
  const std::optional<double> rate = bytesPerSecond();
  if (!rate || *rate <= 0 || total_ == 0) return std::nullopt;
  const double left = static_cast<double>(total_ > sent_ ? total_ - sent_ : 0) / *rate;
  return std::chrono::seconds(static_cast<std::int64_t>(std::ceil(left)));
}

std::string formatBytes(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  // Three significant digits; a value that rounds up to 1024 reads as the next unit.
  if (value >= 999.5 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  std::snprintf(text, sizeof text,
                value < 9.995   ? "%.2f %s"
                : value < 99.95 ? "%.1f %s"
                                : "%.0f %s",
                value, kUnits[unit]);
  return text;
}

std::string progressLine(const std::string& name, const TransferMeter& meter, std::size_t width) {
  std::string figures = formatBytes(meter.sentBytes());
  if (meter.totalBytes() > 0) figures += " of " + formatBytes(meter.totalBytes());
  if (const auto rate = meter.bytesPerSecond()) {
    figures += "  " + formatBytes(static_cast<std::uint64_t>(*rate)) + "/s";
  }
  if (const auto left = meter.timeLeft()) figures += "  " + formatDuration(*left) + " left";

  // name, two spaces, [bar], two spaces, figures. The room is reckoned for the widest figures
  // ("1023 MiB of 1023 MiB  1023 MiB/s  23 h 59 min left"), so that the bar keeps its size
  // while the figures come and go.
  constexpr std::size_t kWidestFigures = 50;
  const std::size_t fixed = std::max(codePointCount(figures), kWidestFigures) + 4;
  std::size_t room = width > fixed ? width - fixed : 0;
  std::string shownName = prefixOfCodePoints(
      name, std::min<std::size_t>(codePointCount(name), std::max<std::size_t>(room / 2, 12)));
  room = room > codePointCount(shownName) ? room - codePointCount(shownName) : 0;
  std::string line = shownName;
  if (meter.totalBytes() > 0 && room >= 7) {
    const std::size_t cells = std::min<std::size_t>(room - 2, 40);
    const double fraction = std::min(
        1.0, static_cast<double>(meter.sentBytes()) / static_cast<double>(meter.totalBytes()));
    const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(cells));
    line += "  [" + std::string(filled, '#') + std::string(cells - filled, '.') + "]";
  }
  line += "  " + figures;
  return prefixOfCodePoints(line, width);
}

}  // namespace kestro
