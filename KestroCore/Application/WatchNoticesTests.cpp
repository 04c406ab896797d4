// What the watch tells the desktop after each flush: what needs the user, each thing once.

#include "KestroCore/Application/WatchNotices.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "KestroCore/Application/ApplicationTestSupport.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using State = CaptureOutboxState;
using testsupport::outboxRecord;

const URL kServer = *URL::fromString("http://127.0.0.1:8787");

OutboxFailure failureOf(const OutboxRecord& record, std::string code, bool retryable) {
  return OutboxFailure{.recordId = record.id(),
                       .code = std::move(code),
                       .message = "the server's words",
                       .retryable = retryable,
                       .recorded = true,
                       .notRecordedBecause = "",
                       .during = State::submittingCapture};
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class WatchNoticesTest : public ::testing::Test {
 protected:
  // A moment an hour after the test records were shared.
  const Date soon = outboxRecord(State::queued).createdAt + 1h;
  WatchNotices notices;
};

TEST_F(WatchNoticesTest, ARefusedCaptureIsToldOnceHoweverOftenItIsRefusedAgain) {
  const OutboxRecord refused = outboxRecord(State::retryWait);
  FlushRun run;
  run.after = {refused};
  run.failures = {failureOf(refused, "VALIDATION_ERROR", false)};

  const std::vector<Notification> first = notices.after(run, soon, kServer);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].summary, "A capture was refused by the server");
  EXPECT_TRUE(contains(first[0].body, "\"a thought\" (" + shortIdentifier(refused.id()) +
                                          "): the server said: the server's words"))
      << first[0].body;
  EXPECT_EQ(first[0].urgency, Notification::Urgency::critical);
  // The retries that follow say nothing new.
  EXPECT_TRUE(notices.after(run, soon, kServer).empty());
  EXPECT_TRUE(notices.after(run, soon + 10min, kServer).empty());

  // Another capture refused later is news, and several at once make one notification.
  const OutboxRecord second = outboxRecord(State::retryWait);
  const OutboxRecord third = outboxRecord(State::retryWait);
  run.after = {refused, second, third};
  run.failures = {failureOf(refused, "VALIDATION_ERROR", false),
                  failureOf(second, "PAYLOAD_TOO_LARGE", false),
                  failureOf(third, "VALIDATION_ERROR", false)};
  const std::vector<Notification> later = notices.after(run, soon, kServer);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].summary, "2 captures were refused by the server");
  EXPECT_FALSE(contains(later[0].body, shortIdentifier(refused.id())));
  EXPECT_TRUE(contains(later[0].body, shortIdentifier(third.id()))) << later[0].body;
}

TEST_F(WatchNoticesTest, FailuresWorthWaitingOutAndSettledCapturesAreNotTold) {
  const OutboxRecord waiting = outboxRecord(State::retryWait);
  const OutboxRecord setAside = outboxRecord(State::blockedUserAction);
  FlushRun run;
  run.after = {waiting, setAside};
  OutboxFailure unrecorded = failureOf(waiting, "VALIDATION_ERROR", false);
  unrecorded.recorded = false;
  run.failures = {
      failureOf(waiting, "UNAVAILABLE", true),  // the server asks for a retry
      failureOf(waiting, "NETWORK_ERROR", false), failureOf(waiting, "CLIENT_ERROR", false),
      failureOf(waiting, "UNAUTHORIZED", false),  // the sign-in's, told apart unrecorded,
      failureOf(setAside, "VALIDATION_ERROR", false)};
  EXPECT_TRUE(notices.after(run, soon, kServer).empty());
}

TEST_F(WatchNoticesTest, ACaptureStillHereADayAfterItWasSharedIsToldOnce) {
  const OutboxRecord queued = outboxRecord(State::queued);
  const OutboxRecord sent = outboxRecord(State::complete);
  FlushRun run;
  run.after = {queued, sent};
  // A day to the second is not more than a day.
  EXPECT_TRUE(notices.after(run, queued.createdAt + 24h, kServer).empty());

  const Date late = queued.createdAt + 24h + 1s;
  const std::vector<Notification> told = notices.after(run, late, kServer);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].summary, "A capture has waited on this device for more than a day");
  EXPECT_TRUE(contains(told[0].body, shortIdentifier(queued.id())));
  EXPECT_TRUE(contains(told[0].body, "on this device (queued)")) << told[0].body;
  EXPECT_FALSE(contains(told[0].body, shortIdentifier(sent.id())));
  EXPECT_TRUE(notices.after(run, late + 1h, kServer).empty());

  // One refused and told is not told again for its age.
  WatchNotices fresh;
  run.after = {queued};
  run.failures = {failureOf(queued, "VALIDATION_ERROR", false)};
  ASSERT_EQ(fresh.after(run, soon, kServer).size(), 1u);
  run.failures.clear();
  EXPECT_TRUE(fresh.after(run, late, kServer).empty());
}

}  // namespace
}  // namespace kestro
