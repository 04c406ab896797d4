// The state: dispatching a call to its route, authentication, errors and statistics. The
// routes themselves live with their resource: StateAccount, StateCaptures, StateItems,
// StateConversations and StateSync.

#include "Tools/DevServer/internal/ServerState.h"

#include <utility>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/Text.h"
#include "Tools/DevServer/internal/RouteSupport.h"

namespace kestro::devserver {

namespace {

Reply unauthorized() {
  return errorReply(401, "UNAUTHORIZED", "A valid bearer token is required", false);
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

std::optional<std::string> bearerToken(const std::optional<std::string>& authorization) {
  if (!authorization || !startsWithIgnoringASCIICase(*authorization, "Bearer ")) {
    return std::nullopt;
  }
  return std::string(trimmingSpacesAndTabs(std::string_view(*authorization).substr(7)));
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
