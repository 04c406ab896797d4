// The decoding rules as tables: each row is a document and what reading it as one type must
// give, either the value written back as JSON or the error's path and part of its reason. The
// rows go through the public entry point, so they hold whichever reader sits behind it.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Models/JSONValue.h"
#include "KestroCore/Models/ServerModels.h"

namespace kestro {
namespace {

// A row's expectation: `written` is the decoded value encoded again; otherwise `path` and
// `reason` (a fragment of it) describe the DecodingError.
struct Row {
  std::string text;
  std::string written;
  std::string path = {};
  std::string reason = {};
};

Row fails(std::string text, std::string path, std::string reason) {
  return Row{std::move(text), "", std::move(path), std::move(reason)};
}

template <class T>
void expectRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.size() > 200 ? row.text.substr(0, 200) + "..." : row.text);
    try {
      const std::string written = encodeJSONString(decodeJSONString<T>(row.text));
      EXPECT_TRUE(row.reason.empty()) << "decoded as " << written;
      if (row.reason.empty()) {
        EXPECT_EQ(written, row.written);
      }
    } catch (const DecodingError& error) {
      EXPECT_FALSE(row.reason.empty()) << error.what();
      EXPECT_EQ(error.codingPath(), row.path) << error.what();
      EXPECT_NE(error.reason().find(row.reason), std::string::npos) << error.what();
    }
  }
}

std::string nested(std::size_t depth, std::string_view open, std::string_view close) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += open;
  text += "0";
  for (std::size_t i = 0; i < depth; ++i) text += close;
  return text;
}

std::string repeated(std::string_view step, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += step;
  return text;
}

constexpr const char* kNotJSON = "the data is not valid JSON";

TEST(JSONDecodingTest, DocumentsAreWellFormedJSONThroughoutOrRefusedAtTheRoot) {
  expectRows<JSONValue>({
      {" \t\r\n[1 , {\"a\" : null}]\n", R"([1.0,{"a":null}])"},
      {"\xEF\xBB\xBF\"after a byte order mark\"", R"("after a byte order mark")"},
      fails("", "", kNotJSON),
      fails(" \n", "", kNotJSON),
      fails("[1] [2]", "", kNotJSON),
      fails(R"({"a":1}trailing)", "", kNotJSON),
      fails("[1,]", "", kNotJSON),
      fails(R"({"a":1,})", "", kNotJSON),
      fails("{'a':1}", "", kNotJSON),
      fails("[01]", "", kNotJSON),
      fails("[.5]", "", kNotJSON),
      fails("[1.]", "", kNotJSON),
      fails("[nul]", "", kNotJSON),
      fails("[\"tab\there\"]", "", kNotJSON),
      fails("\x0c[1]", "", kNotJSON),
      fails("[\"caf\xC3\"]", "", kNotJSON),
      fails("{\"caf\xC3\":1}", "", kNotJSON),
      fails("[\"\xED\xA0\x80\"]", "", kNotJSON),
      fails(R"(["\ud800"])", "", kNotJSON),
      fails(R"(["\udc00\ud800"])", "", kNotJSON),
      fails(R"(["\x41"])", "", kNotJSON),
      fails("[1e400]", "", kNotJSON),
      fails("[-1e400]", "", kNotJSON),
      fails("[1.7976931348623159e308]", "", kNotJSON),
  });
}

TEST(JSONDecodingTest, ValuesReadAsTheyDidAndWriteBackEqual) {
  expectRows<JSONValue>({
      {R"(["\u00e9\ud83d\ude00\n\"\\\/\u0000"])",
       "[\"\xC3\xA9\xF0\x9F\x98\x80\\n\\\"\\\\/\\u0000\"]"},
      {"{\"\xC3\xA9\":\"\xF0\x9F\x98\x80\"}", "{\"\xC3\xA9\":\"\xF0\x9F\x98\x80\"}"},
      // A repeated key keeps the later value.
      {R"({"a":1,"b":2,"a":[3]})", R"({"a":[3.0],"b":2.0})"},
      {R"({"b":{"x":1},"b":{"y":2}})", R"({"b":{"y":2.0}})"},
      // -0 is the integer zero; -0.0 keeps its sign.
      {"[-0, -0.0, 0.0]", "[0.0,-0.0,0.0]"},
      {"[1E2, 1e-2, 2.5e+1]", "[100.0,0.01,25.0]"},
      // Underflow reads as zero; integers past 64 bits read as the nearest double.
      {"[1e-400, -2e-400]", "[0.0,-0.0]"},
      {"[18446744073709551616, -9223372036854775809]",
       "[1.8446744073709552e+19,-9.223372036854776e+18]"},
      {"123456789012345678901234567890", "1.2345678901234568e+29"},
      {"[9007199254740993, 0.1, 1.7976931348623157e308, 5e-324]",
       "[9.007199254740992e+15,0.1,1.7976931348623157e+308,5e-324]"},
      {"[true, false, null, \"\", {}, []]", R"([true,false,null,"",{},[]])"},
  });
}

TEST(JSONDecodingTest, NestingIsLimitedWhereverItHappens) {
  const std::string arrayPath = repeated("[0]", 512);
  const std::string keyPath = "k" + repeated(".k", 511);
  expectRows<JSONValue>({
      {nested(512, "[", "]"), repeated("[", 512) + "0.0" + repeated("]", 512)},
      fails(nested(513, "[", "]"), arrayPath, "nested deeper than 512 levels"),
      fails(nested(513, R"({"k":)", "}"), keyPath, "nested deeper than 512 levels"),
      // The depth is found before a fault later in the text.
      fails(nested(513, "[", "]") + "garbage", arrayPath, "nested deeper than 512 levels"),
  });
  // Empty innermost containers count as levels too, whatever the type read.
  expectRows<std::vector<std::int64_t>>({
      {repeated("[", 1) + repeated("]", 1), "[]"},
      fails(repeated("[", 512) + repeated("]", 512), "[0]", "expected an integer, found an array"),
      fails(repeated("[", 513) + repeated("]", 513), arrayPath, "nested deeper than 512 levels"),
      fails(repeated("[", 511) + "[1]" + repeated("]", 511), "[0]", "expected an integer"),
  });
}

TEST(JSONDecodingTest, BuiltInKindsAreStrict) {
  expectRows<std::int64_t>({
      {"3", "3"},
      {"3.0", "3"},
      {"-0", "0"},
      {"-0.0", "0"},
      {"1e2", "100"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808.0", "-9223372036854775808"},
      fails("9223372036854775808", "", "integer 9223372036854775808 is out of range"),
      fails("18446744073709551615", "", "out of range"),
      fails("18446744073709551616", "", "expected an integer, found number 1.8446744073709552e+19"),
      // Read as a double first, this one rounds to the smallest integer and is taken as it.
      {"-9223372036854775809", "-9223372036854775808"},
      fails("9.2233720368547758e18", "", "expected an integer"),
      fails("1.5", "", "expected an integer, found number 1.5"),
      fails("1e400", "", kNotJSON),
      fails("\"3\"", "", "expected an integer, found \"3\""),
      fails("true", "", "expected an integer, found boolean true"),
      fails("null", "", "expected an integer, found null"),
      fails("[3]", "", "expected an integer, found an array"),
  });
  expectRows<double>({
      {"7", "7.0"},
      {"-0.0", "-0.0"},
      {"18446744073709551615", "1.8446744073709552e+19"},
      fails("\"7\"", "", "expected a number, found \"7\""),
      fails("{}", "", "expected a number, found an object"),
  });
  expectRows<bool>({{"true", "true"}, fails("1", "", "expected a boolean, found number 1")});
  expectRows<std::string>({
      {R"("a\u0000b")", R"("a\u0000b")"},
      fails("null", "", "expected a string, found null"),
      fails("12", "", "expected a string, found number 12"),
  });
  expectRows<UUID>({
      {R"("6f9619ff-8b86-4011-b42d-00c04fc964ff")", R"("6F9619FF-8B86-4011-B42D-00C04FC964FF")"},
      fails(R"("6F9619FF8B864011B42D00C04FC964FF0")", "", "expected a UUID"),
      fails("1", "", "expected a UUID string, found number 1"),
  });
  expectRows<Date>({
      {R"("2025-03-04T05:06:07Z")", R"("2025-03-04T05:06:07Z")"},
      fails(R"("2025-03-04T05:06:07.5Z")", "", "expected an internet date-time"),
      fails(R"("2025-13-04T05:06:07Z")", "", "expected an internet date-time"),
  });
  expectRows<URL>({fails(R"("not a url")", "", "expected an absolute URL")});
  expectRows<SourceKind>({
      {R"("url")", R"("url")"},
      fails(R"("URL")", "", "\"URL\" is not a"),
      fails("0", "", "expected a string, found number 0"),
  });
  // Long strings are cut in messages.
  expectRows<std::int64_t>(
      {fails("\"" + std::string(50, 'x') + "\"", "",
             "expected an integer, found \"" + std::string(40, 'x') + "...\"")});
}

TEST(JSONDecodingTest, ContainersNameThePositionOfTheFault) {
  expectRows<std::vector<std::int64_t>>({
      {"[]", "[]"},
      {"[1, 2.0]", "[1,2]"},
      fails("[1, 2, \"3\"]", "[2]", "expected an integer"),
      fails("{}", "", "expected an array, found an object"),
      // A fault anywhere in the text wins over a value of the wrong type before it.
      fails("[\"x\", 1,]", "", kNotJSON),
  });
  expectRows<std::map<std::string, std::int64_t>>({
      {R"({"b":2,"a":1})", R"({"a":1,"b":2})"},
      {R"({"a":"x","a":1})", R"({"a":1})"},
      fails(R"({"a":1,"a":"x"})", "a", "expected an integer"),
      // Keys are checked in order, not in the document's order.
      fails(R"({"b":"x","a":"y"})", "a", "expected an integer"),
      fails(R"({"a b":null})", "a b", "expected an integer, found null"),
      fails("[]", "", "expected an object, found an array"),
  });
}

// A task with the members given before and after the minimal valid ones.
std::string task(std::string_view before, std::string_view after = "") {
  return "{" + std::string(before) +
         R"("id": "A0A0A0A0-0000-4000-8000-000000000001", "title": "Call back",
            "status": "open", "creatorKind": "user", "createdAt": "2025-03-04T05:00:00Z",
            "updatedAt": "2025-03-04T05:00:00Z")" +
         std::string(after) + "}";
}

TEST(JSONDecodingTest, ModelsReadRequiredOptionalAndUnknownKeys) {
  const std::string minimal = encodeJSONString(decodeJSONString<KestroTask>(task("")));
  const auto withTitle = [&](std::string_view title) {
    std::string text = minimal;
    return text.replace(text.find("\"Call back\""), 11, title);
  };
  expectRows<KestroTask>({
      {task(R"("unknown": {"deep": [1, {"x": null}]}, )"), minimal},
      {task(R"("description": null, "dueAt": null, )"), minimal},
      // Repeated keys: only the later value is read, so an earlier bad one is no fault.
      {task(R"("title": 5, )"), minimal},
      {task("", R"(, "title": "Again")"), withTitle("\"Again\"")},
      fails(task("", R"(, "title": null)"), "title", "expected a string, found null"),
      fails(R"({"title": "t"})", "id", "required key is missing"),
      fails(task("", R"(, "dueAt": "tomorrow")"), "dueAt", "expected an internet date-time"),
      fails(task("", R"(, "sourceItemId": 7)"), "sourceItemId", "expected a UUID string"),
      // Values nobody asks for are still read as JSON: a fault in them fails the document.
      fails(task(R"("unknown": [1,,2], )"), "", kNotJSON),
      fails(task("\"unknown\": \"\xFF\", "), "", kNotJSON),
      fails(task(R"("unknown": 1e999, )"), "", kNotJSON),
      fails(task("\"unknown\": " + nested(513, "[", "]") + ", "), "unknown" + repeated("[0]", 511),
            "nested deeper than 512 levels"),
      fails("[" + task("") + "]", "", "expected an object, found an array"),
  });
}

}  // namespace
}  // namespace kestro
