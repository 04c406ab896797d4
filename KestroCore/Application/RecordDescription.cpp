#include "KestroCore/Application/RecordDescription.h"

#include <time.h>

#include <chrono>
#include <cstdio>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/Text.h"

namespace kestro {
namespace {

using State = CaptureOutboxState;

std::tm localCalendar(Date time) {
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
  std::tm calendar{};
  localtime_r(&seconds, &calendar);
  return calendar;
}

// White space runs as single spaces, trimmed, cut to `maximum` code points with "…".
std::string compact(std::string_view text, std::size_t maximum) {
  std::string collapsed;
  bool space = false;
  // What a capture holds came from outside: nothing of it may command the terminal.
  for (const char c : printableText(trimmingWhitespaceAndNewlines(text), true)) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
      space = true;
      continue;
    }
    if (space) collapsed.push_back(' ');
    space = false;
    collapsed.push_back(c);
  }
  return prefixOfCodePoints(collapsed, maximum);
}

std::string filesText(const std::vector<StagedAsset>& assets) {
  std::string names;
  for (const StagedAsset& asset : assets) {
    if (!names.empty()) names += ", ";
    names += asset.filename;
  }
  return names;
}

}  // namespace

std::string formatLocalTime(Date time, Date now) {
  const std::tm at = localCalendar(time);
  const std::tm today = localCalendar(now);
  char text[64];
  if (at.tm_year == today.tm_year && at.tm_yday == today.tm_yday) {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", at.tm_hour, at.tm_min, at.tm_sec);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", at.tm_year + 1900, at.tm_mon + 1,
                  at.tm_mday, at.tm_hour, at.tm_min);
  }
  return text;
}

bool isServerCode(std::string_view code) {
  return code != "NETWORK_ERROR" && code != "LOCAL_FILE_ERROR" && code != "INVALID_RESPONSE" &&
         code != "CLIENT_ERROR";
}

bool isRefusal(const OutboxLastFailure& failure) {
  return !failure.details.retryable && isServerCode(failure.code);
}

RecordDescription describeRecord(const OutboxRecord& record, Date now,
                                 const OutboxLastFailure* lastFailure) {
  switch (record.state) {
    case State::draft:
      return {RecordStanding::onThisDevice, "on this device (draft)"};
    case State::queued:
      return {RecordStanding::onThisDevice, "on this device (queued)"};
    case State::preparingAssets:
    case State::uploadingAssets: {
      std::size_t uploaded = 0;
      for (const StagedAsset& asset : record.stagedAssets) uploaded += asset.uploadId.has_value();
      const std::size_t total = record.stagedAssets.size();
      return {RecordStanding::uploading, "uploading (" + std::to_string(uploaded) + " of " +
                                             std::to_string(total) +
                                             (total == 1 ? " file)" : " files)")};
    }
    case State::submittingCapture:
      return {RecordStanding::sending, "sending"};
    case State::accepted:
    case State::complete:
      return {RecordStanding::sent, "sent"};
    case State::retryWait: {
      if (lastFailure && lastFailure->describes(record) && isRefusal(*lastFailure)) {
        std::string text = "refused by the server: " + lastFailure->code;
        if (record.nextRetryAt) {
          text += " (tries again at " + formatLocalTime(*record.nextRetryAt, now) + ")";
        }
        return {RecordStanding::refused, std::move(text)};
      }
      std::string text = "waiting to retry";
      if (record.nextRetryAt) text += " at " + formatLocalTime(*record.nextRetryAt, now);
      text += " after " + record.lastErrorCode.value_or("an error");
      return {RecordStanding::waitingToRetry, std::move(text)};
    }
    case State::blockedUserAction:
      return {RecordStanding::needsAttention, "needs attention (set aside)"};
    case State::cancelled:
      return {RecordStanding::cancelled, "cancelled"};
  }
  return {RecordStanding::needsAttention, "in an unknown state"};
}

std::string captureSummary(const OutboxRecord& record, std::size_t maximumCharacters) {
  const CaptureEnvelope& capture = record.capture;
  if (capture.url) return compact(capture.url->absoluteString(), maximumCharacters);
  for (const auto* text : {&capture.selectedText, &capture.title, &capture.visibleText}) {
    if (*text && !trimmingWhitespaceAndNewlines(**text).empty()) {
      // Two of the characters go to the quotes.
      return "\"" + compact(**text, maximumCharacters > 2 ? maximumCharacters - 2 : 1) + "\"";
    }
  }
  if (!record.stagedAssets.empty()) {
    return compact(filesText(record.stagedAssets), maximumCharacters);
  }
  if (capture.annotation && !trimmingWhitespaceAndNewlines(*capture.annotation).empty()) {
    return compact("note: " + *capture.annotation, maximumCharacters);
  }
  return "(empty capture)";
}

std::string shortIdentifier(const UUID& id) { return id.uuidString().substr(0, 8); }

std::size_t findIdentifier(const std::vector<UUID>& ids, std::string_view text,
                           std::string_view what) {
  const std::string wanted = asciiLowercased(trimmingWhitespaceAndNewlines(text));
  constexpr std::size_t kShortestPrefix = 4;
  if (wanted.size() < kShortestPrefix) {
    throw ApplicationError(ExitStatus::usage, "give at least " + std::to_string(kShortestPrefix) +
                                                  " characters of the " + std::string(what) +
                                                  "'s id");
  }
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string id = asciiLowercased(ids[i].uuidString());
    if (id == wanted) return i;
    if (!id.starts_with(wanted)) continue;
    if (found) {
      throw ApplicationError(ExitStatus::usage, "\"" + std::string(text) +
                                                    "\" names more than one " + std::string(what) +
                                                    "; give more of its id");
    }
    found = i;
  }
  if (!found) {
    throw ApplicationError(ExitStatus::failure, "no " + std::string(what) + " with the id \"" +
                                                    std::string(text) + "\"");
  }
  return *found;
}

const OutboxRecord& findRecord(const std::vector<OutboxRecord>& records, std::string_view text) {
  std::vector<UUID> ids;
  ids.reserve(records.size());
  for (const OutboxRecord& record : records) ids.push_back(record.id());
  return records[findIdentifier(ids, text, "capture")];
}

}  // namespace kestro
