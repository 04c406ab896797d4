#pragma once

// `kestro chat`: a message to the server's assistant in a new or continuing conversation, with
// the reply handed on piece by piece as it streams in. The conversation continued by default is
// the last one used, kept in the application's settings ("kestro.conversation-id").

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "KestroCore/API/ConversationEventStream.h"
#include "KestroCore/API/KestroAPIClient.h"
#include "KestroCore/Application/ApplicationPlaces.h"
#include "KestroCore/Foundation/UUID.h"

namespace kestro {

struct ChatRequest {
  std::string message{};
  std::optional<UUID> conversation = std::nullopt;  // continue this one
  bool startNew = false;                            // rather than the last one used
};

struct ChatReply {
  UUID conversationId;
  bool created = false;               // a new conversation was started for this message
  bool failed = false;                // the server reported the reply as failed
  std::optional<std::string> reason;  // why, when it said
  std::string text;                   // the reply as received
};

// What a reply event adds to the text: the delta of a "message.delta" event; the content of
// "message.completed" only when nothing was streamed before (`streamedSoFar` false); nothing
// for other events.
std::optional<std::string> replyText(const ConversationEvent& event, bool streamedSoFar);

// The conversation's title for a first message: its first line, compacted, at most 60
// characters.
std::string conversationTitle(std::string_view message);

// Sends the message and streams the reply to `onText` as it arrives. The conversation: the one
// asked for; else, unless a new one is wanted, the last one used if the server still has it;
// else a new one, titled after the message. The one used is stored as the last one. Throws
// ApplicationError (usage) for a blank message, KestroAPIError for the exchanges and what the
// event stream throws (see ConversationEventStream.h).
ChatReply chat(const KestroAPIClient& client, const std::string& token,
               const ApplicationPlaces& places, const ChatRequest& request,
               const std::function<void(std::string_view)>& onText);

}  // namespace kestro
