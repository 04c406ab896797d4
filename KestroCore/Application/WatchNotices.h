#pragma once

// What `kestro flush --watch` tells the desktop, besides what it prints: a capture that needs the
// user (the server refused it, or it has waited on this device for more than a day since it was
// shared) and a sign-in the server no longer accepts. Each is told once for the life of the
// watch, never at every retry: the notices remember what they said.
//
// Pure decisions over what a flush returned; the caller sends the notifications. One thread.

#include <chrono>
#include <set>
#include <vector>

#include "KestroCore/Application/OutboxFlush.h"
#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/Notifications/DesktopNotifier.h"

namespace kestro {

class WatchNotices {
 public:
  // How long a capture waits on this device before the user hears of it.
  static constexpr std::chrono::hours kWaitingTooLong{24};

  // The notifications that `run` (a flush of the account on `server`, ended at `now`) calls for,
  // none of them said before by this object: one for a sign-in refused, one for the captures the
  // server refused in it, one for the captures still on this device more than kWaitingTooLong
  // after they were shared. A capture is told of once, whichever of the two it was.
  std::vector<Notification> after(const FlushRun& run, Date now, const URL& server);

 private:
  std::set<UUID> told_;
  bool signInTold_ = false;
};

}  // namespace kestro
