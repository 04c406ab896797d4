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

FlushRun flushOutbox(const std::shared_ptr<OutboxStore>& store, const Session& session,
                     const SignedInAccount& account, OutboxProcessorObserver observer) {
  FlushRun run;
  run.before = store->all(account.userId);
  OutboxProcessor processor(store, session.client(account.server), applicationRetryPolicy(),
                            std::move(observer));
  processor.flush(account.userId, account.token);
  run.after = store->all(account.userId);
  const auto now = std::chrono::system_clock::now();
  run.summary = summarizeFlush(run.before, run.after, now);

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
