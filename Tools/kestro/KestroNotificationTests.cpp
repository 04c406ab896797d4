// What the desktop hears from `kestro flush --watch` and from a share made while it runs: the
// programs as real processes against kestro-devserver, the token in the private Secret Service
// of Testing/with-secret-service.sh, and on the same bus notification-daemon, whose calls
// Testing/with-notification-service.sh records.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/HTTP/URLSession.h"
#include "Testing/NotificationLog.h"
#include "Testing/ProgramTestSupport.h"
#include "Testing/SecretServiceTestSupport.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::ChildProcess;
using testsupport::NotificationLog;
using Clock = std::chrono::steady_clock;

// Generous: these bound a hang; they time nothing.
constexpr auto kPatience = 60s;

// Waits (boundedly) until `done` holds; returns whether it did.
template <class Condition>
bool eventually(Condition done) {
  for (const auto deadline = Clock::now() + kPatience; Clock::now() < deadline;) {
    if (done()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return done();
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class KestroNotificationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = NotificationLog::fromEnvironment();
    if (!testsupport::insideTestSecretService() || !log_) {
      GTEST_SKIP() << "needs Testing/with-secret-service.sh and with-notification-service.sh";
    }
    root_ = fs::temp_directory_path() / ("kestro-notification-" + UUID().uuidString());
    for (const char* name : {"home", "config", "data", "tmp"}) fs::create_directories(root_ / name);
    server_.emplace(std::vector<std::string>{KESTRO_DEVSERVER_PROGRAM, "--port", "0"},
                    std::vector<std::string>{"PATH=/usr/bin:/bin"});
    const std::optional<std::string> line = server_->firstLine(kPatience);
    ASSERT_TRUE(line) << server_->errors();
    url_ = *line;
    const int signin = run({KESTRO_PROGRAM, "signin", "--server", url_, "--email", "ada@x.org"});
    ASSERT_EQ(signin, 0);
    before_ = log_->calls().size();
  }
  void TearDown() override {
    server_.reset();
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }

  std::vector<std::string> environment() const {
    std::vector<std::string> environment{"HOME=" + (root_ / "home").string(),
                                         "XDG_CONFIG_HOME=" + (root_ / "config").string(),
                                         "XDG_DATA_HOME=" + (root_ / "data").string(),
                                         "TMPDIR=" + (root_ / "tmp").string(),
                                         "PATH=/usr/bin:/bin",
                                         "TZ=UTC",
                                         "TSAN_OPTIONS=suppressions=" KESTRO_TSAN_SUPPRESSIONS};
    if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
      environment.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + bus);
    }
    return environment;
  }

  int run(const std::vector<std::string>& arguments, std::string* output = nullptr) const {
    ChildProcess child(arguments, environment());
    const int status = child.wait(kPatience).value_or(-1);
    if (output) *output = child.output();
    EXPECT_EQ(status, 0) << child.errors();
    return status;
  }

  void addFault(const std::string& rule) const {
    HTTPRequest request{.url = *URL::fromString(url_ + "/admin/faults"), .method = "POST"};
    request.headers.set("Content-Type", "application/json");
    request.body = rule;
    const HTTPResponse response = makeURLSession()->send(request);
    ASSERT_TRUE(response.statusCode && *response.statusCode / 100 == 2);
  }

  // The Notify calls since the test began whose summary is `summary`.
  std::vector<std::string> notified(const std::string& summary) const {
    std::vector<std::string> found;
    for (const std::string& call : log_->callsAfter(before_, 0, 0ms)) {
      if (call.find(NotificationLog::stringArgument(summary)) != std::string::npos) {
        found.push_back(call);
      }
    }
    return found;
  }

  std::optional<NotificationLog> log_;
  std::size_t before_ = 0;
  fs::path root_;
  std::optional<ChildProcess> server_;
  std::string url_;
};

TEST_F(KestroNotificationTest, ACaptureTheServerRefusesIsNotifiedOnceOverEveryRetry) {
  addFault(R"({"route": "POST /v1/captures", "action": "status", "status": 422,
               "code": "VALIDATION_ERROR", "message": "a note this long is refused",
               "retryable": false, "count": 100})");
  ASSERT_EQ(run({KESTRO_SHARE_PROGRAM, "--text", "an unwelcome note"}), 0);

  ChildProcess watcher({KESTRO_PROGRAM, "flush", "--watch"}, environment());
  const std::string refusal = "refused by the server: VALIDATION_ERROR";
  ASSERT_TRUE(eventually([&] { return occurrences(watcher.output(), refusal) >= 1; }))
      << watcher.output() << watcher.errors();
  std::string outbox;
  run({KESTRO_PROGRAM, "outbox", "--json"}, &outbox);
  const std::string id = json::parse(outbox)[0]["capture"]["clientCaptureId"];
  // Two retries at once, each refused again; each flush notifies before it prints.
  for (std::size_t attempt = 2; attempt <= 3; ++attempt) {
    run({KESTRO_PROGRAM, "outbox", "retry", id});
    ASSERT_TRUE(eventually([&] { return occurrences(watcher.output(), refusal) >= attempt; }))
        << watcher.output() << watcher.errors();
  }

  const std::vector<std::string> refused = notified("A capture was refused by the server");
  ASSERT_EQ(refused.size(), 1u) << watcher.output();
  EXPECT_NE(refused[0].find("an unwelcome note"), std::string::npos) << refused[0];
  EXPECT_NE(refused[0].find("the server said: a note this long is refused"), std::string::npos)
      << refused[0];
  EXPECT_TRUE(notified("Kestro: sign in again").empty());
  watcher.signal(SIGTERM);
  EXPECT_EQ(watcher.wait(kPatience), 0) << watcher.errors();
}

TEST_F(KestroNotificationTest, AShareWhileTheWatchRunsSaysTheWatchSendsItAndAnExpiredSignInIsTold) {
  ChildProcess watcher({KESTRO_PROGRAM, "flush", "--watch"}, environment());
  ASSERT_TRUE(eventually([&] { return watcher.output().find("Watching") != std::string::npos; }))
      << watcher.errors();
  // From now on the server refuses the token: the watch tells the desktop and ends.
  addFault(R"({"route": "POST /v1/captures", "action": "status", "status": 401,
               "code": "UNAUTHORIZED", "retryable": false, "count": 100})");
  ASSERT_EQ(run({KESTRO_SHARE_PROGRAM, "--text", "shared while watched"}), 0);
  ASSERT_TRUE(eventually([&] { return !notified("Stored on this device").empty(); }));
  EXPECT_NE(notified("Stored on this device")[0].find("The running kestro flush --watch will send"),
            std::string::npos)
      << notified("Stored on this device")[0];

  EXPECT_EQ(watcher.wait(kPatience), 3) << watcher.errors();
  const std::vector<std::string> signIn = notified("Kestro: sign in again");
  ASSERT_EQ(signIn.size(), 1u);
  EXPECT_NE(signIn[0].find("kestro signin --server " + url_), std::string::npos) << signIn[0];
  EXPECT_TRUE(notified("A capture was refused by the server").empty());

  // With the watch gone, a share says that kestro flush sends it.
  ASSERT_EQ(run({KESTRO_SHARE_PROGRAM, "--text", "shared after the watch"}), 0);
  ASSERT_TRUE(eventually([&] { return notified("Stored on this device").size() == 2; }));
  EXPECT_NE(notified("Stored on this device")[1].find("run kestro flush to send it"),
            std::string::npos);
}

}  // namespace
}  // namespace kestro
