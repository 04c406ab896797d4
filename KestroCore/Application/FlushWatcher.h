#pragma once

// The loop of `kestro flush --watch`: flushes the outbox when a capture is shared (the shared
// capture revision changes), when the earliest retry time comes (once per retry time; see
// planFlush), and when the server answers again after it could not be reached (records that
// wait for it are then made due at once rather than after their backoff, but only once a check
// saw the server down and a later one saw it up; flushes in between, failing or not, do not
// undo the first, and the server is checked while retries keep coming due). Otherwise it
// sleeps. What a flush did comes from the flush itself (the processor's observer and its one
// reading of the outbox); between flushes the next retry time is asked of the store, whose
// query `ready` shares, rather than read from every record. It never spins (every wait has a
// deadline in the future or an event behind it), never runs two flushes at once (every flush runs
// on the thread of `run`, one after the other), and ends between two flushes when asked.
// Housekeeping (`tidy`) runs after every flush and, while none runs, every `tidyInterval`.
//
// Threads: `run` blocks its caller until `stop`; `stop` may be called from any thread or from a
// signal handler. The hooks run on the thread of `run`.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Application/FlushSchedule.h"
#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/Platform/Events/EventWaiter.h"

namespace kestro {

// Why a flush runs.
enum class FlushReason {
  started,        // the watch began
  captureShared,  // the shared capture revision changed
  retryDue,       // a waiting record's retry time came
  serverBack,     // the server answers again; records that waited for it were made due
  recheck,        // records the last flushes left untouched, tried again after a while
};

struct FlushWatcherOptions {
  // The shared settings suite's file, where the share target publishes the capture revision.
  std::filesystem::path revisionFile;
  // How often to ask whether the server is back, while records wait for it.
  std::chrono::milliseconds serverCheckInterval{1000};
  // How long records a flush left ready but untouched wait before the next try.
  std::chrono::seconds recheckInterval{300};
  // How often to read the revision when its file cannot be watched.
  std::chrono::milliseconds pollInterval{1000};
  // How long to wait after a hook failed (the database was locked, say) before going on.
  std::chrono::milliseconds errorRetryInterval{5000};
  // How often `tidy` runs while no flush does.
  std::chrono::milliseconds tidyInterval{600000};
};

// What the watch needs to hear of one flush.
struct WatchedFlush {
  // What it did (`serverUnreachable` is what counts here).
  FlushSummary summary;
  // It stored some step of a record: a flush after it may do more.
  bool changedSomething = false;
  // The user's records as it left them, all states (FlushRun::after).
  std::vector<OutboxRecord> records;
};

struct FlushWatcherHooks {
  // One flush of the user's outbox, and what it did.
  std::function<WatchedFlush(FlushReason)> flush;
  // The earliest retry time later than `after` of the user's records that wait to retry
  // (OutboxStore::nextRetryAt); nothing when none waits beyond it.
  std::function<std::optional<Date>(Date after)> nextRetryAt;
  // The shared capture revision now (nothing when absent).
  std::function<std::optional<std::string>()> revision;
  // Whether the server answers at all (any HTTP answer counts); should return within a second
  // or two.
  std::function<bool()> serverAnswers;
  // Makes a record that waits to retry due now.
  std::function<void(const UUID&, Date)> makeDue;
  // The wall clock of record times.
  std::function<Date()> now;
  // Housekeeping (removing the files of captures sent long enough ago): after every flush, and
  // `tidyInterval` after the last time while none runs. May be empty.
  std::function<void()> tidy;
  // Told of a hook's failure, after which the loop waits `errorRetryInterval` and goes on (may
  // be empty). ApplicationError is not reported here: it ends `run`.
  std::function<void(const std::string& message)> failed;
};

class FlushWatcher {
 public:
  // Throws std::system_error when no EventWaiter can be made.
  FlushWatcher(FlushWatcherOptions options, FlushWatcherHooks hooks);

  FlushWatcher(const FlushWatcher&) = delete;
  FlushWatcher& operator=(const FlushWatcher&) = delete;

  // Flushes once at once, then as described above, until `stop`; a flush under way is finished
  // first. Throws ApplicationError raised by a hook (the user signed out, say); other failures of
  // the hooks are reported through `failed` and waited out.
  void run();

  // Makes `run` return after the flush under way, if any. Async-signal-safe.
  void stop() noexcept;

 private:
  FlushWatcherOptions options_;
  FlushWatcherHooks hooks_;
  EventWaiter waiter_;
  std::atomic<bool> stopped_{false};
};

}  // namespace kestro
