#include "KestroCore/Application/FlushWatcher.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Outbox/OutboxError.h"

namespace kestro {
namespace {

using SteadyClock = std::chrono::steady_clock;

}  // namespace

FlushWatcher::FlushWatcher(FlushWatcherOptions options, FlushWatcherHooks hooks)
    : options_(std::move(options)), hooks_(std::move(hooks)) {}

void FlushWatcher::stop() noexcept {
  stopped_.store(true);
  waiter_.wake();
}

void FlushWatcher::run() {
  const bool watching = waiter_.watchFile(options_.revisionFile);
  // A flush to run before the next wait, and why. (Not an optional: g++ 12 then warns of an
  // uninitialised read that cannot happen.)
  bool flushPending = true;
  FlushReason reason = FlushReason::started;
  std::optional<std::string> lastRevision;
  // What only the last flush's reading of the records tells: records it left ready, and records
  // it left waiting although their time had come when it began (retry times to come are asked
  // of the store at every turn, so that one made due meanwhile is seen). And the records waiting
  // because the server could not be reached.
  std::vector<OutboxRecord> left;
  std::vector<UUID> offline;
  LastFlush last{hooks_.now()};
  // Whether a check found the server silent since records were last released for it. Records
  // are released only when it answers after that: a server that answers checks while requests
  // to it still fail (a proxy in front of a dead backend) is left to the backoff, never retried
  // every second. A flush leaves the mark alone while records still wait for the server: one
  // that failed says nothing new, and one that got through is followed by a check that sees the
  // server up and releases the rest.
  bool serverSeenDown = false;
  // Checks keep their own pace, so that retries coming due one after another never crowd them
  // out.
  auto nextCheck = SteadyClock::now() + options_.serverCheckInterval;
  // Tidying runs after every flush, and once its interval has passed since the last time.
  auto nextTidy = SteadyClock::now() + options_.tidyInterval;

  while (!stopped_.load()) {
    // The next deadline, from what the last flush and the store's next retry time say.
    auto deadline = SteadyClock::now() + options_.errorRetryInterval;
    FlushPlan plan;
    std::optional<Date> nextRetry;
    try {
      bool flushed = false;
      if (flushPending) {
        // Read before the flush, so that a share made during it calls for another one.
        lastRevision = hooks_.revision();
        const Date startedAt = hooks_.now();
        WatchedFlush done = hooks_.flush(reason);
        last = LastFlush{startedAt, done.changedSomething, done.summary.serverUnreachable};
        offline = waitingForServer(done.records);
        std::erase_if(done.records, [&](const OutboxRecord& record) {
          return record.state == CaptureOutboxState::retryWait && record.nextRetryAt &&
                 *record.nextRetryAt > startedAt;
        });
        left = std::move(done.records);
        // Nothing waits for the server any more: whatever a check saw of it is history.
        if (offline.empty()) serverSeenDown = false;
        flushPending = false;
        flushed = true;
      }
      if (hooks_.tidy && (flushed || SteadyClock::now() >= nextTidy)) {
        // Moved on first, so that a tidy that fails is not run again at once.
        nextTidy = SteadyClock::now() + options_.tidyInterval;
        hooks_.tidy();
      }
      const Date now = hooks_.now();
      plan = planFlush(left, now, last, options_.recheckInterval);
      plan.watchServer = !offline.empty();
      nextRetry = hooks_.nextRetryAt(last.startedAt);
      if (nextRetry && (!plan.nextFlush || *nextRetry < *plan.nextFlush)) {
        plan.nextFlush = nextRetry;
      }
      // Progress counts once: without a new flush, the same ready records are not due again.
      last.changedSomething = false;

      auto wait = std::chrono::duration_cast<SteadyClock::duration>(options_.recheckInterval);
      if (plan.nextFlush) {
        wait = std::min(wait, std::chrono::duration_cast<SteadyClock::duration>(
                                  std::max(*plan.nextFlush - now, Date::duration::zero())));
      }
      if (plan.watchServer) {
        wait = std::min(wait, std::max(nextCheck - SteadyClock::now(), SteadyClock::duration{}));
      }
      if (hooks_.tidy) {
        wait = std::min(wait, std::max(nextTidy - SteadyClock::now(), SteadyClock::duration{}));
      }
      if (!watching) wait = std::min<SteadyClock::duration>(wait, options_.pollInterval);
      deadline = SteadyClock::now() + wait;
    } catch (const ApplicationError&) {
      throw;
    } catch (const std::exception& error) {
      if (hooks_.failed) hooks_.failed(error.what());
      // A flush that failed is tried again after errorRetryInterval, not left to the recheck.
    }

    const EventWaiter::Event event = waiter_.wait(deadline);
    if (stopped_.load()) break;
    if (event == EventWaiter::Event::woken) continue;

    try {
      const std::optional<std::string> revision = hooks_.revision();
      if (revision != lastRevision) {
        lastRevision = revision;
        flushPending = true;
        reason = FlushReason::captureShared;
        continue;
      }
      if (event != EventWaiter::Event::timedOut) continue;
      if (plan.watchServer && SteadyClock::now() >= nextCheck) {
        const bool answers = hooks_.serverAnswers();
        nextCheck = SteadyClock::now() + options_.serverCheckInterval;
        if (!answers) {
          serverSeenDown = true;
        } else if (serverSeenDown) {
          serverSeenDown = false;
          const Date now = hooks_.now();
          for (const UUID& id : offline) {
            try {
              hooks_.makeDue(id, now);
            } catch (const ApplicationError&) {
              // It stopped waiting meanwhile (another flush sent it): nothing to release.
            } catch (const OutboxError&) {
              // The same, as the store reports it, or the record is gone.
            }
          }
          flushPending = true;
          reason = FlushReason::serverBack;
          continue;
        }
      }
      const Date now = hooks_.now();
      if (plan.nextFlush && *plan.nextFlush <= now) {
        // A due retry and a recheck look alike here; the retry times say which it was.
        const bool retry =
            (nextRetry && *nextRetry <= now) ||
            std::any_of(left.begin(), left.end(), [&](const OutboxRecord& r) {
              return r.state == CaptureOutboxState::retryWait && r.nextRetryAt.value_or(now) <= now;
            });
        flushPending = true;
        reason = retry ? FlushReason::retryDue : FlushReason::recheck;
      }
    } catch (const ApplicationError&) {
      throw;
    } catch (const std::exception& error) {
      if (hooks_.failed) hooks_.failed(error.what());
    }
  }
}

}  // namespace kestro
