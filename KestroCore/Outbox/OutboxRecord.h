#pragma once

// The outbox's entries: a capture with the staged copies of its files, its state and its retry
// bookkeeping, and the JSON form in which the store persists it (the `record_json` column).
//
// All types here are plain values: copy, compare and encode them from any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/Outbox/CaptureOutboxState.h"

namespace kestro {

// One file copied into the staging area, waiting to be uploaded with its capture.
struct StagedAsset {
  UUID clientAssetId;    // chosen when the file is staged
  URL localURL;          // the file URL of the staged copy
  std::string filename;  // the name reported to the server
  std::string mimeType;  // the media type declared to the server
  std::int64_t byteCount;
  std::string sha256;  // 64 lower-case hexadecimal digits of the staged copy
  AssetRole role;
  std::optional<UUID> uploadId = std::nullopt;  // the server's upload, once it has completed

  bool operator==(const StagedAsset&) const = default;
};

// One queue entry. Its identity is its capture's clientCaptureId: there is no separate id
// field to fall out of step with it. Nothing here enforces the state machine; the store checks
// `canTransition` before it changes `state`.
struct OutboxRecord {
  UUID userId;  // the signed-in user who owns the capture
  CaptureOutboxState state;
  // Where processing continues after retry_wait; absent means queued.
  std::optional<CaptureOutboxState> resumeState = std::nullopt;
  CaptureEnvelope capture;  // its assets are filled in from stagedAssets just before submission
  std::vector<StagedAsset> stagedAssets;  // in the order they were staged
  std::int64_t attemptCount;              // failed attempts so far
  std::optional<Date> nextRetryAt = std::nullopt;
  std::optional<std::string> lastErrorCode = std::nullopt;
  std::optional<UUID> serverCaptureId = std::nullopt;  // set once the server accepts the capture
  std::optional<UUID> serverItemId = std::nullopt;
  Date createdAt;  // when it was enqueued
  Date updatedAt;  // when the store last wrote it

  UUID id() const noexcept { return capture.clientCaptureId; }

  bool operator==(const OutboxRecord&) const = default;
};

// Record JSON: keys named as the fields, written sorted, absent optionals left out, dates in
// whole seconds (a fraction is dropped on writing and refused on reading), `localURL` as its
// percent-escaped file URL. Decoding throws DecodingError for a missing required key, a state or
// role outside the declared raw values, or a malformed date or UUID; encoding throws
// EncodingError for text that JSON cannot carry.
KESTRO_DECLARE_JSON_CODER(StagedAsset);
KESTRO_DECLARE_JSON_CODER(OutboxRecord);

}  // namespace kestro
