#include "KestroCore/Application/OutboxFlush.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <string_view>

#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/Platform/Files/FileLock.h"
#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"
#include "Testing/OutboxTestSupport.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using devserver::DevServer;
using State = CaptureOutboxState;

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
    count_ += sql.starts_with("SELECT record_json FROM outbox") &&
              sql.find("user_id") != sql.npos && sql.find("LIMIT") == sql.npos;
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

TEST_F(OutboxFlushTest, AFlushSendsEveryReadyCaptureUntilTheServerIsGone) {
  // Not only the processor's first batch.
  for (int index = 0; index < 45; ++index) enqueue();
  const FlushRun run = flushOutbox(store_, session_, account_);
  EXPECT_EQ(run.summary.sent, 45u);
  EXPECT_EQ(states(run.after), std::vector<State>(45, State::complete));

  const auto probe = makeProbeSession();
  const URL server = Session::serverOrigin(server_.baseURL());
  EXPECT_TRUE(serverAnswers(*probe, server));
  server_.stop();
  EXPECT_FALSE(serverAnswers(*probe, server));
  for (int index = 0; index < 3; ++index) enqueue();
  const FlushRun offline = flushOutbox(store_, session_, account_);
  EXPECT_TRUE(offline.summary.serverUnreachable);
  // The first failure says the server is away: the others are not tried, and stay ready.
  const std::vector<State> after = states(offline.after);
  ASSERT_EQ(after.size(), 48u);
  EXPECT_EQ(std::vector(after.begin() + 45, after.end()),
            (std::vector{State::retryWait, State::queued, State::queued}));
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
  EXPECT_EQ(run.after[0].attemptCount, 0);
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

TEST_F(OutboxFlushTest, AFlushReadsTheOutboxOnceAndHearsARefusedSignInFromTheServer) {
  enqueue();
  enqueue();
  // The oldest capture's submission is answered 401; the server takes the next one.
  server_.addFault(testsupport::serverError(testsupport::kSubmit, 401, "UNAUTHORIZED", false));
  // On a connection whose readings of the whole outbox are counted.
  const OutboxReadings readings;
  store_ = std::make_shared<OutboxStore>(tree_.places().databaseURL());
  std::vector<std::string> heardCodes;
  OutboxProcessorObserver observer;
  observer.recordFailed = [&](const OutboxFailure& failure) { heardCodes.push_back(failure.code); };

  const FlushRun first = flushOutbox(store_, session_, account_, observer);
  EXPECT_EQ(readings.count(), 1);
  // The refusal as the server said it, and the other capture sent.
  EXPECT_EQ(heardCodes, std::vector<std::string>{"UNAUTHORIZED"});
  EXPECT_TRUE(first.signInRefused);
  EXPECT_EQ(first.summary.sent, 1u);
  EXPECT_EQ(first.summary.waiting, 1u);
  EXPECT_EQ(states(first.before), (std::vector{State::queued, State::queued}));
  EXPECT_EQ(states(first.after), (std::vector{State::retryWait, State::complete}));
}

}  // namespace
}  // namespace kestro
