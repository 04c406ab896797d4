#include "KestroCore/Application/FlushSchedule.h"

#include <gtest/gtest.h>

#include "KestroCore/Application/ApplicationTestSupport.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using State = CaptureOutboxState;
using testsupport::outboxRecord;
using testsupport::waitingRecord;

const Date kNow{1741064767s};
const std::chrono::seconds kRecheck = 300s;

TEST(FlushScheduleTest, TheNextWakeUpIsTheEarliestThingThatIsDue) {
  // Nothing to do: no wake-up at all.
  EXPECT_EQ(planFlush({}, kNow, {kNow, true}, kRecheck), FlushPlan{});
  EXPECT_EQ(planFlush({outboxRecord(State::complete), outboxRecord(State::blockedUserAction)}, kNow,
                      {kNow, true}, kRecheck),
            FlushPlan{});

  // The earliest retry time wins; the server is watched only for network failures.
  const auto later = waitingRecord(kNow + 90s, "SERVER_BUSY");
  const auto sooner = waitingRecord(kNow + 30s, "UNAVAILABLE");
  EXPECT_EQ(planFlush({later, sooner}, kNow, {kNow}, kRecheck), (FlushPlan{kNow + 30s, false}));
  const auto offline = waitingRecord(kNow + 600s, "NETWORK_ERROR");
  EXPECT_EQ(planFlush({later, offline}, kNow, {kNow}, kRecheck), (FlushPlan{kNow + 90s, true}));
  // A retry time that came during the last flush is due now.
  EXPECT_EQ(planFlush({waitingRecord(kNow - 5s, "X")}, kNow, {kNow - 10s}, kRecheck).nextFlush,
            kNow - 5s);

  // Ready records call for another flush only while flushes make progress.
  const Date lastFlush = kNow - 10s;
  const std::vector<OutboxRecord> ready{outboxRecord(State::queued), outboxRecord(State::accepted)};
  // The last flush changed something: flush again at once.
  EXPECT_EQ(planFlush(ready, kNow, {lastFlush, true}, kRecheck).nextFlush, kNow);
  // The last flush left them as they were: not again until the recheck, so no loop.
  EXPECT_EQ(planFlush(ready, kNow, {lastFlush}, kRecheck).nextFlush, lastFlush + kRecheck);
}

TEST(FlushScheduleTest, ARetryTimeTheLastFlushRanAtIsNotDueAgainAtOnce) {
  // The flush ran at (or just after) the time the record shows and left it waiting: its stored
  // time has a fraction past the whole second shown, so it is due a second later, not now.
  const OutboxRecord shown = waitingRecord(kNow - 200ms, "X");
  EXPECT_EQ(planFlush({shown}, kNow, {kNow - 100ms}, kRecheck).nextFlush, kNow + 800ms);
  // Left waiting by a flush a second or more after it: not a matter of fractions; the recheck.
  const OutboxRecord stale = waitingRecord(kNow - 2s, "X");
  EXPECT_EQ(planFlush({stale}, kNow, {kNow - 500ms}, kRecheck).nextFlush, kNow - 500ms + kRecheck);
  // The flush stopped at a server it could not reach: what it left waits for the server (or the
  // backoff of what failed), not for a flush of its own.
  const OutboxRecord failed = waitingRecord(kNow + 2s, "NETWORK_ERROR");
  const LastFlush unreachable{kNow - 100ms, true, true};
  EXPECT_EQ(planFlush({shown, outboxRecord(State::queued), failed}, kNow, unreachable, kRecheck),
            (FlushPlan{kNow + 2s, true}));
}

TEST(FlushScheduleTest, ASummaryFromTheProcessorsEventsSaysWhatThisFlushDid) {
  const OutboxRecord sent = outboxRecord(State::accepted);  // accepted by an earlier flush
  const OutboxRecord offline = outboxRecord(State::queued);
  const OutboxRecord oldSent = outboxRecord(State::complete);
  FlushLog log;
  log.taken(sent);
  log.taken(offline);
  log.changed({sent.id(), State::accepted, State::complete});
  log.failed({offline.id(), "NETWORK_ERROR", "reset", true, false, "disk is full", State::queued});
  auto completed = sent;
  completed.state = State::complete;
  auto retaken = offline;  // a later batch takes it again: the first copy stood before
  retaken.state = State::retryWait;
  log.taken(retaken);
  EXPECT_EQ(log.before({completed, oldSent, offline}),
            (std::vector<OutboxRecord>{sent, oldSent, offline}));

  const FlushSummary summary = summarizeFlush(log, {completed, oldSent, offline}, kNow);
  // Completing what the server already had sends nothing; what was sent long ago is not listed;
  // a network failure that could not be recorded says nothing of the server's reach.
  ASSERT_EQ(summary.records.size(), 2u);
  EXPECT_FALSE(summary.records[0].sentNow);
  EXPECT_EQ(summary.records[1].id, offline.id());
  EXPECT_EQ(summary.sent, 0u);
  EXPECT_EQ(summary.waiting, 1u);
  EXPECT_FALSE(summary.serverUnreachable);
  EXPECT_FALSE(log.signInRefused());

  // Recorded, it does; and a refused sign-in counts even when its failure could not be stored.
  log.failed({offline.id(), "NETWORK_ERROR", "reset", true, true, "", State::queued});
  log.failed({offline.id(), "UNAUTHORIZED", "no", false, false, "disk is full", State::queued});
  EXPECT_TRUE(summarizeFlush(log, {completed, offline}, kNow).serverUnreachable);
  EXPECT_TRUE(log.signInRefused());
  EXPECT_EQ(log.changes(), 1u);

  // Only records waiting after a network failure wait for the server.
  const OutboxRecord waiting = waitingRecord(kNow, "NETWORK_ERROR");
  EXPECT_EQ(waitingForServer({completed, waiting, waitingRecord(kNow, "SERVER_BUSY")}),
            std::vector<UUID>{waiting.id()});
}

}  // namespace
}  // namespace kestro
