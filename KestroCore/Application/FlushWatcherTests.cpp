#include "KestroCore/Application/FlushWatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using State = CaptureOutboxState;
using Clock = std::chrono::steady_clock;

// Generous: these bound a wait for something that happens in milliseconds.
constexpr auto kPatience = 20s;

// The watcher on a real settings suite, with an outbox the test scripts: `records_` is what the
// hooks report, `afterFlush_` what each flush turns it into. `recordReads_` counts the watcher's
// looks at the outbox between flushes.
class FlushWatcherTest : public ::testing::Test {
 protected:
  FlushWatcherTest() : shared_(tree_.places().sharedSettings()) {}

  ~FlushWatcherTest() override { stop(); }

  FlushWatcherHooks hooks() {
    FlushWatcherHooks hooks;
    hooks.flush = [this](FlushReason reason) {
      std::lock_guard lock(mutex_);
      reasons_.push_back(reason);
      const std::vector<OutboxRecord> before = records_;
      if (afterFlush_) records_ = afterFlush_(reasons_.size());
      // As a real flush finds it: records failed on the way to a server that is down.
      WatchedFlush done{.summary = {}, .changedSomething = before != records_, .records = records_};
      done.summary.serverUnreachable = !serverUp_ && !waitingForServer(records_).empty();
      return done;
    };
    hooks.nextRetryAt = [this](Date after) {
      ++recordReads_;
      std::lock_guard lock(mutex_);
      std::optional<Date> next;
      for (const OutboxRecord& record : records_) {
        const auto at = record.state == State::retryWait ? record.nextRetryAt : std::nullopt;
        if (at && *at > after && (!next || *at < *next)) next = at;
      }
      return next;
    };
    hooks.revision = [this] { return shared_.string(places::kSharedCaptureRevisionKey); };
    hooks.serverAnswers = [this] {
      ++probes_;
      return serverUp_.load();
    };
    hooks.makeDue = [this](const UUID&, Date) { ++released_; };
    hooks.now = [] { return std::chrono::system_clock::now(); };
    return hooks;
  }

  FlushWatcherOptions options() const {
    FlushWatcherOptions options;
    options.revisionFile = *shared_.filePath();
    options.serverCheckInterval = 20ms;
    options.recheckInterval = 3600s;
    options.errorRetryInterval = 20ms;
    return options;
  }

  void start(FlushWatcherOptions options) {
    // The suite's file exists before the watch starts, as it does once someone signed in.
    shared_.set("start", places::kSharedCaptureRevisionKey);
    watcher_ = std::make_unique<FlushWatcher>(std::move(options), hooks());
    runner_ = std::thread([this] { watcher_->run(); });
  }

  void stop() {
    if (watcher_) watcher_->stop();
    if (runner_.joinable()) runner_.join();
  }

  std::vector<FlushReason> reasons() {
    std::lock_guard lock(mutex_);
    return reasons_;
  }
  std::size_t flushes() { return reasons().size(); }
  bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + kPatience;
    while (!condition() && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
    return condition();
  }

  testsupport::TemporaryTree tree_;
  UserDefaults shared_;
  std::mutex mutex_;
  std::vector<OutboxRecord> records_;
  // What the outbox holds after the n-th flush (counted from 1).
  std::function<std::vector<OutboxRecord>(std::size_t)> afterFlush_;
  std::vector<FlushReason> reasons_;
  std::atomic<int> recordReads_{0};
  std::atomic<int> probes_{0};
  std::atomic<int> released_{0};
  std::atomic<bool> serverUp_{false};
  std::unique_ptr<FlushWatcher> watcher_;
  std::thread runner_;
};

TEST_F(FlushWatcherTest, ARetryTimeCallsForOneFlushAndAtMostOneMoreASecondLater) {
  // The record shows its retry time in whole seconds while the database holds a fraction past
  // it, as older versions wrote: a flush at the time shown finds it not yet due.
  const Date shown = std::chrono::system_clock::now() + 100ms;
  const OutboxRecord waiting = testsupport::waitingRecord(shown, "SERVER_BUSY");
  std::atomic<bool> sent{false};
  afterFlush_ = [&](std::size_t) {
    if (std::chrono::system_clock::now() < shown + 700ms) return std::vector{waiting};
    sent = true;
    return std::vector{testsupport::outboxRecord(State::complete)};
  };
  start(options());
  ASSERT_TRUE(waitUntil([&] { return sent.load(); }));
  stop();
  // The start, the retry at the time shown and one a second later; never a flush per loop.
  const std::vector<FlushReason> seen = reasons();
  ASSERT_LE(seen.size(), 3u);
  EXPECT_EQ(seen[0], FlushReason::started);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i], FlushReason::retryDue);
}

TEST_F(FlushWatcherTest, ReleasesRecordsWaitingForTheServerOnlyOnceItAnswersAgain) {
  const OutboxRecord offline =
      testsupport::waitingRecord(std::chrono::system_clock::now() + 3600s, "NETWORK_ERROR");
  afterFlush_ = [&](std::size_t flush) {
    // The second flush fails like the first, and the server returns right after it.
    if (flush == 2) serverUp_ = true;
    if (flush <= 2) return std::vector{offline};
    return std::vector{testsupport::outboxRecord(State::complete)};
  };
  // The suite's file cannot be watched here: the share is noticed by looking.
  FlushWatcherOptions polling = options();
  polling.revisionFile = tree_.root() / "missing" / "suite.json";
  polling.pollInterval = 10ms;
  start(polling);
  ASSERT_TRUE(waitUntil([&] { return flushes() >= 1; }));
  // The server is asked, and stays down for a while: nothing is released.
  ASSERT_TRUE(waitUntil([&] { return probes_ >= 3; }));
  EXPECT_EQ(released_.load(), 0);
  EXPECT_EQ(flushes(), 1u);
  shared_.set("a share", places::kSharedCaptureRevisionKey);
  ASSERT_TRUE(waitUntil([&] { return flushes() >= 3; }));
  stop();
  EXPECT_EQ(reasons(), (std::vector<FlushReason>{FlushReason::started, FlushReason::captureShared,
                                                 FlushReason::serverBack}));
  EXPECT_EQ(released_.load(), 1);
}

TEST_F(FlushWatcherTest, WhatAFlushLeftAsItWasAndAServerThatAnswersCallForNoFlush) {
  // A queued record that flushes never change: ready, but not retried in a loop. And a record
  // waiting for a server that answers the probe although the flush failed on the way to it: the
  // backoff holds, since records are released only when the server was seen down and then up.
  serverUp_ = true;
  records_ = {
      testsupport::outboxRecord(State::queued),
      testsupport::waitingRecord(std::chrono::system_clock::now() + 3600s, "NETWORK_ERROR")};
  start(options());
  ASSERT_TRUE(waitUntil([&] { return flushes() >= 1; }));
  ASSERT_TRUE(waitUntil([&] { return probes_ >= 5; }));
  stop();
  EXPECT_EQ(flushes(), 1u);
  EXPECT_EQ(released_.load(), 0);
  // One look per check of the server; a spinning loop would read the records thousands of times.
  EXPECT_LT(recordReads_.load(), 3 * probes_.load());
}

TEST_F(FlushWatcherTest, TidiesAfterEveryFlushAndNowAndThenWhileIdleWithoutSpinning) {
  std::atomic<int> tidies{0};
  FlushWatcherHooks tidying = hooks();
  tidying.tidy = [&] { ++tidies; };
  shared_.set("start", places::kSharedCaptureRevisionKey);
  for (const auto interval : {std::chrono::milliseconds(3600s), std::chrono::milliseconds(20)}) {
    FlushWatcherOptions options = this->options();
    options.tidyInterval = interval;
    watcher_ = std::make_unique<FlushWatcher>(options, tidying);
    runner_ = std::thread([this] { watcher_->run(); });
    if (interval > 1s) {
      // An hour to go: only the flushes call for it.
      ASSERT_TRUE(waitUntil([&] { return tidies >= 1; }));
      shared_.set("a share", places::kSharedCaptureRevisionKey);
      ASSERT_TRUE(waitUntil([&] { return tidies >= 2; }));
      EXPECT_EQ(flushes(), 2u);
    } else {
      // Nothing else wakes it: the interval alone ends its waits, one tidy each.
      tidies = 0;
      recordReads_ = 0;
      ASSERT_TRUE(waitUntil([&] { return tidies >= 6; }));
    }
    stop();
  }
  EXPECT_EQ(flushes(), 3u);
  EXPECT_LT(recordReads_.load(), 2 * tidies.load() + 3);
}

TEST_F(FlushWatcherTest, AFailingHookIsWaitedOutButASignOutEndsTheWatch) {
  std::atomic<int> calls{0};
  std::vector<std::string> failures;
  FlushWatcherHooks failing = hooks();
  failing.failed = [&](const std::string& message) { failures.push_back(message); };
  failing.flush = [&](FlushReason) -> WatchedFlush {
    if (++calls == 1) throw std::runtime_error("database is locked");
    throw ApplicationError(ExitStatus::notSignedIn, "not signed in");
  };
  shared_.set("start", places::kSharedCaptureRevisionKey);
  FlushWatcher watcher(options(), failing);
  EXPECT_EQ(testsupport::refusalOf([&] { watcher.run(); }).status, ExitStatus::notSignedIn);
  EXPECT_EQ(failures, std::vector<std::string>{"database is locked"});
}

}  // namespace
}  // namespace kestro
