#pragma once

// Measuring an upload as it goes, for a progress display: bytes sent, the recent rate, and the
// time left at that rate; and the words and bar that show them.
//
// A TransferMeter is a plain value for one thread (the one that receives the progress reports);
// the formatting functions are pure.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace kestro {

class TransferMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // The rate is measured over about this much of the most recent time, so it follows changes of
  // speed without jumping at every report.
  static constexpr std::chrono::milliseconds kWindow{3000};

  // Starts measuring a transfer of `totalBytes` (0 when unknown) at `start`.
  TransferMeter(std::uint64_t totalBytes, Clock::time_point start);

  // Records that `sentBytes` of the total have gone by `at`. Reports must not go back in time;
  // fewer bytes than before (a transfer started again) start the measurement afresh.
  void update(std::uint64_t sentBytes, Clock::time_point at);

  // Learns the total later, when the first reports did not know it; 0 changes nothing.
  void setTotalBytes(std::uint64_t totalBytes) noexcept {
    if (totalBytes > 0) total_ = totalBytes;
  }

  std::uint64_t sentBytes() const noexcept { return sent_; }
  std::uint64_t totalBytes() const noexcept { return total_; }
  // Bytes per second over the recent window; nothing before two reports a little apart.
  std::optional<double> bytesPerSecond() const;
  // The time left at the recent rate; nothing without a rate or a known total.
  std::optional<std::chrono::seconds> timeLeft() const;

 private:
  std::uint64_t total_;
  std::uint64_t sent_ = 0;
  std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
};

// "512 B", "12.0 KiB", "1.5 MiB", "1.00 GiB": binary units, three significant digits.
std::string formatBytes(std::uint64_t bytes);

// One line of at most `width` columns for a terminal:
//   "report.pdf  [#######.......]  12.0 MiB of 1.00 GiB  45.0 MiB/s  20 s left"
// The name is shortened first, then the bar, to fit; parts without a value are left out.
std::string progressLine(const std::string& name, const TransferMeter& meter, std::size_t width);

}  // namespace kestro
