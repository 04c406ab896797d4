#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "KestroCore/API/KestroAPIClient.h"
#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Outbox/CaptureOutboxState.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/Outbox/RetryPolicy.h"
#include "KestroCore/OutboxStore/OutboxStore.h"

namespace kestro {

// A record moved from one state to another during a flush.
struct OutboxStateChange {
  UUID recordId;
  // The state the processor last knew the record in. Another process may have moved the
  // stored record meanwhile; the store's own checks decide what happens, not this value.
  CaptureOutboxState from;
  CaptureOutboxState to;
  // When `to` is retry_wait: the error code recorded for the failure.
  std::optional<std::string> errorCode = std::nullopt;

  bool operator==(const OutboxStateChange&) const = default;
};

// How far the upload of one staged file has come.
struct OutboxUploadProgress {
  UUID recordId;
  UUID clientAssetId;
  std::uint64_t bytesSent;
  // As the HTTP session knows it: the file's size once the upload has started.
  std::uint64_t bytesToSend;

  bool operator==(const OutboxUploadProgress&) const = default;
};

// One failure of a record's steps, as the processor met it: what the user may need to hear when
// a record waits again, and all they can hear when the failure could not even be recorded (a full
// disk, say, leaves the record as its last stored step left it).
struct OutboxFailure {
  UUID recordId;
  // The code recorded, or that would have been: the server's own, NETWORK_ERROR,
  // LOCAL_FILE_ERROR, INVALID_RESPONSE, or CLIENT_ERROR for anything not from the server client.
  std::string code;
  // The server's message, the network's or the file system's description, the database's
  // message; whatever the failure said of itself.
  std::string message;
  // Whether trying again may help: the server's flag, true for the network; true for failures
  // of this machine (a full disk, a busy database), which may pass; true for UPLOAD_NOT_COMPLETED
  // of a record with files, since the next attempt uploads them again.
  bool retryable;
  // Whether the failure is stored in the record (retry_wait, its code, its retry time). False
  // when storing it failed too, or when the record was finished or removed meanwhile.
  bool recorded;
  // When not recorded: what the store said when asked to record it ("database or disk is full",
  // or the refusal of a record another process finished meanwhile).
  std::string notRecordedBecause;
  // The state the processor last knew the record in when it failed: uploading_assets for a
  // failed upload, submitting_capture for a refused submission.
  CaptureOutboxState during;

  bool operator==(const OutboxFailure&) const = default;
};

// What the application's progress display hears from a flush. Any callback may be empty.
//
// The callbacks run on the thread that called `flush`, while that flush holds the processor:
// they must not call `flush` on the same processor (it would wait for itself). They may use the
// store. Keep them quick: the flush, and any upload in progress, waits for them. What they throw
// is swallowed; nothing they do or throw changes what the processor does.
struct OutboxProcessorObserver {
  // After each state change the processor has stored (a transition, acceptance, completion or a
  // recorded failure), in the order they happened.
  std::function<void(const OutboxStateChange&)> stateChanged{};
  // While a staged file is being sent; repeated identical reports are left out.
  std::function<void(const OutboxUploadProgress&)> uploadProgressed{};
  // After each failure of a record's steps, once the processor has tried to record it; also when
  // that did not work.
  std::function<void(const OutboxFailure&)> recordFailed{};
  // Before each record's walk: the record as the batch handed it over, before any step of this
  // walk (its files' names and sizes, its state and attempt count as they stood). A record the
  // processor then leaves alone is told of too.
  std::function<void(const OutboxRecord&)> recordTaken{};
};

// Drains one user's outbox to the server: takes the records that are ready, walks each through
// its file uploads and the capture's submission, and records acceptance and completion. Every
// step is stored before the next exchange with the server, so a flush that ends anywhere (the
// process is killed, say) leaves each record where the next flush can pick it up, and the
// idempotency key of the submission makes a repeated submission harmless: whatever happens, each
// capture reaches the server once.
//
// A failure puts the record into retry_wait with the failure's code and a time from the retry
// policy, resuming where it was picked up; confirmed uploads are never repeated.
//
// Beyond the plain walk:
// - A record whose server identifiers are stored (left in accepted by a process that ended
//   before completing it, or put into retry_wait after acceptance) is marked complete without
//   calling the server again, with or without staged files.
// - A record with staged files found in submitting_capture (its uploads are confirmed and its
//   capture holds them) is submitted directly.
// - A failure of a record picked up in retry_wait, whatever kind, resumes at that record's
//   resumeState (or queued).
// - A submission refused because the uploads it names are not complete on the server
//   (UPLOAD_NOT_COMPLETED: the server expired or lost them) forgets the record's upload ids, and
//   the record resumes at uploading_assets: the next attempt uploads its files again.
// - Next to each recorded failure the store keeps its message and whether it is retryable
//   (OutboxStore::lastFailures), which the record JSON has no place for.
//
// Thread safety: safe to use from many threads. Flushes of one processor never overlap: a second
// `flush` waits for the first to end. Two processors (in one process or two) may flush the same
// outbox at once; each capture still reaches the server once, though both may do some of the
// same work (an upload twice, a replayed submission), and one may record a failure for a step
// the other took (the next flush finishes such a record).
//
// Ownership: the store is shared with its other users; the client is held by value; nothing
// else is kept between flushes.
//
// Retry times are whole seconds, rounded up: the record JSON carries whole seconds, and the
// database column that `ready` compares then holds the same time, so a record is ready exactly
// at the time it shows.
//
// Not guaranteed: records are taken twenty at a time, oldest first, so a flush does not
// necessarily empty the outbox; nothing here schedules flushes. Staged files are never deleted,
// not even after completion. A flush stops when asked through its stop token only between
// records and during a file's upload; any other exchange runs to its end (every wait in it is
// bounded by the session's timeouts).
class OutboxProcessor {
 public:
  // Where a flush takes its `now` (one per flush, for `ready`) and the time a failure is
  // recorded at (the retry time runs from it). The system clock unless one is given. Called on
  // the flushing thread; if it throws, the batch is not read, or the failure is not recorded.
  using Clock = std::function<Date()>;

  // How many records one flush takes from the store.
  static constexpr std::int64_t kBatchLimit = 20;

  // Throws std::invalid_argument when `store` is null.
  OutboxProcessor(std::shared_ptr<OutboxStore> store, KestroAPIClient api, RetryPolicy retryPolicy,
                  OutboxProcessorObserver observer = {}, Clock clock = {});

  OutboxProcessor(const OutboxProcessor&) = delete;
  OutboxProcessor& operator=(const OutboxProcessor&) = delete;

  // Processes up to twenty of the user's ready records, oldest first, one after another,
  // passing `token` unchanged to every server call. Never throws: every problem is either
  // recorded in the affected record or, when the batch cannot be read at all or recording fails
  // too, dropped (the record then stays as its last stored step left it). The observer hears
  // every record failure either way.
  // Even running out of memory is handled so: a record step that fails with std::bad_alloc is
  // recorded like any other failure ("CLIENT_ERROR") if that is still possible, and the flush
  // goes on with the next record.
  void flush(const UUID& userId, const std::string& token) noexcept;

  // The same, ending early once `stop` is requested: no further record is taken, and an upload
  // under way is cancelled. A record whose step failed after the request is not recorded as a
  // failure: it stays as its last stored step left it, ready for the next flush, exactly as if
  // the process had ended there.
  void flush(const UUID& userId, const std::string& token, std::stop_token stop) noexcept;

 private:
  void process(OutboxRecord& record, const std::string& token, const std::stop_token& stop);
  void upload(OutboxRecord& record, const std::string& token, const std::stop_token& stop);
  void submit(OutboxRecord& record, const std::string& token);
  void finishAccepted(OutboxRecord& record);
  void moveTo(OutboxRecord& record, CaptureOutboxState state);
  void forgetUploads(const OutboxRecord& record);
  void recordFailure(const OutboxRecord& picked, CaptureOutboxState lastState,
                     const std::exception_ptr& failure) noexcept;

  Date now() const;
  void notify(const OutboxStateChange& change) const noexcept;
  void notify(const OutboxFailure& failure) const noexcept;
  void notifyTaken(const OutboxRecord& record) const noexcept;
  HTTPRequest::ProgressHandler progressReporter(const UUID& recordId, const UUID& clientAssetId,
                                                const std::stop_token& stop) const;

  const std::shared_ptr<OutboxStore> store_;
  const KestroAPIClient api_;
  const RetryPolicy retryPolicy_;
  const OutboxProcessorObserver observer_;
  const Clock clock_;

  std::mutex mutex_;  // held for the whole of a flush
};

}  // namespace kestro
