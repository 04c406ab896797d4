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

bool onItsWay(State state) { return !(isSent(state) || isSettled(state)); }

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

std::vector<UUID> waitingForServer(const std::vector<OutboxRecord>& records) {
  std::vector<UUID> ids;
  for (const OutboxRecord& record : records) {
    if (waitsForServer(record)) ids.push_back(record.id());
  }
  return ids;
}

void FlushLog::taken(const OutboxRecord& record) {
  if (taken_.emplace(record.id(), record).second) takenOrder_.push_back(record.id());
}

void FlushLog::changed(const OutboxStateChange& change) {
  ++changes_;
  touched_.insert(change.recordId);
  // Completing a record that was accepted before the flush sends nothing.
  if ((change.to == State::accepted || change.to == State::complete) && !isSent(change.from)) {
    sent_.insert(change.recordId);
  }
}

void FlushLog::failed(const OutboxFailure& failure) {
  failures_.push_back(failure);
  if (failure.recorded && failure.code == kNetworkErrorCode) unreachable_.insert(failure.recordId);
  // Whether or not it could be recorded: the sign-in is refused either way.
  signInRefused_ = signInRefused_ || failure.code == kUnauthorizedCode;
}

const OutboxRecord* FlushLog::takenCopy(const UUID& id) const {
  const auto found = taken_.find(id);
  return found == taken_.end() ? nullptr : &found->second;
}

std::vector<OutboxRecord> FlushLog::before(const std::vector<OutboxRecord>& after) const {
  std::vector<OutboxRecord> records;
  std::set<UUID> present;
  for (const OutboxRecord& record : after) {
    const OutboxRecord* copy = takenCopy(record.id());
    records.push_back(copy ? *copy : record);
    present.insert(record.id());
  }
  for (const UUID& id : takenOrder_) {
    if (!present.contains(id)) records.push_back(taken_.at(id));
  }
  return records;
}

FlushSummary summarizeFlush(const FlushLog& log, const std::vector<OutboxRecord>& after, Date now,
                            const std::map<UUID, OutboxLastFailure>& lastFailures) {
  FlushSummary summary;
  for (const OutboxRecord& record : after) {
    // A record the flush did not take stood before it as it stands now. Sent, cancelled and
    // set-aside captures are no business of a flush unless it moved them.
    const OutboxRecord* old = log.takenCopy(record.id());
    if (!log.touched(record.id()) && !onItsWay(old ? old->state : record.state)) continue;

    const auto failure = lastFailures.find(record.id());
    FlushOutcome outcome{
        record.id(), captureSummary(record),
        describeRecord(record, now, failure == lastFailures.end() ? nullptr : &failure->second),
        log.sentNow(record.id())};
    summary.sent += outcome.sentNow;
    if (onItsWay(record.state)) ++summary.waiting;
    summary.serverUnreachable = summary.serverUnreachable || log.unreachable(record.id());
    summary.records.push_back(std::move(outcome));
  }
  return summary;
}

}  // namespace kestro
