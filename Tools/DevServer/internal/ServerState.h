#pragma once

// The dev server's /v1 interface apart from HTTP: its in-memory state and what each route does
// to it. The HTTP layer (DevServer.cpp, internal/HTTP*.cpp) reads requests, applies faults and
// streams; everything it asks of the state goes through here, under one mutex. The routes are
// defined one resource per file (internal/State*.cpp).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "KestroCore/API/APIModels.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/ServerModels.h"
#include "KestroCore/Sync/SyncReducer.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro::devserver {

// One request as the routes see it.
struct Call {
  std::string method;
  std::string path;   // without the query
  std::string query;  // the raw text after "?"
  std::optional<std::string> authorization;
  std::optional<std::string> idempotencyKey;
  // "http://address:port" of the address the request reached this server on (never taken from
  // the Host header): upload plans point back here.
  std::string origin;
  std::string body;
};

// One answer with a body of its own.
struct Reply {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
};

// An error answer: the envelope with a fresh trace id.
Reply errorReply(int status, std::string_view code, std::string_view message, bool retryable,
                 JSON details = JSON::object());

// The route of a path for statistics and fault rules: every segment that is a UUID becomes
// "{id}" ("/v1/uploads/{id}/complete").
std::string routeTemplate(std::string_view path);

class ServerState {
 public:
  ServerState(std::filesystem::path uploadDirectory, ReplyOptions reply);

  // Every /v1 route except an upload's content and a message's reply.
  Reply handle(const Call& call);

  // The user a bearer header names, if it is one we issued.
  std::optional<UUID> authenticate(const std::optional<std::string>& authorization) const;

  // --- An upload's bytes

  struct UploadTarget {
    UUID uploadId;
    std::int64_t byteCount;
    std::filesystem::path partialFile;  // unique to this attempt
  };
  // The upload `uploadIdText` of `user`, ready to receive its bytes, or the answer refusing it.
  std::variant<Reply, UploadTarget> beginUploadContent(const UUID& user,
                                                       std::string_view uploadIdText);
  // Checks the bytes received into `target.partialFile` against the initiation and keeps them
  // (or removes them) accordingly.
  Reply finishUploadContent(const UploadTarget& target, std::int64_t byteCount,
                            const std::string& sha256);

  // --- A message's reply

  struct ReplyPlan {
    UUID conversationId;
    UUID messageId;
    std::vector<std::string> words;
    std::int64_t deltas;
    std::chrono::milliseconds interval;
    std::uint64_t generation;  // the conversation's cancel generation when the reply began

    // The text of delta `index`.
    std::string delta(std::int64_t index) const;
  };
  std::variant<Reply, ReplyPlan> beginReply(const UUID& user, std::string_view conversationIdText,
                                            const std::string& body);
  // Whether the reply should stop: its conversation was cancelled or deleted since it began.
  bool replyCancelled(const ReplyPlan& plan) const;
  // The terminal event of a reply: its name and its data.
  struct ReplyEnd {
    std::string event;
    std::string data;
  };
  // Stores the reply as written so far, in one step with the check that its conversation is
  // still there and was not cancelled since it began: "message.completed" with the message when
  // `completed` and it is, else "message.failed" with the reason ("deleted", "cancelled").
  ReplyEnd finishReply(const ReplyPlan& plan, const std::string& text, bool completed);

  // --- Statistics and settings

  void countRequest(const std::string& route);
  void countFault();
  std::string statsJSON() const;
  void setReplyOptions(ReplyOptions reply);

 private:
  struct User {
    std::string email;
    std::string token;
  };
  struct Upload {
    UUID owner;
    std::string filename;
    std::int64_t byteCount;
    std::string sha256;
    enum class State { pending, received, complete } state = State::pending;
  };
  struct Capture {
    UUID owner;
    std::string key;
    CaptureAccepted accepted;
  };
  struct ItemRecord {
    UUID owner;
    KestroItem item;
  };
  struct TaskRecord {
    UUID owner;
    KestroTask task;
  };
  struct ConversationRecord {
    UUID owner;
    KestroConversationDetail detail;
    std::uint64_t generation = 0;
  };
  struct ChangeRecord {
    UUID owner;
    SyncChange change;
  };
  struct CaptureCounts {
    std::int64_t accepted = 0;
    std::int64_t replays = 0;
  };

  // Route handlers; the mutex is held.
  Reply signIn(const Call& call);
  Reply submitCapture(const UUID& user, const Call& call);
  Reply initiateUpload(const UUID& user, const Call& call);
  Reply completeUpload(const UUID& user, const std::string& id);
  Reply listItems(const UUID& user);
  Reply updateItem(const UUID& user, const std::string& id, const Call& call);
  Reply deleteItem(const UUID& user, const std::string& id);
  Reply listTasks(const UUID& user);
  Reply updateTask(const UUID& user, const std::string& id, const Call& call);
  Reply search(const UUID& user, const Call& call);
  Reply submitFeedback(const UUID& user, const Call& call);
  Reply deleteAccount(const UUID& user);
  Reply listConversations(const UUID& user, const Call& call);
  Reply createConversation(const UUID& user, const Call& call);
  Reply conversation(const UUID& user, const std::string& id);
  Reply deleteConversation(const UUID& user, const std::string& id);
  Reply cancelConversation(const UUID& user, const std::string& id);
  Reply syncChanges(const UUID& user, const Call& call);

  ItemRecord* findItem(const UUID& user, const std::string& id);
  TaskRecord* findTask(const UUID& user, const std::string& id);
  ConversationRecord* findConversation(const UUID& user, std::string_view id);
  void recordChange(const UUID& user, std::string_view entityType, const UUID& id,
                    std::optional<JSON> entity);

  const std::filesystem::path uploadDirectory_;

  mutable std::mutex mutex_;
  ReplyOptions reply_;
  std::map<std::string, UUID> tokens_;
  std::map<UUID, User> users_;
  std::map<UUID, Upload> uploads_;
  std::vector<Capture> captures_;
  std::vector<ItemRecord> items_;  // in creation order
  std::vector<TaskRecord> tasks_;
  std::vector<ConversationRecord> conversations_;
  std::vector<ChangeRecord> changes_;
  std::int64_t lastSequence_ = 0;
  std::int64_t feedback_ = 0;

  // Statistics.
  std::map<std::string, std::int64_t> requests_;
  std::map<std::string, CaptureCounts> captureCounts_;
  std::int64_t uploadsInitiated_ = 0;
  std::int64_t uploadsReceived_ = 0;
  std::int64_t uploadsRejected_ = 0;
  std::int64_t uploadsCompleted_ = 0;
  std::int64_t bytesReceived_ = 0;
  std::int64_t faultsApplied_ = 0;
};

}  // namespace kestro::devserver
