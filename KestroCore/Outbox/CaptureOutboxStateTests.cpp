#include "KestroCore/Outbox/CaptureOutboxState.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

#include "KestroCore/Outbox/OutboxError.h"

namespace kestro {
namespace {

using enum CaptureOutboxState;

std::string name(CaptureOutboxState state) { return std::string(rawValue(state)); }

TEST(CaptureOutboxStateTest, RawValuesAreExactAndCaseSensitive) {
  for (const auto state : allCases<CaptureOutboxState>()) {
    EXPECT_EQ(fromRawValue<CaptureOutboxState>(rawValue(state)), state) << name(state);
  }
  EXPECT_EQ(fromRawValue<CaptureOutboxState>("retry_wait"), retryWait);
  for (const char* text : {"Retry_wait", "", "retryWait", "queued "}) {
    EXPECT_EQ(fromRawValue<CaptureOutboxState>(text), std::nullopt) << '"' << text << '"';
  }
}

// Every state's successors, written out in full rather than derived from the rules, so that
// all 100 pairs are checked against an independent list.
TEST(CaptureOutboxStateTest, TransitionsMatchTheCompleteSuccessorList) {
  struct Row {
    CaptureOutboxState from;
    std::vector<CaptureOutboxState> successors;
  };
  const Row table[] = {
      {draft, {queued, retryWait, blockedUserAction}},
      {queued, {preparingAssets, submittingCapture, retryWait, blockedUserAction, cancelled}},
      {preparingAssets, {uploadingAssets, retryWait, blockedUserAction}},
      {uploadingAssets, {submittingCapture, retryWait, blockedUserAction}},
      {submittingCapture, {accepted, retryWait, blockedUserAction}},
      {accepted, {complete, retryWait, blockedUserAction, cancelled}},
      {complete, {}},
      {retryWait,
       {queued, preparingAssets, uploadingAssets, submittingCapture, retryWait, blockedUserAction}},
      {blockedUserAction, {blockedUserAction}},
      {cancelled, {}},
  };
  ASSERT_EQ(std::size(table), allCases<CaptureOutboxState>().size());
  int allowed = 0;
  for (const auto& row : table) {
    for (const auto to : allCases<CaptureOutboxState>()) {
      const bool expected =
          std::find(row.successors.begin(), row.successors.end(), to) != row.successors.end();
      EXPECT_EQ(canTransition(row.from, to), expected) << name(row.from) << " -> " << name(to);
      allowed += expected;
    }
  }
  EXPECT_EQ(allowed, 28);
}

TEST(OutboxErrorTest, EqualByCaseAndPayload) {
  // Each entry differs from every other one, by case or by payload.
  const OutboxError errors[] = {
      OutboxError::invalidTransition(queued, accepted),
      OutboxError::invalidTransition(accepted, queued),
      OutboxError::invalidTransition(queued, complete),
      OutboxError::sqlite("database is locked"),
      OutboxError::sqlite("Database is locked"),
      OutboxError::sqlite(""),
      OutboxError::recordMissing(),
  };
  for (std::size_t i = 0; i < std::size(errors); ++i) {
    for (std::size_t j = 0; j < std::size(errors); ++j) {
      EXPECT_EQ(errors[i] == errors[j], i == j) << errors[i].what() << " vs " << errors[j].what();
    }
  }
  EXPECT_EQ(OutboxError::sqlite("x"), OutboxError::sqlite(std::string("x")));
}

TEST(OutboxErrorTest, ThrownErrorKeepsItsPayloadAndReadsWell) {
  try {
    throw OutboxError::invalidTransition(blockedUserAction, retryWait);
  } catch (const std::exception& thrown) {
    const auto* error = dynamic_cast<const OutboxError*>(&thrown);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(*error->as<OutboxError::InvalidTransition>(),
              (OutboxError::InvalidTransition{blockedUserAction, retryWait}));
    EXPECT_STREQ(thrown.what(), "invalid outbox transition from blocked_user_action to retry_wait");
  }
  EXPECT_STREQ(OutboxError::sqlite("disk I/O error").what(), "SQLite error: disk I/O error");
}

}  // namespace
}  // namespace kestro
