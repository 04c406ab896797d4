#pragma once

// The Notify calls that Testing/with-notification-service.sh saw on its private bus: its
// dbus-monitor writes every call to org.freedesktop.Notifications into the file named in
// KESTRO_TEST_NOTIFICATION_LOG, and a test reads them back as text, one block per call. Not
// installed.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kestro::testsupport {

class NotificationLog {
 public:
  // The log of the service the launcher started; nothing when the test runs without it.
  static std::optional<NotificationLog> fromEnvironment() {
    const char* path = ::getenv("KESTRO_TEST_NOTIFICATION_LOG");
    if (!path || !*path) return std::nullopt;
    return NotificationLog(path);
  }

  // Every Notify call so far, each as dbus-monitor wrote it: its arguments, one to a line
  // (`string "Kestro"`, `uint32 0`, `string ""`, `string "<summary>"`, `string "<body>"`, ...).
  std::vector<std::string> calls() const {
    std::ifstream file(path_);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    std::vector<std::string> calls;
    const std::string start = "member=Notify\n";
    for (std::size_t at = text.find(start); at != std::string::npos;) {
      const std::size_t begin = at + start.size();
      const std::size_t next = text.find(start, begin);
      // The block ends where dbus-monitor's next message starts (a string argument may span
      // lines).
      std::size_t end = text.size();
      for (const char* header : {"\nmethod call ", "\nmethod return ", "\nsignal ", "\nerror "}) {
        end = std::min(end, text.find(header, begin));
      }
      calls.push_back(text.substr(begin, end - begin));
      at = next;
    }
    return calls;
  }

  // The calls after the first `skip`, once there are at least `count` of them or `patience` has
  // passed (the monitor writes a moment after the call).
  std::vector<std::string> callsAfter(
      std::size_t skip, std::size_t count,
      std::chrono::milliseconds patience = std::chrono::milliseconds(10000)) const {
    const auto end = std::chrono::steady_clock::now() + patience;
    std::vector<std::string> all = calls();
    while (all.size() < skip + count && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      all = calls();
    }
    if (all.size() <= skip) return {};
    return {all.begin() + static_cast<std::ptrdiff_t>(skip), all.end()};
  }

  // The line dbus-monitor writes for a string argument.
  static std::string stringArgument(const std::string& text) { return "string \"" + text + "\""; }

 private:
  explicit NotificationLog(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace kestro::testsupport
