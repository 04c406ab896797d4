// The state's routes of captures and uploads: POST /v1/captures, POST /v1/uploads/initiate,
// an upload's bytes (streamed by the HTTP layer) and POST /v1/uploads/<id>/complete.

#include "Tools/DevServer/internal/ServerState.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "Tools/DevServer/internal/RouteSupport.h"

namespace kestro::devserver {

namespace {

constexpr std::size_t kTitleBytes = 80;
constexpr std::chrono::hours kUploadPlanLifetime{1};

// `text` cut to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string_view cutUTF8(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
  return text.substr(0, bytes);
}

std::optional<std::string> firstLine(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t newline = rest.find('\n');
    const std::string_view line = trimmingWhitespaceAndNewlines(rest.substr(0, newline));
    if (!line.empty()) return std::string(cutUTF8(line, kTitleBytes));
    rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
  }
  return std::nullopt;
}

// An item's title: the capture's own, else its link, else its first line of text, else the name
// of its primary file.
std::string titleFor(const CaptureEnvelope& capture) {
  if (auto title = firstLine(capture.title)) return *title;
  if (capture.url) {
    const URL& url = *capture.url;
    if (auto host = url.host(); host && !host->empty()) {
      std::string title(*host);
      if (const std::string path = url.path(); path != "/") title += path;
      return std::string(cutUTF8(title, kTitleBytes));
    }
    return std::string(cutUTF8(url.absoluteString(), kTitleBytes));
  }
  for (const auto* source :
       {&capture.selectedText, &capture.visibleText, &capture.ocrText, &capture.annotation}) {
    if (auto line = firstLine(*source)) return *line;
  }
  if (!capture.assets.empty()) {
    auto primary =
        std::find_if(capture.assets.begin(), capture.assets.end(),
                     [](const CaptureAsset& asset) { return asset.role == AssetRole::primary; });
    return (primary != capture.assets.end() ? *primary : capture.assets.front()).filename;
  }
  return "Untitled capture";
}

std::optional<std::string> extractedText(const CaptureEnvelope& capture) {
  std::string text;
  for (const auto* source : {&capture.selectedText, &capture.visibleText, &capture.ocrText}) {
    if (!*source || trimmingWhitespaceAndNewlines(**source).empty()) continue;
    if (!text.empty()) text += "\n\n";
    text += **source;
  }
  if (text.empty()) return std::nullopt;
  return text;
}

bool isLowerHexDigest(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool hasControlCharacters(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

Reply ServerState::submitCapture(const UUID& user, const Call& call) {
  if (!call.idempotencyKey || call.idempotencyKey->empty()) {
    return errorReply(400, "IDEMPOTENCY_KEY_REQUIRED", "The Idempotency-Key header is required",
                      false);
  }
  const std::string& key = *call.idempotencyKey;
  for (const Capture& earlier : captures_) {
    if (earlier.owner == user && earlier.key == key) {
      ++captureCounts_[key].replays;
      CaptureAccepted replay = earlier.accepted;
      replay.replayed = true;
      return jsonReply(200, encodeJSON(replay));
    }
  }
  const CaptureEnvelope capture = decodeJSON<CaptureEnvelope>(parseBody(call.body));

  JSON notCompleted = JSON::array();
  JSON mismatched = JSON::array();
  for (const CaptureAsset& asset : capture.assets) {
    const auto upload = uploads_.find(asset.uploadId);
    if (upload == uploads_.end() || upload->second.owner != user ||
        upload->second.state != Upload::State::complete) {
      notCompleted.push_back(asset.uploadId.uuidString());
    } else if (upload->second.byteCount != asset.byteCount ||
               upload->second.sha256 != asset.sha256) {
      mismatched.push_back(asset.uploadId.uuidString());
    }
  }
  if (!notCompleted.empty()) {
    return errorReply(409, "UPLOAD_NOT_COMPLETED", "Every asset must name a completed upload",
                      false, JSON{{"uploadIds", notCompleted}});
  }
  if (!mismatched.empty()) {
    return errorReply(422, "ASSET_MISMATCH",
                      "An asset's byte count or digest differs from its upload's", false,
                      JSON{{"uploadIds", mismatched}});
  }

  const Date at = now();
  JSON::object_t metadata{{"clientCaptureId", capture.clientCaptureId.uuidString()},
                          {"mechanism", std::string(rawValue(capture.origin.mechanism))},
                          {"assetCount", capture.assets.size()}};
  KestroItem item{
      .id = UUID(),
      .kind = capture.sourceKind,
      .status = "ready",
      .title = titleFor(capture),
      .canonicalUrl = capture.url ? std::optional(capture.url->absoluteString()) : std::nullopt,
      .annotation = capture.annotation.value_or(""),
      .userContent = std::nullopt,
      .normalizedMarkdown = std::nullopt,
      .extractedText = extractedText(capture),
      .summary = std::nullopt,
      .metadata = {},
      .relationships = {},
      .capturedAt = capture.capturedAt,
      .createdAt = at,
      .updatedAt = at,
  };
  for (auto& [name, value] : metadata) item.metadata.emplace(name, jsonValue(value));
  items_.push_back(ItemRecord{user, item});
  recordChange(user, "item", item.id, encodeJSON(item));

  if (capture.taskIntent && capture.taskIntent->requested) {
    KestroTask task{
        .id = UUID(),
        .sourceItemId = item.id,
        .title = item.title,
        .description = std::nullopt,
        .status = "open",
        .dueText = capture.taskIntent->dueText,
        .dueAt = std::nullopt,
        .creatorKind = "capture",
        .createdAt = at,
        .updatedAt = at,
        .completedAt = std::nullopt,
    };
    tasks_.push_back(TaskRecord{user, task});
    recordChange(user, "task", task.id, encodeJSON(task));
  }

  const CaptureAccepted accepted{
      .captureId = UUID(),
      .itemId = item.id,
      .status = "accepted",
      .processingId = UUID(),
      .replayed = false,
  };
  captures_.push_back(Capture{user, key, accepted});
  ++captureCounts_[key].accepted;
  return jsonReply(201, encodeJSON(accepted));
}

Reply ServerState::initiateUpload(const UUID& user, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const ObjectDecoder object(body, root);
  object.required<UUID>("clientCaptureId");
  object.required<UUID>("clientAssetId");
  const auto filename = object.required<std::string>("filename");
  const auto mimeType = object.required<std::string>("declaredMimeType");
  const auto byteCount = object.required<std::int64_t>("byteCount");
  const auto sha256 = object.required<std::string>("sha256");
  if (byteCount < 0) {
    return errorReply(400, "VALIDATION_ERROR", "byteCount must not be negative", false);
  }
  if (!isLowerHexDigest(sha256)) {
    return errorReply(400, "VALIDATION_ERROR", "sha256 must be 64 lower-case hexadecimal digits",
                      false);
  }
  if (mimeType.empty() || hasControlCharacters(mimeType)) {
    return errorReply(400, "VALIDATION_ERROR", "declaredMimeType is not a media type", false);
  }

  const UUID id;
  // The plan names the address this server listens on, never what a Host header made up.
  const std::optional<URL> url =
      URL::fromString(call.origin + "/v1/uploads/" + id.uuidString() + "/content");
  if (!url || !url->host()) {
    return errorReply(500, "INTERNAL_ERROR", "the server's own address makes no upload URL", false);
  }
  uploads_.emplace(id, Upload{user, filename, byteCount, sha256});
  ++uploadsInitiated_;
  const UploadPlan plan{
      .url = *url,
      .method = "PUT",
      .headers = {{"Content-Type", mimeType}},
      .expiresAt = now() + kUploadPlanLifetime,
      .authenticated = true,
  };
  return jsonReply(
      201,
      JSON{{"uploadId", id.uuidString()}, {"status", "pending"}, {"upload", encodeJSON(plan)}});
}

std::variant<Reply, ServerState::UploadTarget> ServerState::beginUploadContent(
    const UUID& user, std::string_view uploadIdText) {
  std::lock_guard lock(mutex_);
  const auto id = UUID::fromString(uploadIdText);
  const auto upload = id ? uploads_.find(*id) : uploads_.end();
  if (upload == uploads_.end() || upload->second.owner != user) return notFound("The upload");
  if (upload->second.state == Upload::State::complete) {
    return errorReply(409, "UPLOAD_ALREADY_COMPLETED", "The upload is already completed", false);
  }
  return UploadTarget{
      .uploadId = *id,
      .byteCount = upload->second.byteCount,
      .partialFile = uploadDirectory_ / (id->uuidString() + "." + UUID().uuidString() + ".part"),
  };
}

Reply ServerState::finishUploadContent(const UploadTarget& target, std::int64_t byteCount,
                                       const std::string& sha256) {
  std::lock_guard lock(mutex_);
  std::error_code ignored;
  const auto upload = uploads_.find(target.uploadId);
  if (upload == uploads_.end()) {
    std::filesystem::remove(target.partialFile, ignored);
    return notFound("The upload");
  }
  if (byteCount != upload->second.byteCount || sha256 != upload->second.sha256) {
    std::filesystem::remove(target.partialFile, ignored);
    ++uploadsRejected_;
    return errorReply(422, "UPLOAD_MISMATCH",
                      "The bytes received differ from those the upload was initiated with", false,
                      JSON{{"expectedByteCount", upload->second.byteCount},
                           {"receivedByteCount", byteCount},
                           {"expectedSha256", upload->second.sha256},
                           {"receivedSha256", sha256}});
  }
  std::filesystem::rename(target.partialFile, uploadDirectory_ / target.uploadId.uuidString());
  // The same bytes sent again after completion leave the upload completed.
  if (upload->second.state == Upload::State::pending)
    upload->second.state = Upload::State::received;
  ++uploadsReceived_;
  bytesReceived_ += byteCount;
  return jsonReply(200, JSON{{"uploadId", target.uploadId.uuidString()}, {"status", "received"}});
}

Reply ServerState::completeUpload(const UUID& user, const std::string& id) {
  const auto uploadId = UUID::fromString(id);
  const auto upload = uploadId ? uploads_.find(*uploadId) : uploads_.end();
  if (upload == uploads_.end() || upload->second.owner != user) return notFound("The upload");
  if (upload->second.state == Upload::State::pending) {
    return errorReply(409, "UPLOAD_NOT_RECEIVED", "The upload's bytes have not arrived intact",
                      false);
  }
  if (upload->second.state == Upload::State::received) {
    upload->second.state = Upload::State::complete;
    ++uploadsCompleted_;
  }
  return jsonReply(200, JSON{{"uploadId", uploadId->uuidString()}, {"status", "complete"}});
}

}  // namespace kestro::devserver
