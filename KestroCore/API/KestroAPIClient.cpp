#include "KestroCore/API/KestroAPIClient.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "KestroCore/Foundation/ASCII.h"

namespace kestro {
namespace {

// How long a request may wait for further data, not a cap on the whole exchange: a large upload
// on a slow link may take far longer and still be healthy.
constexpr std::chrono::seconds kRequestTimeout{60};
constexpr std::int64_t kSearchLimit = 30;
constexpr std::string_view kSyncPageSize = "200";

// --- Private request and response bodies

struct UploadInitiateResponse {
  UUID uploadId;
  std::string status;  // read so that a malformed answer is caught; not used
  UploadPlan upload;
};

struct UploadCompleteResponse {
  UUID uploadId;
  std::string status;
};

struct FeedbackReceipt {
  UUID id;
};

}  // namespace

// Only ever read: the client never writes these.
template <>
struct JSONCoder<UploadInitiateResponse> {
  static UploadInitiateResponse decode(const JSONSource& json, const CodingPath& path) {
    const ObjectDecoder object(json, path);
    return UploadInitiateResponse{
        .uploadId = object.required<UUID>("uploadId"),
        .status = object.required<std::string>("status"),
        .upload = object.required<UploadPlan>("upload"),
    };
  }
};

template <>
struct JSONCoder<UploadCompleteResponse> {
  static UploadCompleteResponse decode(const JSONSource& json, const CodingPath& path) {
    const ObjectDecoder object(json, path);
    return UploadCompleteResponse{
        .uploadId = object.required<UUID>("uploadId"),
        .status = object.required<std::string>("status"),
    };
  }
};

template <>
struct JSONCoder<FeedbackReceipt> {
  static FeedbackReceipt decode(const JSONSource& json, const CodingPath& path) {
    const ObjectDecoder object(json, path);
    return FeedbackReceipt{.id = object.required<UUID>("id")};
  }
};

namespace {

// A request body: one JSON object whose keys the encoder sorts.
template <class Fill>
JSON jsonObject(Fill fill) {
  const CodingPath root;
  ObjectEncoder object(root);
  fill(object);
  return std::move(object).finish();
}

bool isSuccess(int status) noexcept { return status >= 200 && status <= 299; }

std::string bearer(const std::string& token) { return "Bearer " + token; }

// The one place where a failure of the exchange becomes a KestroAPIError. Our own errors pass
// unchanged, so an `invalidResponse` raised inside is never turned into a retryable transport
// failure. Running out of memory is this process's trouble, not the network's, and passes too.
[[noreturn]] void rethrowAsAPIError() {
  try {
    throw;
  } catch (const KestroAPIError&) {
    throw;
  } catch (const URLSessionError& error) {
    // The request could not be formed, or a redirect led somewhere the client never goes:
    // sending it again will not help.
    if (error.kind() == URLSessionError::Kind::invalidRequest) {
      throw KestroAPIError::invalidResponse();
    }
    throw KestroAPIError::transport(error.what());
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    throw KestroAPIError::transport(error.what());
  }
}

// The session is a public field: one set to null after construction is a caller's mistake that
// must fail loudly rather than crash.
URLSession& checkedSession(const std::shared_ptr<URLSession>& session) {
  if (session == nullptr) throw std::logic_error("KestroAPIClient: the session is null");
  return *session;
}

HTTPResponse perform(URLSession& session, const HTTPRequest& request) {
  try {
    return session.send(request);
  } catch (...) {
    rethrowAsAPIError();
  }
}

// A non-2xx answer. Only an exact envelope is the server speaking; anything else came from
// something in between, and its status says nothing we could act on.
[[noreturn]] void throwErrorResponse(const std::string& body) {
  std::optional<APIErrorEnvelope> envelope;
  try {
    envelope = decodeJSONString<APIErrorEnvelope>(body);
  } catch (const DecodingError&) {
    throw KestroAPIError::invalidResponse();
  } catch (const JSON::exception&) {
    throw KestroAPIError::invalidResponse();
  }
  auto& error = envelope->error;
  throw KestroAPIError::server(std::move(error.code), std::move(error.message), error.retryable,
                               std::move(error.traceId));
}

// A 2xx body that does not decode is treated as a damaged exchange, worth retrying, rather than
// as the server refusing the request. The body is taken over and freed once parsed, before the
// values are built from it.
template <class Read>
auto decodeSuccessBody(std::string body, Read read) {
  try {
    return readJSONString(std::move(body), read);
  } catch (const DecodingError& error) {
    throw KestroAPIError::transport(std::string("the server's response could not be read: ") +
                                    error.what());
  } catch (const JSON::exception& error) {
    throw KestroAPIError::transport(std::string("the server's response could not be read: ") +
                                    error.what());
  }
}

template <class T>
T decodeResult(std::string body) {
  return decodeSuccessBody(std::move(body),
                           [](const auto& json) { return decodeWithCoder<T>(json, CodingPath{}); });
}

// The list and entity responses wrap their value in an object of one key: {"items": [...]}.
template <class T>
T decodeWrapped(std::string body, std::string_view key) {
  return decodeSuccessBody(std::move(body), [key](const auto& json) {
    const CodingPath root;
    const ObjectDecoder object(json, root);
    return object.required<T>(key);
  });
}

// Checked before sending so that a missing staged file fails without a connection being opened
// and the server seeing half a request. Only a regular file will do: a directory cannot be sent
// and a pipe or device could stream without end.
std::filesystem::path readableFile(const URL& fileURL) {
  const std::optional<std::filesystem::path> path = fileURL.filePath();
  if (!path) {
    throw KestroAPIError::transport("cannot upload \"" + fileURL.absoluteString() +
                                    "\": not a local file URL");
  }
  const auto failure = [&](const std::string& reason) {
    return KestroAPIError::transport("cannot read the file " + path->string() + ": " + reason);
  };
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(*path, error);
  if (error) throw failure(error.message());
  if (!std::filesystem::is_regular_file(status)) throw failure("not a regular file");
  if (!std::ifstream(*path, std::ios::binary).is_open()) throw failure("it cannot be opened");
  return *path;
}

// An upload plan comes from the network; whatever it names, the client only ever speaks HTTP.
bool isHTTPScheme(std::string_view scheme) noexcept {
  return equalsIgnoringASCIICase(scheme, "http") || equalsIgnoringASCIICase(scheme, "https");
}

std::optional<int> portOf(const URL& url) {
  if (const std::optional<int> port = url.port()) return port;
  if (equalsIgnoringASCIICase(url.scheme(), "http")) return 80;
  if (equalsIgnoringASCIICase(url.scheme(), "https")) return 443;
  return std::nullopt;
}

bool haveSameOrigin(const URL& a, const URL& b) {
  return equalsIgnoringASCIICase(a.scheme(), b.scheme()) && a.host() && b.host() &&
         equalsIgnoringASCIICase(*a.host(), *b.host()) && portOf(a) == portOf(b);
}

// The bearer token opens the whole account. A plan is the server's word, but a plan that
// would carry the token in clear to some other machine is one no server of ours writes.
bool mayCarryToken(const URL& target, const URL& apiServer) {
  return equalsIgnoringASCIICase(target.scheme(), "https") || haveSameOrigin(target, apiServer);
}

}  // namespace

KestroAPIClient::KestroAPIClient(URL baseURL, std::shared_ptr<URLSession> session,
                                 HTTPHeaders defaultHeaders)
    : baseURL(std::move(baseURL)),
      session(std::move(session)),
      defaultHeaders(std::move(defaultHeaders)) {
  if (this->session == nullptr) throw std::invalid_argument("KestroAPIClient needs a session");
}

// --- The two exchanges

HTTPRequest KestroAPIClient::makeRequest(std::string_view path, std::string_view method) const {
  std::optional<URL> url = baseURL.resolving(path);
  if (!url) throw KestroAPIError::invalidResponse();
  return HTTPRequest{
      .url = std::move(*url),
      .method = std::string(method),
      .headers = defaultHeaders,
      .body = {},
      .timeoutInterval = kRequestTimeout,
  };
}

std::string KestroAPIClient::send(std::string_view path, std::string_view method,
                                  const std::optional<JSON>& body,
                                  const std::optional<std::string>& token,
                                  const HTTPHeaders& headers) const {
  HTTPRequest request = makeRequest(path, method);
  request.headers.set("Accept", "application/json");
  if (body) {
    // An EncodingError leaves here unchanged: the caller's data is at fault, not the exchange,
    // and nothing has been sent.
    request.body = serializeJSON(*body);
    request.headers.set("Content-Type", "application/json");
  }
  if (token) request.headers.set("Authorization", bearer(*token));
  for (const auto& [name, value] : headers.entries()) request.headers.set(name, value);

  HTTPResponse response = perform(checkedSession(session), request);
  if (!response.statusCode) throw KestroAPIError::invalidResponse();
  if (!isSuccess(*response.statusCode)) throwErrorResponse(response.body);
  // Moved, not copied: the body keeps the spare capacity the JSON reader reads it in place with.
  return std::move(response.body);
}

void KestroAPIClient::sendStatusOnly(std::string_view path, std::string_view method,
                                     const std::string& token) const {
  HTTPRequest request = makeRequest(path, method);
  request.headers.set("Authorization", bearer(token));

  const HTTPResponse response = perform(checkedSession(session), request);
  if (!response.statusCode) throw KestroAPIError::invalidResponse();
  if (!isSuccess(*response.statusCode)) throwErrorResponse(response.body);
}

// --- Development sign-in and sync

DevelopmentSession KestroAPIClient::developmentSession(const std::string& email) const {
  const JSON body = jsonObject([&](ObjectEncoder& object) { object.required("email", email); });
  return decodeResult<DevelopmentSession>(
      send("/v1/development/token", "POST", body, std::nullopt));
}

SyncPage KestroAPIClient::sync(std::int64_t cursor, const std::string& token) const {
  // std::to_string writes plain decimal: a minus sign when negative, no grouping, no padding.
  const std::string path =
      "/v1/sync/changes?cursor=" + std::to_string(cursor) + "&limit=" + std::string(kSyncPageSize);
  return decodeResult<SyncPage>(send(path, "GET", std::nullopt, token));
}

// --- Captures and uploads

CaptureAccepted KestroAPIClient::submit(const CaptureEnvelope& capture,
                                        const std::string& token) const {
  HTTPHeaders headers;
  headers.set("Idempotency-Key", capture.clientCaptureId.uuidString());
  return decodeResult<CaptureAccepted>(
      send("/v1/captures", "POST", encodeJSON(capture), token, headers));
}

std::pair<UUID, UploadPlan> KestroAPIClient::initiateUpload(const UUID& captureId,
                                                            const StagedAsset& asset,
                                                            const std::string& token) const {
  const JSON body = jsonObject([&](ObjectEncoder& object) {
    object.required("clientCaptureId", captureId)
        .required("clientAssetId", asset.clientAssetId)
        .required("filename", asset.filename)
        .required("declaredMimeType", asset.mimeType)
        .required("byteCount", asset.byteCount)
        .required("sha256", asset.sha256);
  });
  auto response =
      decodeResult<UploadInitiateResponse>(send("/v1/uploads/initiate", "POST", body, token));
  return {response.uploadId, std::move(response.upload)};
}

void KestroAPIClient::upload(const URL& fileURL, const UploadPlan& plan, const std::string& token,
                             const HTTPRequest::ProgressHandler& onProgress) const {
  const bool authenticated = plan.authenticated.value_or(false);
  if (!isHTTPScheme(plan.url.scheme()) || (authenticated && !mayCarryToken(plan.url, baseURL))) {
    throw KestroAPIError::invalidResponse();
  }
  HTTPRequest request{
      .url = plan.url,
      .method = plan.method,
      .headers = {},
      .body = readableFile(fileURL),
      .timeoutInterval = kRequestTimeout,
      .onProgress = onProgress,
  };
  for (const auto& [name, value] : plan.headers) request.headers.set(name, value);
  if (authenticated) request.headers.set("Authorization", bearer(token));

  const HTTPResponse response = perform(checkedSession(session), request);
  // The target may be storage of another party: its error bodies are not our envelope, and a
  // refusal (an expired plan, say) will not turn into success by sending again.
  if (!response.statusCode || !isSuccess(*response.statusCode)) {
    throw KestroAPIError::invalidResponse();
  }
}

void KestroAPIClient::completeUpload(const UUID& id, const std::string& token) const {
  decodeResult<UploadCompleteResponse>(
      send("/v1/uploads/" + id.uuidString() + "/complete", "POST", JSON::object(), token));
}

// --- Items, tasks, search, feedback and account

std::vector<KestroItem> KestroAPIClient::listItems(const std::string& token) const {
  return decodeWrapped<std::vector<KestroItem>>(send("/v1/items", "GET", std::nullopt, token),
                                                "items");
}

KestroItem KestroAPIClient::updateItem(const UUID& id, const std::string& title,
                                       const std::string& annotation,
                                       const std::optional<std::string>& content,
                                       const std::string& token) const {
  const JSON body = jsonObject([&](ObjectEncoder& object) {
    object.required("title", title).required("annotation", annotation).optional("content", content);
  });
  return decodeWrapped<KestroItem>(send("/v1/items/" + id.uuidString(), "PATCH", body, token),
                                   "item");
}

void KestroAPIClient::deleteItem(const UUID& id, const std::string& token) const {
  sendStatusOnly("/v1/items/" + id.uuidString(), "DELETE", token);
}

std::vector<SearchResult> KestroAPIClient::search(const std::string& query,
                                                  const std::string& token) const {
  const JSON body = jsonObject([&](ObjectEncoder& object) {
    object.required("query", query)
        .required("limit", kSearchLimit)
        .required("includeSemantic", true);
  });
  return decodeWrapped<std::vector<SearchResult>>(send("/v1/search", "POST", body, token),
                                                  "results");
}

std::vector<KestroTask> KestroAPIClient::listTasks(const std::string& token) const {
  return decodeWrapped<std::vector<KestroTask>>(send("/v1/tasks", "GET", std::nullopt, token),
                                                "tasks");
}

KestroTask KestroAPIClient::updateTask(const UUID& id, const std::string& status,
                                       const std::string& token) const {
  const JSON body = jsonObject([&](ObjectEncoder& object) { object.required("status", status); });
  return decodeWrapped<KestroTask>(send("/v1/tasks/" + id.uuidString(), "PATCH", body, token),
                                   "task");
}

void KestroAPIClient::submitFeedback(const std::string& body, KestroPlatform platform,
                                     const UUID& deviceId, const std::string& appVersion,
                                     const std::string& token) const {
  const JSON request = jsonObject([&](ObjectEncoder& object) {
    object.required("body", body)
        .required("platform", platform)
        .required("deviceId", deviceId)
        .required("appVersion", appVersion);
  });
  // Nothing of the receipt is returned, but a 2xx that lacks it is no proof the server kept
  // the feedback.
  decodeWrapped<FeedbackReceipt>(send("/v1/feedback", "POST", request, token), "feedback");
}

void KestroAPIClient::deleteAccount(const std::string& token) const {
  sendStatusOnly("/v1/account", "DELETE", token);
}

// --- Conversations

std::vector<KestroConversation> KestroAPIClient::listConversations(const std::string& token) const {
  return decodeWrapped<std::vector<KestroConversation>>(
      send("/v1/conversations?limit=100", "GET", std::nullopt, token), "conversations");
}

KestroConversation KestroAPIClient::createConversation(const std::string& title,
                                                       const std::vector<UUID>& itemIds,
                                                       const std::string& token) const {
  const JSON body = jsonObject(
      [&](ObjectEncoder& object) { object.required("title", title).required("itemIds", itemIds); });
  return decodeWrapped<KestroConversation>(send("/v1/conversations", "POST", body, token),
                                           "conversation");
}

KestroConversationDetail KestroAPIClient::conversation(const UUID& id,
                                                       const std::string& token) const {
  return decodeResult<KestroConversationDetail>(
      send("/v1/conversations/" + id.uuidString(), "GET", std::nullopt, token));
}

void KestroAPIClient::deleteConversation(const UUID& id, const std::string& token) const {
  sendStatusOnly("/v1/conversations/" + id.uuidString(), "DELETE", token);
}

void KestroAPIClient::cancelConversation(const UUID& id, const std::string& token) const {
  sendStatusOnly("/v1/conversations/" + id.uuidString() + "/cancel", "POST", token);
}

ConversationEventStream KestroAPIClient::conversationEvents(const UUID& conversationId,
                                                            const std::string& content,
                                                            const UUID& clientMessageId,
                                                            const std::string& token) const {
  checkedSession(session);
  // Runs on the stream's thread, so that a URL that cannot be formed or a body that cannot be
  // encoded ends the stream like any other failure instead of escaping here.
  auto makeRequest = [client = *this, conversationId, content, clientMessageId, token] {
    HTTPRequest request = client.makeRequest(
        "/v1/conversations/" + conversationId.uuidString() + "/messages", "POST");
    request.headers.set("Authorization", bearer(token));
    request.headers.set("Content-Type", "application/json");
    request.headers.set("Accept", "text/event-stream");
    request.body = serializeJSON(jsonObject([&](ObjectEncoder& object) {
      object.required("clientMessageId", clientMessageId).required("content", content);
    }));
    return request;
  };
  return ConversationEventStream(session, std::move(makeRequest));
}

}  // namespace kestro
