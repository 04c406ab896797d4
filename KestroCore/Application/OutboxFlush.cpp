#include "KestroCore/Application/OutboxFlush.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "KestroCore/Platform/Files/FileLock.h"

namespace kestro {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double kFirstRetryDelay = 2;      // seconds
constexpr double kLongestRetryDelay = 600;  // seconds
constexpr std::chrono::seconds kProbeTimeout{2};
// flock cannot be woken by a stop request, so a flush waiting for another one looks again this
// often.
constexpr std::chrono::milliseconds kLockRetryInterval{100};

// The session one flush sends through: every exchange ends at once when the flush is stopped,
// and the first one during which the server stays silent too long is told once. Both ride on
// the progress handler, which the session calls every few tens of milliseconds of every
// exchange, moving or not.
class AttentiveSession final : public URLSession {
 public:
  AttentiveSession(std::shared_ptr<URLSession> inner, const FlushControls& controls)
      : inner_(std::move(inner)), controls_(controls) {}

  HTTPResponse send(const HTTPRequest& request) override {
    HTTPRequest watched = request;
    watched.onProgress = [this, inner = request.onProgress, lastSent = std::uint64_t{0},
                          lastMoved = SteadyClock::now()](std::uint64_t sent,
                                                          std::uint64_t toSend) mutable {
      if (controls_.stop.stop_requested()) return false;
      const auto now = SteadyClock::now();
      if (sent != lastSent) {
        lastSent = sent;
        lastMoved = now;
      } else if (!told_ && controls_.serverSilent && now - lastMoved >= controls_.silenceNotice) {
        told_ = true;
        try {
          controls_.serverSilent();
        } catch (...) {
          // A notice that could not be given changes nothing about the exchange.
        }
      }
      return inner ? inner(sent, toSend) : true;
    };
    return inner_->send(watched);
  }

  // A flush never streams; passed on untouched.
  HTTPResponse sendStreamingLines(const HTTPRequest& request,
                                  const std::function<bool(const HTTPResponse&)>& onResponse,
                                  const std::function<bool(std::string_view)>& onLine) override {
    return inner_->sendStreamingLines(request, onResponse, onLine);
  }

 private:
  const std::shared_ptr<URLSession> inner_;
  const FlushControls& controls_;
  bool told_ = false;  // only the flushing thread sends through this session
};

// The outbox's flush lock, waiting for another process's flush if need be; nothing when the
// stop came first.
std::optional<FileLock> takeFlushLock(const FlushControls& controls) {
  if (auto lock = FileLock::tryAcquire(controls.lockFile)) return lock;
  if (controls.waitingForOtherFlush) controls.waitingForOtherFlush();
  std::mutex mutex;
  std::condition_variable_any stopped;
  std::unique_lock hold(mutex);
  while (!stopped.wait_for(hold, controls.stop, kLockRetryInterval,
                           [&] { return controls.stop.stop_requested(); })) {
    if (auto lock = FileLock::tryAcquire(controls.lockFile)) return lock;
  }
  return std::nullopt;
}

}  // namespace

RetryPolicy applicationRetryPolicy() { return RetryPolicy(kFirstRetryDelay, kLongestRetryDelay); }

std::string describeStorageFailure(const std::string& reason) {
  // SQLite's own words for SQLITE_FULL, which is what a full disk (or a file size limit) gives.
  if (reason.find("disk is full") != std::string::npos) {
    return "the disk is full (" + reason + ")";
  }
  return reason;
}

std::string explainFailure(const OutboxFailure& failure) {
  if (!failure.recorded && !failure.notRecordedBecause.empty()) {
    std::string text =
        "could not be written to the outbox: " + describeStorageFailure(failure.notRecordedBecause);
    // What failed first, when that was something else (the network, say).
    if (failure.message != failure.notRecordedBecause) {
      text += ", after " + failure.code + ": " + failure.message;
    }
    return text;
  }
  if (failure.code == kNetworkErrorCode) {
    const char* during = failure.during == CaptureOutboxState::uploadingAssets ? " during an upload"
                         : failure.during == CaptureOutboxState::submittingCapture
                             ? " while sending the capture"
                             : "";
    return std::string("the connection to the server failed") + during + ": " + failure.message;
  }
  if (isServerCode(failure.code)) return "the server said: " + failure.message;
  return failure.code + ": " + failure.message;
}

std::filesystem::path flushLockFile(const std::filesystem::path& storageDirectory) {
  return storageDirectory / "kestro.flush.lock";
}

FlushRun flushOutbox(const std::shared_ptr<OutboxStore>& store, const Session& session,
                     const SignedInAccount& account, OutboxProcessorObserver observer,
                     const FlushControls& controls) {
  FlushRun run;
  FlushLog log;
  std::optional<FileLock> lock;
  if (!controls.lockFile.empty()) lock = takeFlushLock(controls);

  if (controls.lockFile.empty() || lock) {
    // Stopped by the caller, or by the first record that found the server unreachable: the
    // records behind it would each wait out the same timeout for nothing.
    std::stop_source batches;
    const std::stop_callback forward(controls.stop, [&batches] { batches.request_stop(); });
    OutboxProcessorObserver watching{
        .stateChanged =
            [&batches, &log,
             told = std::move(observer.stateChanged)](const OutboxStateChange& change) {
              log.changed(change);
              if (change.to == CaptureOutboxState::retryWait &&
                  change.errorCode == kNetworkErrorCode) {
                batches.request_stop();
              }
              if (told) told(change);
            },
        .uploadProgressed = std::move(observer.uploadProgressed),
        .recordFailed =
            [&log, given = std::move(observer.recordFailed)](const OutboxFailure& failure) {
              log.failed(failure);
              if (given) given(failure);
            },
        .recordTaken =
            [&log, given = std::move(observer.recordTaken)](const OutboxRecord& record) {
              log.taken(record);
              if (given) given(record);
            }};
    OutboxProcessor processor(
        store,
        KestroAPIClient(account.server,
                        std::make_shared<AttentiveSession>(session.http(), controls),
                        HTTPHeaders{}),
        applicationRetryPolicy(), std::move(watching));

    // The processor takes twenty records at a time; a flush goes on until nothing more is
    // ready now. A batch that stored no step (records it leaves alone) ends it too, rather
    // than taking the same records again and again.
    while (true) {
      const std::size_t changesBefore = log.changes();
      processor.flush(account.userId, account.token, batches.get_token());
      if (batches.stop_requested()) break;
      if (log.changes() == changesBefore) break;
      if (store->ready(account.userId, std::chrono::system_clock::now(), 1).empty()) break;
    }
  }
  // The one reading of the whole outbox: what the user is shown (every capture still on its way,
  // its retry time) and what decides the watch's next flush.
  run.after = store->all(account.userId);
  run.before = log.before(run.after);
  run.failures = log.failures();
  run.changedSomething = log.changes() > 0;
  run.signInRefused = log.signInRefused();
  run.stopped = controls.stop.stop_requested();
  const auto now = std::chrono::system_clock::now();
  const std::map<UUID, OutboxLastFailure> lastFailures = store->lastFailures(account.userId);
  run.summary = summarizeFlush(log, run.after, now, lastFailures);

  std::map<UUID, const OutboxFailure*> lastFailureNow;
  bool serverSpoke = run.summary.sent > 0;
  for (const OutboxFailure& failure : run.failures) {
    lastFailureNow[failure.recordId] = &failure;
    serverSpoke = serverSpoke || isServerCode(failure.code);
  }
  for (FlushOutcome& outcome : run.summary.records) {
    if (const auto found = lastFailureNow.find(outcome.id); found != lastFailureNow.end()) {
      outcome.failure = explainFailure(*found->second);
    }
  }
  for (const OutboxRecord& record : run.after) {
    const auto found = lastFailureNow.find(record.id());
    if (found == lastFailureNow.end() || found->second->recorded) continue;
    // A record another process finished or set aside meanwhile refuses the retry: no trouble.
    const CaptureOutboxState state = record.state;
    if (state == CaptureOutboxState::complete || state == CaptureOutboxState::accepted ||
        state == CaptureOutboxState::cancelled || state == CaptureOutboxState::blockedUserAction) {
      continue;
    }
    run.storageFailure = describeStorageFailure(found->second->notRecordedBecause);
    break;
  }
  // A connection that broke in the middle of an exchange is not a server away: say what broke.
  if (run.summary.serverUnreachable &&
      (serverSpoke || serverAnswers(*makeProbeSession(), account.server))) {
    run.summary.serverUnreachable = false;
  }
  return run;
}

std::shared_ptr<URLSession> makeProbeSession() {
  URLSessionConfiguration configuration;
  configuration.connectTimeout = kProbeTimeout;
  configuration.idleTimeout = kProbeTimeout;
  configuration.maximumBodyBytes = 64 * 1024;
  return makeURLSession(configuration);
}

bool serverAnswers(URLSession& session, const URL& server) noexcept {
  try {
    HTTPRequest request{.url = server, .method = "GET"};
    request.timeoutInterval = kProbeTimeout;
    return session.send(request).statusCode.has_value();
  } catch (...) {
    return false;
  }
}

}  // namespace kestro
