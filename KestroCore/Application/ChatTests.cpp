#include "KestroCore/Application/Chat.h"

#include <gtest/gtest.h>

#include <numeric>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationTestSupport.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro {
namespace {

using devserver::DevServer;

class ChatTest : public ::testing::Test {
 protected:
  ChatTest()
      : client_(*URL::fromString(server_.baseURL()), makeURLSession(), {}),
        token_(client_.developmentSession("ada@example.com").token) {}

  ChatReply send(const ChatRequest& request) {
    pieces_.clear();
    return chat(client_, token_, tree_.places(), request,
                [this](std::string_view text) { pieces_.emplace_back(text); });
  }

  testsupport::TemporaryTree tree_;
  DevServer server_{{.reply = {.deltas = 0, .interval = std::chrono::milliseconds(0)}}};
  KestroAPIClient client_;
  std::string token_;
  std::vector<std::string> pieces_;
};

TEST_F(ChatTest, MessagesGoToTheLastConversationOrANewOneWhenAskedOrItIsGone) {
  const ChatReply first = send({.message = "what did I save about printers?"});
  EXPECT_TRUE(first.created);
  // The reply came in pieces, as it streamed, and they make the whole text.
  EXPECT_GT(pieces_.size(), 1u);
  EXPECT_EQ(std::accumulate(pieces_.begin(), pieces_.end(), std::string()), first.text);
  EXPECT_EQ(client_.conversation(first.conversationId, token_).conversation.title,
            "what did I save about printers?");

  // A new one when asked, and then that one is continued.
  const ChatReply fresh = send({.message = "new topic", .startNew = true});
  EXPECT_NE(fresh.conversationId, first.conversationId);
  EXPECT_EQ(send({.message = "more"}).conversationId, fresh.conversationId);
  // An explicit one wins.
  EXPECT_EQ(send({.message = "back", .conversation = first.conversationId}).conversationId,
            first.conversationId);

  // One deleted on the server is replaced, not an error.
  client_.deleteConversation(first.conversationId, token_);
  const ChatReply next = send({.message = "hello again"});
  EXPECT_TRUE(next.created);
  EXPECT_NE(next.conversationId, first.conversationId);
  EXPECT_THROW(send({.message = " \n "}), ApplicationError);

  // A passing failure of the server is an error, and the conversation is kept for the next try.
  server_.addFault(devserver::FaultRule::fromJSON(
      R"({"route": "GET /v1/conversations/{id}", "status": 503, "retryable": true})"));
  EXPECT_THROW(send({.message = "still there?"}), KestroAPIError);
  const ChatReply kept = send({.message = "still there?"});
  EXPECT_FALSE(kept.created);
  EXPECT_EQ(kept.conversationId, next.conversationId);

  // What each event adds to the reply, and the title of a new conversation.
  const auto event = [](std::string name, JSONValue data) {
    return ConversationEvent{std::move(name), std::move(data)};
  };
  const JSONValue delta = JSONValue::object({{"delta", JSONValue::string("Hel")}});
  const JSONValue completed = JSONValue::object(
      {{"message", JSONValue::object({{"content", JSONValue::string("Hello")}})}});
  EXPECT_EQ(replyText(event("message.delta", delta), false), "Hel");
  EXPECT_EQ(replyText(event("message.completed", completed), false), "Hello");
  EXPECT_EQ(replyText(event("message.completed", completed), true), std::nullopt);
  EXPECT_EQ(replyText(event("message.created", delta), false), std::nullopt);

  EXPECT_EQ(conversationTitle(std::string(70, 'x')), std::string(59, 'x') + "…");
}

}  // namespace
}  // namespace kestro
