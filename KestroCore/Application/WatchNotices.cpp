#include "KestroCore/Application/WatchNotices.h"

#include <map>
#include <string>
#include <utility>

#include "KestroCore/Application/FlushSchedule.h"
#include "KestroCore/Application/RecordDescription.h"

namespace kestro {
namespace {

using State = CaptureOutboxState;

// A capture that no longer waits for anything: the server has it, or the user set it aside or
// cancelled it.
bool settled(State state) {
  return state == State::accepted || state == State::complete || state == State::cancelled ||
         state == State::blockedUserAction;
}

// One notification of `lines` (one per capture), headed `one` or `many` ("%n" is the count).
Notification captureNotice(const std::vector<std::string>& lines, const std::string& one,
                           const std::string& many, const std::string& advice,
                           Notification::Urgency urgency) {
  std::string summary = lines.size() == 1 ? one : many;
  if (const std::size_t at = summary.find("%n"); at != std::string::npos) {
    summary.replace(at, 2, std::to_string(lines.size()));
  }
  std::string body;
  for (const std::string& line : lines) body += line + "\n";
  body += advice;
  return {.summary = std::move(summary), .body = std::move(body), .urgency = urgency};
}

}  // namespace

std::vector<Notification> WatchNotices::after(const FlushRun& run, Date now, const URL& server) {
  std::vector<Notification> notices;
  if (run.signInRefused && !signInTold_) {
    signInTold_ = true;
    notices.push_back(
        {.summary = "Kestro: sign in again",
         .body = "The server at " + server.absoluteString() +
                 " no longer accepts this sign-in, so nothing is sent; your captures stay on this "
                 "device. Run kestro signin --server " +
                 server.absoluteString() + " --email ADDRESS, then kestro flush --watch again.",
         .urgency = Notification::Urgency::critical});
  }

  std::map<UUID, const OutboxRecord*> records;
  for (const OutboxRecord& record : run.after) records.emplace(record.id(), &record);

  std::vector<std::string> refused;
  for (const OutboxFailure& failure : run.failures) {
    // Refused for good by the server itself; a sign-in refused is told above.
    if (failure.retryable || !failure.recorded || !isServerCode(failure.code) ||
        failure.code == kUnauthorizedCode) {
      continue;
    }
    const auto record = records.find(failure.recordId);
    if (record == records.end() || settled(record->second->state)) continue;
    if (!told_.insert(failure.recordId).second) continue;
    refused.push_back(captureSummary(*record->second) + " (" + shortIdentifier(failure.recordId) +
                      "): " + explainFailure(failure));
  }
  if (!refused.empty()) {
    notices.push_back(captureNotice(
        refused, "A capture was refused by the server", "%n captures were refused by the server",
        "Kept on this device and tried again until set aside: kestro outbox shows where it "
        "stands, kestro outbox set-aside ID stops it.",
        Notification::Urgency::critical));
  }

  std::vector<std::string> waiting;
  for (const OutboxRecord& record : run.after) {
    if (settled(record.state) || now - record.createdAt <= kWaitingTooLong) continue;
    if (!told_.insert(record.id()).second) continue;
    waiting.push_back(captureSummary(record) + " (" + shortIdentifier(record.id()) + "), shared " +
                      formatLocalTime(record.createdAt, now) + ": " +
                      describeRecord(record, now).text);
  }
  if (!waiting.empty()) {
    notices.push_back(captureNotice(waiting,
                                    "A capture has waited on this device for more than a day",
                                    "%n captures have waited on this device for more than a day",
                                    "They are not sent yet; kestro outbox shows where each stands.",
                                    Notification::Urgency::normal));
  }
  return notices;
}

}  // namespace kestro
