// The state's routes of conversations, and the replies to their messages (streamed by the HTTP
// layer).

#include "Tools/DevServer/internal/ServerState.h"

#include <algorithm>

#include "KestroCore/Foundation/Text.h"
#include "Tools/DevServer/internal/RouteSupport.h"

namespace kestro::devserver {

namespace {

constexpr std::int64_t kConversationListLimit = 100;

}  // namespace

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

}  // namespace kestro::devserver
