// `kestro flush` and `kestro flush --watch`: the processor's progress on a terminal, the outcome
// per capture, and the watch loop with its signals.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <stop_token>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/FlushWatcher.h"
#include "KestroCore/Application/OutboxFlush.h"
#include "KestroCore/Application/SentFileRetention.h"
#include "KestroCore/Application/TransferMeter.h"
#include "KestroCore/Application/WatchNotices.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Files/FileLock.h"
#include "KestroCore/Platform/Notifications/DesktopNotifier.h"
#include "KestroCore/Platform/Process/StopSignalThread.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"
#include "Tools/kestro/Commands.h"
#include "Tools/kestro/DesktopTools.h"
#include "Tools/kestro/Output.h"

namespace kestro::commands {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often the progress bar is redrawn at most.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// What the processor's observer tells the user while a flush runs: a progress bar for each
// upload on a terminal, a line per finished upload otherwise. The files' names and sizes come
// from the records as the processor takes them. Lives for one flush.
class FlushProgress {
 public:
  FlushProgress(bool terminal, bool quiet) : terminal_(terminal), quiet_(quiet) {}

  OutboxProcessorObserver observer() {
    OutboxProcessorObserver observer;
    observer.uploadProgressed = [this](const OutboxUploadProgress& progress) { show(progress); };
    observer.recordTaken = [this](const OutboxRecord& record) {
      for (const StagedAsset& asset : record.stagedAssets)
        files_.emplace(asset.clientAssetId, asset);
    };
    return observer;
  }

  // Clears a bar still on the screen, so that the next line starts clean.
  void finish() {
    if (drawn_) std::printf("\r\033[K");
    drawn_ = false;
    std::fflush(stdout);
  }

 private:
  void show(const OutboxUploadProgress& progress) {
    if (quiet_) return;
    const auto now = SteadyClock::now();
    const auto file = files_.find(progress.clientAssetId);
    const StagedAsset* asset = file == files_.end() ? nullptr : &file->second;
    if (!meter_ || progress.clientAssetId != current_) {
      finish();
      current_ = progress.clientAssetId;
      // The session learns the size only once the upload has started; the record knows it.
      meter_.emplace(asset ? static_cast<std::uint64_t>(asset->byteCount) : 0, now);
      lastDraw_ = {};
    }
    meter_->setTotalBytes(progress.bytesToSend);
    meter_->update(progress.bytesSent, now);
    const bool done = meter_->totalBytes() > 0 && progress.bytesSent >= meter_->totalBytes();
    const std::string label = asset ? shown(asset->filename) : "a file";
    if (terminal_) {
      if (!done && now - lastDraw_ < kRedrawInterval) return;
      lastDraw_ = now;
      std::printf("\r%s\033[K", progressLine(label, *meter_, desktop::terminalWidth() - 1).c_str());
      drawn_ = true;
      if (done) finish();
      std::fflush(stdout);
    } else if (done) {
      std::printf("uploaded %s (%s)\n", label.c_str(), formatBytes(meter_->totalBytes()).c_str());
      std::fflush(stdout);
    }
  }

  const bool terminal_;
  const bool quiet_;
  std::map<UUID, StagedAsset> files_;
  std::optional<TransferMeter> meter_;
  UUID current_;
  SteadyClock::time_point lastDraw_{};
  bool drawn_ = false;
};

JSON summaryJSON(const FlushRun& run) {
  JSON records = JSON::array();
  std::map<UUID, const OutboxRecord*> after;
  for (const OutboxRecord& record : run.after) after.emplace(record.id(), &record);
  for (const FlushOutcome& outcome : run.summary.records) {
    JSON entry{{"id", outcome.id.uuidString()},
               {"summary", outcome.summary},
               {"description", outcome.description.text},
               {"sentNow", outcome.sentNow}};
    if (const auto found = after.find(outcome.id); found != after.end()) {
      entry["state"] = std::string(rawValue(found->second->state));
    }
    if (outcome.failure) entry["failure"] = *outcome.failure;
    records.push_back(std::move(entry));
  }
  JSON failures = JSON::array();
  for (const OutboxFailure& failure : run.failures) {
    failures.push_back(JSON{{"id", failure.recordId.uuidString()},
                            {"code", failure.code},
                            {"message", failure.message},
                            {"retryable", failure.retryable},
                            {"recorded", failure.recorded}});
  }
  JSON document{{"sent", run.summary.sent},
                {"waiting", run.summary.waiting},
                {"serverReachable", !run.summary.serverUnreachable},
                {"signInRefused", run.signInRefused},
                {"records", std::move(records)},
                {"failures", std::move(failures)}};
  if (run.storageFailure) document["storageFailure"] = *run.storageFailure;
  return document;
}

std::string plural(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The outbox could not be written: what the store said, and what it means for the captures.
std::string storageFailureMessage(const FlushRun& run) {
  return "the outbox could not be written: " + *run.storageFailure + "; " +
         (run.summary.waiting == 1
              ? "1 capture stays as it was"
              : std::to_string(run.summary.waiting) + " captures stay as they were") +
         ", to go at a later flush";
}

// One line per capture the flush dealt with, then what it comes to.
void printOutcome(const FlushRun& run, const URL& server, const std::string& prefix) {
  const Painter paint;
  for (const FlushOutcome& outcome : run.summary.records) {
    std::printf(
        "%s%s  %s  %s\n", prefix.c_str(), shortIdentifier(outcome.id).c_str(),
        padded(shown(outcome.summary), 44).c_str(),
        paint(shown(outcome.description.text), colourOf(outcome.description.standing)).c_str());
    if (outcome.failure) {
      std::printf("%s          %s\n", prefix.c_str(),
                  paint(shown(*outcome.failure), Colour::dim).c_str());
    }
  }
  const FlushSummary& summary = run.summary;
  if (run.stopped) {
    std::printf("%sStopped: %s safe on this device and will be sent at the next flush.\n",
                prefix.c_str(), plural(summary.waiting, "capture stays", "captures stay").c_str());
  } else if (summary.serverUnreachable) {
    std::printf(
        "%sThe server at %s cannot be reached: %s safe on this device and will be sent "
        "later (kestro flush --watch sends them as soon as it answers).\n",
        prefix.c_str(), shown(server.absoluteString()).c_str(),
        plural(summary.waiting, "capture stays", "captures stay").c_str());
  } else if (summary.records.empty()) {
    std::printf("%sNothing to send: no capture waits on this device.\n", prefix.c_str());
  } else if (summary.waiting == 0) {
    std::printf("%s%s.\n", prefix.c_str(),
                plural(summary.sent, "capture sent", "captures sent").c_str());
  } else {
    std::printf("%s%s, %s on this device.\n", prefix.c_str(),
                plural(summary.sent, "capture sent", "captures sent").c_str(),
                plural(summary.waiting, "waits", "wait").c_str());
  }
  std::fflush(stdout);
}

// What SIGINT and SIGTERM do to a flush or a watch (taken on a thread of their own, see
// StopSignalThread): the first stops the flush under way at once (its exchange is cancelled;
// every step before it is stored, so every capture is safe) and the watch with it, a second ends
// the program outright.
StopSignalThread::Handler stopOnFirstSignal(std::function<void()> stop) {
  return [stop = std::move(stop), count = 0](int signal) mutable {
    if (count++ > 0) ::_exit(128 + signal);
    const char note[] =
        "\nkestro: stopping; every capture stays safe on this device (again to end at once)\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, note, sizeof note - 1);
    stop();
  };
}

// What a flush tells the user besides its outcome, on standard error: that it waits for another
// process's flush, and that the server keeps silent.
FlushControls flushControls(const ApplicationPlaces& places, const URL& server,
                            std::stop_token stop, FlushProgress& progress) {
  FlushControls controls;
  controls.lockFile = flushLockFile(places.storageDirectory());
  controls.stop = std::move(stop);
  controls.waitingForOtherFlush = [] {
    std::fprintf(stderr,
                 "kestro: another flush of this outbox is under way; waiting for it to end "
                 "(Ctrl-C stops)\n");
  };
  controls.serverSilent =
      [&progress, server,
       seconds = std::chrono::duration_cast<std::chrono::seconds>(controls.silenceNotice).count()] {
        progress.finish();
        std::fprintf(stderr,
                     "kestro: the server at %s has not answered for %lld seconds; still waiting "
                     "(Ctrl-C stops, and every capture stays safe on this device)\n",
                     shown(server.absoluteString()).c_str(), static_cast<long long>(seconds));
      };
  return controls;
}

const char* reasonText(FlushReason reason) {
  switch (reason) {
    case FlushReason::started:
      return "starting";
    case FlushReason::captureShared:
      return "a capture was shared";
    case FlushReason::retryDue:
      return "a retry is due";
    case FlushReason::serverBack:
      return "the server answers again";
    case FlushReason::recheck:
      return "trying again";
  }
  return "";
}

// Removes the files of captures sent longer ago than the user's retention; what prevents it is
// said on standard error, once, and never changes how the flush ends.
SentFileSweeper sentFileSweeper(const ApplicationPlaces& places) {
  return SentFileSweeper(places, [](const std::string& message) {
    std::fprintf(stderr, "kestro: %s\n", shown(message).c_str());
  });
}

}  // namespace

int flushOutbox(Application& application, bool json) {
  // Before the signals' thread, which uses it, and so gone only after that thread.
  std::stop_source stop;
  StopSignalThread signals;
  const Session& session = application.session();
  const SignedInAccount account = session.requireSignedIn();
  const std::shared_ptr<OutboxStore> store = application.sharedStore();
  FlushProgress progress(desktop::standardOutputIsTerminal(), json);
  signals.start(stopOnFirstSignal([&stop] { stop.request_stop(); }));
  const FlushRun run = kestro::flushOutbox(
      store, session, account, progress.observer(),
      flushControls(application.places(), account.server, stop.get_token(), progress));
  signals.finish();
  progress.finish();
  if (json) {
    printJSON(summaryJSON(run));
  } else {
    printOutcome(run, account.server, "");
  }
  if (!run.stopped) {
    sentFileSweeper(application.places()).sweep(*store, std::chrono::system_clock::now());
  }
  if (run.storageFailure) throw ApplicationError(ExitStatus::failure, storageFailureMessage(run));
  if (run.stopped) return signals.stoppedStatus();
  if (run.signInRefused) {
    throw ApplicationError(
        ExitStatus::notSignedIn,
        "the server no longer accepts this sign-in; run: kestro signin --server " +
            account.server.absoluteString() + " --email ADDRESS");
  }
  // A server that cannot be reached is no failure here: the captures are safe and say so.
  return 0;
}

int watchOutbox(Application& application, bool json) {
  std::stop_source stop;  // outlives the signals' thread, which uses it
  StopSignalThread signals;
  const Session& session = application.session();
  const SignedInAccount first = session.requireSignedIn();
  const std::shared_ptr<OutboxStore> store = application.sharedStore();
  const ApplicationPlaces& places = application.places();
  const std::shared_ptr<URLSession> probe = makeProbeSession();
  const bool terminal = desktop::standardOutputIsTerminal();
  // Held while the watch runs, so that a share can tell that its capture goes at once.
  std::optional<FileLock> watching;
  try {
    watching.emplace(
        FileLock::acquireShared(places.storageDirectory() / places::kWatchLockFileName));
  } catch (const std::filesystem::filesystem_error& error) {
    std::fprintf(stderr, "kestro: shares will not know that this watch runs: %s\n",
                 shown(error.what()).c_str());
  }
  // What needs the user goes to the desktop too, once each, when there is a session bus.
  DesktopNotifier notifier = DesktopNotifier::forSession();
  WatchNotices notices;

  FlushWatcherOptions options;
  options.revisionFile = *places.sharedSettings().filePath();
  FlushWatcherHooks hooks;
  URL server = first.server;
  UUID userId = first.userId;
  const auto stamp = [] {
    return formatLocalTime(std::chrono::system_clock::now(), std::chrono::system_clock::now()) +
           "  ";
  };
  hooks.flush = [&](FlushReason reason) {
    // Read afresh each time: a new sign-in (another token, another server) takes effect at once,
    // and a sign-out ends the watch.
    const SignedInAccount account = session.requireSignedIn();
    server = account.server;
    userId = account.userId;
    FlushProgress progress(terminal, json);
    FlushRun run =
        kestro::flushOutbox(store, session, account, progress.observer(),
                            flushControls(places, account.server, stop.get_token(), progress));
    progress.finish();
    const auto watched = [&run] {
      return WatchedFlush{run.summary, run.changedSomething, std::move(run.after)};
    };
    // Stopped: the watch ends without a word on a flush that did not finish.
    if (run.stopped) return watched();
    if (notifier.hasBus()) {
      for (const Notification& notice :
           notices.after(run, std::chrono::system_clock::now(), account.server)) {
        notifier.show(notice);
      }
    }
    if (json) {
      JSON document = summaryJSON(run);
      document["reason"] = reasonText(reason);
      std::printf("%s\n", jsonText(document, -1).c_str());
      std::fflush(stdout);
    } else if (!run.summary.records.empty()) {
      std::printf("%s%s:\n", stamp().c_str(), reasonText(reason));
      printOutcome(run, account.server, stamp());
    }
    // The watch goes on: space may come back, and the captures wait where they were.
    if (run.storageFailure) {
      std::fprintf(stderr, "kestro: %s\n", shown(storageFailureMessage(run)).c_str());
    }
    if (run.signInRefused) {
      throw ApplicationError(ExitStatus::notSignedIn,
                             "the server no longer accepts this sign-in; run: kestro signin "
                             "--server " +
                                 account.server.absoluteString() + " --email ADDRESS");
    }
    return watched();
  };
  hooks.nextRetryAt = [&](Date after) { return store->nextRetryAt(userId, after); };
  hooks.revision = [&] {
    return places.sharedSettings().string(places::kSharedCaptureRevisionKey);
  };
  hooks.serverAnswers = [&] { return serverAnswers(*probe, server); };
  hooks.makeDue = [&](const UUID& id, Date now) { store->makeDue(id, now); };
  hooks.now = [] { return std::chrono::system_clock::now(); };
  SentFileSweeper sweeper = sentFileSweeper(places);
  hooks.tidy = [&] { sweeper.sweep(*store, std::chrono::system_clock::now()); };
  hooks.failed = [](const std::string& message) {
    std::fprintf(stderr, "kestro: %s (trying again shortly)\n", shown(message).c_str());
  };

  FlushWatcher watcher(options, hooks);
  signals.start(stopOnFirstSignal([&watcher, &stop] {
    stop.request_stop();
    watcher.stop();
  }));
  if (!json) {
    std::printf("%sWatching the outbox for %s; stop with Ctrl-C.\n", stamp().c_str(),
                first.email.empty() ? "this account" : shown(first.email).c_str());
    std::fflush(stdout);
  }
  try {
    watcher.run();
  } catch (...) {
    signals.finish();
    throw;
  }
  signals.finish();
  if (!json) std::printf("%sStopped.\n", stamp().c_str());
  return 0;
}

}  // namespace kestro::commands
