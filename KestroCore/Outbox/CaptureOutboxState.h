#pragma once

#include <array>
#include <string_view>
#include <utility>

#include "KestroCore/Foundation/RawValue.h"

namespace kestro {

// Where an outbox record stands on its way to the server. The raw value ("retry_wait") is the
// state's only external form: the database's `state` column and the record JSON both carry it,
// so a case may be added but never renamed. A plain value.
enum class CaptureOutboxState {
  draft,              // not yet handed to the queue; nothing in the outbox creates one
  queued,             // waiting for its first processing
  preparingAssets,    // processing has begun on a record with staged files
  uploadingAssets,    // staged files are being uploaded one by one
  submittingCapture,  // every file is uploaded; the capture is being submitted
  accepted,           // the server holds the capture; its identifiers are recorded
  complete,           // finished
  retryWait,          // the last attempt failed; waits for nextRetryAt, then resumes
  blockedUserAction,  // set aside until the user acts; never processed
  cancelled,          // abandoned
};

template <>
struct RawValues<CaptureOutboxState> {
  static constexpr std::string_view typeName = "CaptureOutboxState";
  static constexpr std::array cases{
      std::pair{CaptureOutboxState::draft, std::string_view{"draft"}},
      std::pair{CaptureOutboxState::queued, std::string_view{"queued"}},
      std::pair{CaptureOutboxState::preparingAssets, std::string_view{"preparing_assets"}},
      std::pair{CaptureOutboxState::uploadingAssets, std::string_view{"uploading_assets"}},
      std::pair{CaptureOutboxState::submittingCapture, std::string_view{"submitting_capture"}},
      std::pair{CaptureOutboxState::accepted, std::string_view{"accepted"}},
      std::pair{CaptureOutboxState::complete, std::string_view{"complete"}},
      std::pair{CaptureOutboxState::retryWait, std::string_view{"retry_wait"}},
      std::pair{CaptureOutboxState::blockedUserAction, std::string_view{"blocked_user_action"}},
      std::pair{CaptureOutboxState::cancelled, std::string_view{"cancelled"}},
  };
};

// Whether a record in state `from` may move to `to`. Every non-terminal state may fall back to
// retry_wait (retry_wait included, so a failed resume can be recorded again), and every state but
// complete and cancelled may be set aside as blocked_user_action; beyond that only the steps of
// the normal life of a record are allowed. complete and cancelled allow nothing, not even
// themselves, and blocked_user_action allows only itself.
bool canTransition(CaptureOutboxState from, CaptureOutboxState to) noexcept;

}  // namespace kestro
