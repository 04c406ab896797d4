#include "KestroCore/Application/ServerAccount.h"

namespace kestro {
namespace {

// The status the server gives a task that is done.
constexpr const char* kTaskDone = "done";

}  // namespace

ServerAccount::ServerAccount(const Session& session)
    : account_(session.requireSignedIn()), client_(session.client(account_.server)) {}

std::vector<KestroItem> ServerAccount::items() const { return client_.listItems(account_.token); }

std::vector<KestroTask> ServerAccount::tasks() const { return client_.listTasks(account_.token); }

KestroTask ServerAccount::completeTask(const UUID& taskId) const {
  return client_.updateTask(taskId, kTaskDone, account_.token);
}

std::vector<SearchResult> ServerAccount::search(const std::string& text) const {
  return client_.search(text, account_.token);
}

void ServerAccount::sendFeedback(const std::string& text, const ApplicationPlaces& places) const {
  client_.submitFeedback(text, KestroPlatform::macos, places.deviceIdentifier(),
                         places.applicationVersion(), account_.token);
}

void ServerAccount::deleteAccount() const { client_.deleteAccount(account_.token); }

ChatReply ServerAccount::chat(const ApplicationPlaces& places, const ChatRequest& request,
                              const std::function<void(std::string_view)>& onText) const {
  return kestro::chat(client_, account_.token, places, request, onText);
}

SyncResult ServerAccount::synchronize(SyncCache& cache) const {
  return kestro::synchronize(client_, account_.token, account_.userId, cache);
}

}  // namespace kestro
