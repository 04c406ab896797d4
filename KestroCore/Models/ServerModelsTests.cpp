#include "KestroCore/Models/ServerModels.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

namespace kestro {
namespace {

using namespace std::chrono_literals;

// Minimal valid documents; each test damages or extends a copy.
constexpr std::string_view kItem = R"({"id": "6F9619FF-8B86-4011-B42D-00C04FC964FF",
  "kind": "url", "status": "ready", "title": "A page", "annotation": "",
  "metadata": {"lang": "en", "words": 420, "tags": ["a", "b"]}, "relationships": [
    {"id": "22222222-2222-4222-8222-222222222222", "type": "mentions", "source": "user",
     "relatedItemId": "0F1E2D3C-4B5A-4968-8776-655443322110", "direction": "incoming",
     "note": "see also", "confidence": 0.5,
     "createdAt": "2025-03-04T05:06:07Z", "updatedAt": "2025-03-04T05:06:08Z"}],
  "capturedAt": "2025-03-04T05:00:00Z", "createdAt": "2025-03-04T05:00:01Z",
  "updatedAt": "2025-03-04T05:00:02Z"})";
constexpr std::string_view kTask = R"({"id": "A0A0A0A0-0000-4000-8000-000000000001",
  "title": "Call back", "status": "open", "creatorKind": "user",
  "createdAt": "2025-03-04T05:00:00Z", "updatedAt": "2025-03-04T05:00:00Z"})";
constexpr std::string_view kMessage = R"({"id": "D0D0D0D0-0000-4000-8000-000000000001",
  "role": "assistant", "status": "complete", "content": "Hello", "sequence": 2,
  "createdAt": "2025-03-04T05:00:00Z", "citations": []})";

JSON parse(std::string_view text) { return JSON::parse(text); }

// The coding path of the error that decoding raises, or "(decoded)" when nothing is raised.
template <class T>
std::string failingPath(const JSON& json) {
  try {
    decodeJSON<T>(json);
  } catch (const DecodingError& error) {
    return error.codingPath();
  }
  return "(decoded)";
}

TEST(ServerModelsTest, RequiredMapsAndListsMustBePresentButMayBeEmptyAndHoldTheirType) {
  struct Case {
    JSON document;
    std::string key;
    std::string (*path)(const JSON&);
  };
  const Case cases[] = {
      {parse(kItem), "metadata", &failingPath<KestroItem>},
      {parse(kMessage), "citations", &failingPath<KestroChatMessage>},
  };
  for (const Case& c : cases) {
    JSON document = c.document;
    document.erase(c.key);
    EXPECT_EQ(c.path(document), c.key) << "missing";
    document[c.key] = nullptr;
    EXPECT_EQ(c.path(document), c.key) << "null";
    document[c.key] = c.document.at(c.key).is_array() ? JSON::array() : JSON::object();
    EXPECT_EQ(c.path(document), "(decoded)") << "empty";
  }
  // The score breakdown takes only numbers.
  JSON result = {{"item", parse(kItem)},
                 {"excerpt", "…page…"},
                 {"score", 0.75},
                 {"scoreBreakdown", {{"bm25", "0.5"}, {"vector", 1}}}};
  EXPECT_EQ(failingPath<SearchResult>(result), "scoreBreakdown.bm25");
}

TEST(ServerModelsTest, NullOptionalReadsAsAbsentAndIsNotWrittenBack) {
  JSON task = parse(kTask);
  task["dueText"] = "tomorrow";
  task["dueAt"] = nullptr;
  task["sourceItemId"] = nullptr;
  const auto decoded = decodeJSON<KestroTask>(task);
  task.erase("dueAt");
  task.erase("sourceItemId");
  EXPECT_EQ(parse(encodeJSONString(decoded)), task);
}

// A key spelled one way when writing and another when reading would pass every test that leaves
// the field absent; a fully populated value must come back whole, under the documented keys.
TEST(ServerModelsTest, FullyPopulatedEntitiesRoundTripUnderTheirDocumentedKeys) {
  const Date at = Date{} + 1'741'064'400s;
  const auto id = [](char digit) {
    return *UUID::fromString("00000000-0000-4000-8000-00000000000" + std::string(1, digit));
  };
  const auto number = [](double value) { return JSONValue::number(value); };
  // clang-format off
  const KestroConversationDetail detail{
      .conversation = {id('1'), "Reading list — “Übersicht”",
                       {{"itemIds", JSONValue::array({JSONValue::string("x")})},
                        {"since", JSONValue::null()}},
                       at, at + 60s},
      .messages = {
          KestroChatMessage{id('2'), "user", "complete", "What did I save?", 1, at, at + 1s, {}},
          KestroChatMessage{
              id('3'), "assistant", "streaming", "Two pages 📄", 2, at + 2s, std::nullopt,
              {KestroCitation{id('4'), id('9'), id('5'), "first",
                              {{"page", number(3)},
                               {"span", JSONValue::object({{"from", number(10)}})}},
                              1},
               KestroCitation{id('6'), id('9'), std::nullopt, "second", {}, -7}}}}};
  const KestroItemRelationship relationship{
      id('1'), id('2'), "references", "user", "outgoing", "see also", 0.25, at, at + 1s};
  const KestroItem item{
      id('3'), SourceKind::url, "ready", "A page", "not a URL at all", "my note", "user text",
      "# markdown", "extracted", "summary", {{"lang", JSONValue::string("en")}}, {relationship},
      at, at + 2s, at + 3s};
  const KestroTask task{id('4'), id('3'), "Call back", "about the page", "open", "tomorrow",
                        at + 24h, "assistant", at, at + 1s, at + 48h};
  // clang-format on
  const SearchResult result{item, id('5'), "excerpt", 0.5, {{"bm25", 0.5}}};

  const auto expectRoundTrip = [](const auto& value, std::vector<std::string> keys) {
    using T = std::decay_t<decltype(value)>;
    const JSON written = parse(encodeJSONString(value));
    for (const std::string& key : keys) EXPECT_TRUE(written.contains(key)) << key;
    EXPECT_EQ(decodeJSON<T>(written), value);
    return written;
  };
  const JSON written = expectRoundTrip(detail, {"conversation", "messages"});
  // A null inside a map is a value and stays; absent optional fields leave no key behind.
  EXPECT_EQ(written["conversation"]["scope"], parse(R"({"itemIds": ["x"], "since": null})"));
  EXPECT_FALSE(written["messages"][1].contains("completedAt"));
  EXPECT_FALSE(written["messages"][1]["citations"][1].contains("chunkId"));
  expectRoundTrip(relationship, {"note", "confidence"});
  expectRoundTrip(
      item, {"canonicalUrl", "userContent", "normalizedMarkdown", "extractedText", "summary"});
  expectRoundTrip(task, {"sourceItemId", "description", "dueText", "dueAt", "completedAt"});
  expectRoundTrip(result, {"chunkId"});
}

}  // namespace
}  // namespace kestro
