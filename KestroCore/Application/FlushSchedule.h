#pragma once

// When the outbox needs flushing of its own accord, and what a flush did: the decisions behind
// `kestro flush` and `kestro flush --watch`. Pure functions over records; any thread.

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Application/RecordDescription.h"
#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Outbox/OutboxRecord.h"

namespace kestro {

// The code a record carries when its last attempt failed on the way to the server (no
// connection, a reset, no answer in time): the server could not be reached.
inline constexpr std::string_view kNetworkErrorCode = "NETWORK_ERROR";

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

// Whether anything about the records changed between two readings: one added or gone, or one
// written again (its state, its files' uploads, its update time).
bool recordsChanged(const std::vector<OutboxRecord>& before,
                    const std::vector<OutboxRecord>& after);

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

// `lastFailures` (OutboxStore::lastFailures) lets a refusal show as one.
FlushSummary summarizeFlush(const std::vector<OutboxRecord>& before,
                            const std::vector<OutboxRecord>& after, Date now,
                            const std::map<UUID, OutboxLastFailure>& lastFailures = {});

}  // namespace kestro
