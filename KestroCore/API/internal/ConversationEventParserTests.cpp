#include "KestroCore/API/internal/ConversationEventParser.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Platform/HTTP/LineSplitter.h"

// A reply's bytes as the stream reads them: the session's line splitter, then the event rules,
// fed in chunks of every size from one byte up. The outcome must never depend on the chunking.
// Line limits and terminators are the splitter's own (LineSplitterTests.cpp).

namespace kestro {
namespace {

struct Outcome {
  std::vector<ConversationEvent> events;
  std::string end;  // "terminal", "response ended" or "decoding error"

  bool operator==(const Outcome&) const = default;
};

// Runs `bytes` through the splitter and the parser as the stream does, `chunk` bytes at a time.
Outcome run(std::string_view bytes, std::size_t chunk) {
  LineSplitter splitter(1024);
  ConversationEventParser parser;
  Outcome outcome;
  const auto onLine = [&](std::string_view line) {
    std::optional<ConversationEvent> event = parser.consumeLine(line);
    if (!event) return true;
    outcome.events.push_back(*event);
    return !ConversationEventParser::endsStream(*event);
  };
  try {
    LineSplitter::Status status = LineSplitter::Status::more;
    for (std::size_t at = 0; at < bytes.size() && status == LineSplitter::Status::more;
         at += chunk) {
      status = splitter.feed(bytes.substr(at, chunk), onLine);
    }
    if (status == LineSplitter::Status::more) status = splitter.finish(onLine);
    outcome.end = status == LineSplitter::Status::stopped ? "terminal" : "response ended";
  } catch (const DecodingError&) {
    outcome.end = "decoding error";
  }
  return outcome;
}

ConversationEvent event(std::string name, std::string_view json) {
  return ConversationEvent{std::move(name), decodeJSON<JSONValue>(parseJSON(json))};
}

struct Case {
  const char* scenario;
  std::string bytes;
  Outcome expected;
};

TEST(ConversationEventParserTest, OutcomeFollowsTheLinesWhateverTheChunking) {
  const std::vector<Case> cases = {
      {"a delta then completed ends the stream; what follows is never read",
       "event: message.delta\ndata: {\"delta\":\"Hi\"}\nevent: message.completed\ndata: {}\n"
       "event: message.delta\ndata: {\"late\":true}\n",
       {{event("message.delta", R"({"delta":"Hi"})"), event("message.completed", "{}")},
        "terminal"}},
      {"message.failed ends it too",
       "event: message.failed\r\ndata: {\"reason\":\"x\"}\r\n\r\n",
       {{event("message.failed", R"({"reason":"x"})")}, "terminal"}},
      {"a data line without an event line yields nothing and the stream goes on",
       "data: {}\n\nevent: a\ndata: 1\n",
       {{event("a", "1")}, "response ended"}},
      {"blank lines, comments, other fields and fields without the space keep the pending name",
       "event: b\nevent:a\n\n: comment\nid: 7\nretry: 10\ndata:2\ndata: [true,null]\n",
       {{event("b", "[true,null]")}, "response ended"}},
      {"a CR inside a line stays in it; only CR LF ends a line",
       "event: a\rb\r\ndata: \"\\r\"\r\n",
       {{event("a\rb", R"("\r")")}, "response ended"}},
      {"a payload that is not JSON ends the stream after the events before it",
       "event: a\ndata: 1\nevent: b\ndata: {oops\nevent: c\ndata: 3\n",
       {{event("a", "1")}, "decoding error"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    for (std::size_t chunk = 1; chunk <= std::max<std::size_t>(c.bytes.size(), 1); ++chunk) {
      const Outcome outcome = run(c.bytes, chunk);
      ASSERT_EQ(outcome, c.expected) << "in chunks of " << chunk << " bytes";
    }
  }
}

}  // namespace
}  // namespace kestro
