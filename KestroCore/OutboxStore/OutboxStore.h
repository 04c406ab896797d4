#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/Outbox/CaptureOutboxState.h"
#include "KestroCore/Outbox/OutboxError.h"
#include "KestroCore/Outbox/OutboxRecord.h"

namespace kestro {

namespace sqlite {
class Connection;
}

// What a failure said of itself, beyond the code the record carries.
struct OutboxFailureDetails {
  std::string message;
  bool retryable = true;

  bool operator==(const OutboxFailureDetails&) const = default;
};

// A record's last failure as the store kept it beside the record. It belongs to the record's
// current wait only while the record is in retry_wait with the same attempt count and code:
// a writer that does not keep details (an older program) leaves the previous ones in place.
struct OutboxLastFailure {
  std::string code;
  OutboxFailureDetails details;
  std::int64_t attemptCount = 0;  // the record's attempt count once this failure was counted
  Date failedAt;

  bool operator==(const OutboxLastFailure&) const = default;

  bool describes(const OutboxRecord& record) const {
    return record.state == CaptureOutboxState::retryWait && record.attemptCount == attemptCount &&
           record.lastErrorCode == code;
  }
};

// The outbox: every capture between the moment it is shared and the moment the server has it,
// kept in one SQLite database file that the short-lived share target and the long-running
// application open at the same time.
//
// Thread safety: an OutboxStore is safe to use from many threads; its operations hold one mutex
// of the instance for their whole duration and so never overlap within a process. Across
// processes, every read-modify-write runs in one immediate write transaction and the connection
// waits up to five seconds for another process's lock, so neither process loses the other's
// updates. Not copyable: the store owns its connection, closed when the store goes.
//
// Errors: OutboxError::sqlite for a database failure (including a failed read: a damaged or
// locked database is never reported as an empty outbox), OutboxError::recordMissing and
// OutboxError::invalidTransition as each operation says, DecodingError/EncodingError for record
// JSON that cannot be read or written, and std::filesystem::filesystem_error for the database's
// directory. A failed operation leaves the stored rows as they were.
//
// Not guaranteed: nothing is cached, so a record read by one call may have been changed by the
// other process by the next call. Records do not expire by themselves (see `removeCompleted`).
class OutboxStore {
 public:
  // Opens the database at a file URL, creating its directory (with parents; only the user may
  // enter the ones it creates) and the file and
  // tables as needed. Existing rows are kept. Like every operation, it waits up to five seconds
  // for another process's lock, so two processes may create the same new database at once.
  // Throws std::invalid_argument when `databaseURL` is not a local file URL (nothing is touched
  // then).
  explicit OutboxStore(const URL& databaseURL);
  ~OutboxStore();

  OutboxStore(const OutboxStore&) = delete;
  OutboxStore& operator=(const OutboxStore&) = delete;

  // Writes a new `queued` record for `userId` and returns it. A record with the same capture id
  // is replaced, except that the row keeps its first enqueue time for ordering.
  OutboxRecord enqueue(const UUID& userId, const CaptureEnvelope& capture,
                       const std::vector<StagedAsset>& stagedAssets);

  // The record with this id, whoever owns it; nothing when there is none.
  std::optional<OutboxRecord> record(const UUID& id);

  // The user's records, oldest first.
  std::vector<OutboxRecord> all(const UUID& userId);

  // The user's newest record of a capture of this address (the latest `capturedAt`, then the
  // latest created), whatever its state; nothing when none is. Reads one index entry per such
  // record, not every record.
  std::optional<OutboxRecord> newestWithAddress(const UUID& userId, const URL& address);

  // Up to `limit` of the user's records that can be processed now, oldest first: not complete,
  // cancelled or blocked_user_action, and with no retry time or one not later than `now`. A limit
  // of 0 returns none; a negative limit throws std::invalid_argument.
  std::vector<OutboxRecord> ready(const UUID& userId, Date now, std::int64_t limit);

  // The earliest retry time later than `after` among the user's records that `ready` would
  // return once their time comes: when the next of them becomes ready. Nothing when none waits
  // beyond `after`. Read from the column `ready` compares (to the microsecond, rounded up, so
  // that `ready` at the time returned includes the record), without decoding any record.
  std::optional<Date> nextRetryAt(const UUID& userId, Date after);

  // Moves the record to `to` if its current state allows it (`canTransition`); leaving for any
  // state but retry_wait clears `nextRetryAt`. Returns the saved record.
  OutboxRecord transition(const UUID& id, CaptureOutboxState to);

  // Replaces the capture while the record is draft, queued, retry_wait, preparing_assets or
  // uploading_assets; otherwise invalidTransition(current, current).
  void replaceCapture(const UUID& id, const CaptureEnvelope& capture);

  // Replaces the staged assets, in any state.
  void updateAssets(const UUID& id, const std::vector<StagedAsset>& assets);

  // Records the server's identifiers and moves to accepted, from any state.
  void markAccepted(const UUID& id, const UUID& captureId, const UUID& itemId);

  // Moves to complete, from any state.
  void markComplete(const UUID& id);

  // Records a failed attempt: retry_wait, resuming at `resumeAt` no earlier than `nextRetryAt`,
  // with one more attempt counted. Refused for complete, cancelled and blocked_user_action.
  void markRetry(const UUID& id, const std::string& code, CaptureOutboxState resumeAt,
                 Date nextRetryAt);
  // The same, keeping `details` as the record's last failure in the same transaction.
  void markRetry(const UUID& id, const std::string& code, CaptureOutboxState resumeAt,
                 Date nextRetryAt, const OutboxFailureDetails& details);

  // The last failures kept for the user's records, by record id. Records that never failed, or
  // whose failure was recorded without details, have none or an older one (see
  // OutboxLastFailure::describes).
  std::map<UUID, OutboxLastFailure> lastFailures(const UUID& userId);

  // Makes a record that waits in retry_wait due at `now`, for a user who asks to retry at once:
  // only its retry time changes, so the next `ready` at or after `now` returns it and processing
  // resumes where it stopped, with its attempt count and last error kept. Returns the saved
  // record. invalidTransition(current, current) for a record in any other state; recordMissing.
  OutboxRecord makeDue(const UUID& id, Date now);

  // Deletes every complete or cancelled record last written strictly before `olderThan`, of
  // every user, with its last failure, and returns the deleted records (read in the same
  // transaction). Their staged
  // files are left on disk for the caller to remove. A deleted row whose record JSON no longer
  // decodes fails the whole operation, and nothing is deleted.
  std::vector<OutboxRecord> removeCompleted(Date olderThan);

  // Deletes the user's records with their last failures, and the application's cached entities
  // and sync cursor for that user, all or nothing, then removes the records' staged files (files
  // already gone are fine). Other users' rows are left alone.
  void deleteAll(const UUID& userId);

 private:
  // Every operation below runs with `mutex_` held.
  void save(const OutboxRecord& record);
  std::optional<OutboxRecord> read(const UUID& id);
  // Reads the record, applies `change`, saves it, then runs `then` on the saved record, all in
  // one transaction.
  template <class Change, class Then = void (*)(const OutboxRecord&)>
  OutboxRecord mutate(
      const UUID& id, Change&& change, Then&& then = [](const OutboxRecord&) {});
  void retry(const UUID& id, const std::string& code, CaptureOutboxState resumeAt, Date nextRetryAt,
             const OutboxFailureDetails* details);

  std::mutex mutex_;
  std::unique_ptr<sqlite::Connection> connection_;
};

}  // namespace kestro
