#include "KestroCore/Outbox/CaptureOutboxState.h"

namespace kestro {

bool canTransition(CaptureOutboxState from, CaptureOutboxState to) noexcept {
  using enum CaptureOutboxState;
  const bool terminal = from == complete || from == cancelled;
  if (to == retryWait && !terminal && from != blockedUserAction) return true;
  if (to == blockedUserAction && !terminal) return true;

  switch (from) {
    case draft:
      return to == queued;
    case queued:
      return to == preparingAssets || to == submittingCapture || to == cancelled;
    case preparingAssets:
      return to == uploadingAssets;
    case uploadingAssets:
      return to == submittingCapture;
    case submittingCapture:
      return to == accepted;
    case accepted:
      return to == complete || to == cancelled;
    case retryWait:
      // Resuming goes back to whichever step failed, but never past submission: acceptance is
      // only ever recorded from the server's answer.
      return to == queued || to == preparingAssets || to == uploadingAssets ||
             to == submittingCapture;
    case complete:
    case cancelled:
    case blockedUserAction:
      return false;
  }
  return false;
}

}  // namespace kestro
