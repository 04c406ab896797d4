#include "KestroCore/Models/JSONValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kestro {
namespace {

JSONValue parse(const char* text) { return decodeJSONString<JSONValue>(text); }

TEST(JSONValueTest, DecodesEveryKindAndEncodesItBack) {
  const JSONValue value = parse(R"([1, "a", true, null, {"k": []}, "true", "1", -0.5])");
  const JSONValue expected = JSONValue::array({
      JSONValue::number(1),
      JSONValue::string("a"),
      JSONValue::boolean(true),
      JSONValue::null(),
      JSONValue::object({{"k", JSONValue::array({})}}),
      JSONValue::string("true"),
      JSONValue::string("1"),
      JSONValue::number(-0.5),
  });
  EXPECT_EQ(value, expected);
  EXPECT_EQ(encodeJSON(value), JSON::parse(R"([1, "a", true, null, {"k": []}, "true", "1", -0.5])"));

  EXPECT_TRUE(parse("null").isNull());
  EXPECT_EQ(encodeJSONString(parse("null")), "null");
  // A null member stays a member.
  const JSONValue object = parse(R"({"a": null})");
  ASSERT_NE(object.ifObject(), nullptr);
  ASSERT_EQ(object.ifObject()->count("a"), 1u);
  EXPECT_TRUE(object.ifObject()->at("a").isNull());
  EXPECT_EQ(encodeJSONString(object), R"({"a":null})");
}

TEST(JSONValueTest, ComparesByValue) {
  EXPECT_EQ(parse("1"), parse("1.0"));
  EXPECT_EQ(parse("0"), parse("-0.0"));
  EXPECT_EQ(parse(R"({"a": 1, "b": [true]})"), parse(R"({"b": [true], "a": 1})"));
  EXPECT_NE(parse("[1, 2]"), parse("[2, 1]"));
  EXPECT_NE(parse("[1]"), parse("[1, 1]"));
  EXPECT_NE(parse(R"({"a": 1})"), parse(R"({"a": 1, "b": 1})"));
  // Different cases never compare equal, whatever they spell.
  EXPECT_NE(parse("1"), parse("true"));
  EXPECT_NE(parse("1"), parse(R"("1")"));
  EXPECT_NE(parse("null"), parse("false"));
  EXPECT_NE(parse("[]"), parse("{}"));
  const JSONValue nan = JSONValue::number(std::numeric_limits<double>::quiet_NaN());
  EXPECT_NE(nan, nan);
  EXPECT_NE(JSONValue::array({nan}), JSONValue::array({nan}));
}

TEST(JSONValueTest, KeepsLargeAndDeepValues) {
  // Beyond 2^53 integers round to the nearest double, as documented.
  EXPECT_EQ(*parse("9007199254740993").ifNumber(), 9007199254740992.0);
  EXPECT_EQ(*parse("18446744073709551615").ifNumber(), 18446744073709551616.0);
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += R"({"d":[)";
  deep += "1";
  for (int i = 0; i < 200; ++i) deep += "]}";
  EXPECT_EQ(encodeJSON(parse(deep.c_str())), JSON::parse(deep));
}

TEST(JSONValueTest, EncodingANonFiniteNumberFails) {
  const JSONValue value = JSONValue::object(
      {{"ok", JSONValue::number(1)},
       {"bad", JSONValue::array({JSONValue::number(std::numeric_limits<double>::infinity())})}});
  try {
    encodeJSONString(value);
    FAIL() << "wrote an infinity";
  } catch (const EncodingError& error) {
    EXPECT_EQ(error.codingPath(), "bad[0]");
  }
}

}  // namespace
}  // namespace kestro
