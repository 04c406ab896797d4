#include "KestroCore/MacShareExtension/MacShareRequestHandler.h"

#include <exception>
#include <future>
#include <utility>

#include "KestroCore/Foundation/Text.h"
#include "KestroCore/MacShareExtension/ShareError.h"
#include "KestroCore/MacShareExtension/internal/ShareCaptureEnqueue.h"
#include "KestroCore/MacShareExtension/internal/UserPerceivedCharacters.h"

namespace kestro {

MacShareRequestHandler::MacShareRequestHandler(MainQueue& mainQueue, ShareEnvironment environment)
    : mainQueue_(mainQueue), settings_(std::move(environment)) {}

MacShareRequestHandler::~MacShareRequestHandler() {
  if (!task_.joinable()) return;
  // The task may be waiting for the main thread, which is this one: serve the queue until the
  // task is done (or the queue is closed, which releases the task too).
  mainQueue_.runUntil([this] { return taskFinished_.load(); });
  task_.join();
}

void MacShareRequestHandler::loadView() {
  setView(std::make_unique<View>(Rect{.x = 0, .y = 0, .width = 1, .height = 1}));
}

void MacShareRequestHandler::viewDidAppear() {
  ViewController::viewDidAppear();
  if (hasStarted_) return;
  const std::shared_ptr<ExtensionContext>& context = extensionContext();
  if (!context) return;
  hasStarted_ = true;
  auto box = std::make_shared<const ExtensionContextBox>(ExtensionContextBox{context});
  task_ = std::thread([this, box = std::move(box)] {
    runRequest(box);
    taskFinished_ = true;
    // Wakes a destructor that serves the queue while waiting for this task.
    mainQueue_.post([] {});
  });
}

void MacShareRequestHandler::runRequest(const std::shared_ptr<const ExtensionContextBox>& box) {
  // Loading happens on the main thread; the promise breaks if the queue drops the work unrun.
  auto loaded = std::make_shared<std::promise<std::vector<ShareRepresentation>>>();
  std::future<std::vector<ShareRepresentation>> representations = loaded->get_future();
  mainQueue_.post(
      [loaded, box,
       loader = ShareRequestLoader(settings_.environment().directories.temporaryDirectoryPath())] {
        try {
          loaded->set_value(loader.loadRepresentations(*box->value));
        } catch (...) {
          loaded->set_exception(std::current_exception());
        }
      });

  std::vector<ShareRepresentation> list;
  std::exception_ptr error;
  try {
    list = representations.get();
  } catch (const std::future_error&) {
    return;  // The main queue was closed: there is nobody left to tell.
  } catch (...) {
    error = std::current_exception();
  }
  if (!error) {
    try {
      captureShare(list, KestroPlatform::macos, std::nullopt);
    } catch (...) {
      error = std::current_exception();
    }
  }

  mainQueue_.post([box, error] {
    if (error) {
      box->value->cancelRequest(error);
    } else {
      box->value->completeRequest({});
    }
  });
}

UUID MacShareRequestHandler::captureShare(const std::vector<ShareRepresentation>& representations,
                                          KestroPlatform platform,
                                          const std::optional<std::string>& annotation) {
  // 1. What the capture is.
  const std::optional<ShareSelection> selection = ShareItemSelector::select(representations);
  if (!selection) {
    throw ShareError(ShareFailure::nothingToCapture, std::string(kNoSupportedShareItem));
  }

  // 2. The note.
  std::optional<std::string> note;
  if (annotation) {
    const std::string_view trimmed = trimmingWhitespaceAndNewlines(*annotation);
    if (!trimmed.empty()) {
      note = share::prefixOfUserPerceivedCharacters(trimmed, kMaximumNoteLength);
    }
  }

  // 3. Identity.
  const UUID clientCaptureId;

  // 4. Staging; a web address or a text has nothing to stage and needs no directory.
  std::vector<StagedAsset> stagedAssets;
  if (!selection->files.empty()) {
    stagedAssets = share::stageFiles(
        *selection, share::captureDirectory(settings_.storageDirectory(), clientCaptureId),
        settings_.environment().handedOverFiles);
  }

  // 5. Origin.
  CaptureOrigin origin{.platform = platform,
                       .mechanism = CaptureMechanism::shareExtension,
                       .deviceId = settings_.deviceIdentifier(),
                       .appVersion = settings_.applicationVersion(),
                       .sourceApplication = std::string(kSourceApplication),
                       .sourceBundleId = std::nullopt,
                       .windowTitle = std::nullopt};

  // 6. Time, read after staging.
  const Date capturedAt = settings_.environment().now();

  // 7. Envelope; its assets stay empty until the application has uploaded the staged files.
  const CaptureEnvelope envelope(clientCaptureId, capturedAt, selection->sourceKind,
                                 std::move(origin), selection->url, std::nullopt, selection->text,
                                 std::nullopt, std::nullopt, std::move(note), std::nullopt, {},
                                 CapturePrivacy{false, false, false});

  // 8. The outbox, opened for this capture alone.
  std::unique_ptr<OutboxStore> store = share::openOutbox(settings_.storageDirectory());

  // 9. Sign-in gate: after staging and opening, so the staged copies are already on disk.
  const std::optional<UUID> userId = settings_.signedInUser();
  if (!userId) throw ShareError(ShareFailure::signInRequired, std::string(kSignInRequired));

  // 10. Enqueue, then publish.
  const OutboxRecord record = share::enqueueAndPublish(
      std::move(store), *userId, envelope, stagedAssets, settings_.sharedSettingsStore());
  if (const auto& stored = settings_.environment().captureStored) {
    try {
      stored(record);
    } catch (...) {
      // The capture is stored; a host that cannot describe it changes nothing about that.
    }
  }

  // 11.
  return clientCaptureId;
}

}  // namespace kestro
