#include "KestroCore/API/ConversationEventStream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
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
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const UUID kMessageId = uuid("0E0E0E0E-0000-4000-8000-000000000001");

// Every event until the stream finishes normally; throws what it finished with.
std::vector<ConversationEvent> drain(ConversationEventStream& stream) {
  std::vector<ConversationEvent> events;
  while (auto event = stream.next()) events.push_back(std::move(*event));
  return events;
}

std::vector<std::string> names(const std::vector<ConversationEvent>& events) {
  std::vector<std::string> result;
  for (const auto& event : events) result.push_back(event.name);
  return result;
}

// How long dropping a stream takes. The bound the tests check is generous: the aim is to catch
// a hang (a producer waiting out the 60-second idle limit), not to time anything.
template <class Stream>
std::chrono::milliseconds timeToDrop(Stream stream) {
  const auto start = Clock::now();
  stream.reset();
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}
constexpr auto kPrompt = std::chrono::seconds(10);

class ConversationEventStreamTest : public ::testing::Test {
 protected:
  ConversationEventStreamTest() {
    token_ = client_.developmentSession("ann@example.com").token;
    conversationId_ = client_.createConversation("Reading list", {}, token_).id;
  }

  ConversationEventStream reply(const std::string& content, const std::string& token) {
    return client_.conversationEvents(conversationId_, content, kMessageId, token);
  }

  DevServer server_{{.reply = {.deltas = 0, .interval = std::chrono::milliseconds(0)}}};
  std::shared_ptr<URLSession> session_ = makeURLSession();
  KestroAPIClient client_{url(server_.baseURL()), session_, {}};
  std::string token_;
  UUID conversationId_;
};

TEST_F(ConversationEventStreamTest, ReplyArrivesAsDeltasAndCompletedEndsTheStream) {
  ConversationEventStream stream = reply("what did I save about owls", token_);
  const std::vector<ConversationEvent> events = drain(stream);
  std::vector<std::string> expected(8, "message.delta");  // one per word
  expected.push_back("message.completed");
  ASSERT_EQ(names(events), expected);
  std::string text;
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    text += *events[i].data.ifObject()->at("delta").ifString();
  }
  EXPECT_EQ(text, "You said: what did I save about owls");
  const auto& message = *events.back().data.ifObject()->at("message").ifObject();
  EXPECT_EQ(*message.at("content").ifString(), text);
  EXPECT_EQ(*message.at("status").ifString(), "complete");
  // Finished: nothing more, however often asked.
  EXPECT_EQ(stream.next(), std::nullopt);
  EXPECT_EQ(stream.next(), std::nullopt);

  const KestroConversationDetail detail = client_.conversation(conversationId_, token_);
  ASSERT_EQ(detail.messages.size(), 2u);
  EXPECT_EQ(detail.messages[0].content, "what did I save about owls");
  EXPECT_EQ(detail.messages[1].content, text);

  // A moved stream carries on; the moved-from one holds nothing.
  ConversationEventStream first = reply("one two", token_);
  ConversationEventStream second = std::move(first);
  EXPECT_EQ(second.next()->name, "message.delta");
  EXPECT_THROW(first.next(), std::logic_error);  // NOLINT(bugprone-use-after-move)
  first = std::move(second);
  EXPECT_EQ(names(drain(first)).back(), "message.completed");
}

TEST_F(ConversationEventStreamTest, RequestCarriesTheHeadersInOrderAndTheBody) {
  HTTPTestServer scripted;
  const std::string path = "/v1/conversations/" + conversationId_.uuidString() + "/messages";
  scripted.route("POST", path,
                 ScriptedResponse{.body = "event: message.completed\ndata: {}\n",
                                  .contentType = "text/event-stream"});
  const KestroAPIClient client(url(scripted.baseURL() + "/api/"), session_,
                               headers({{"Accept", "application/json"}, {"X-Client", "tests"}}));
  ConversationEventStream stream =
      client.conversationEvents(conversationId_, "caf\xC3\xA9 \"owls\"", kMessageId, "secret");
  EXPECT_EQ(names(drain(stream)), std::vector<std::string>{"message.completed"});

  const ReceivedRequest received = scripted.requests().back();
  EXPECT_EQ(received.method, "POST");
  EXPECT_EQ(received.path, path);
  EXPECT_EQ(received.body, R"({"clientMessageId":"0E0E0E0E-0000-4000-8000-000000000001",)"
                           "\"content\":\"caf\xC3\xA9 \\\"owls\\\"\"}");
  std::vector<std::string> order;
  for (const auto& [name, value] : received.headers) {
    if (name == "Accept" || name == "X-Client" || name == "Authorization" ||
        name == "Content-Type") {
      order.push_back(name + ": " + value);
    }
  }
  // The default "Accept" keeps its place but takes the stream's value.
  EXPECT_EQ(order, (std::vector<std::string>{"Accept: text/event-stream", "X-Client: tests",
                                             "Authorization: Bearer secret",
                                             "Content-Type: application/json"}));

  // A body that cannot be encoded fails the stream before any connection is made.
  const std::size_t connections = scripted.connectionsAccepted();
  ConversationEventStream unencodable =
      client.conversationEvents(conversationId_, "caf\xE9", kMessageId, "secret");
  EXPECT_THROW(unencodable.next(), EncodingError);
  EXPECT_EQ(unencodable.next(), std::nullopt);
  EXPECT_EQ(scripted.connectionsAccepted(), connections);
}

TEST_F(ConversationEventStreamTest, ErrorAnswersAreInvalidResponsesBeforeAnyEvent) {
  const auto firstOutcome = [](ConversationEventStream stream) {
    return outcome([&] {
      if (auto event = stream.next()) throw std::runtime_error("an event: " + event->name);
    });
  };
  EXPECT_EQ(firstOutcome(reply("hi", "not-a-token")), "INVALID_RESPONSE final");
  EXPECT_EQ(firstOutcome(client_.conversationEvents(UUID(), "hi", kMessageId, token_)),
            "INVALID_RESPONSE final");
  const std::string route = "POST /v1/conversations/{id}/messages";
  server_.addFault(
      FaultRule::fromJSON(R"({"route": ")" + route + R"(", "status": 500, "retryable": true})"));
  EXPECT_EQ(firstOutcome(reply("hi", token_)), "INVALID_RESPONSE final");
  server_.addFault(FaultRule::fromJSON(R"({"route": ")" + route + R"(", "action": "html"})"));
  EXPECT_EQ(firstOutcome(reply("hi", token_)), "INVALID_RESPONSE final");

  // A connection that breaks is the session's own failure, passed on unchanged.
  server_.addFault(FaultRule::fromJSON(R"({"route": ")" + route + R"(", "action": "reset"})"));
  ConversationEventStream reset = reply("hi", token_);
  EXPECT_THROW(reset.next(), URLSessionError);
  const KestroAPIClient nowhere(url(HTTPTestServer().baseURL()), session_, {});
  ConversationEventStream unreachable =
      nowhere.conversationEvents(conversationId_, "hi", kMessageId, token_);
  try {
    unreachable.next();
    ADD_FAILURE() << "a closed port answered";
  } catch (const URLSessionError& error) {
    EXPECT_EQ(error.kind(), URLSessionError::Kind::transport);
  }
  EXPECT_EQ(unreachable.next(), std::nullopt);
}

TEST_F(ConversationEventStreamTest, BadPayloadsAndEndlessLinesEndTheStreamWithTheirError) {
  HTTPTestServer scripted;
  const KestroAPIClient client(url(scripted.baseURL()), session_, {});
  const std::string path = "/v1/conversations/" + conversationId_.uuidString() + "/messages";
  const auto stream = [&] {
    return client.conversationEvents(conversationId_, "hi", kMessageId, "t");
  };

  scripted.route("POST", path,
                 ScriptedResponse{.contentType = "text/event-stream",
                                  .chunks = {"event: message.delta\ndata: {\"delta\":\"a\"}\n",
                                             "event: message.delta\ndata: {\"delta\":\n",
                                             "event: message.completed\ndata: {}\n"}});
  ConversationEventStream notJSON = stream();
  EXPECT_EQ(notJSON.next()->name, "message.delta");
  EXPECT_THROW(notJSON.next(), DecodingError);
  EXPECT_EQ(notJSON.next(), std::nullopt);

  // Ending without a terminal event is a normal finish.
  scripted.route("POST", path,
                 ScriptedResponse{.body = "event: message.delta\ndata: 1",
                                  .contentType = "text/event-stream"});
  ConversationEventStream unfinished = stream();
  EXPECT_EQ(names(drain(unfinished)), std::vector<std::string>{"message.delta"});

  // A line at the limit is read; one byte more ends the stream instead of filling memory.
  const std::size_t limit = ConversationEventStream::kMaximumLineBytes;
  const std::string prefix = "data: \"";
  const std::string atLimit = prefix + std::string(limit - prefix.size() - 1, 'x') + "\"";
  scripted.route(
      "POST", path,
      ScriptedResponse{.contentType = "text/event-stream",
                       .chunks = {"event: big\r\n", atLimit + "\r\n",
                                  "event: next\ndata: " + std::string(limit, '7'), "\n"}});
  ConversationEventStream large = stream();
  const std::optional<ConversationEvent> big = large.next();
  ASSERT_TRUE(big);
  EXPECT_EQ(big->data.ifString()->size(), limit - prefix.size() - 1);
  try {
    large.next();
    ADD_FAILURE() << "a line over the limit was read";
  } catch (const URLSessionError& error) {
    EXPECT_NE(std::string(error.what()).find("limit"), std::string::npos) << error.what();
  }
}

TEST_F(ConversationEventStreamTest, EventsArriveWhileTheReplyIsStillOpen) {
  HTTPTestServer scripted;
  const std::string path = "/v1/conversations/" + conversationId_.uuidString() + "/messages";
  // A body that never ends: its one event must arrive without waiting for the rest.
  scripted.route("POST", path,
                 ScriptedResponse{.body = "event: message.delta\ndata: {\"delta\":\"a\"}\n",
                                  .contentType = "text/event-stream",
                                  .neverFinish = true});
  const KestroAPIClient client(url(scripted.baseURL()), session_, {});
  auto stream =
      std::make_optional(client.conversationEvents(conversationId_, "hi", kMessageId, "t"));
  EXPECT_EQ(stream->next()->name, "message.delta");
  EXPECT_LT(timeToDrop(std::move(stream)), kPrompt);
}

TEST_F(ConversationEventStreamTest, MemoryStaysBoundedWhateverTheServerSends) {
  HTTPTestServer scripted;
  const auto stream = [&](const std::string& path, ConversationEventStream::Limits limits) {
    return ConversationEventStream(
        session_,
        [url = url(scripted.baseURL() + path)] {
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
  scripted.route(
      "POST", "/endless",
      ScriptedResponse{
          .body = events(5000, false), .contentType = "text/event-stream", .neverFinish = true});
  ConversationEventStream endless = stream("/endless", {.maximumReplyBytes = 20'000});
  int delivered = 0;
  try {
    while (const auto event = endless.next()) EXPECT_EQ(*event->data.ifNumber(), delivered++);
    ADD_FAILURE() << "an endless reply finished normally";
  } catch (const URLSessionError& error) {
    EXPECT_NE(std::string(error.what()).find("larger than the limit of 20000 bytes"),
              std::string::npos)
        << error.what();
  }
  EXPECT_GT(delivered, 0);
  EXPECT_LT(delivered, 5000);

  // A consumer slower than the server holds the server back rather than queueing without end:
  // nothing is lost on the way, and a stream dropped while the server waits for room ends.
  scripted.route("POST", "/long",
                 ScriptedResponse{.body = events(2000, true), .contentType = "text/event-stream"});
  ConversationEventStream slow = stream("/long", {.maximumQueuedEvents = 2});
  const std::vector<ConversationEvent> all = drain(slow);
  ASSERT_EQ(all.size(), 2001u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(*all[static_cast<std::size_t>(i)].data.ifNumber(), i);
  auto dropped = std::make_optional(stream("/long", {.maximumQueuedEvents = 2}));
  EXPECT_EQ(dropped->next()->name, "message.delta");
  // Time for the producer to fill the queue and wait; nothing outside it can tell when it does.
  std::this_thread::sleep_for(100ms);
  EXPECT_LT(timeToDrop(std::move(dropped)), kPrompt);
}

TEST_F(ConversationEventStreamTest, DroppingTheStreamAbortsTheExchangeWhateverTheServerDoes) {
  // Still streaming: a long reply, dropped after a few events.
  server_.setReplyOptions({.deltas = 1'000'000, .interval = std::chrono::milliseconds(2)});
  auto streaming = std::make_optional(reply("tell me everything", token_));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(streaming->next()->name, "message.delta");
  EXPECT_LT(timeToDrop(std::move(streaming)), kPrompt);
  // The server notices the client has gone and gives the reply up.
  const auto deadline = Clock::now() + kPrompt;
  std::string status;
  while (Clock::now() < deadline) {
    status = client_.conversation(conversationId_, token_).messages.back().status;
    if (status != "streaming") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(status, "failed");

  // Stalled: the server never answers at all.
  server_.addFault(FaultRule{.path = "*", .action = FaultAction::stall});
  auto stalled = std::make_optional(reply("hello?", token_));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LT(timeToDrop(std::move(stalled)), kPrompt);

  // Dropped at once, before it could even connect; and never read at all.
  EXPECT_LT(timeToDrop(std::make_optional(reply("hi", token_))), kPrompt);
}

TEST_F(ConversationEventStreamTest, CancellingTheConversationEndsTheReplyWithFailed) {
  server_.setReplyOptions({.deltas = 1'000'000, .interval = std::chrono::milliseconds(2)});
  ConversationEventStream stream = reply("a long answer please", token_);
  EXPECT_EQ(stream.next()->name, "message.delta");
  client_.cancelConversation(conversationId_, token_);
  std::optional<ConversationEvent> last;
  while (auto event = stream.next()) last = std::move(event);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->name, "message.failed");
  EXPECT_EQ(client_.conversation(conversationId_, token_).messages.back().status, "failed");
}

}  // namespace
}  // namespace kestro
