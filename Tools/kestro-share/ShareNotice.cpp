#include "Tools/kestro-share/ShareNotice.h"

#include <chrono>
#include <thread>

#include "KestroCore/Foundation/ExitStatus.h"
#include "KestroCore/Platform/Files/FileLock.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro::sharehost {

Notification storedNotice(const std::string& what, bool watchRuns) {
  std::string body = "Kestro keeps " + what + " on this device. ";
  body += watchRuns ? "The running kestro flush --watch will send it to the server."
                    : "It is not sent yet: run kestro flush to send it to the server.";
  return {.summary = "Stored on this device", .body = std::move(body)};
}

Notification refusedNotice(ShareFailure kind, const std::string& reason) {
  Notification notice{.summary = "", .body = reason, .urgency = Notification::Urgency::critical};
  switch (kind) {
    case ShareFailure::signInRequired:
      notice.summary = "Not shared: nobody is signed in";
      notice.body = "Nothing was stored. Run kestro signin to sign in on this machine (" +
                    std::string(kSignInCommand) + "), then share again.";
      break;
    case ShareFailure::nothingToCapture:
      notice.summary = "Not shared: nothing Kestro can capture";
      break;
    case ShareFailure::unusableRequest:
      notice.summary = "Not shared: this cannot be shared";
      break;
    case ShareFailure::storage:
    case ShareFailure::failed:
      notice.summary = "Not shared: the share failed";
      break;
  }
  return notice;
}

bool watchRuns(const std::filesystem::path& storageDirectory) noexcept {
  try {
    const std::filesystem::path lock = storageDirectory / places::kWatchLockFileName;
    // A watch holds the lock for its lifetime; another share asking at the same instant holds it
    // for a moment only, so a holder still there after a short pause is a watch.
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!FileLock::isHeld(lock)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace kestro::sharehost
