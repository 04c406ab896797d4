#include "KestroCore/Application/OutboxFlush.h"

#include <chrono>
#include <map>
#include <utility>

namespace kestro {
namespace {

constexpr double kFirstRetryDelay = 2;      // seconds
constexpr double kLongestRetryDelay = 600;  // seconds
constexpr std::chrono::seconds kProbeTimeout{2};

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

FlushRun flushOutbox(const std::shared_ptr<OutboxStore>& store, const Session& session,
                     const SignedInAccount& account, OutboxProcessorObserver observer) {
  FlushRun run;
  run.before = store->all(account.userId);
  observer.recordFailed = [&run,
                           given = std::move(observer.recordFailed)](const OutboxFailure& failure) {
    run.failures.push_back(failure);
    if (given) given(failure);
  };
  OutboxProcessor processor(store, session.client(account.server), applicationRetryPolicy(),
                            std::move(observer));
  processor.flush(account.userId, account.token);
  run.after = store->all(account.userId);
  const auto now = std::chrono::system_clock::now();
  const std::map<UUID, OutboxLastFailure> lastFailures = store->lastFailures(account.userId);
  run.summary = summarizeFlush(run.before, run.after, now, lastFailures);

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

  std::map<UUID, std::int64_t> attempts;
  for (const OutboxRecord& record : run.before) attempts.emplace(record.id(), record.attemptCount);
  for (const OutboxRecord& record : run.after) {
    const auto old = attempts.find(record.id());
    const bool failedNow = record.state == CaptureOutboxState::retryWait &&
                           (old == attempts.end() || record.attemptCount > old->second);
    run.signInRefused =
        run.signInRefused || (failedNow && record.lastErrorCode == kUnauthorizedCode);
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
