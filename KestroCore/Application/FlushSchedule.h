#pragma once

// When the outbox needs flushing of its own accord, and what a flush did: the decisions behind
// `kestro flush` and `kestro flush --watch`. Pure functions over records and what the
// processor's observer told; any thread.

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Application/RecordDescription.h"
#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/OutboxProcessor/OutboxProcessor.h"

namespace kestro {

// The code a record carries when its last attempt failed on the way to the server (no
// connection, a reset, no answer in time): the server could not be reached.
inline constexpr std::string_view kNetworkErrorCode = "NETWORK_ERROR";

// The code a record carries when the server refused the sign-in.
inline constexpr std::string_view kUnauthorizedCode = "UNAUTHORIZED";

struct FlushPlan {
  // When the next flush is due without anything new being shared: the earliest retry time of a
  // waiting record, or now for records the last flush left ready while it made progress, or
  // the last flush's start + the recheck interval for ready records the last flush did not
  // change (they are not retried in a loop). Nothing: no record needs a flush.
  std::optional<Date> nextFlush;
  // Some record waits because the server could not be reached: worth asking the server, often
  // and cheaply, whether it is back, rather than waiting out the backoff.
  bool watchServer = false;

  bool operator==(const FlushPlan&) const = default;
};

// What the plan needs to know of the last flush.
struct LastFlush {
  Date startedAt;
  // The flush changed some record (a flush after it may change more).
  bool changedSomething = false;
  // A record failed because the server could not be reached, which ends a flush early: the
  // records it left ready wait for the server rather than call for a flush of their own.
  bool serverUnreachable = false;

  bool operator==(const LastFlush&) const = default;
};

// The plan after a flush that ended with `records` (the user's records, all states). Records
// that are complete, cancelled or blocked never call for a flush.
//
// A retry time is whole seconds in the record, while the database may hold a fraction past it
// (records written by older versions): a record the last flush left waiting although it ran at
// or after that time is due a second later, and one it left waiting a second or more after
// that time is left to the recheck like any record the flush left alone. So no retry time
// calls for more than two flushes.
FlushPlan planFlush(const std::vector<OutboxRecord>& records, Date now, const LastFlush& last,
                    std::chrono::seconds recheckInterval);

// The records waiting to retry because the server could not be reached, oldest first.
std::vector<UUID> waitingForServer(const std::vector<OutboxRecord>& records);

// What one flush did to one record.
struct FlushOutcome {
  UUID id;
  std::string summary;            // captureSummary
  RecordDescription description;  // where it stands now
  bool sentNow = false;           // the server took it during this flush
  // Its last failure in this flush, in words (explainFailure); set by flushOutbox.
  std::optional<std::string> failure = std::nullopt;

  bool operator==(const FlushOutcome&) const = default;
};

struct FlushSummary {
  // The records the flush had to deal with: those on their way before it (not sent, cancelled
  // or set aside), and any it changed, in
  // the order of `after`. Records that vanished meanwhile are left out.
  std::vector<FlushOutcome> records;
  std::size_t sent = 0;     // sent during this flush
  std::size_t waiting = 0;  // still on their way afterwards (not sent, cancelled or set aside)
  // A record failed in this flush because the server could not be reached.
  bool serverUnreachable = false;

  bool operator==(const FlushSummary&) const = default;
};

// What the processor's observer told of one flush, record by record: gathered as the flush goes
// (on its thread), read once it ended. A plain value.
class FlushLog {
 public:
  // The record as a batch handed it over; the first copy of each record is kept (a later batch
  // may take it again).
  void taken(const OutboxRecord& record);
  void changed(const OutboxStateChange& change);
  void failed(const OutboxFailure& failure);

  // How many steps the processor stored so far: a batch that adds none changed nothing.
  std::size_t changes() const noexcept { return changes_; }
  // Every failure of a record, in the order they happened.
  const std::vector<OutboxFailure>& failures() const noexcept { return failures_; }
  // A failure for want of a connection to the server was recorded, for any record or this one.
  bool serverUnreachable() const noexcept { return !unreachable_.empty(); }
  bool unreachable(const UUID& id) const { return unreachable_.contains(id); }
  // The server refused the sign-in for some record.
  bool signInRefused() const noexcept { return signInRefused_; }

  // The record as the flush first took it; nothing when the flush did not take it.
  const OutboxRecord* takenCopy(const UUID& id) const;
  // The flush stored some step of the record.
  bool touched(const UUID& id) const { return touched_.contains(id); }
  // The server took the record during the flush.
  bool sentNow(const UUID& id) const { return sent_.contains(id); }
  // The records as they stood before the flush, as far as it can tell from `after` (the user's
  // records once it ended): each as first taken, or as it is now when the flush did not take it;
  // records taken and gone meanwhile last.
  std::vector<OutboxRecord> before(const std::vector<OutboxRecord>& after) const;

 private:
  std::map<UUID, OutboxRecord> taken_;
  std::vector<UUID> takenOrder_;
  std::set<UUID> touched_;
  std::set<UUID> sent_;
  std::set<UUID> unreachable_;
  std::vector<OutboxFailure> failures_;
  std::size_t changes_ = 0;
  bool signInRefused_ = false;
};

// What one flush did, from what the processor told (`log`) and the records once the flush ended:
// sent now when the server took the record in this flush, and the server unreachable when a
// failure for want of a connection was recorded. `lastFailures` (OutboxStore::lastFailures) lets
// a refusal show as one.
FlushSummary summarizeFlush(const FlushLog& log, const std::vector<OutboxRecord>& after, Date now,
                            const std::map<UUID, OutboxLastFailure>& lastFailures = {});

}  // namespace kestro
