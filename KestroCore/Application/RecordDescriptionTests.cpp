#include "KestroCore/Application/RecordDescription.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "KestroCore/Application/ApplicationTestSupport.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using State = CaptureOutboxState;
using testsupport::outboxRecord;

// Sets the process's time zone for one test (a POSIX rule, so no zone files are needed) and
// puts the old one back.
class TimeZone {
 public:
  explicit TimeZone(const char* rule) {
    if (const char* old = ::getenv("TZ")) previous_ = old;
    ::setenv("TZ", rule, 1);
    ::tzset();
  }
  ~TimeZone() {
    previous_ ? ::setenv("TZ", previous_->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> previous_;
};

Date utc(int day, int hour, int minute, int second = 0) {
  // 2025-03-<day> in UTC.
  return Date{1740787200s} + std::chrono::days(day - 1) + std::chrono::hours(hour) +
         std::chrono::minutes(minute) + std::chrono::seconds(second);
}

TEST(RecordDescriptionTest, EveryStateInTheUsersWords) {
  const Date now = utc(4, 12, 0);
  struct Case {
    OutboxRecord record;
    RecordStanding standing;
    std::string text;
  };
  // Set aside by the user, whatever error it carried before.
  OutboxRecord blockedWithCode = outboxRecord(State::blockedUserAction);
  blockedWithCode.lastErrorCode = "VALIDATION_ERROR";
  const std::vector<Case> cases{
      {outboxRecord(State::queued), RecordStanding::onThisDevice, "on this device (queued)"},
      {blockedWithCode, RecordStanding::needsAttention, "needs attention (set aside)"},
      {outboxRecord(State::uploadingAssets, 3, 1), RecordStanding::uploading,
       "uploading (1 of 3 files)"},
      {outboxRecord(State::uploadingAssets, 1), RecordStanding::uploading,
       "uploading (0 of 1 file)"},
      {outboxRecord(State::submittingCapture), RecordStanding::sending, "sending"},
      {outboxRecord(State::retryWait), RecordStanding::waitingToRetry,
       "waiting to retry after an error"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describeRecord(c.record, now), (RecordDescription{c.standing, c.text}));
  }
}

TEST(RecordDescriptionTest, OnlyTheServersOwnLastingRefusalShowsAsRefused) {
  const Date now = utc(4, 12, 0);
  const TimeZone zone("UTC0");
  OutboxRecord record = testsupport::waitingRecord(utc(4, 12, 5), "VALIDATION_ERROR");
  record.attemptCount = 2;
  const auto failure = [&](std::string code, bool retryable, std::int64_t attempt) {
    return OutboxLastFailure{std::move(code), {"the title is too long", retryable}, attempt, now};
  };
  const OutboxLastFailure refusal = failure("VALIDATION_ERROR", false, 2);
  EXPECT_EQ(
      describeRecord(record, now, &refusal),
      (RecordDescription{RecordStanding::refused,
                         "refused by the server: VALIDATION_ERROR (tries again at 12:05:00)"}));
  // Worth waiting out, about an earlier failure, or the client's own: an ordinary wait.
  for (const OutboxLastFailure& other :
       {failure("VALIDATION_ERROR", true, 2), failure("VALIDATION_ERROR", false, 1)}) {
    EXPECT_EQ(describeRecord(record, now, &other).text,
              "waiting to retry at 12:05:00 after VALIDATION_ERROR");
  }
  record.lastErrorCode = "INVALID_RESPONSE";
  const OutboxLastFailure proxyPage = failure("INVALID_RESPONSE", false, 2);
  EXPECT_EQ(describeRecord(record, now, &proxyPage).standing, RecordStanding::waitingToRetry);
}

TEST(RecordDescriptionTest, RetryTimesAreLocalAndShowTheDateOnlyOnAnotherDay) {
  const Date now = utc(4, 23, 40);
  // UTC+1: the retry falls on the 5th locally, and so does now, so no date is shown.
  const TimeZone zone("CET-1");
  EXPECT_EQ(
      describeRecord(testsupport::waitingRecord(utc(4, 23, 50, 9), "NETWORK_ERROR"), now).text,
      "waiting to retry at 00:50:09 after NETWORK_ERROR");
  // An hour earlier is still the 4th there, while now is the 5th.
  EXPECT_EQ(formatLocalTime(utc(4, 22, 50), now), "2025-03-04 23:50");
}

TEST(RecordDescriptionTest, SummariesSayWhatTheCaptureIsAndIdsAreFoundByPrefix) {
  // An address first, then the text, then the files' names, then the note.
  OutboxRecord record = outboxRecord(State::queued, 2);
  record.capture.url = URL::fromString("https://example.com/article");
  EXPECT_EQ(captureSummary(record), "https://example.com/article");
  record.capture.url.reset();
  record.capture.selectedText = "  call\n\tthe   printer guy \n";
  EXPECT_EQ(captureSummary(record), "\"call the printer guy\"");
  // Cut by characters, never inside one: "é" is two bytes.
  record.capture.selectedText = std::string(30, 'e') + "éééééé";
  EXPECT_EQ(captureSummary(record, 12), "\"" + std::string(9, 'e') + "…\"");
  record.capture.selectedText = "ééé";
  EXPECT_EQ(captureSummary(record, 5), "\"ééé\"");
  // A page's text cannot command the terminal it is listed on.
  record.capture.selectedText = "\x1B]52;c;aGk=\x07 title";
  EXPECT_EQ(captureSummary(record), "\"\xEF\xBF\xBD]52;c;aGk=\xEF\xBF\xBD title\"");
  record.capture.selectedText.reset();
  EXPECT_EQ(captureSummary(record), "file-0.txt, file-1.txt");
  record.stagedAssets.clear();
  record.capture.annotation = "remember the milk";
  EXPECT_EQ(captureSummary(record), "note: remember the milk");

  // Ids are found by themselves or by an unambiguous prefix.
  const UUID a = *UUID::fromString("ABCDEF01-0000-4000-8000-000000000001");
  const UUID b = *UUID::fromString("ABCDEF02-0000-4000-8000-000000000002");
  const std::vector<UUID> ids{a, b};
  EXPECT_EQ(findIdentifier(ids, "abcdef02", "capture"), 1u);
  EXPECT_EQ(findIdentifier(ids, " ABCDEF01-0000-4000-8000-000000000001 ", "capture"), 0u);
  const auto statusOf = [&](const char* text) {
    return testsupport::refusalOf([&] { findIdentifier(ids, text, "capture"); }).status;
  };
  EXPECT_EQ(statusOf("abcdef0"), ExitStatus::usage);  // both
  EXPECT_EQ(statusOf("12345678"), ExitStatus::failure);
  EXPECT_EQ(shortIdentifier(a), "ABCDEF01");
}

}  // namespace
}  // namespace kestro
