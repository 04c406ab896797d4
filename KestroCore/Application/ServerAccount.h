#pragma once

// What the signed-in user asks of the server beyond sending captures: items, tasks, search,
// feedback, the account's deletion, chat and sync. A command makes one ServerAccount and asks it;
// it never holds a client of its own. Failures are the client's KestroAPIError (reportError
// turns them into a line and an exit status) and what the called Application functions throw.
//
// Threads: a small value over the account and a client of its server; copies may be used at
// once.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/API/KestroAPIClient.h"
#include "KestroCore/Application/ApplicationPlaces.h"
#include "KestroCore/Application/Chat.h"
#include "KestroCore/Application/Session.h"
#include "KestroCore/Application/Synchronizer.h"
#include "KestroCore/OutboxStore/SyncCache.h"

namespace kestro {

class ServerAccount {
 public:
  // The session's signed-in account, on the session's HTTP session. Throws what
  // Session::requireSignedIn throws (ApplicationError, notSignedIn, when nobody is).
  explicit ServerAccount(const Session& session);

  const SignedInAccount& account() const noexcept { return account_; }

  std::vector<KestroItem> items() const;
  std::vector<KestroTask> tasks() const;
  // Marks the task done and returns it as the server now has it.
  KestroTask completeTask(const UUID& taskId) const;
  std::vector<SearchResult> search(const std::string& text) const;
  // Sent as from this device: its identifier and the application's version come from `places`.
  void sendFeedback(const std::string& text, const ApplicationPlaces& places) const;
  // Deletes the account on the server, and nothing on this device.
  void deleteAccount() const;
  // chat() of Chat.h, for this account.
  ChatReply chat(const ApplicationPlaces& places, const ChatRequest& request,
                 const std::function<void(std::string_view)>& onText) const;
  // synchronize() of Synchronizer.h, for this account's user.
  SyncResult synchronize(SyncCache& cache) const;

 private:
  SignedInAccount account_;
  KestroAPIClient client_;
};

}  // namespace kestro
