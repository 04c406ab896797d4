#pragma once

// The share target's principal class. The host creates it for one share request, gives it the
// request's extension context, loads its (empty, 1 x 1) view and tells it when the view appears.
// On the first appearance with a context it starts the request's one task, which loads the shared
// items on the main thread, turns them into one capture off the main thread (`captureShare`),
// and ends the request back on the main thread: completed when the capture is in the outbox,
// cancelled with the error of the step that failed otherwise.
//
// Threads: the handler belongs to the main thread, the one that runs `mainQueue`. The task runs
// on a thread the handler owns; the destructor waits for it, serving the main queue meanwhile so
// that a task waiting for the main thread can finish. The host must keep running the main queue
// (or close it) until the request has ended.
//
// Errors of the request (what the host receives in `cancelRequest`; shareFailureOf in
// ShareError.h tells their kind):
// - ShareError(nothingToCapture, kNoSupportedShareItem) when nothing shared can be captured;
// - ShareError(signInRequired, kSignInRequired) when nobody is signed in;
// - the stager's, the outbox's and the settings suite's own errors (std::filesystem_error,
//   OutboxError, UserDefaultsError, ...), unchanged.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/MacShareExtension/ExtensionSettings.h"
#include "KestroCore/MacShareExtension/ShareRequestLoader.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/Platform/Extension/ExtensionContext.h"
#include "KestroCore/Platform/Extension/MainQueue.h"
#include "KestroCore/Platform/Extension/ViewController.h"
#include "KestroCore/Policies/ShareItemSelector.h"

namespace kestro {

// Carries the request's context into the task; the context lives as long as the box.
struct ExtensionContextBox {
  const std::shared_ptr<ExtensionContext> value;
};

class MacShareRequestHandler : public ViewController {
 public:
  static constexpr std::string_view kNoSupportedShareItem = "No supported share item";
  static constexpr std::string_view kSignInRequired = "Open Tavlo and sign in before sharing";
  // The longest note, in user-perceived characters.
  static constexpr std::size_t kMaximumNoteLength = 20000;
  static constexpr std::string_view kSourceApplication = "Share Extension";

  explicit MacShareRequestHandler(MainQueue& mainQueue,
                                  ShareEnvironment environment = ShareEnvironment::current());
  ~MacShareRequestHandler() override;

  // Whether the request's task has been started; set once, never cleared.
  bool hasStarted() const noexcept { return hasStarted_; }

  // Installs an empty view at (0, 0), 1 wide and 1 high.
  void loadView() override;

  // The first call with an extension context starts the request's task; every other call does
  // nothing beyond the base's.
  void viewDidAppear() override;

  // Turns the representations into one capture in the outbox and returns its clientCaptureId:
  // selection, note, identity, staging, origin, time, envelope, outbox, sign-in gate, enqueue
  // and revision, in that order. `annotation` becomes the note, trimmed and cut to
  // kMaximumNoteLength characters; blank means none. Throws the errors listed above; files staged
  // before a failure stay in the capture's directory. Blocks; call it off the main thread.
  UUID captureShare(const std::vector<ShareRepresentation>& representations,
                    KestroPlatform platform, const std::optional<std::string>& annotation);

  const ExtensionSettings& settings() const noexcept { return settings_; }

 private:
  void runRequest(const std::shared_ptr<const ExtensionContextBox>& box);

  MainQueue& mainQueue_;
  const ExtensionSettings settings_;
  bool hasStarted_ = false;  // main thread only
  std::atomic<bool> taskFinished_{false};
  std::thread task_;
};

}  // namespace kestro
