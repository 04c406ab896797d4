#include "KestroCore/Application/Chat.h"

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/Text.h"

namespace kestro {
namespace {

constexpr std::size_t kTitleCharacters = 60;

const JSONValue* member(const JSONValue& value, const std::string& key) {
  const JSONValue::Object* object = value.ifObject();
  if (!object) return nullptr;
  const auto found = object->find(key);
  return found == object->end() ? nullptr : &found->second;
}

const std::string* stringMember(const JSONValue& value, const std::string& key) {
  const JSONValue* found = member(value, key);
  return found ? found->ifString() : nullptr;
}

}  // namespace

std::optional<std::string> replyText(const ConversationEvent& event, bool streamedSoFar) {
  if (event.name == "message.delta") {
    if (const std::string* delta = stringMember(event.data, "delta")) return *delta;
    return std::nullopt;
  }
  if (event.name == "message.completed" && !streamedSoFar) {
    if (const JSONValue* message = member(event.data, "message")) {
      if (const std::string* content = stringMember(*message, "content")) return *content;
    }
  }
  return std::nullopt;
}

std::string conversationTitle(std::string_view message) {
  std::string_view line = trimmingWhitespaceAndNewlines(message);
  line = line.substr(0, line.find('\n'));
  return prefixOfCodePoints(trimmingWhitespaceAndNewlines(line), kTitleCharacters);
}

ChatReply chat(const KestroAPIClient& client, const std::string& token,
               const ApplicationPlaces& places, const ChatRequest& request,
               const std::function<void(std::string_view)>& onText) {
  if (trimmingWhitespaceAndNewlines(request.message).empty()) {
    throw ApplicationError(ExitStatus::usage, "give the message to send");
  }
  const UserDefaults settings = places.applicationSettings();
  ChatReply reply;
  std::optional<UUID> conversation = request.conversation;
  if (!conversation && !request.startNew) {
    if (const auto stored = settings.string(settingskeys::kConversationId)) {
      if (const auto id = UUID::fromString(*stored)) {
        try {
          client.conversation(*id, token);
          conversation = id;
        } catch (const KestroAPIError& error) {
          // Deleted on the server (or never this account's): the server says so, and that it
          // will not change; start a new one. A passing failure (no connection, a busy server)
          // is the user's to know, and must not cost them the conversation they are in.
          const auto* server = error.as<KestroAPIError::Server>();
          if (!server || server->retryable) throw;
        }
      }
    }
  }
  if (!conversation) {
    conversation = client.createConversation(conversationTitle(request.message), {}, token).id;
    reply.created = true;
  }
  reply.conversationId = *conversation;
  settings.set(conversation->uuidString(), settingskeys::kConversationId);

  ConversationEventStream stream =
      client.conversationEvents(*conversation, request.message, UUID(), token);
  while (const std::optional<ConversationEvent> event = stream.next()) {
    if (const auto text = replyText(*event, !reply.text.empty())) {
      reply.text += *text;
      if (onText) onText(*text);
    }
    if (event->name == "message.failed") {
      reply.failed = true;
      if (const std::string* reason = stringMember(event->data, "reason")) reply.reason = *reason;
    }
  }
  return reply;
}

}  // namespace kestro
