#include "KestroCore/Outbox/CaptureOutboxState.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace kestro {
namespace {

using enum CaptureOutboxState;

// Every state's successors written out in full rather than derived from the rules, so that all
// 100 pairs are checked against an independent list.
TEST(CaptureOutboxStateTest, TransitionsMatchTheCompleteSuccessorList) {
  const struct {
    CaptureOutboxState from;
    std::vector<CaptureOutboxState> successors;
  } table[] = {
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
  for (const auto& [from, successors] : table) {
    // Each raw value leads back to its own state: no two share a spelling.
    EXPECT_EQ(fromRawValue<CaptureOutboxState>(rawValue(from)), from) << rawValue(from);
    for (const auto to : allCases<CaptureOutboxState>()) {
      const bool expected = std::find(successors.begin(), successors.end(), to) != successors.end();
      EXPECT_EQ(canTransition(from, to), expected) << rawValue(from) << " -> " << rawValue(to);
    }
  }
}

}  // namespace
}  // namespace kestro
