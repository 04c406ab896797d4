#include "KestroCore/API/ConversationEventStream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KestroCore/API/KestroAPIClient.h"
#include "Testing/APITestSupport.h"
#include "Testing/HTTPTestServer.h"
#include "Tools/DevServer/DevServer.h"

// A message's reply over real HTTP on 127.0.0.1: against kestro-devserver for what a server
// does, and against the scripted test server for what a server should never do (a payload that
// is not JSON, a line without end).

namespace kestro {
namespace {

using namespace testsupport;
using devserver::DevServer;
using devserver::FaultAction;
using devserver::FaultRule;
using namespace std::chrono_literals;

const UUID kMessageId = uuid("0E0E0E0E-0000-4000-8000-000000000001");

// Every event until the stream finishes normally; throws what it finished with.
std::vector<ConversationEvent> drain(ConversationEventStream& stream) {
  std::vector<ConversationEvent> events;
  while (auto event = stream.next()) events.push_back(std::move(*event));
  return events;
}

class ConversationEventStreamTest : public ::testing::Test {
 protected:
  ConversationEventStreamTest() {
    token_ = client_.developmentSession("ann@example.com").token;
    conversationId_ = client_.createConversation("Reading list", {}, token_).id;
    path_ = "/v1/conversations/" + conversationId_.uuidString() + "/messages";
  }

  ConversationEventStream reply(const std::string& content, const std::string& token) {
    return client_.conversationEvents(conversationId_, content, kMessageId, token);
  }
  // A reply from the scripted server, which answers the message's path with `response`.
  ConversationEventStream scriptedReply(ScriptedResponse response) {
    scripted_.route("POST", path_, std::move(response));
    return KestroAPIClient(url(scripted_.baseURL()), session_, {})
        .conversationEvents(conversationId_, "hi", kMessageId, "t");
  }

  DevServer server_{{.reply = {.deltas = 0, .interval = std::chrono::milliseconds(0)}}};
  HTTPTestServer scripted_;
  std::shared_ptr<URLSession> session_ = makeURLSession();
  KestroAPIClient client_{url(server_.baseURL()), session_, {}};
  std::string token_;
  UUID conversationId_;
  std::string path_;
};

TEST_F(ConversationEventStreamTest, ReplyArrivesAsDeltasAndCompletedEndsTheStream) {
  ConversationEventStream stream = reply("what did I save about owls", token_);
  const std::vector<ConversationEvent> events = drain(stream);
  ASSERT_EQ(events.size(), 9u);  // a delta per word, then the end
  EXPECT_EQ(events[7].name, "message.delta");
  EXPECT_EQ(events[8].name, "message.completed");
  EXPECT_EQ(*events[0].data.ifObject()->at("delta").ifString(), "You ");
  EXPECT_EQ(*events.back().data.ifObject()->at("message").ifObject()->at("content").ifString(),
            "You said: what did I save about owls");
  EXPECT_EQ(stream.next(), std::nullopt);  // finished: nothing more
}

TEST_F(ConversationEventStreamTest, RequestCarriesTheHeadersInOrderAndTheBody) {
  scripted_.route("POST", path_,
                  ScriptedResponse{.body = "event: message.completed\ndata: {}\n",
                                   .contentType = "text/event-stream"});
  const KestroAPIClient client(url(scripted_.baseURL() + "/api/"), session_,
                               headers({{"Accept", "application/json"}, {"X-Client", "tests"}}));
  ConversationEventStream stream =
      client.conversationEvents(conversationId_, "owls", kMessageId, "secret");
  EXPECT_EQ(drain(stream).size(), 1u);

  // The path is the message's own under the server's root: the route answers nothing else.
  const ReceivedRequest received = scripted_.requests().back();
  EXPECT_EQ(received.body,
            R"({"clientMessageId":"0E0E0E0E-0000-4000-8000-000000000001","content":"owls"})");
  // The default "Accept" gives way to the stream's; the other defaults go along.
  EXPECT_EQ(values(received, "Accept"), Strings{"text/event-stream"});
  EXPECT_EQ(values(received, "X-Client"), Strings{"tests"});
  EXPECT_EQ(values(received, "Authorization"), Strings{"Bearer secret"});
  EXPECT_EQ(values(received, "Content-Type"), Strings{"application/json"});
}

// Error answers are invalid responses, broken exchanges pass on as they are, and bad payloads
// and endless lines end the stream with their error.
TEST_F(ConversationEventStreamTest, FailuresEndTheStreamWithTheirError) {
  // Even an error the server calls retryable: the reply is not asked again.
  server_.addFault(FaultRule::fromJSON(
      R"({"route": "POST /v1/conversations/{id}/messages", "status": 500, "retryable": true})"));
  ConversationEventStream refused = reply("hi", token_);
  EXPECT_EQ(outcome([&] { refused.next(); }), "INVALID_RESPONSE final");

  // A connection that cannot be made is the session's own failure, passed on unchanged.
  const KestroAPIClient nowhere(url(HTTPTestServer().baseURL()), session_, {});
  ConversationEventStream unreachable =
      nowhere.conversationEvents(conversationId_, "hi", kMessageId, token_);
  EXPECT_THROW(unreachable.next(), URLSessionError);

  ConversationEventStream notJSON =
      scriptedReply(ScriptedResponse{.contentType = "text/event-stream",
                                     .chunks = {"event: message.delta\ndata: {\"delta\":\"a\"}\n",
                                                "event: message.delta\ndata: {\"delta\":\n",
                                                "event: message.completed\ndata: {}\n"}});
  EXPECT_EQ(notJSON.next()->name, "message.delta");
  EXPECT_THROW(notJSON.next(), DecodingError);
  EXPECT_EQ(notJSON.next(), std::nullopt);

  // A line at the limit is read; one byte more ends the stream instead of filling memory.
  const std::size_t limit = ConversationEventStream::kMaximumLineBytes;
  const std::string prefix = "data: \"";
  const std::string atLimit = prefix + std::string(limit - prefix.size() - 1, 'x') + "\"";
  ConversationEventStream large = scriptedReply(
      ScriptedResponse{.contentType = "text/event-stream",
                       .chunks = {"event: big\r\n", atLimit + "\r\n",
                                  "event: next\ndata: " + std::string(limit, '7'), "\n"}});
  const std::optional<ConversationEvent> big = large.next();
  ASSERT_TRUE(big);
  EXPECT_EQ(big->data.ifString()->size(), limit - prefix.size() - 1);
  EXPECT_THROW(large.next(), URLSessionError);
}

TEST_F(ConversationEventStreamTest, MemoryStaysBoundedWhateverTheServerSends) {
  const auto stream = [&](const std::string& path, ConversationEventStream::Limits limits) {
    return ConversationEventStream(
        session_,
        [url = url(scripted_.baseURL() + path)] {
          return HTTPRequest{.url = url, .method = "POST", .timeoutInterval = 5s};
        },
        limits);
  };
  const auto events = [](int count, bool last) {
    std::string body;
    for (int i = 0; i < count; ++i)
      body += "event: message.delta\ndata: " + std::to_string(i) + "\n";
    if (last) body += "event: message.completed\ndata: {}\n";
    return body;
  };

  // A reply that never ends is cut off at its limit, after the events that fit.
  scripted_.route(
      "POST", "/endless",
      ScriptedResponse{
          .body = events(5000, false), .contentType = "text/event-stream", .neverFinish = true});
  ConversationEventStream endless = stream("/endless", {.maximumReplyBytes = 20'000});
  int delivered = 0;
  EXPECT_THROW(while (const auto event = endless.next())
                   EXPECT_EQ(*event->data.ifNumber(), delivered++),
               URLSessionError);
  EXPECT_GT(delivered, 0);
  EXPECT_LT(delivered, 5000);

  // A consumer slower than the server holds the server back rather than queueing without end:
  // nothing is lost on the way, and a stream dropped while the server waits for room ends.
  scripted_.route("POST", "/long",
                  ScriptedResponse{.body = events(2000, true), .contentType = "text/event-stream"});
  ConversationEventStream slow = stream("/long", {.maximumQueuedEvents = 2});
  const std::vector<ConversationEvent> all = drain(slow);
  ASSERT_EQ(all.size(), 2001u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(*all[static_cast<std::size_t>(i)].data.ifNumber(), i);
  // A hang here (a producer waiting out the idle limit) fails through the test's timeout.
  auto dropped = std::make_optional(stream("/long", {.maximumQueuedEvents = 2}));
  EXPECT_EQ(dropped->next()->name, "message.delta");
  // Time for the producer to fill the queue and wait; nothing outside it can tell when it does.
  std::this_thread::sleep_for(100ms);
  dropped.reset();
}

// Events arrive while the reply is still open, and dropping the stream aborts the exchange
// whatever the server is doing; a drop that hangs fails through the test's timeout.
TEST_F(ConversationEventStreamTest, DroppingTheStreamAbortsTheExchangeWhateverTheServerDoes) {
  server_.setReplyOptions({.deltas = 1'000'000, .interval = std::chrono::milliseconds(2)});
  auto streaming = std::make_optional(reply("tell me everything", token_));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(streaming->next()->name, "message.delta");
  streaming.reset();

  // Stalled: the server never answers at all; and dropped before it could even connect.
  server_.addFault(FaultRule{.path = "*", .action = FaultAction::stall});
  auto stalled = std::make_optional(reply("hello?", token_));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stalled.reset();
  { ConversationEventStream unstarted = reply("hi", token_); }
}

}  // namespace
}  // namespace kestro
