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
  EXPECT_EQ(sessionBusAddress("unix:path=/run/user/1000/bus", "/nowhere"),
            "unix:path=/run/user/1000/bus");

  testsupport::TemporaryDirectory directory("kestro-bus");
  const fs::path runtime = directory.path() / "run time,1";
  fs::create_directory(runtime);
  // No socket there (yet): no bus, and an empty variable counts as none.
  EXPECT_EQ(sessionBusAddress("", runtime.c_str()), std::nullopt);
  std::ofstream(runtime / "bus") << "not a socket";
  EXPECT_EQ(sessionBusAddress(nullptr, runtime.c_str()), std::nullopt);
  fs::remove(runtime / "bus");
  const FileDescriptor socket = listeningSocket(runtime / "bus");
  // The path escaped as a D-Bus address wants it: the space and the comma as %XX.
  EXPECT_EQ(sessionBusAddress(nullptr, runtime.c_str()),
            "unix:path=" + directory.path().native() + "/run%20time%2c1/bus");
  EXPECT_EQ(sessionBusAddress(nullptr, nullptr), std::nullopt);
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

TEST_F(DesktopNotifierTest, WithoutAServiceOrABusNothingIsShownAndTheReasonSaysWhy) {
  // No bus at all: said at once, and nothing is loaded or connected.
  DesktopNotifier none(std::nullopt);
  EXPECT_FALSE(none.hasBus());
  const NotificationOutcome noBus = none.show({.summary = "s", .body = "b"});
  EXPECT_FALSE(noBus.shown);
  EXPECT_EQ(noBus.reason, "no session bus");

  testsupport::TemporaryDirectory directory("kestro-bus");
  // An address where nothing listens.
  const NotificationOutcome nobody =
      DesktopNotifier("unix:path=" + (directory.path() / "absent").native())
          .show({.summary = "s", .body = "b"});
  EXPECT_FALSE(nobody.shown);
  EXPECT_NE(nobody.reason.find("connecting to the bus"), std::string::npos) << nobody.reason;

  // A bus of its own, without a notification service.
  PrivateBus bus(directory.path(), PrivateBus::Replies::delivered);
  const NotificationOutcome noService =
      DesktopNotifier(bus.address()).show({.summary = "s", .body = "b"});
  EXPECT_FALSE(noService.shown);
  EXPECT_EQ(noService.reason, "no notification service on the bus");

  // Neither reached the service this test's launcher started.
  EXPECT_EQ(log_->calls().size(), before_);
}

TEST_F(DesktopNotifierTest, ABusThatNeverAnswersIsGivenUpAfterThePatience) {
  testsupport::TemporaryDirectory directory("kestro-bus");
  const FileDescriptor silent = listeningSocket(directory.path() / "silent");
  DesktopNotifier notifier("unix:path=" + (directory.path() / "silent").native(), 300ms);
  const NotificationOutcome outcome = notifier.show({.summary = "s", .body = "b"});
  EXPECT_FALSE(outcome.shown);
  EXPECT_NE(outcome.reason.find("no answer within 300 ms"), std::string::npos) << outcome.reason;
  // Given up on, the connection is tried afresh at the next send, and given up on again.
  EXPECT_FALSE(notifier.show({.summary = "s", .body = "b"}).shown);

  // A real bus that authenticates the connection and never answers its greeting.
  PrivateBus bus(directory.path(), PrivateBus::Replies::dropped);
  const NotificationOutcome unanswered =
      DesktopNotifier(bus.address(), 300ms).show({.summary = "s", .body = "b"});
  EXPECT_FALSE(unanswered.shown);
  EXPECT_EQ(unanswered.reason, "Hello: no answer within 300 ms");
}

}  // namespace
}  // namespace kestro
