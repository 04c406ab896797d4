#pragma once

// What kestro-share tells the desktop when nobody reads its output (a file manager's action) or
// when asked with --notify: one notification of how the share ended. Stored is never called
// sent: the capture is on this device, and the notice says what will send it.

#include <filesystem>
#include <string>

#include "KestroCore/MacShareExtension/ShareError.h"
#include "KestroCore/Platform/Notifications/DesktopNotifier.h"

namespace kestro::sharehost {

// The notice of a stored capture: `what` describes it ("the web address https://..."), and
// `watchRuns` says whether a running `kestro flush --watch` will send it at once.
Notification storedNotice(const std::string& what, bool watchRuns);

// The notice of a share that stored nothing, of this kind, with the reason as standard error
// gives it.
Notification refusedNotice(ShareFailure kind, const std::string& reason);

// Whether a `kestro flush --watch` holds the watch lock of the outbox in `storageDirectory`
// (places::kWatchLockFileName), asked without waiting; false when that cannot be told.
bool watchRuns(const std::filesystem::path& storageDirectory) noexcept;

}  // namespace kestro::sharehost
