#include "KestroCore/Application/FlushWatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
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
      WatchedFlush done{
          .summary = {}, .changedSomething = recordsChanged(before, records_), .records = records_};
      done.summary.serverUnreachable = !serverUp_ && !waitingForServer(records_).empty();
      return done;
    };
    hooks.nextRetryAt = [this](Date after) {
      ++recordReads_;
      std::lock_guard lock(mutex_);
      std::optional<Date> next;
      for (const OutboxRecord& record : records_) {
        if (record.state != State::retryWait || !record.nextRetryAt) continue;
        if (*record.nextRetryAt > after && (!next || *record.nextRetryAt < *next)) {
          next = record.nextRetryAt;
        }
      }
      return next;
    };
    hooks.revision = [this] { return shared_.string(places::kSharedCaptureRevisionKey); };
    hooks.serverAnswers = [this] {
      ++probes_;
      return serverUp_.load();
    };
    hooks.makeDue = [this](const UUID& id, Date now) {
      std::lock_guard lock(mutex_);
      for (OutboxRecord& record : records_) {
        if (record.id() == id) record.nextRetryAt = now;
      }
      ++released_;
    };
    hooks.now = [] { return std::chrono::system_clock::now(); };
    hooks.failed = [this](const std::string& message) {
      std::lock_guard lock(mutex_);
      failures_.push_back(message);
    };
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
    runner_ = std::thread([this] {
      try {
        watcher_->run();
      } catch (const ApplicationError& error) {
        std::lock_guard lock(mutex_);
        ended_ = error.what();
      }
      finished_ = true;
    });
  }
  void start() { start(options()); }

  void stop() {
    if (watcher_) watcher_->stop();
    if (runner_.joinable()) runner_.join();
  }

  std::size_t flushes() {
    std::lock_guard lock(mutex_);
    return reasons_.size();
  }
  std::vector<FlushReason> reasons() {
    std::lock_guard lock(mutex_);
    return reasons_;
  }
  // Waits (boundedly) until `count` flushes have run.
  bool waitForFlushes(std::size_t count) {
    return waitUntil([&] { return flushes() >= count; });
  }
  bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + kPatience;
    while (!condition() && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
    return condition();
  }
  bool allComplete() {
    std::lock_guard lock(mutex_);
    return std::all_of(records_.begin(), records_.end(),
                       [](const OutboxRecord& record) { return record.state == State::complete; });
  }

  testsupport::TemporaryTree tree_;
  UserDefaults shared_;
  std::mutex mutex_;
  std::vector<OutboxRecord> records_;
  // What the outbox holds after the n-th flush (counted from 1).
  std::function<std::vector<OutboxRecord>(std::size_t)> afterFlush_;
  std::vector<FlushReason> reasons_;
  std::vector<std::string> failures_;
  std::optional<std::string> ended_;
  std::atomic<int> recordReads_{0};
  std::atomic<int> probes_{0};
  std::atomic<int> released_{0};
  std::atomic<bool> serverUp_{false};
  std::atomic<bool> finished_{false};
  std::unique_ptr<FlushWatcher> watcher_;
  std::thread runner_;
};

TEST_F(FlushWatcherTest, FlushesAtOnceThenWhenACaptureIsShared) {
  start();
  ASSERT_TRUE(waitForFlushes(1));
  // A settings write that leaves the revision alone wakes the loop but calls for no flush.
  shared_.set("some-device", places::kDeviceIdKey);
  shared_.set("first share", places::kSharedCaptureRevisionKey);
  ASSERT_TRUE(waitForFlushes(2));
  shared_.set("second share", places::kSharedCaptureRevisionKey);
  ASSERT_TRUE(waitForFlushes(3));
  stop();
  EXPECT_EQ(reasons(), (std::vector<FlushReason>{FlushReason::started, FlushReason::captureShared,
                                                 FlushReason::captureShared}));
}

TEST_F(FlushWatcherTest, ARevisionIsNoticedByLookingWhenTheFileCannotBeWatched) {
  FlushWatcherOptions polling = options();
  polling.revisionFile = tree_.root() / "missing" / "suite.json";
  polling.pollInterval = 10ms;
  start(polling);
  ASSERT_TRUE(waitForFlushes(1));
  shared_.set("a share", places::kSharedCaptureRevisionKey);
  ASSERT_TRUE(waitForFlushes(2));
  EXPECT_EQ(reasons().back(), FlushReason::captureShared);
}

TEST_F(FlushWatcherTest, FlushesWhenTheRetryTimeComes) {
  // The first flush fails the record for a moment; the flush after that sends it.
  afterFlush_ = [](std::size_t flush) {
    if (flush == 1)
      return std::vector{
          testsupport::waitingRecord(std::chrono::system_clock::now() + 100ms, "SERVER_BUSY")};
    return std::vector{testsupport::outboxRecord(State::complete)};
  };
  start();
  ASSERT_TRUE(waitForFlushes(2));
  stop();
  EXPECT_EQ(reasons(), (std::vector<FlushReason>{FlushReason::started, FlushReason::retryDue}));
}

TEST_F(FlushWatcherTest, ARetryTimeCallsForOneFlushAndAtMostOneMoreASecondLater) {
  // The record shows its retry time in whole seconds while the database holds a fraction past
  // it, as older versions wrote: a flush at the time shown finds it not yet due.
  const Date shown = std::chrono::system_clock::now() + 100ms;
  const Date stored = shown + 700ms;
  const OutboxRecord waiting = testsupport::waitingRecord(shown, "SERVER_BUSY");
  afterFlush_ = [&](std::size_t) {
    if (std::chrono::system_clock::now() < stored) return std::vector{waiting};
    return std::vector{testsupport::outboxRecord(State::complete)};
  };
  start();
  ASSERT_TRUE(waitUntil([&] { return flushes() > 0 && allComplete(); }));
  stop();
  // The start, the retry at the time shown and one a second later; never a flush per loop.
  EXPECT_LE(flushes(), 3u);
  EXPECT_EQ(reasons().back(), FlushReason::retryDue);
}

TEST_F(FlushWatcherTest, AServerBackJustAfterAFailedFlushIsNoticedByTheNextCheck) {
  const OutboxRecord offline =
      testsupport::waitingRecord(std::chrono::system_clock::now() + 3600s, "NETWORK_ERROR");
  afterFlush_ = [&](std::size_t flush) {
    // The second flush fails like the first, and the server returns right after it.
    if (flush == 2) serverUp_ = true;
    if (flush <= 2) return std::vector{offline};
    return std::vector{testsupport::outboxRecord(State::complete)};
  };
  start();
  ASSERT_TRUE(waitForFlushes(1));
  ASSERT_TRUE(waitUntil([&] { return probes_ >= 2; }));
  shared_.set("a share", places::kSharedCaptureRevisionKey);
  ASSERT_TRUE(waitForFlushes(3));
  stop();
  EXPECT_EQ(reasons(), (std::vector<FlushReason>{FlushReason::started, FlushReason::captureShared,
                                                 FlushReason::serverBack}));
  EXPECT_EQ(released_.load(), 1);
}

TEST_F(FlushWatcherTest, ReleasesRecordsWaitingForTheServerOnceItAnswersAgain) {
  const OutboxRecord offline =
      testsupport::waitingRecord(std::chrono::system_clock::now() + 3600s, "NETWORK_ERROR");
  afterFlush_ = [&](std::size_t) {
    // Sent once the server is back; waiting an hour before that.
    if (serverUp_) return std::vector{testsupport::outboxRecord(State::complete)};
    return std::vector{offline};
  };
  start();
  ASSERT_TRUE(waitForFlushes(1));
  // The server is asked, and stays down for a while: nothing is released.
  EXPECT_TRUE(waitUntil([&] { return probes_ >= 3; }));
  EXPECT_EQ(released_.load(), 0);
  EXPECT_EQ(flushes(), 1u);

  serverUp_ = true;
  ASSERT_TRUE(waitForFlushes(2));
  stop();
  EXPECT_EQ(reasons().back(), FlushReason::serverBack);
  EXPECT_EQ(released_.load(), 1);
}

TEST_F(FlushWatcherTest, AServerThatAnswersButStillFailsIsNotHammered) {
  // The server answers the probe, yet the flush keeps failing on the way: the backoff holds, and
  // records are released only when the server was seen down and then up again.
  serverUp_ = true;
  afterFlush_ = [](std::size_t) {
    return std::vector{
        testsupport::waitingRecord(std::chrono::system_clock::now() + 3600s, "NETWORK_ERROR")};
  };
  start();
  ASSERT_TRUE(waitForFlushes(1));
  std::this_thread::sleep_for(200ms);
  stop();
  EXPECT_EQ(flushes(), 1u);
  EXPECT_EQ(released_.load(), 0);
}

TEST_F(FlushWatcherTest, RecordsAFlushLeavesAsTheyWereDoNotMakeItSpin) {
  // A queued record that flushes never change: ready, but not retried in a loop.
  records_ = {testsupport::outboxRecord(State::queued)};
  start();
  ASSERT_TRUE(waitForFlushes(1));
  std::this_thread::sleep_for(200ms);
  stop();
  EXPECT_EQ(flushes(), 1u);
  // A spinning loop would have read the records thousands of times.
  EXPECT_LT(recordReads_.load(), 10);
}

TEST_F(FlushWatcherTest, StopsAfterTheFlushUnderWayAndNeverOverlapsFlushes) {
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  std::atomic<bool> entered{false};
  FlushWatcherHooks slow = hooks();
  slow.flush = [&, inner = slow.flush](FlushReason reason) {
    if (++running > 1) ++overlaps;
    entered = true;
    std::this_thread::sleep_for(100ms);
    WatchedFlush done = inner(reason);
    --running;
    return done;
  };
  shared_.set("start", places::kSharedCaptureRevisionKey);
  watcher_ = std::make_unique<FlushWatcher>(options(), slow);
  runner_ = std::thread([this] {
    watcher_->run();
    finished_ = true;
  });
  const auto deadline = Clock::now() + kPatience;
  while (!entered && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  // Shares during the flush, then the stop: the flush finishes and no other starts.
  shared_.set("during", places::kSharedCaptureRevisionKey);
  watcher_->stop();
  runner_.join();
  EXPECT_TRUE(finished_);
  EXPECT_EQ(flushes(), 1u);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST_F(FlushWatcherTest, AFailingHookIsWaitedOutButASignOutEndsTheWatch) {
  std::atomic<int> calls{0};
  FlushWatcherHooks hooks = this->hooks();
  hooks.flush = [&](FlushReason) -> WatchedFlush {
    if (++calls == 1) throw std::runtime_error("database is locked");
    throw ApplicationError(ExitStatus::notSignedIn, "not signed in");
  };
  shared_.set("start", places::kSharedCaptureRevisionKey);
  FlushWatcher watcher(options(), hooks);
  std::thread sharer([&] {
    while (calls < 1) std::this_thread::sleep_for(1ms);
    shared_.set("next", places::kSharedCaptureRevisionKey);
  });
  try {
    watcher.run();
    ADD_FAILURE() << "the watch went on without a signed-in user";
  } catch (const ApplicationError& error) {
    EXPECT_EQ(error.status(), ExitStatus::notSignedIn);
  }
  sharer.join();
  std::lock_guard lock(mutex_);
  EXPECT_EQ(failures_, std::vector<std::string>{"database is locked"});
}

}  // namespace
}  // namespace kestro
