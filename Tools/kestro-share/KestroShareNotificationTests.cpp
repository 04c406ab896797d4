// What kestro-share tells the desktop when no terminal reads it (a file manager's action): the
// program as a child process, with notification-daemon on the private bus of
// Testing/with-notification-service.sh (its calls recorded), on a bus of its own without any
// notification service, and with no bus at all.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/Process/Process.h"
#include "Testing/NotificationLog.h"
#include "Testing/PrivateBus.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using testsupport::NotificationLog;
using testsupport::PrivateBus;

struct ShareRun {
  int status = -1;
  std::string err;
};

class KestroShareNotificationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = NotificationLog::fromEnvironment();
    if (!log_) GTEST_SKIP() << "needs Testing/with-notification-service.sh (run it through CTest)";
    root_ = temporary_.path();
    for (const char* name : {"home", "config", "data", "tmp", "files"}) {
      fs::create_directories(root_ / name);
    }
    signIn();
    before_ = log_->calls().size();
  }

  void signIn() const {
    std::ofstream(root_ / "config" / "group.kestro.capture.json")
        << R"({"tavlo.current-user-id": ")" << UUID().uuidString() << "\"}\n";
  }

  // kestro-share with `arguments` on the bus at `bus` (none: no bus at all), neither of its
  // output streams a terminal.
  ShareRun share(const std::vector<std::string>& arguments,
                 std::optional<std::string> bus = busOfTheService()) const {
    ProcessOptions options;
    options.arguments = {KESTRO_SHARE_PROGRAM};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.environment = {"HOME=" + (root_ / "home").native(),
                           "XDG_CONFIG_HOME=" + (root_ / "config").native(),
                           "XDG_DATA_HOME=" + (root_ / "data").native(),
                           "TMPDIR=" + (root_ / "tmp").native(), "PATH=/usr/bin:/bin",
                           // Read only by programs built with ThreadSanitizer.
                           "TSAN_OPTIONS=suppressions=" KESTRO_TSAN_SUPPRESSIONS};
    if (bus) options.environment->push_back("DBUS_SESSION_BUS_ADDRESS=" + *bus);
    options.workingDirectory = root_ / "files";
    options.standardInput = ProcessInput::null();
    options.standardOutput = ProcessOutput::null();
    options.standardError = ProcessOutput::capture();
    Process process = Process::start(std::move(options));
    const int status = process.wait().shellStatus();
    return {status, process.standardError()};
  }

  static std::optional<std::string> busOfTheService() {
    const char* bus = ::getenv("DBUS_SESSION_BUS_ADDRESS");
    return bus ? std::optional<std::string>(bus) : std::nullopt;
  }

  // The Notify calls since the test began, once there are `count` (or after a while).
  std::vector<std::string> calls(std::size_t count) const {
    return log_->callsAfter(before_, count);
  }

  // The summary and the body of a Notify call, as the calls' text shows them.
  static ::testing::AssertionResult says(const std::string& call, const std::string& summary,
                                         const std::string& bodyPart) {
    if (call.find(NotificationLog::stringArgument("Kestro")) == std::string::npos ||
        call.find(NotificationLog::stringArgument(summary)) == std::string::npos ||
        call.find(bodyPart) == std::string::npos) {
      return ::testing::AssertionFailure()
             << "\"" << summary << "\" with \"" << bodyPart << "\" in:\n"
             << call;
    }
    return ::testing::AssertionSuccess();
  }

  fs::path storage() const { return root_ / "data" / "group.kestro.capture"; }

  testsupport::TemporaryDirectory temporary_{"kestro-share-notify"};
  fs::path root_;
  std::optional<NotificationLog> log_;
  std::size_t before_ = 0;
};

TEST_F(KestroShareNotificationTest, WithoutATerminalEachOutcomeIsOneNotification) {
  EXPECT_EQ(share({"https://example.com/a?b=1&c=2"}).status, 0);
  fs::create_directory(root_ / "files" / "folder");
  EXPECT_EQ(share({"folder"}).status, 2);
  EXPECT_EQ(share({"--text", " \n "}).status, 5);
  fs::remove(root_ / "config" / "group.kestro.capture.json");
  EXPECT_EQ(share({"https://example.com/later"}).status, 3);

  const std::vector<std::string> told = calls(4);
  ASSERT_EQ(told.size(), 4u);
  EXPECT_TRUE(says(told[0], "Stored on this device",
                   "Kestro keeps the web address https://example.com/a?b=1&amp;c=2 on this device. "
                   "It is not sent yet: run kestro flush to send it to the server."));
  EXPECT_TRUE(says(told[1], "Not shared: this cannot be shared", "folder"));
  EXPECT_TRUE(says(told[2], "Not shared: nothing Kestro can capture", "No supported share item"));
  EXPECT_TRUE(says(told[3], "Not shared: nobody is signed in",
                   "Nothing was stored. Run kestro signin to sign in on this machine"));
  for (const std::string& call : told) {
    EXPECT_EQ(call.find("Sent"), std::string::npos) << call;
  }
  // Asking whether a watch runs created no lock file.
  EXPECT_FALSE(fs::exists(storage() / "kestro.watch.lock"));
}

// The browsers' host tells the desktop too: one notification per share, never for a status.
TEST_F(KestroShareNotificationTest, TheBrowsersHostTellsOfEachShare) {
  const auto framed = [](const std::string& json) {
    const auto length = static_cast<std::uint32_t>(json.size());
    std::string bytes(reinterpret_cast<const char*>(&length), sizeof length);
    return bytes + json;
  };
  ProcessOptions options;
  options.arguments = {KESTRO_BROWSER_HOST_PROGRAM, "chrome-extension://x/"};
  options.environment = {"HOME=" + (root_ / "home").native(),
                         "XDG_CONFIG_HOME=" + (root_ / "config").native(),
                         "XDG_DATA_HOME=" + (root_ / "data").native(), "PATH=/usr/bin:/bin",
                         "TSAN_OPTIONS=suppressions=" KESTRO_TSAN_SUPPRESSIONS};
  if (const auto bus = busOfTheService()) {
    options.environment->push_back("DBUS_SESSION_BUS_ADDRESS=" + *bus);
  }
  options.standardInput = ProcessInput::text(
      framed(R"({"id":"1","type":"share","trigger":"contextMenu","context":"link",)"
             R"("url":"https://example.com/page","linkUrl":"https://example.com/linked",)"
             R"("incognito":false})") +
      framed(R"({"id":"2","type":"status","url":"https://example.com/page"})") +
      framed(R"({"id":"3","type":"share","trigger":"button","context":"page",)"
             R"("url":"https://example.com/private","incognito":true})"));
  options.standardOutput = ProcessOutput::capture();
  options.standardError = ProcessOutput::capture();
  Process host = Process::start(std::move(options));
  ASSERT_EQ(host.wait().shellStatus(), 0) << host.standardError();

  const std::vector<std::string> told = calls(2);
  ASSERT_EQ(told.size(), 2u);
  EXPECT_TRUE(says(told[0], "Stored on this device",
                   "Kestro keeps https://example.com/linked on this device. It is not sent yet"));
  EXPECT_TRUE(says(told[1], "Not shared: refused", "private"));
}

TEST_F(KestroShareNotificationTest, WithoutAServiceOrABusTheExitStatusAndErrorsStillTell) {
  PrivateBus bare(root_ / "tmp", PrivateBus::Replies::delivered);
  for (const std::optional<std::string>& bus :
       {std::optional(bare.address()), std::optional<std::string>()}) {
    SCOPED_TRACE(bus.value_or("no bus"));
    const ShareRun stored = share({"--text", "kept all the same"}, bus);
    EXPECT_EQ(stored.status, 0);
    EXPECT_EQ(stored.err, "");
    const ShareRun asked = share({"--notify", "--text", "kept, and said"}, bus);
    EXPECT_EQ(asked.status, 0);
    EXPECT_EQ(asked.err,
              "kestro-share: no notification shown: " +
                  std::string(bus ? "no notification service on the bus" : "no session bus") +
                  "\n");
  }
  fs::remove(root_ / "config" / "group.kestro.capture.json");
  for (const std::optional<std::string>& bus :
       {std::optional(bare.address()), std::optional<std::string>()}) {
    const ShareRun notSignedIn = share({"--text", "nobody"}, bus);
    EXPECT_EQ(notSignedIn.status, 3);
    EXPECT_NE(notSignedIn.err.find("sign in"), std::string::npos) << notSignedIn.err;
  }
  // Every capture was stored; nothing reached the service this test's launcher started.
  sqlite3* database = nullptr;
  ASSERT_EQ(sqlite3_open_v2((storage() / "kestro.sqlite").c_str(), &database, SQLITE_OPEN_READONLY,
                            nullptr),
            SQLITE_OK);
  sqlite3_stmt* count = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(database, "SELECT count(*) FROM outbox", -1, &count, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(count, 0), 4);  // two for each bus
  sqlite3_finalize(count);
  sqlite3_close(database);
  EXPECT_TRUE(calls(0).empty());
}

}  // namespace
}  // namespace kestro
