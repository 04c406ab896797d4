// The notifier against real peers: Debian's notification-daemon on the private bus that
// Testing/with-notification-service.sh starts (its calls observed by dbus-monitor), a second
// private bus without any notification service, no bus at all, and a socket that takes the
// connection and never says a word (the one peer scripted here: no real bus can be made to hang).

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Notifications/DesktopNotifier.h"
#include "KestroCore/Platform/Process/Process.h"
#include "Testing/NotificationLog.h"
#include "Testing/PrivateBus.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::NotificationLog;
using testsupport::PrivateBus;

// A listening Unix socket at `path`; connections wait in its backlog, never answered.
FileDescriptor listeningSocket(const fs::path& path) {
  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(fd.get(), 4), 0);
  return fd;
}

TEST(SessionBusAddressTest, TakesTheVariableThenTheRuntimeDirectorysSocketAndNeverGuesses) {
  EXPECT_EQ(sessionBusAddress("unix:path=/a", "/nowhere"), "unix:path=/a");
  // Never a bus started for the occasion.
  EXPECT_EQ(sessionBusAddress("autolaunch:", "/nowhere"), std::nullopt);
  EXPECT_EQ(sessionBusAddress("autolaunch:scope=*user;unix:path=/a", "/nowhere"), "unix:path=/a");
  testsupport::TemporaryDirectory directory("kestro-bus");
  const fs::path runtime = directory.path() / "run time,1";
  fs::create_directory(runtime);
  std::ofstream(runtime / "bus") << "not a socket";
  EXPECT_EQ(sessionBusAddress("", runtime.c_str()), std::nullopt);
  fs::remove(runtime / "bus");
  const FileDescriptor socket = listeningSocket(runtime / "bus");
  // Escaped as a D-Bus address wants it: the space and the comma as %XX.
  EXPECT_EQ(sessionBusAddress(nullptr, runtime.c_str()),
            "unix:path=" + directory.path().native() + "/run%20time%2c1/bus");
  EXPECT_EQ(sessionBusAddress(nullptr, "relative"), std::nullopt);
}

class DesktopNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = NotificationLog::fromEnvironment();
    if (!log_) GTEST_SKIP() << "needs Testing/with-notification-service.sh (run it through CTest)";
    before_ = log_->calls().size();
  }

  std::vector<std::string> newCalls(std::size_t count) const {
    return log_->callsAfter(before_, count);
  }

  std::optional<NotificationLog> log_;
  std::size_t before_ = 0;
};

TEST_F(DesktopNotifierTest, ShowsSummaryAndBodyUnderTheApplicationsName) {
  DesktopNotifier notifier = DesktopNotifier::forSession();
  ASSERT_TRUE(notifier.hasBus());
  const NotificationOutcome first =
      notifier.show({.summary = "Stored on this device", .body = "a web address\nsecond line"});
  EXPECT_TRUE(first.shown) << first.reason;
  EXPECT_EQ(first.reason, "");
  // The same connection serves a second one; text that would be markup or command a terminal
  // reaches the service as plain text.
  const NotificationOutcome second = notifier.show({.summary = "Refused\x1b[31m",
                                                    .body = "https://example.com/?a=1&b=<2>",
                                                    .urgency = Notification::Urgency::critical});
  EXPECT_TRUE(second.shown) << second.reason;

  const std::vector<std::string> calls = newCalls(2);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_NE(calls[0].find(NotificationLog::stringArgument("Kestro")), std::string::npos)
      << calls[0];
  EXPECT_NE(calls[0].find(NotificationLog::stringArgument("Stored on this device")),
            std::string::npos)
      << calls[0];
  EXPECT_NE(calls[0].find(NotificationLog::stringArgument("a web address\nsecond line")),
            std::string::npos)
      << calls[0];
  // notification-daemon reads markup in bodies, so the body's markup characters come escaped.
  EXPECT_NE(calls[1].find(NotificationLog::stringArgument("Refused\xef\xbf\xbd[31m")),
            std::string::npos)
      << calls[1];
  EXPECT_NE(
      calls[1].find(NotificationLog::stringArgument("https://example.com/?a=1&amp;b=&lt;2&gt;")),
      std::string::npos)
      << calls[1];
  EXPECT_NE(calls[1].find("byte 2"), std::string::npos) << calls[1];  // critical
}

// The share's own tests cover a bus without the service; these are the peers it cannot meet.
TEST_F(DesktopNotifierTest, NoBusOrABusThatNeverAnswersIsGivenUpWithTheReason) {
  const Notification notification{.summary = "s", .body = "b"};
  EXPECT_EQ(DesktopNotifier(std::nullopt).show(notification).reason, "no session bus");

  testsupport::TemporaryDirectory directory("kestro-bus");
  const NotificationOutcome nobody =
      DesktopNotifier("unix:path=" + (directory.path() / "absent").native()).show(notification);
  EXPECT_FALSE(nobody.shown);
  EXPECT_TRUE(nobody.reason.starts_with("connecting to the bus: ")) << nobody.reason;

  // A socket that takes the connection and never says a word, twice through one notifier (the
  // connection given up on is tried afresh).
  const FileDescriptor silent = listeningSocket(directory.path() / "silent");
  DesktopNotifier notifier("unix:path=" + (directory.path() / "silent").native(), 300ms);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(notifier.show(notification).reason, "connecting to the bus: no answer within 300 ms");
  }
  // A real bus that authenticates the connection and never answers its greeting.
  PrivateBus bus(directory.path(), PrivateBus::Replies::dropped);
  EXPECT_EQ(DesktopNotifier(bus.address(), 300ms).show(notification).reason,
            "Hello: no answer within 300 ms");
  EXPECT_EQ(log_->calls().size(), before_);
}

}  // namespace
}  // namespace kestro

// Under ThreadSanitizer (the tsan preset) our code is instrumented but GLib, GIO and GObject are
// not: GDBus's worker thread and the caller hand memory to each other under locks the sanitizer
// cannot see, so it reports races inside those libraries that are none. Only accesses made from
// them are let through; a race in our own code is still reported.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n";
}
