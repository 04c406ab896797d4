#include "KestroCore/Foundation/JSONCoding.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>
#include <vector>

namespace kestro {

// A small model of the test's own, so the rules are checked apart from any real model.
enum class Shade { light, darkGrey };
template <>
struct RawValues<Shade> {
  static constexpr std::string_view typeName = "Shade";
  static constexpr std::array cases{std::pair{Shade::light, std::string_view{"light"}},
                                    std::pair{Shade::darkGrey, std::string_view{"dark_grey"}}};
};

struct Swatch {
  std::int64_t count;
  std::optional<double> weight;
  std::vector<Shade> shades;
  std::optional<UUID> owner;

  bool operator==(const Swatch&) const = default;
};
KESTRO_DECLARE_JSON_CODER(Swatch);

JSON JSONCoder<Swatch>::encode(const Swatch& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("shades", value.shades)
      .required("count", value.count)
      .optional("weight", value.weight)
      .optional("owner", value.owner);
  return std::move(object).finish();
}

Swatch JSONCoder<Swatch>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return Swatch{.count = object.required<std::int64_t>("count"),
                .weight = object.optional<double>("weight"),
                .shades = object.required<std::vector<Shade>>("shades"),
                .owner = object.optional<UUID>("owner")};
}

// A coder written against the tree alone, as coders outside this library may be.
struct Label {
  std::string text;
  bool operator==(const Label&) const = default;
};
template <>
struct JSONCoder<Label> {
  static JSON encode(const Label& value, const CodingPath&) { return value.text; }
  static Label decode(const JSON& json, const CodingPath& path) {
    if (!json.is_string()) throwTypeMismatch(path, "a label", json);
    return Label{json.get<std::string>()};
  }
};

// Reads only what the tree holds as an unsigned number, as a coder of port numbers might.
struct Port {
  std::uint64_t number;
  bool operator==(const Port&) const = default;
};
template <>
struct JSONCoder<Port> {
  static JSON encode(const Port& value, const CodingPath&) { return value.number; }
  static Port decode(const JSON& json, const CodingPath& path) {
    if (!json.is_number_unsigned()) throwTypeMismatch(path, "a port number", json);
    return Port{json.get<std::uint64_t>()};
  }
};

struct Tagged {
  Label first;
  std::optional<Label> second;
  std::vector<Label> rest;
  bool operator==(const Tagged&) const = default;
};
KESTRO_DECLARE_JSON_CODER(Tagged);

JSON JSONCoder<Tagged>::encode(const Tagged& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("first", value.first)
      .optional("second", value.second)
      .required("rest", value.rest);
  return std::move(object).finish();
}

Tagged JSONCoder<Tagged>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return Tagged{.first = object.required<Label>("first"),
                .second = object.optional<Label>("second"),
                .rest = object.required<std::vector<Label>>("rest")};
}

namespace {

// Runs the decode and returns the error it raised; fails the test when it raised none.
template <class T>
DecodingError decodingErrorOf(std::string_view text) {
  try {
    decodeJSONString<T>(text);
  } catch (const DecodingError& error) {
    return error;
  }
  ADD_FAILURE() << "decoded without error: " << text;
  return DecodingError("", "");
}

TEST(JSONCodingTest, WritesSortedCompactKeysAndLeavesAbsentOptionalsOut) {
  const Swatch swatch{.count = 3,
                      .weight = std::nullopt,
                      .shades = {Shade::darkGrey},
                      .owner = UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")};
  const std::string text = encodeJSONString(swatch);
  EXPECT_EQ(text,
            R"({"count":3,"owner":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","shades":["dark_grey"]})");
  EXPECT_EQ(decodeJSONString<Swatch>(text), swatch);
  // Null reads as absent; unknown keys are ignored.
  EXPECT_EQ(
      decodeJSONString<Swatch>(R"({"count":1,"weight":null,"owner":null,"shades":[],"extra":{}})"),
      (Swatch{.count = 1, .weight = {}, .shades = {}, .owner = {}}));
}

TEST(JSONCodingTest, IntegersAreNeverNarrowedOrWrapped) {
  EXPECT_EQ(decodeJSONString<Swatch>(R"({"count":3.0,"shades":[]})").count, 3);
  EXPECT_EQ(decodeJSONString<Swatch>(R"({"count":-9223372036854775808,"shades":[]})").count,
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(decodeJSONString<Swatch>(R"({"count":9223372036854775807,"shades":[]})").count,
            std::numeric_limits<std::int64_t>::max());
  for (const char* count : {"1.9", "9223372036854775808", "1e19", "\"3\"", "null"}) {
    const auto error =
        decodingErrorOf<Swatch>(std::string(R"({"shades":[],"count":)") + count + "}");
    EXPECT_EQ(error.codingPath(), "count") << count;
  }
  // A double takes any number, integral or not, but nothing else.
  EXPECT_EQ(decodeJSONString<Swatch>(R"({"count":0,"weight":7,"shades":[]})").weight, 7.0);
  EXPECT_EQ(decodingErrorOf<Swatch>(R"({"count":0,"weight":"7","shades":[]})").codingPath(),
            "weight");
}

TEST(JSONCodingTest, ErrorsNameTheCodingPathAndWhatWasWrong) {
  const auto error = decodingErrorOf<std::vector<Swatch>>(
      R"([{"count":1,"shades":[]},{"count":1,"shades":["light","Light"]}])");
  EXPECT_EQ(error.codingPath(), "[1].shades[1]");
  EXPECT_NE(error.reason().find("\"Light\" is not a Shade"), std::string::npos) << error.what();
  EXPECT_EQ(std::string(error.what()).rfind("[1].shades[1]: ", 0), 0u) << error.what();

  const auto expect = [](const DecodingError& error, const char* path, const char* reason) {
    EXPECT_EQ(error.codingPath(), path);
    EXPECT_NE(error.reason().find(reason), std::string::npos) << error.what();
  };
  expect(decodingErrorOf<Swatch>(R"({"count":1})"), "shades", "required key is missing");
  expect(decodingErrorOf<Swatch>(R"({"count":1,"shades":null})"), "shades",
         "expected an array, found null");
  // A present optional must be readable: it is not taken as absent.
  expect(decodingErrorOf<Swatch>(R"({"count":1,"shades":[],"owner":"{E621E1F8}"})"), "owner", "");
  expect(decodingErrorOf<std::map<std::string, Swatch>>(R"({"a b":[]})"), "a b",
         "expected an object, found an array");
  expect(decodingErrorOf<Swatch>(R"({"count":1,"shades":[]}trailing)"), "", "not valid JSON");
}

TEST(JSONCodingTest, ObjectsOfAnySizeReadTheLastOfARepeatedKeyAsTheTreeDoes) {
  // Objects of a few members are read from a buffer of the decoder's own, larger ones from the
  // heap; a repeated key may sit on both sides of that boundary.
  const auto object = [](std::size_t fillers, const std::string& between) {
    std::string text = R"({"count":1,"shades":["light"],)";
    for (std::size_t i = 0; i < fillers; ++i) text += "\"f" + std::to_string(i) + "\":" + "0,";
    return text + between + R"("count":2,"owner":null})";
  };
  for (const std::size_t fillers : {0u, 11u, 12u, 13u, 14u, 40u}) {
    for (const std::string between : {"", R"("shades":["dark_grey"],)"}) {
      const std::string text = object(fillers, between);
      const Swatch fromText = decodeJSONString<Swatch>(text);
      EXPECT_EQ(fromText, decodeJSON<Swatch>(parseJSON(text))) << text;
      EXPECT_EQ(fromText.count, 2) << text;
      EXPECT_EQ(fromText.shades.at(0), between.empty() ? Shade::light : Shade::darkGrey) << text;
      EXPECT_EQ(decodingErrorOf<Swatch>(text + "}").codingPath(), "") << text;
    }
  }
  // Maps take each key's last value in key order, whatever the text's order, small or large,
  // and of two bad members name the first in key order, as the tree does.
  using Counts = std::map<std::string, std::int64_t>;
  for (const std::size_t fillers : {0u, 5u, 13u, 14u, 20u}) {
    std::string between;
    for (std::size_t i = fillers; i > 0; --i) {
      between += "\"f" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    }
    const std::string text = R"({"m":"bad","b":1,)" + between + R"("a":2,"b":3,"m":4})";
    const Counts counts = decodeJSONString<Counts>(text);
    EXPECT_EQ(counts, decodeJSON<Counts>(parseJSON(text))) << text;
    EXPECT_EQ(counts.size(), fillers + 3) << text;
    EXPECT_EQ(counts.at("b"), 3) << text;
    EXPECT_EQ(counts.at("m"), 4) << text;
    EXPECT_EQ(decodingErrorOf<Counts>(R"({"z":"bad",)" + between + R"("c":[]})").codingPath(), "c");
  }
  // Arrays are walked in place: positions in errors still count from zero, at any length.
  std::string shades = R"({"count":1,"shades":[)";
  for (int i = 0; i < 1000; ++i) shades += R"("light",)";
  const auto error = decodingErrorOf<Swatch>(shades + R"("grey"]})");
  EXPECT_EQ(error.codingPath(), "shades[1000]");
  EXPECT_EQ(decodeJSONString<Swatch>(shades + R"("dark_grey"]})").shades.size(), 1001u);
}

TEST(JSONCodingTest, EveryFailureToParseIsADecodingErrorAtTheRoot) {
  // Numbers past a double's range, wherever they sit, fail as text that is not JSON does, though
  // the JSON library raises a different kind of error for them.
  for (const char* text : {R"({"count":1,"weight":1e400,"shades":[]})",
                           R"({"count":-1e400,"shades":[]})", R"([{"count":1,"shades":[]}, 2e308])",
                           "", "  ", "{\"count\":1,\"shades\":[\"caf\xC3\"]}", "[1,]"}) {
    SCOPED_TRACE(text);
    const auto error = decodingErrorOf<std::vector<Swatch>>(text);
    EXPECT_EQ(error.codingPath(), "");
    EXPECT_NE(error.reason().find("not valid JSON"), std::string::npos) << error.what();
  }
  EXPECT_EQ(parseJSON("1.7976931348623157e308"), JSON(std::numeric_limits<double>::max()));
}

TEST(JSONCodingTest, DocumentsNestedPastTheLimitAreRefusedWhereTheyGoTooDeep) {
  constexpr std::size_t kLimit = 512;
  const auto nested = [](std::size_t depth, const std::string& open, const std::string& close) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    text += "0";
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
  };
  const std::string deepest = nested(kLimit, "[", "]");
  EXPECT_EQ(serializeJSON(parseJSON(deepest)), deepest);

  std::string arrayPath;
  for (std::size_t i = 0; i < kLimit; ++i) arrayPath += "[0]";
  std::string objectPath = "a";
  for (std::size_t i = 1; i < kLimit; ++i) objectPath += ".a";
  // A few megabytes of brackets are refused at the first level too many, long before the end.
  for (const auto& [text, path] :
       {std::pair{nested(kLimit + 1, "[", "]"), arrayPath},
        std::pair{nested(4'000'000, "[", "]"), arrayPath},
        std::pair{nested(kLimit + 1, R"({"a":)", "}"), objectPath},
        std::pair{"[1, 2, " + nested(kLimit, "[", "]") + "]", "[2]" + arrayPath.substr(3)}}) {
    try {
      parseJSON(text);
      ADD_FAILURE() << "parsed " << text.size() << " bytes";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.codingPath(), path);
      EXPECT_NE(error.reason().find("nested deeper than 512 levels"), std::string::npos)
          << error.reason();
    }
  }
}

TEST(JSONCodingTest, CodersThatReadOnlyTreesReadTextAsBefore) {
  const std::string text = R"({"first":"a","second":"b","rest":["c","d"],"first":"e"})";
  const Tagged tagged = decodeJSONString<Tagged>(text);
  EXPECT_EQ(tagged, (Tagged{Label{"e"}, Label{"b"}, {Label{"c"}, Label{"d"}}}));
  EXPECT_EQ(tagged, decodeJSON<Tagged>(parseJSON(text)));
  EXPECT_EQ(decodeJSONString<Label>(R"("x")"), Label{"x"});
  using Labels = std::map<std::string, std::vector<Label>>;
  EXPECT_EQ(decodeJSONString<Labels>(R"({"k":[],"j":["y"]})"),
            (Labels{{"j", {Label{"y"}}}, {"k", {}}}));

  const auto error = decodingErrorOf<Tagged>(R"({"first":"a","rest":["c",3]})");
  EXPECT_EQ(error.codingPath(), "rest[1]");
  EXPECT_EQ(error.reason(), "expected a label, found number 3");

  // Numbers reach such a coder as the tree holds them.
  using Ports = std::vector<Port>;
  const std::string ports = "[0, 443, 18446744073709551615]";
  EXPECT_EQ(decodeJSONString<Ports>(ports), decodeJSON<Ports>(parseJSON(ports)));
  EXPECT_EQ(decodeJSONString<Ports>(ports).at(2).number, 18446744073709551615u);
  const auto treeError = [](const std::string& text) -> std::string {
    try {
      decodeJSON<Ports>(parseJSON(text));
    } catch (const DecodingError& error) {
      return error.what();
    }
    return "decoded";
  };
  for (const std::string refused : {"[-1]", "[1.0]", "[80, \"80\"]"}) {
    EXPECT_EQ(decodingErrorOf<Ports>(refused).what(), treeError(refused)) << refused;
  }
}

TEST(JSONCodingTest, TextHandedOverIsFreedOnceReadAndItsValuesOutliveIt) {
  // Long values, so that a value still pointing into the text would read freed memory.
  std::string text = "{";
  for (int i = 0; i < 100; ++i) {
    if (i != 0) text += ',';
    text += "\"key " + std::to_string(i) + "\":\"" +
            std::string(200, static_cast<char>('a' + i % 26)) + "\"";
  }
  text += '}';
  text.reserve(text.size() + kJSONReadPadding);  // read in place, as a response body is
  using Strings = std::map<std::string, std::string>;
  const Strings expected = decodeJSONString<Strings>(text);
  const Strings values = decodeJSONString<Strings>(std::move(text));
  EXPECT_EQ(text.capacity(), std::string().capacity());
  ASSERT_EQ(values.size(), 100u);
  EXPECT_EQ(values, expected);
  EXPECT_EQ(values.at("key 27"), std::string(200, 'b'));

  // Text the fast reader refuses goes to the full reader whole: its fault is named as ever.
  std::string broken = R"({"key":"value",})";
  EXPECT_THROW(decodeJSONString<Strings>(std::move(broken)), DecodingError);
  // A view given as a pointer and a length is unambiguous.
  const char* digits = "[1,2]xyz";
  EXPECT_EQ(decodeJSONString<std::vector<std::int64_t>>({digits, 5}),
            (std::vector<std::int64_t>{1, 2}));
}

TEST(JSONCodingTest, WritingRefusesWhatJSONCannotSay) {
  for (double weight :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()}) {
    const Swatch swatch{.count = 0, .weight = weight, .shades = {}, .owner = {}};
    try {
      encodeJSONString(std::vector<Swatch>{swatch, swatch});
      ADD_FAILURE() << "wrote " << weight;
    } catch (const EncodingError& error) {
      EXPECT_EQ(error.codingPath(), "[0].weight");
    }
  }
  EXPECT_THROW(serializeJSON(JSON(std::string("caf\xC3"))), EncodingError);
  EXPECT_EQ(serializeJSON(JSON(std::string("caf\xC3\xA9"))), "\"caf\xC3\xA9\"");
}

}  // namespace
}  // namespace kestro
