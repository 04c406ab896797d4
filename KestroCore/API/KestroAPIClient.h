#pragma once

// The typed client of the server's /v1 interface.
//
// A KestroAPIClient is a plain value: copies are independent but share one URLSession, and the
// client holds no state that changes while an operation runs, so any number of operations may
// run at once from any threads, on one value or on copies. Every operation blocks its caller
// until the exchange ends; the session's timeouts bound the wait (60 seconds without further
// data by default). The bearer token is an argument of each call and is never stored. Nothing is
// retried here: the caller decides from the error's `retryable`. The fields are not guarded:
// change them only while no operation runs on that value (copies are not affected).
//
// Errors. Every operation throws KestroAPIError:
//   - `server` when a non-2xx response carries the server's error envelope (the HTTP status is
//     not kept: only the envelope's `retryable` says whether to try again);
//   - `invalidResponse` when a non-2xx body is anything else (HTML from a proxy, an empty body,
//     an envelope missing a key), when the answer was not HTTP at all, or when the request could
//     not be formed (an unparsable path, a header with CR or LF, a scheme other than http(s));
//   - `transport` when the exchange failed (no connection, nothing heard for too long, an
//     unreadable upload file) or a 2xx body does not decode as the expected result.
// The one exception: a request body that JSON cannot carry (text that is not UTF-8) throws the
// coding layer's EncodingError before anything is sent. The message event stream
// (`conversationEvents`) reports through its stream instead; ConversationEventStream.h says how.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KestroCore/API/APIModels.h"
#include "KestroCore/API/ConversationEventStream.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/Models/KestroAPIError.h"
#include "KestroCore/Models/ServerModels.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/Platform/HTTP/URLSession.h"
#include "KestroCore/Sync/SyncReducer.h"

namespace kestro {

class KestroAPIClient {
 public:
  // Throws std::invalid_argument when `session` is null.
  KestroAPIClient(URL baseURL, std::shared_ptr<URLSession> session, HTTPHeaders defaultHeaders);

  // Every endpoint path is absolute, so only the scheme, host and port of this URL count: a base
  // of "https://example.com/api/" still sends "/v1/items" to "https://example.com/v1/items".
  URL baseURL;
  // Performs every request. Must not be null: an operation on a client whose session was set to
  // null throws std::logic_error before anything is sent.
  std::shared_ptr<URLSession> session;
  // Put on every request built from an endpoint path (never on file uploads, which may go to
  // another host), before anything the client sets itself: the client's "Accept",
  // "Content-Type" and "Authorization" replace a default header of the same name. Names compare
  // without regard to letter case, so two defaults can never differ only in case.
  HTTPHeaders defaultHeaders;

  // --- Development sign-in and sync

  // POST /v1/development/token with {"email"}, sent unchanged. Sends no bearer token; the
  // request carries "Authorization" only when `defaultHeaders` holds one.
  DevelopmentSession developmentSession(const std::string& email) const;

  // GET /v1/sync/changes?cursor=<cursor>&limit=200: one page after `cursor`. Does not loop
  // over pages; the page says whether more follow.
  SyncPage sync(std::int64_t cursor, const std::string& token) const;

  // --- Captures and uploads

  // POST /v1/captures with the capture's JSON, and "Idempotency-Key" set to its
  // clientCaptureId: a repeated submission carries the same key, so the server can answer it
  // from the first acceptance (`replayed`).
  CaptureAccepted submit(const CaptureEnvelope& capture, const std::string& token) const;

  // POST /v1/uploads/initiate for one staged file of the capture `captureId`. Returns the
  // server's upload identifier and its plan for sending the bytes.
  std::pair<UUID, UploadPlan> initiateUpload(const UUID& captureId, const StagedAsset& asset,
                                             const std::string& token) const;

  // Sends the bytes of the local file `fileURL` as the plan says: its URL (unresolved) and
  // method, exactly its headers, and "Authorization: Bearer <token>" only when the plan's
  // `authenticated` is true (replacing any "Authorization" the plan lists). The file is streamed
  // from disk, not read into memory. Neither the base URL nor the default headers play a part.
  // The token goes only where it stays safe: to the base URL's own origin (scheme, host and
  // port) or to an https URL. A plan that asks for it anywhere else (plain HTTP to another host
  // or port) came from a server that is wrong or not ours, and throws `invalidResponse` with
  // nothing sent. Throws `transport` when `fileURL` does not name a readable regular file
  // (nothing is sent), and `invalidResponse` for any non-2xx status, even one with an error
  // envelope: the target need not be our server.
  //
  // `onProgress`, when given, is handed to the session as the request's progress handler
  // (HTTPRequest::onProgress): it is told on the calling thread how many bytes of the file have
  // been sent out of how many, and returning false ends the upload as a `transport` failure.
  // What it throws ends the upload too, as a `transport` failure carrying its `what()` (a
  // KestroAPIError or std::bad_alloc passes unchanged).
  void upload(const URL& fileURL, const UploadPlan& plan, const std::string& token,
              const HTTPRequest::ProgressHandler& onProgress = {}) const;

  // POST /v1/uploads/<id>/complete with the body {}.
  void completeUpload(const UUID& id, const std::string& token) const;

  // --- Items, tasks, search, feedback and account

  // GET /v1/items: every item, without paging.
  std::vector<KestroItem> listItems(const std::string& token) const;
  // PATCH /v1/items/<id>. An absent `content` is left out of the body (unchanged on the server);
  // an empty one is sent as "".
  KestroItem updateItem(const UUID& id, const std::string& title, const std::string& annotation,
                        const std::optional<std::string>& content, const std::string& token) const;
  // DELETE /v1/items/<id>. Any 2xx status is success, whatever its body.
  void deleteItem(const UUID& id, const std::string& token) const;
  // POST /v1/search: at most 30 results, semantic matching included, in the server's order.
  std::vector<SearchResult> search(const std::string& query, const std::string& token) const;
  // GET /v1/tasks: every task, without paging.
  std::vector<KestroTask> listTasks(const std::string& token) const;
  // PATCH /v1/tasks/<id> with the new status, which the server names.
  KestroTask updateTask(const UUID& id, const std::string& status, const std::string& token) const;
  // POST /v1/feedback. The server's receipt is checked (it must name a feedback UUID) and then
  // dropped.
  void submitFeedback(const std::string& body, KestroPlatform platform, const UUID& deviceId,
                      const std::string& appVersion, const std::string& token) const;
  // DELETE /v1/account. Any 2xx status is success, whatever its body.
  void deleteAccount(const std::string& token) const;

  // --- Conversations

  // GET /v1/conversations?limit=100: at most 100 conversations, in the server's order; no paging.
  std::vector<KestroConversation> listConversations(const std::string& token) const;
  // POST /v1/conversations with {"itemIds", "title"}: the items the conversation may draw on.
  KestroConversation createConversation(const std::string& title, const std::vector<UUID>& itemIds,
                                        const std::string& token) const;
  // GET /v1/conversations/<id>: the conversation with its messages, in the server's order.
  KestroConversationDetail conversation(const UUID& id, const std::string& token) const;
  // DELETE /v1/conversations/<id>. Any 2xx status is success, whatever its body.
  void deleteConversation(const UUID& id, const std::string& token) const;
  // POST /v1/conversations/<id>/cancel, without a body or "Content-Type": stops a reply being
  // written. Any 2xx status is success.
  void cancelConversation(const UUID& id, const std::string& token) const;

  // POST /v1/conversations/<conversationId>/messages with {"clientMessageId", "content"} and
  // "Accept: text/event-stream", and returns at once the stream of the reply's events. Nothing
  // is thrown here (but std::logic_error for a null session); every failure, including a body
  // that cannot be encoded, arrives through the stream (see ConversationEventStream.h). The
  // request is built from a copy of this client, so the client may go away before the stream.
  ConversationEventStream conversationEvents(const UUID& conversationId, const std::string& content,
                                             const UUID& clientMessageId,
                                             const std::string& token) const;

 private:
  // A request for `path` (absolute, may carry a query) with the default headers and the
  // method set.
  HTTPRequest makeRequest(std::string_view path, std::string_view method) const;

  // The JSON exchange: "Accept: application/json", the encoded body with its "Content-Type",
  // the bearer when `token` is given, then `headers`, each replacing what came before under the
  // same name. Returns the body of a 2xx response, still to be decoded.
  std::string send(std::string_view path, std::string_view method, const std::optional<JSON>& body,
                   const std::optional<std::string>& token, const HTTPHeaders& headers = {}) const;

  // The exchange for endpoints whose success has no body of interest: no "Accept", no body, and
  // any 2xx status succeeds.
  void sendStatusOnly(std::string_view path, std::string_view method,
                      const std::string& token) const;
};

}  // namespace kestro
