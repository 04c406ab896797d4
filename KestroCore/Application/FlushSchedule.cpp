#include "KestroCore/Application/FlushSchedule.h"

#include <algorithm>
#include <map>

namespace kestro {
namespace {

using State = CaptureOutboxState;

bool isSettled(State state) {
  return state == State::complete || state == State::cancelled || state == State::blockedUserAction;
}

bool isSent(State state) { return state == State::accepted || state == State::complete; }

bool waitsForServer(const OutboxRecord& record) {
  return record.state == State::retryWait && record.lastErrorCode == kNetworkErrorCode;
}

void earliest(std::optional<Date>& current, Date candidate) {
  if (!current || candidate < *current) current = candidate;
}

}  // namespace

FlushPlan planFlush(const std::vector<OutboxRecord>& records, Date now, const LastFlush& last,
                    std::chrono::seconds recheckInterval) {
  using namespace std::chrono_literals;
  const Date recheck = last.startedAt + recheckInterval;
  FlushPlan plan;
  for (const OutboxRecord& record : records) {
    if (isSettled(record.state)) continue;
    if (record.state == State::retryWait) {
      plan.watchServer = plan.watchServer || waitsForServer(record);
      if (!record.nextRetryAt) {
        earliest(plan.nextFlush, now);
      } else if (*record.nextRetryAt > last.startedAt) {
        earliest(plan.nextFlush, *record.nextRetryAt);
      } else if (!last.serverUnreachable && last.startedAt < *record.nextRetryAt + 1s) {
        earliest(plan.nextFlush, *record.nextRetryAt + 1s);
      } else {
        earliest(plan.nextFlush, recheck);
      }
    } else {
      earliest(plan.nextFlush, last.changedSomething && !last.serverUnreachable ? now : recheck);
    }
  }
  return plan;
}

bool recordsChanged(const std::vector<OutboxRecord>& before,
                    const std::vector<OutboxRecord>& after) {
  if (before.size() != after.size()) return true;
  std::map<UUID, const OutboxRecord*> earlier;
  for (const OutboxRecord& record : before) earlier.emplace(record.id(), &record);
  for (const OutboxRecord& record : after) {
    const auto found = earlier.find(record.id());
    if (found == earlier.end()) return true;
    const OutboxRecord& old = *found->second;
    if (old.state != record.state || old.updatedAt != record.updatedAt ||
        old.stagedAssets != record.stagedAssets) {
      return true;
    }
  }
  return false;
}

std::vector<UUID> waitingForServer(const std::vector<OutboxRecord>& records) {
  std::vector<UUID> ids;
  for (const OutboxRecord& record : records) {
    if (waitsForServer(record)) ids.push_back(record.id());
  }
  return ids;
}

FlushSummary summarizeFlush(const std::vector<OutboxRecord>& before,
                            const std::vector<OutboxRecord>& after, Date now,
                            const std::map<UUID, OutboxLastFailure>& lastFailures) {
  std::map<UUID, const OutboxRecord*> earlier;
  for (const OutboxRecord& record : before) earlier.emplace(record.id(), &record);
  FlushSummary summary;
  for (const OutboxRecord& record : after) {
    const auto found = earlier.find(record.id());
    const OutboxRecord* old = found == earlier.end() ? nullptr : found->second;
    const bool changed = !old || old->state != record.state || old->updatedAt != record.updatedAt;
    // Sent, cancelled and set-aside captures are no business of a flush unless it moved them.
    const bool pending = !old || !(isSent(old->state) || isSettled(old->state));
    if (!changed && !pending) continue;

    const auto failure = lastFailures.find(record.id());
    FlushOutcome outcome{
        record.id(), captureSummary(record),
        describeRecord(record, now, failure == lastFailures.end() ? nullptr : &failure->second),
        isSent(record.state) && (!old || !isSent(old->state))};
    summary.sent += outcome.sentNow;
    if (!isSent(record.state) && !isSettled(record.state)) ++summary.waiting;
    // A failure recorded in this flush: its attempt count went up.
    const bool failedNow =
        record.state == State::retryWait && (!old || record.attemptCount > old->attemptCount);
    summary.serverUnreachable =
        summary.serverUnreachable || (failedNow && record.lastErrorCode == kNetworkErrorCode);
    summary.records.push_back(std::move(outcome));
  }
  return summary;
}

}  // namespace kestro
