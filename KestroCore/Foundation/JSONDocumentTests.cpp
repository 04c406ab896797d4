#include "KestroCore/Foundation/JSONDocument.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kestro {
namespace {

using namespace std::string_view_literals;

std::vector<std::string> keys(const JSONElement& object) {
  std::vector<std::string> names;
  for (const auto& member : object.members()) names.emplace_back(member.key);
  return names;
}

TEST(JSONDocumentTest, DocumentsAliveTogetherOnOneThreadKeepTheirOwnValues) {
  // Parsers are reused within a thread: one still in use must never be handed out again.
  JSONDocument first;
  ASSERT_TRUE(first.read(R"({"b":[1,2],"a":"x","b":true})"sv));
  {
    JSONDocument second;
    ASSERT_TRUE(second.read(std::string(R"(["only", "strings"])")));
    JSONDocument large;
    ASSERT_TRUE(large.read("[\"" + std::string(200'000, 'y') + "\"]"));
    EXPECT_EQ(large.root().elements().at(0).string().size(), 200'000u);
    EXPECT_EQ(second.root().elements().at(1).string(), "strings");
  }
  JSONDocument third;
  ASSERT_TRUE(third.read("[3]"sv));
  EXPECT_EQ(third.root().elements().at(0).integer(), 3);

  // Members come in the text's order, a repeated key each time it appears.
  const JSONElement root = first.root();
  EXPECT_EQ(keys(root), (std::vector<std::string>{"b", "a", "b"}));
  EXPECT_EQ(root.members().at(0).value.elements().at(1).integer(), 2);
  EXPECT_EQ(root.members().at(1).value.string(), "x");
  EXPECT_TRUE(root.members().at(2).value.boolean());
}

TEST(JSONDocumentTest, NumbersKeepTheKindTheirTextGives) {
  JSONDocument document;
  ASSERT_TRUE(document.read("[-0, 7, 9223372036854775808, 1.0, 2e3, -0.0]"sv));
  const auto numbers = document.root().elements();
  using Kind = JSONElement::Kind;
  const std::vector<Kind> kinds{Kind::integer,  Kind::integer,  Kind::unsignedInteger,
                                Kind::floating, Kind::floating, Kind::floating};
  ASSERT_EQ(numbers.size(), kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(numbers[i].kind(), kinds[i]) << i;
  EXPECT_EQ(numbers[2].unsignedInteger(), 9223372036854775808u);
  EXPECT_EQ(numbers[4].number(), 2000.0);
  EXPECT_TRUE(std::signbit(numbers[5].floating()));
}

TEST(JSONDocumentTest, LargeDocumentsReadWholeAndLeaveTheThreadsParsersUsable) {
  // A large document is read by the parser the thread keeps for large documents, which the next
  // round reads with again; small ones by the thread's other parsers, before and after it.
  std::string text = "[";
  for (int i = 0; i < 200'000; ++i) text += "{\"n\":" + std::to_string(i) + ",\"s\":\"v\"},";
  text += "\"end\"]";
  ASSERT_GT(text.size(), std::size_t{1} << 20);
  for (int round = 0; round < 2; ++round) {
    JSONDocument large;
    ASSERT_TRUE(large.read(text));
    JSONDocument small;
    ASSERT_TRUE(small.read("[7]"sv));
    std::int64_t sum = 0;
    std::size_t count = 0;
    JSONElement element;
    for (auto cursor = large.root().walkElements(); cursor.next(element); ++count) {
      if (element.kind() != JSONElement::Kind::object) continue;
      const auto members = element.members();
      ASSERT_EQ(members.size(), 2u);
      EXPECT_EQ(members[1].value.string(), "v");
      sum += members[0].value.integer();
    }
    EXPECT_EQ(count, 200'001u);
    EXPECT_EQ(sum, std::int64_t{199'999} * 200'000 / 2);
    EXPECT_EQ(small.root().elements().at(0).integer(), 7);
  }
  // A fault at the very end of a large text is still found.
  JSONDocument broken;
  EXPECT_FALSE(broken.read(text.substr(0, text.size() - 1)));
  JSONDocument after;
  ASSERT_TRUE(after.read("{\"a\":[true]}"sv));
  EXPECT_TRUE(after.root().members().at(0).value.elements().at(0).boolean());
}

TEST(JSONDocumentTest, ADocumentTooLargeToKeepAParserForStandsWithoutOne) {
  // Past 32 MiB the parser is freed as soon as it has parsed: the document keeps every value.
  const std::string chunk(std::size_t{64} << 10, 'x');
  std::string text = "[";
  for (int i = 0; i < 520; ++i) text += '"' + chunk + "\",";
  text += "1]";
  ASSERT_GT(text.size(), std::size_t{32} << 20);
  JSONDocument document;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(document.read(text));
    std::size_t strings = 0;
    JSONElement element;
    for (auto cursor = document.root().walkElements(); cursor.next(element);) {
      if (element.kind() == JSONElement::Kind::string && element.string() == chunk) ++strings;
    }
    EXPECT_EQ(strings, 520u);
    EXPECT_EQ(document.root().elements().back().integer(), 1);
    // The same document reads a small text in between.
    ASSERT_TRUE(document.read("[2]"sv));
    EXPECT_EQ(document.root().elements().at(0).integer(), 2);
  }
}

TEST(JSONDocumentTest, DocumentsDestroyedAfterTheirThreadsParsersFreeTheirOwn) {
  // Thread-local documents made before the thread's first read are destroyed after the parsers
  // the thread keeps: handing theirs back then must neither write into the freed lists nor lose
  // the parser (the address and leak sanitizers see both).
  std::thread([] {
    thread_local JSONDocument small;
    thread_local JSONDocument large;
    ASSERT_TRUE(small.read("[1]"sv));
    ASSERT_TRUE(large.read("[\"" + std::string(std::size_t{200} << 10, 'x') + "\"]"));
    EXPECT_EQ(small.root().elements().at(0).integer(), 1);
  }).join();
}

TEST(JSONDocumentTest, RefusesWhatTheFullReaderMustJudge) {
  // Each of these goes to parseJSON, which either names the fault or reads the text.
  const std::vector<std::string> refused{"",
                                         "[1] x",
                                         "\xEF\xBB\xBF[]",
                                         "[18446744073709551616]",
                                         "[\"\xC3\"]",
                                         std::string(513, '[') + std::string(513, ']')};
  for (const std::string& text : refused) {
    JSONDocument document;
    EXPECT_FALSE(document.read(text)) << text.substr(0, 40);
  }
  JSONDocument deepest;
  EXPECT_TRUE(deepest.read(std::string(512, '[') + std::string(512, ']')));
  // An empty view with no address at all: refused without the library copying from it.
  JSONDocument empty;
  EXPECT_FALSE(empty.read(std::string_view{}));
}

}  // namespace
}  // namespace kestro
