#include "Tools/DevServer/internal/ServerState.h"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <utility>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/SHA256.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Models/CaptureEnvelope.h"

namespace kestro::devserver {

namespace {

constexpr std::size_t kSearchLimit = 30;
constexpr std::int64_t kSyncPageLimit = 200;
constexpr std::int64_t kConversationListLimit = 100;
constexpr std::size_t kTitleBytes = 80;
constexpr std::chrono::hours kUploadPlanLifetime{1};

// Leaves a handler early with an answer; caught in ServerState::handle.
struct Refusal {
  Reply reply;
};

Date now() {
  return std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
}

std::string text(const JSON& json) { return serializeJSON(json); }

Reply jsonReply(int status, const JSON& json) { return Reply{status, text(json)}; }

Reply notFound(std::string_view what) {
  return errorReply(404, "NOT_FOUND", std::string(what) + " was not found", false);
}

Reply unauthorized() {
  return errorReply(401, "UNAUTHORIZED", "A valid bearer token is required", false);
}

Reply noContent() { return Reply{204, "", ""}; }

JSON parseBody(const std::string& body) {
  JSON json;
  try {
    json = parseJSON(body);
  } catch (const DecodingError& error) {
    throw Refusal{errorReply(400, "INVALID_REQUEST", error.what(), false)};
  }
  if (!json.is_object()) {
    throw Refusal{errorReply(400, "INVALID_REQUEST", "The body must be a JSON object", false)};
  }
  return json;
}

std::vector<std::string_view> segments(std::string_view path) {
  std::vector<std::string_view> result;
  while (!path.empty()) {
    if (path.front() == '/') {
      path.remove_prefix(1);
      continue;
    }
    const std::size_t slash = path.find('/');
    result.push_back(path.substr(0, slash));
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash);
  }
  return result;
}

// The value of `name` in a query string such as "cursor=5&limit=200" (no escapes are needed for
// the numbers it carries).
std::optional<std::string_view> queryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    const std::size_t equals = pair.find('=');
    if (pair.substr(0, equals) == name) {
      return equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1);
    }
  }
  return std::nullopt;
}

std::int64_t integerParameter(std::string_view query, std::string_view name,
                              std::int64_t fallback) {
  const auto value = queryValue(query, name);
  if (!value) return fallback;
  std::int64_t result = 0;
  const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), result);
  if (error != std::errc() || end != value->data() + value->size()) {
    throw Refusal{errorReply(400, "VALIDATION_ERROR",
                             "The query parameter " + std::string(name) + " must be an integer",
                             false)};
  }
  return result;
}

// `text` cut to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string_view cutUTF8(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
  return text.substr(0, bytes);
}

// The bytes [begin, end) of `text`, moved inwards to whole UTF-8 sequences.
std::string_view sliceUTF8(std::string_view text, std::size_t begin, std::size_t end) {
  end = std::min(end, text.size());
  while (begin < end && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) ++begin;
  while (end > begin && end < text.size() &&
         (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  return text.substr(begin, end - begin);
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

// The same address always names the same user, even across restarts: the id is derived from
// the address rather than drawn.
UUID userIdFor(const std::string& email) {
  SHA256Digest digest;
  digest.update("kestro-devserver user ");
  digest.update(email);
  const std::string hex = digest.finishHex();
  UUID::Bytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
  }
  bytes[6] = static_cast<std::uint8_t>(0x80 | (bytes[6] & 0x0F));  // version 8: name-based, custom
  bytes[8] = static_cast<std::uint8_t>(0x80 | (bytes[8] & 0x3F));  // RFC 4122 variant
  return UUID(bytes);
}

std::optional<std::string> bearerToken(const std::optional<std::string>& authorization) {
  if (!authorization || !startsWithIgnoringASCIICase(*authorization, "Bearer ")) {
    return std::nullopt;
  }
  return std::string(trimmingSpacesAndTabs(std::string_view(*authorization).substr(7)));
}

JSONValue jsonValue(const JSON& json) { return decodeJSON<JSONValue>(json); }

template <class Records, class Predicate>
void eraseIf(Records& records, Predicate predicate) {
  records.erase(std::remove_if(records.begin(), records.end(), predicate), records.end());
}

}  // namespace

Reply errorReply(int status, std::string_view code, std::string_view message, bool retryable,
                 JSON details) {
  JSON error = JSON::object();
  error["code"] = code;
  // Messages may quote what the client sent, which need not be UTF-8; the envelope must be.
  error["message"] = repairedUTF8(message);
  error["retryable"] = retryable;
  error["traceId"] = UUID().uuidString();
  error["details"] = std::move(details);
  return Reply{status, text(JSON{{"error", std::move(error)}})};
}

std::string routeTemplate(std::string_view path) {
  std::string route;
  for (std::string_view segment : segments(path)) {
    route += '/';
    route += UUID::fromString(segment) ? std::string_view("{id}") : segment;
  }
  return route.empty() ? "/" : route;
}

ServerState::ServerState(std::filesystem::path uploadDirectory, ReplyOptions reply)
    : uploadDirectory_(std::move(uploadDirectory)), reply_(reply) {}

// --- Dispatch

Reply ServerState::handle(const Call& call) {
  std::lock_guard lock(mutex_);
  const std::string route = routeTemplate(call.path);
  const auto pathSegments = segments(call.path);
  const std::string id = pathSegments.size() > 2 ? std::string(pathSegments[2]) : std::string();
  const std::string& method = call.method;
  try {
    if (route == "/v1/development/token") {
      if (method == "POST") return signIn(call);
    } else {
      const auto found = tokens_.find(bearerToken(call.authorization).value_or(""));
      if (found == tokens_.end()) return unauthorized();
      const UUID user = found->second;
      if (route == "/v1/captures") {
        if (method == "POST") return submitCapture(user, call);
      } else if (route == "/v1/uploads/initiate") {
        if (method == "POST") return initiateUpload(user, call);
      } else if (route == "/v1/uploads/{id}/complete") {
        if (method == "POST") return completeUpload(user, id);
      } else if (route == "/v1/uploads/{id}/content") {
        // PUT is answered by the HTTP layer, which streams the bytes.
      } else if (route == "/v1/items") {
        if (method == "GET") return listItems(user);
      } else if (route == "/v1/items/{id}") {
        if (method == "PATCH") return updateItem(user, id, call);
        if (method == "DELETE") return deleteItem(user, id);
      } else if (route == "/v1/tasks") {
        if (method == "GET") return listTasks(user);
      } else if (route == "/v1/tasks/{id}") {
        if (method == "PATCH") return updateTask(user, id, call);
      } else if (route == "/v1/search") {
        if (method == "POST") return search(user, call);
      } else if (route == "/v1/feedback") {
        if (method == "POST") return submitFeedback(user, call);
      } else if (route == "/v1/account") {
        if (method == "DELETE") return deleteAccount(user);
      } else if (route == "/v1/conversations") {
        if (method == "GET") return listConversations(user, call);
        if (method == "POST") return createConversation(user, call);
      } else if (route == "/v1/conversations/{id}") {
        if (method == "GET") return conversation(user, id);
        if (method == "DELETE") return deleteConversation(user, id);
      } else if (route == "/v1/conversations/{id}/cancel") {
        if (method == "POST") return cancelConversation(user, id);
      } else if (route == "/v1/conversations/{id}/messages") {
        // POST is answered by the HTTP layer, which streams the reply.
      } else if (route == "/v1/sync/changes") {
        if (method == "GET") return syncChanges(user, call);
      } else {
        return notFound("The route " + call.path);
      }
    }
    return errorReply(405, "METHOD_NOT_ALLOWED", method + " is not allowed on " + route, false);
  } catch (const Refusal& refusal) {
    return refusal.reply;
  } catch (const DecodingError& error) {
    return errorReply(400, "VALIDATION_ERROR", error.what(), false,
                      JSON{{"path", error.codingPath()}});
  }
}

std::optional<UUID> ServerState::authenticate(
    const std::optional<std::string>& authorization) const {
  std::lock_guard lock(mutex_);
  const auto found = tokens_.find(bearerToken(authorization).value_or(""));
  if (found == tokens_.end()) return std::nullopt;
  return found->second;
}

// --- Sign-in

Reply ServerState::signIn(const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const std::string given = ObjectDecoder(body, root).required<std::string>("email");
  const std::string email = asciiLowercased(trimmingWhitespaceAndNewlines(given));
  if (email.empty())
    return errorReply(400, "VALIDATION_ERROR", "An e-mail address is required", false);
  const UUID id = userIdFor(email);
  auto user = users_.find(id);
  if (user == users_.end()) {
    user = users_.emplace(id, User{email, "kdev-" + UUID().uuidString()}).first;
    tokens_.emplace(user->second.token, id);
  }
  return jsonReply(200, encodeJSON(DevelopmentSession{
                            .token = user->second.token,
                            .tokenType = "Bearer",
                            .expiresIn = 86400,
                            .userId = id,
                        }));
}

// --- Captures and uploads

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

// --- Items and tasks

ServerState::ItemRecord* ServerState::findItem(const UUID& user, const std::string& id) {
  const auto itemId = UUID::fromString(id);
  for (ItemRecord& record : items_) {
    if (record.owner == user && itemId && record.item.id == *itemId) return &record;
  }
  return nullptr;
}

ServerState::TaskRecord* ServerState::findTask(const UUID& user, const std::string& id) {
  const auto taskId = UUID::fromString(id);
  for (TaskRecord& record : tasks_) {
    if (record.owner == user && taskId && record.task.id == *taskId) return &record;
  }
  return nullptr;
}

Reply ServerState::listItems(const UUID& user) {
  JSON items = JSON::array();
  for (const ItemRecord& record : items_) {
    if (record.owner == user) items.push_back(encodeJSON(record.item));
  }
  return jsonReply(200, JSON{{"items", std::move(items)}});
}

Reply ServerState::updateItem(const UUID& user, const std::string& id, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const ObjectDecoder object(body, root);
  auto title = object.required<std::string>("title");
  auto annotation = object.required<std::string>("annotation");
  auto content = object.optional<std::string>("content");
  ItemRecord* record = findItem(user, id);
  if (record == nullptr) return notFound("The item");
  record->item.title = std::move(title);
  record->item.annotation = std::move(annotation);
  if (content) record->item.userContent = std::move(content);
  record->item.updatedAt = now();
  recordChange(user, "item", record->item.id, encodeJSON(record->item));
  return jsonReply(200, JSON{{"item", encodeJSON(record->item)}});
}

Reply ServerState::deleteItem(const UUID& user, const std::string& id) {
  ItemRecord* record = findItem(user, id);
  if (record == nullptr) return notFound("The item");
  const UUID itemId = record->item.id;
  eraseIf(items_, [&](const ItemRecord& item) { return item.item.id == itemId; });
  recordChange(user, "item", itemId, std::nullopt);
  return noContent();
}

Reply ServerState::listTasks(const UUID& user) {
  JSON tasks = JSON::array();
  for (const TaskRecord& record : tasks_) {
    if (record.owner == user) tasks.push_back(encodeJSON(record.task));
  }
  return jsonReply(200, JSON{{"tasks", std::move(tasks)}});
}

Reply ServerState::updateTask(const UUID& user, const std::string& id, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  auto status = ObjectDecoder(body, root).required<std::string>("status");
  TaskRecord* record = findTask(user, id);
  if (record == nullptr) return notFound("The task");
  const Date at = now();
  const bool done = status == "done" || status == "completed";
  record->task.status = std::move(status);
  record->task.completedAt =
      done ? std::optional(record->task.completedAt.value_or(at)) : std::nullopt;
  record->task.updatedAt = at;
  recordChange(user, "task", record->task.id, encodeJSON(record->task));
  return jsonReply(200, JSON{{"task", encodeJSON(record->task)}});
}

// --- Search, feedback, account

Reply ServerState::search(const UUID& user, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const ObjectDecoder object(body, root);
  const auto query = object.required<std::string>("query");
  const auto limit = object.optional<std::int64_t>("limit").value_or(kSearchLimit);
  const std::size_t wanted =
      static_cast<std::size_t>(std::clamp<std::int64_t>(limit, 0, kSearchLimit));
  const std::string needle = asciiLowercased(trimmingWhitespaceAndNewlines(query));

  struct Hit {
    const KestroItem* item;
    double score;
    std::string excerpt;
  };
  std::vector<Hit> hits;
  if (!needle.empty()) {
    for (const ItemRecord& record : items_) {
      if (record.owner != user) continue;
      const KestroItem& item = record.item;
      const std::pair<const std::optional<std::string>, double> fields[] = {
          {item.title, 1.0},         {item.annotation, 0.6},   {item.userContent, 0.5},
          {item.extractedText, 0.5}, {item.canonicalUrl, 0.4},
      };
      for (const auto& [field, score] : fields) {
        if (!field) continue;
        const std::size_t at = asciiLowercased(*field).find(needle);
        if (at == std::string::npos) continue;
        const std::size_t begin = at > 40 ? at - 40 : 0;
        hits.push_back(
            Hit{&item, score, std::string(sliceUTF8(*field, begin, at + needle.size() + 120))});
        break;
      }
    }
  }
  std::stable_sort(hits.begin(), hits.end(),
                   [](const Hit& a, const Hit& b) { return a.score > b.score; });
  if (hits.size() > wanted) hits.resize(wanted);
  JSON results = JSON::array();
  for (const Hit& hit : hits) {
    results.push_back(encodeJSON(SearchResult{
        .item = *hit.item,
        .chunkId = std::nullopt,
        .excerpt = hit.excerpt,
        .score = hit.score,
        .scoreBreakdown = {{"lexical", hit.score}},
    }));
  }
  return jsonReply(200, JSON{{"results", std::move(results)}});
}

Reply ServerState::submitFeedback(const UUID&, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const ObjectDecoder object(body, root);
  object.required<std::string>("body");
  object.required<KestroPlatform>("platform");
  object.required<UUID>("deviceId");
  object.required<std::string>("appVersion");
  ++feedback_;
  return jsonReply(201, JSON{{"feedback", {{"id", UUID().uuidString()}}}});
}

Reply ServerState::deleteAccount(const UUID& user) {
  const auto owned = [&](const auto& record) { return record.owner == user; };
  std::error_code ignored;
  for (auto upload = uploads_.begin(); upload != uploads_.end();) {
    if (upload->second.owner == user) {
      std::filesystem::remove(uploadDirectory_ / upload->first.uuidString(), ignored);
      upload = uploads_.erase(upload);
    } else {
      ++upload;
    }
  }
  eraseIf(captures_, owned);
  eraseIf(items_, owned);
  eraseIf(tasks_, owned);
  eraseIf(conversations_, owned);
  eraseIf(changes_, owned);
  if (const auto found = users_.find(user); found != users_.end()) {
    tokens_.erase(found->second.token);
    users_.erase(found);
  }
  return noContent();
}

// --- Conversations

ServerState::ConversationRecord* ServerState::findConversation(const UUID& user,
                                                               std::string_view id) {
  const auto conversationId = UUID::fromString(id);
  for (ConversationRecord& record : conversations_) {
    if (record.owner == user && conversationId &&
        record.detail.conversation.id == *conversationId) {
      return &record;
    }
  }
  return nullptr;
}

Reply ServerState::listConversations(const UUID& user, const Call& call) {
  const std::int64_t limit = std::clamp<std::int64_t>(
      integerParameter(call.query, "limit", kConversationListLimit), 0, kConversationListLimit);
  JSON conversations = JSON::array();
  for (const ConversationRecord& record : conversations_) {
    if (record.owner != user) continue;
    if (static_cast<std::int64_t>(conversations.size()) >= limit) break;
    conversations.push_back(encodeJSON(record.detail.conversation));
  }
  return jsonReply(200, JSON{{"conversations", std::move(conversations)}});
}

Reply ServerState::createConversation(const UUID& user, const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const ObjectDecoder object(body, root);
  auto title = object.required<std::string>("title");
  const auto itemIds = object.required<std::vector<UUID>>("itemIds");
  JSONValue::Array scopeItems;
  for (const UUID& id : itemIds) {
    if (findItem(user, id.uuidString()) == nullptr) {
      return errorReply(400, "VALIDATION_ERROR", "itemIds names an unknown item", false,
                        JSON{{"itemId", id.uuidString()}});
    }
    scopeItems.push_back(JSONValue::string(id.uuidString()));
  }
  const Date at = now();
  ConversationRecord record{
      .owner = user,
      .detail = {.conversation = {.id = UUID(),
                                  .title = std::move(title),
                                  .scope = {{"itemIds", JSONValue::array(std::move(scopeItems))}},
                                  .createdAt = at,
                                  .updatedAt = at},
                 .messages = {}},
  };
  conversations_.push_back(record);
  return jsonReply(201, JSON{{"conversation", encodeJSON(record.detail.conversation)}});
}

Reply ServerState::conversation(const UUID& user, const std::string& id) {
  const ConversationRecord* record = findConversation(user, id);
  if (record == nullptr) return notFound("The conversation");
  return jsonReply(200, encodeJSON(record->detail));
}

Reply ServerState::deleteConversation(const UUID& user, const std::string& id) {
  const ConversationRecord* record = findConversation(user, id);
  if (record == nullptr) return notFound("The conversation");
  const UUID conversationId = record->detail.conversation.id;
  eraseIf(conversations_, [&](const ConversationRecord& conversation) {
    return conversation.detail.conversation.id == conversationId;
  });
  return noContent();
}

Reply ServerState::cancelConversation(const UUID& user, const std::string& id) {
  ConversationRecord* record = findConversation(user, id);
  if (record == nullptr) return notFound("The conversation");
  ++record->generation;
  return jsonReply(200, JSON{{"conversationId", record->detail.conversation.id.uuidString()},
                             {"status", "cancelled"}});
}

std::string ServerState::ReplyPlan::delta(std::int64_t index) const {
  std::string text = words[static_cast<std::size_t>(index) % words.size()];
  if (index + 1 < deltas) text += ' ';
  return text;
}

std::variant<Reply, ServerState::ReplyPlan> ServerState::beginReply(
    const UUID& user, std::string_view conversationIdText, const std::string& body) {
  std::lock_guard lock(mutex_);
  try {
    const JSON json = parseBody(body);
    const CodingPath root;
    const ObjectDecoder object(json, root);
    object.required<UUID>("clientMessageId");
    const auto content = object.required<std::string>("content");
    if (trimmingWhitespaceAndNewlines(content).empty()) {
      return errorReply(400, "VALIDATION_ERROR", "content must not be empty", false);
    }
    ConversationRecord* record = findConversation(user, conversationIdText);
    if (record == nullptr) return notFound("The conversation");

    ReplyPlan plan{.conversationId = record->detail.conversation.id,
                   .messageId = UUID(),
                   .words = {},
                   .deltas = 0,
                   .interval = reply_.interval,
                   .generation = record->generation};
    const std::string replyText = "You said: " + content;
    std::string_view rest = replyText;
    while (!rest.empty()) {
      const std::size_t begin = rest.find_first_not_of(" \t\r\n");
      if (begin == std::string_view::npos) break;
      rest.remove_prefix(begin);
      const std::size_t end = rest.find_first_of(" \t\r\n");
      plan.words.emplace_back(rest.substr(0, end));
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
    plan.deltas = reply_.deltas > 0 ? reply_.deltas : static_cast<std::int64_t>(plan.words.size());

    auto& messages = record->detail.messages;
    const Date at = now();
    messages.push_back(KestroChatMessage{UUID(),
                                         "user",
                                         "complete",
                                         content,
                                         static_cast<std::int64_t>(messages.size() + 1),
                                         at,
                                         at,
                                         {}});
    messages.push_back(KestroChatMessage{plan.messageId,
                                         "assistant",
                                         "streaming",
                                         "",
                                         static_cast<std::int64_t>(messages.size() + 1),
                                         at,
                                         std::nullopt,
                                         {}});
    record->detail.conversation.updatedAt = at;
    return plan;
  } catch (const Refusal& refusal) {
    return refusal.reply;
  } catch (const DecodingError& error) {
    return errorReply(400, "VALIDATION_ERROR", error.what(), false,
                      JSON{{"path", error.codingPath()}});
  }
}

bool ServerState::replyCancelled(const ReplyPlan& plan) const {
  std::lock_guard lock(mutex_);
  for (const ConversationRecord& record : conversations_) {
    if (record.detail.conversation.id == plan.conversationId) {
      return record.generation != plan.generation;
    }
  }
  return true;
}

ServerState::ReplyEnd ServerState::finishReply(const ReplyPlan& plan, const std::string& replyText,
                                               bool completed) {
  std::lock_guard lock(mutex_);
  std::optional<KestroChatMessage> stored;
  std::string reason = "deleted";
  for (ConversationRecord& record : conversations_) {
    if (record.detail.conversation.id != plan.conversationId) continue;
    const bool cancelled = record.generation != plan.generation;
    if (cancelled || !completed) reason = "cancelled";
    for (KestroChatMessage& message : record.detail.messages) {
      if (message.id != plan.messageId) continue;
      message.content = replyText;
      message.status = completed && !cancelled ? "complete" : "failed";
      message.completedAt = now();
      if (completed && !cancelled) stored = message;
    }
  }
  if (stored) return {"message.completed", text(JSON{{"message", encodeJSON(*stored)}})};
  return {"message.failed",
          text(JSON{{"messageId", plan.messageId.uuidString()}, {"reason", reason}})};
}

// --- Sync

void ServerState::recordChange(const UUID& user, std::string_view entityType, const UUID& id,
                               std::optional<JSON> entity) {
  changes_.push_back(
      ChangeRecord{user, SyncChange{
                             .sequence = ++lastSequence_,
                             .entityType = std::string(entityType),
                             .entityId = id,
                             .operation = entity ? "upsert" : "delete",
                             .entity = entity ? std::optional(jsonValue(*entity)) : std::nullopt,
                         }});
}

Reply ServerState::syncChanges(const UUID& user, const Call& call) {
  const std::int64_t cursor = integerParameter(call.query, "cursor", 0);
  const std::int64_t limit = std::clamp<std::int64_t>(
      integerParameter(call.query, "limit", kSyncPageLimit), 1, kSyncPageLimit);
  SyncPage page{.changes = {}, .cursor = cursor, .hasMore = false};
  for (const ChangeRecord& record : changes_) {
    if (record.owner != user || record.change.sequence <= cursor) continue;
    if (static_cast<std::int64_t>(page.changes.size()) == limit) {
      page.hasMore = true;
      break;
    }
    page.changes.push_back(record.change);
    page.cursor = record.change.sequence;
  }
  return jsonReply(200, encodeJSON(page));
}

// --- Statistics and settings

void ServerState::countRequest(const std::string& route) {
  std::lock_guard lock(mutex_);
  ++requests_[route];
}

void ServerState::countFault() {
  std::lock_guard lock(mutex_);
  ++faultsApplied_;
}

void ServerState::setReplyOptions(ReplyOptions reply) {
  std::lock_guard lock(mutex_);
  reply_ = reply;
}

std::string ServerState::statsJSON() const {
  std::lock_guard lock(mutex_);
  JSON requests = JSON::object();
  for (const auto& [route, count] : requests_) requests[route] = count;
  JSON captures = JSON::object();
  for (const auto& [key, counts] : captureCounts_) {
    captures[key] = JSON{{"accepted", counts.accepted}, {"replays", counts.replays}};
  }
  return text(JSON{{"requests", std::move(requests)},
                   {"captures", std::move(captures)},
                   {"uploads",
                    {{"initiated", uploadsInitiated_},
                     {"received", uploadsReceived_},
                     {"rejected", uploadsRejected_},
                     {"completed", uploadsCompleted_},
                     {"bytesReceived", bytesReceived_}}},
                   {"faultsApplied", faultsApplied_},
                   {"feedback", feedback_}});
}

}  // namespace kestro::devserver
