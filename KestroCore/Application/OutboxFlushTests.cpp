#include "KestroCore/Application/OutboxFlush.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <string_view>

#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/Application/FlushWatcher.h"
#include "KestroCore/Platform/Files/FileLock.h"
#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"
#include "Testing/OutboxTestSupport.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using devserver::DevServer;
using State = CaptureOutboxState;

// Generous: these bound a wait for something that happens in milliseconds.
constexpr auto kPatience = 20s;

// Counts the readings of a user's whole outbox (every record of theirs, no limit) as SQLite itself
// traces the statements, on every connection opened while it lives: the store's own included.
class OutboxReadings {
 public:
  OutboxReadings() {
    count_ = 0;
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(&traceConnection));
  }
  ~OutboxReadings() {
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&traceConnection));
  }
  int count() const { return count_.load(); }

 private:
  static int traceConnection(sqlite3* db, char**, const sqlite3_api_routines*) {
    return sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &traced, nullptr);
  }
  static int traced(unsigned, void*, void* statement, void*) {
    const std::string_view sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
    if (sql.starts_with("SELECT record_json FROM outbox") &&
        sql.find("user_id") != std::string_view::npos &&
        sql.find("LIMIT") == std::string_view::npos) {
      ++count_;
    }
    return 0;
  }
  static inline std::atomic<int> count_{0};
};

std::vector<State> states(const std::vector<OutboxRecord>& records) {
  std::vector<State> result;
  for (const OutboxRecord& record : records) result.push_back(record.state);
  return result;
}

class OutboxFlushTest : public ::testing::Test {
 protected:
  OutboxFlushTest()
      : store_(std::make_shared<OutboxStore>(tree_.places().databaseURL())),
        session_(tree_.places(),
                 SecureTokenStore(std::string(kTokenService), std::make_shared<InMemoryKeychain>()),
                 makeURLSession()),
        account_(session_.signIn(Session::serverOrigin(server_.baseURL()), "ada@example.com")) {}

  OutboxRecord enqueue() {
    return store_->enqueue(account_.userId,
                           testsupport::outboxRecord(CaptureOutboxState::queued).capture, {});
  }

  testsupport::TemporaryTree tree_;
  DevServer server_;
  std::shared_ptr<OutboxStore> store_;
  Session session_;
  SignedInAccount account_;
};

TEST_F(OutboxFlushTest, AFlushSendsEveryReadyCaptureNotOnlyTheFirstBatch) {
  for (int index = 0; index < 45; ++index) enqueue();
  const FlushRun run = flushOutbox(store_, session_, account_);
  EXPECT_EQ(run.summary.sent, 45u);
  EXPECT_EQ(run.summary.waiting, 0u);
  EXPECT_EQ(states(run.after), std::vector<State>(45, State::complete));
}

TEST_F(OutboxFlushTest, TheServerAnswersUntilItIsGone) {
  const auto probe = makeProbeSession();
  const URL server = Session::serverOrigin(server_.baseURL());
  EXPECT_TRUE(serverAnswers(*probe, server));
  server_.stop();
  EXPECT_FALSE(serverAnswers(*probe, server));
  for (int index = 0; index < 3; ++index) enqueue();
  const FlushRun offline = flushOutbox(store_, session_, account_);
  EXPECT_TRUE(offline.summary.serverUnreachable);
  EXPECT_FALSE(offline.signInRefused);
  EXPECT_EQ(offline.after[0].lastErrorCode, "NETWORK_ERROR");
  // The first failure says the server is away: the others are not tried, and stay ready.
  EXPECT_EQ(states(offline.after), (std::vector{State::retryWait, State::queued, State::queued}));
  EXPECT_EQ(offline.summary.waiting, 3u);
}

// Waiting its turn, and sending once the other flush ends, kestro's own tests show end to end.
TEST_F(OutboxFlushTest, AFlushWaitingForAnotherOneCanBeStoppedWithoutTouchingTheOutbox) {
  const OutboxRecord record = enqueue();
  const auto lockFile = flushLockFile(tree_.places().storageDirectory());
  const std::optional<FileLock> other = FileLock::acquire(lockFile);  // another process's flush
  std::stop_source stop;
  const FlushRun stopped =
      flushOutbox(store_, session_, account_, {},
                  {.lockFile = lockFile, .stop = stop.get_token(), .waitingForOtherFlush = [&] {
                     stop.request_stop();
                   }});
  EXPECT_TRUE(stopped.stopped);
  EXPECT_EQ(stopped.summary.waiting, 1u);
  EXPECT_EQ(store_->record(record.id())->state, State::queued);
  EXPECT_EQ(server_.statsJSON().find(record.id().uuidString()), std::string::npos);
}

TEST_F(OutboxFlushTest, AServerThatNeverAnswersIsReportedAndAStopEndsTheFlushAtOnce) {
  std::vector<OutboxRecord> records;
  for (int index = 0; index < 3; ++index) records.push_back(enqueue());
  server_.addFault(testsupport::fault(testsupport::kSubmit, devserver::FaultAction::stall, 10));
  // As the user would: told that the server is silent, they stop the flush.
  std::stop_source stop;
  int notices = 0;
  FlushControls controls{.stop = stop.get_token(),
                         .serverSilent =
                             [&] {
                               ++notices;
                               stop.request_stop();
                             },
                         .silenceNotice = 50ms};
  const FlushRun run = flushOutbox(store_, session_, account_, {}, controls);
  EXPECT_EQ(notices, 1);
  EXPECT_TRUE(run.stopped);
  // The first stays in the step it had stored, not failed; the others were never taken.
  EXPECT_EQ(states(run.after),
            (std::vector{State::submittingCapture, State::queued, State::queued}));
  for (const OutboxRecord& record : run.after) EXPECT_EQ(record.attemptCount, 0);
  EXPECT_EQ(run.summary.waiting, 3u);

  // Once the server answers, the next flush sends them all, each once.
  server_.clearFaults();
  const FlushRun later = flushOutbox(store_, session_, account_);
  EXPECT_EQ(later.summary.sent, 3u);
  const auto stats = testsupport::ServerStats::parse(server_.statsJSON());
  for (const OutboxRecord& record : records) {
    EXPECT_EQ(stats.accepted(record.id()) + stats.replays(record.id()), 1);
  }
}

TEST_F(OutboxFlushTest, AWatchedFlushReadsTheOutboxOnceAndHearsARefusedSignInFromTheServer) {
  const OutboxRecord refused = enqueue();
  enqueue();
  // The oldest capture's submission is answered 401; the server takes the next one, and the
  // refused one once its retry comes.
  server_.addFault(testsupport::serverError(testsupport::kSubmit, 401, "UNAUTHORIZED", false));

  // The watch as `kestro flush --watch` composes it, on the real store and server, on a
  // connection whose readings are counted; it ends after its second flush.
  const OutboxReadings readings;
  store_ = std::make_shared<OutboxStore>(tree_.places().databaseURL());
  std::vector<FlushRun> runs;
  std::vector<FlushReason> reasons;
  std::vector<std::string> heardCodes;
  FlushWatcher* watching = nullptr;
  FlushWatcherHooks hooks;
  hooks.flush = [&](FlushReason reason) {
    OutboxProcessorObserver observer;
    observer.recordFailed = [&](const OutboxFailure& failure) {
      heardCodes.push_back(failure.code);
    };
    runs.push_back(flushOutbox(store_, session_, account_, observer));
    reasons.push_back(reason);
    if (runs.size() == 2) watching->stop();
    return WatchedFlush{runs.back().summary, runs.back().changedSomething, runs.back().after};
  };
  hooks.nextRetryAt = [&](Date after) { return store_->nextRetryAt(account_.userId, after); };
  hooks.revision = [] { return std::optional<std::string>(); };
  hooks.serverAnswers = [] { return true; };
  hooks.now = [] { return std::chrono::system_clock::now(); };
  FlushWatcherOptions options;
  options.revisionFile = tree_.root() / "no-suite.json";
  options.pollInterval = 50ms;
  options.recheckInterval = kPatience;  // a watch that misses the retry still ends
  FlushWatcher watcher(options, hooks);
  watching = &watcher;
  watcher.run();

  ASSERT_EQ(runs.size(), 2u);
  // One reading of the whole outbox per flush; the watch between them only asked the store for
  // the next retry time.
  EXPECT_EQ(readings.count(), 2);
  // The first flush: the refusal as the server said it, and the other capture sent.
  EXPECT_EQ(heardCodes, std::vector<std::string>{"UNAUTHORIZED"});
  EXPECT_TRUE(runs[0].signInRefused);
  EXPECT_EQ(runs[0].summary.sent, 1u);
  EXPECT_EQ(runs[0].summary.waiting, 1u);
  EXPECT_EQ(states(runs[0].before), (std::vector{State::queued, State::queued}));
  EXPECT_EQ(states(runs[0].after), (std::vector{State::retryWait, State::complete}));
  // Woken by the refused capture's retry time, which only the store's query gave: it is sent,
  // and the one sent before is no business of this flush.
  EXPECT_EQ(reasons, (std::vector{FlushReason::started, FlushReason::retryDue}));
  EXPECT_FALSE(runs[1].signInRefused);
  EXPECT_EQ(runs[1].summary.sent, 1u);
  ASSERT_EQ(runs[1].summary.records.size(), 1u);
  EXPECT_EQ(runs[1].summary.records[0].id, refused.id());
  EXPECT_EQ(states(runs[1].after), (std::vector{State::complete, State::complete}));
}

}  // namespace
}  // namespace kestro
