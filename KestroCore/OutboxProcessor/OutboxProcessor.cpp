#include "KestroCore/OutboxProcessor/OutboxProcessor.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kestro {
namespace {

using enum CaptureOutboxState;

// The code of a failure that did not come from the server client: a refused store step, a
// database error, a record that cannot be encoded, memory running out.
constexpr const char* kClientError = "CLIENT_ERROR";

// The server's refusal of a submission whose assets name uploads it does not hold as complete:
// they expired, or the server lost them. Sending the same ids again can never succeed.
constexpr std::string_view kUploadNotCompleted = "UPLOAD_NOT_COMPLETED";

// Every failure is retried with the policy's middle jitter, so that the waits are exactly
// min(baseDelay × 2^attempt, maximumDelay).
constexpr double kJitter = 0.5;

// A retry time must stay a date that the record JSON can carry (up to the year 2261): whatever
// the policy asks for (an infinite maximum, say), a record waits at most about a hundred years.
constexpr double kLongestWaitSeconds = 100.0 * 365.25 * 24 * 60 * 60;

// Rounded up to a whole second, as the record JSON keeps it: a retry time with a fraction would
// show one time in the record and make `ready` (which compares the column) wait for another,
// and whoever wakes at the time shown would find the record not yet due.
Date later(Date from, double seconds) {
  if (!(seconds > 0)) seconds = 0;  // zero, negative or NaN: due at once
  seconds = std::min(seconds, kLongestWaitSeconds);
  return std::chrono::ceil<std::chrono::seconds>(
      from + std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

// What a failure says of itself, for the observer and the store.
OutboxFailure describeFailure(const UUID& recordId, CaptureOutboxState during,
                              const std::exception_ptr& failure) {
  OutboxFailure described{recordId, kClientError, "", true, false, "", during};
  try {
    std::rethrow_exception(failure);
  } catch (const KestroAPIError& error) {
    described.code = error.code();
    described.retryable = error.retryable();
    if (const auto* server = error.as<KestroAPIError::Server>()) {
      described.message = server->message;
    } else if (const auto* transport = error.as<KestroAPIError::Transport>()) {
      described.message = transport->description;
    } else if (const auto* local = error.as<KestroAPIError::LocalFile>()) {
      described.message = local->message;
    } else {
      described.message = "the server's answer was not understood";
    }
  } catch (const std::exception& error) {
    described.message = error.what();
  } catch (...) {
    described.message = "an unknown failure";
  }
  return described;
}

bool uploadsForgotten(const OutboxFailure& failure) { return failure.code == kUploadNotCompleted; }

// Where a failed record continues: where it was picked up, or, when it was picked up waiting,
// where that wait was to resume. Taking retry_wait itself would leave a record without staged
// files untouched by every later pass. A record whose uploads the server no longer holds goes
// back to uploading them, wherever it was picked up.
CaptureOutboxState resumeStateAfterFailure(const OutboxRecord& picked,
                                           const OutboxFailure& failure) {
  if (uploadsForgotten(failure) && !picked.stagedAssets.empty()) return uploadingAssets;
  if (picked.state == retryWait) return picked.resumeState.value_or(queued);
  return picked.state;
}

// The server has the capture once its identifiers are stored: they are written only on
// acceptance and never cleared.
bool acceptedByServer(const OutboxRecord& record) {
  return record.serverCaptureId.has_value() && record.serverItemId.has_value();
}

}  // namespace

OutboxProcessor::OutboxProcessor(std::shared_ptr<OutboxStore> store, KestroAPIClient api,
                                 RetryPolicy retryPolicy, OutboxProcessorObserver observer,
                                 Clock clock)
    : store_(std::move(store)),
      api_(std::move(api)),
      retryPolicy_(retryPolicy),
      observer_(std::move(observer)),
      clock_(std::move(clock)) {
  if (store_ == nullptr) throw std::invalid_argument("OutboxProcessor: the store is null");
}

void OutboxProcessor::flush(const UUID& userId, const std::string& token) noexcept {
  flush(userId, token, std::stop_token{});
}

void OutboxProcessor::flush(const UUID& userId, const std::string& token,
                            std::stop_token stop) noexcept {
  try {
    std::lock_guard lock(mutex_);
    std::vector<OutboxRecord> batch;
    try {
      batch = store_->ready(userId, now(), kBatchLimit);
    } catch (...) {
      // A damaged or locked database: nothing is touched, and the next flush tries again.
      return;
    }
    for (const OutboxRecord& picked : batch) {
      if (stop.stop_requested()) return;
      notifyTaken(picked);
      // The latest copy the store handed back: its state is the last one stored.
      std::optional<OutboxRecord> current;
      try {
        current.emplace(picked);
        process(*current, token, stop);
      } catch (...) {
        // Most likely the cancelled upload itself: not the record's fault, so no backoff.
        if (stop.stop_requested()) return;
        recordFailure(picked, current ? current->state : picked.state, std::current_exception());
      }
    }
  } catch (...) {
    // Only taking the lock can end up here (std::system_error); there is no record to blame.
  }
}

void OutboxProcessor::process(OutboxRecord& record, const std::string& token,
                              const std::stop_token& stop) {
  // Left by a process that ended between acceptance and completion, or failed after
  // acceptance: the server already holds the capture, so sending anything again could only
  // repeat it. (Left alone, such a record would also be returned by every `ready` ahead of
  // newer captures, and twenty of them would starve the outbox.)
  if (acceptedByServer(record) && (record.state == accepted || record.state == retryWait)) {
    finishAccepted(record);
    return;
  }

  if (record.state == retryWait) moveTo(record, record.resumeState.value_or(queued));

  const bool hasFiles = !record.stagedAssets.empty();
  switch (record.state) {
    case queued:
      if (hasFiles) {
        moveTo(record, preparingAssets);
        moveTo(record, uploadingAssets);
        upload(record, token, stop);
      } else {
        moveTo(record, submittingCapture);
        submit(record, token);
      }
      return;
    case preparingAssets:
      if (hasFiles) {
        moveTo(record, uploadingAssets);
        upload(record, token, stop);
      }
      return;
    case uploadingAssets:
      if (hasFiles) upload(record, token, stop);
      return;
    case submittingCapture:
      // With staged files too: a record reaches this state only after its capture was rebuilt
      // from confirmed uploads, so a process that ended here left nothing to upload.
      submit(record, token);
      return;
    case draft:
    case retryWait:
      // Only another writer leaves a record here: nothing of ours makes a draft or resumes a
      // wait at retry_wait. With staged files the upload path runs; for a draft the store then
      // refuses the move to submitting_capture, so its capture never reaches the server.
      if (hasFiles) upload(record, token, stop);
      return;
    case accepted:
      // Accepted without the server's identifiers: not written by any processor. Leave it.
    case complete:
    case cancelled:
    case blockedUserAction:
      return;
  }
}

void OutboxProcessor::upload(OutboxRecord& record, const std::string& token,
                             const std::stop_token& stop) {
  const UUID id = record.id();
  std::vector<StagedAsset> working = record.stagedAssets;
  for (StagedAsset& asset : working) {
    // Confirmed by an earlier pass: the server has it, so the sequence resumes with the first
    // file that was not confirmed.
    if (asset.uploadId) continue;
    const auto [uploadId, plan] = api_.initiateUpload(id, asset, token);
    api_.upload(asset.localURL, plan, token, progressReporter(id, asset.clientAssetId, stop));
    api_.completeUpload(uploadId, token);
    asset.uploadId = uploadId;
    // Stored before the next exchange, so that a flush ending after this point never uploads
    // this file again.
    store_->updateAssets(id, working);
  }

  // Another process may have changed the record meanwhile; rebuild from what is stored. A
  // record that is gone leaves the copy in hand, and the store refuses the steps below.
  CaptureEnvelope capture = store_->record(id).value_or(record).capture;
  capture.assets.clear();
  for (const StagedAsset& asset : working) {
    if (!asset.uploadId) continue;
    capture.assets.push_back(CaptureAsset{.clientAssetId = asset.clientAssetId,
                                          .uploadId = *asset.uploadId,
                                          .filename = asset.filename,
                                          .declaredMimeType = asset.mimeType,
                                          .byteCount = asset.byteCount,
                                          .sha256 = asset.sha256,
                                          .role = asset.role});
  }
  store_->replaceCapture(id, capture);
  moveTo(record, submittingCapture);
  if (record.state == submittingCapture) submit(record, token);
}

void OutboxProcessor::submit(OutboxRecord& record, const std::string& token) {
  const UUID id = record.id();
  // The capture's id is the idempotency key: a submission repeated after a flush ended before
  // `markAccepted` is answered from the first acceptance and creates nothing new.
  const CaptureAccepted acceptance = [&] {
    try {
      return api_.submit(record.capture, token);
    } catch (const KestroAPIError& error) {
      if (error.code() == kUploadNotCompleted) {
        try {
          forgetUploads(record);
        } catch (...) {
          // The refusal is what gets recorded; the next refusal tries forgetting again.
        }
      }
      throw;
    }
  }();
  store_->markAccepted(id, acceptance.captureId, acceptance.itemId);
  const CaptureOutboxState from = record.state;
  record.state = accepted;
  record.serverCaptureId = acceptance.captureId;
  record.serverItemId = acceptance.itemId;
  notify(OutboxStateChange{id, from, accepted});
  store_->markComplete(id);
  record.state = complete;
  notify(OutboxStateChange{id, accepted, complete});
}

void OutboxProcessor::forgetUploads(const OutboxRecord& record) {
  if (record.stagedAssets.empty()) return;
  // Stored before the failure is, so that whatever picks the record up next uploads every file
  // again rather than naming the same dead ids.
  std::vector<StagedAsset> assets = store_->record(record.id()).value_or(record).stagedAssets;
  for (StagedAsset& asset : assets) asset.uploadId.reset();
  store_->updateAssets(record.id(), assets);
}

void OutboxProcessor::finishAccepted(OutboxRecord& record) {
  const UUID id = record.id();
  store_->markComplete(id);
  const CaptureOutboxState from = record.state;
  record.state = complete;
  notify(OutboxStateChange{id, from, complete});
}

void OutboxProcessor::moveTo(OutboxRecord& record, CaptureOutboxState state) {
  const CaptureOutboxState from = record.state;
  record = store_->transition(record.id(), state);
  notify(OutboxStateChange{record.id(), from, record.state});
}

void OutboxProcessor::recordFailure(const OutboxRecord& picked, CaptureOutboxState lastState,
                                    const std::exception_ptr& failure) noexcept {
  std::optional<OutboxFailure> described;
  try {
    described = describeFailure(picked.id(), lastState, failure);
    // The server will not take those upload ids again, but the next attempt sends the files
    // anew: worth trying, whatever the server's flag said.
    if (uploadsForgotten(*described) && !picked.stagedAssets.empty()) described->retryable = true;
    // The wait counts the failures before this one; the retry time runs from now, not from the
    // start of the flush, so a long upload does not eat into it.
    const Date retryAt = later(now(), retryPolicy_.delay(picked.attemptCount, kJitter));
    store_->markRetry(
        picked.id(), described->code, resumeStateAfterFailure(picked, *described), retryAt,
        OutboxFailureDetails{.message = described->message, .retryable = described->retryable});
    described->recorded = true;
    notify(OutboxStateChange{picked.id(), lastState, retryWait, described->code});
  } catch (const std::exception& error) {
    // Recording failed too: the record was deleted, or finished by another process (complete
    // cannot enter retry_wait), or the database refused (a full disk). It stays as its last
    // stored step left it, and `ready` offers it again; the observer still hears what happened.
    if (described) described->notRecordedBecause = error.what();
  } catch (...) {
    if (described) described->notRecordedBecause = "an unknown failure";
  }
  if (described) notify(*described);
}

Date OutboxProcessor::now() const { return clock_ ? clock_() : std::chrono::system_clock::now(); }

void OutboxProcessor::notify(const OutboxStateChange& change) const noexcept {
  if (!observer_.stateChanged) return;
  try {
    observer_.stateChanged(change);
  } catch (...) {
    // The display's trouble; the record's walk goes on as if it had not been told.
  }
}

void OutboxProcessor::notify(const OutboxFailure& failure) const noexcept {
  if (!observer_.recordFailed) return;
  try {
    observer_.recordFailed(failure);
  } catch (...) {
    // As for state changes: the observer's trouble changes nothing here.
  }
}

void OutboxProcessor::notifyTaken(const OutboxRecord& record) const noexcept {
  if (!observer_.recordTaken) return;
  try {
    observer_.recordTaken(record);
  } catch (...) {
    // As for the others: the walk goes on regardless.
  }
}

HTTPRequest::ProgressHandler OutboxProcessor::progressReporter(const UUID& recordId,
                                                               const UUID& clientAssetId,
                                                               const std::stop_token& stop) const {
  // Without an observer or a way to stop, the upload goes without a handler, exactly as it
  // would without one.
  if (!observer_.uploadProgressed && !stop.stop_possible()) return {};
  return [this, recordId, clientAssetId, stop, lastSent = std::uint64_t{0},
          lastToSend = std::uint64_t{0},
          reported = false](std::uint64_t sent, std::uint64_t toSend) mutable noexcept {
    // Returning false ends the exchange at once; the session asks every few tens of
    // milliseconds, also while nothing moves.
    if (stop.stop_requested()) return false;
    if (!observer_.uploadProgressed) return true;
    if (reported && sent == lastSent && toSend == lastToSend) return true;
    reported = true;
    lastSent = sent;
    lastToSend = toSend;
    try {
      observer_.uploadProgressed(OutboxUploadProgress{recordId, clientAssetId, sent, toSend});
    } catch (...) {
      // Swallowed, and the upload goes on: the observer never cancels anything.
    }
    return true;
  };
}

}  // namespace kestro
