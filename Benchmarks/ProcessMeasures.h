#pragma once

// What the benchmarks that race the curl program measure of themselves and of it: elapsed time,
// this process's resident size, and a timed run of curl.

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "KestroCore/Platform/Process/Process.h"

namespace kestro::benchmarks {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// VmRSS or VmHWM of this process, in KiB; -1 when /proc does not say.
inline long statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field) + 1));
  }
  return -1;
}

// Starts the peak resident size (VmHWM) again from the current size.
inline void resetPeakResidentSize() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Runs the curl program with `arguments` (the first is "curl"); returns its duration in seconds,
// or a negative number when it could not start or failed.
inline double runCurl(const std::vector<std::string>& arguments) {
  kestro::ProcessOptions options;
  options.arguments = arguments;
  options.searchPath = true;
  const auto start = Clock::now();
  try {
    if (!kestro::runProcess(std::move(options)).status.succeeded()) return -1;
  } catch (const std::system_error&) {
    return -1;
  }
  return secondsSince(start);
}

}  // namespace kestro::benchmarks
