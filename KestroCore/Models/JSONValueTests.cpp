#include "KestroCore/Models/JSONValue.h"

#include <gtest/gtest.h>

#include <limits>

namespace kestro {
namespace {

JSONValue parse(const char* text) { return decodeJSONString<JSONValue>(text); }

// The coding path of the `Error` that `operation` raises, or "(none)".
template <class Error, class Operation>
std::string failingPath(Operation operation) {
  try {
    operation();
  } catch (const Error& error) {
    return error.codingPath();
  }
  return "(none)";
}

TEST(JSONValueTest, DecodesEveryKindAndEncodesItBack) {
  constexpr const char* kText = R"([1, "a", true, null, {"k": []}, "true", "1", -0.5])";
  const JSONValue value = parse(kText);
  EXPECT_EQ(value,
            JSONValue::array(
                {JSONValue::number(1), JSONValue::string("a"), JSONValue::boolean(true),
                 JSONValue::null(), JSONValue::object({{"k", JSONValue::array({})}}),
                 JSONValue::string("true"), JSONValue::string("1"), JSONValue::number(-0.5)}));
  EXPECT_EQ(encodeJSON(value), JSON::parse(kText));
}

TEST(JSONValueTest, ComparesByValue) {
  EXPECT_EQ(parse(R"({"a": 1, "b": [true]})"), parse(R"({"b": [true], "a": 1.0})"));
  EXPECT_NE(parse("[1, 2]"), parse("[2, 1]"));
  EXPECT_NE(parse("1"), parse(R"("1")"));  // different kinds never compare equal
}

TEST(JSONValueTest, RefusesToWriteNonFiniteNumbers) {
  const JSONValue value = JSONValue::object(
      {{"ok", JSONValue::number(1)},
       {"bad", JSONValue::array({JSONValue::number(std::numeric_limits<double>::infinity())})}});
  EXPECT_EQ(failingPath<EncodingError>([&] { encodeJSONString(value); }), "bad[0]");
}

TEST(JSONValueTest, NestingPastTheLimitIsRefusedBothWaysInsteadOfExhaustingTheStack) {
  constexpr std::size_t kLimit = 512;
  // Documents that were never text are held to the parser's limit, and the error says where.
  const auto nestedArrays = [](std::size_t depth) {
    JSON json = JSON::array();
    for (std::size_t i = 1; i < depth; ++i) json = JSON::array({std::move(json)});
    return json;
  };
  EXPECT_EQ(encodeJSON(decodeJSON<JSONValue>(nestedArrays(kLimit))), nestedArrays(kLimit));
  std::string path;
  for (std::size_t i = 0; i < kLimit; ++i) path += "[0]";
  EXPECT_EQ(failingPath<DecodingError>([&] { decodeJSON<JSONValue>(nestedArrays(kLimit + 1)); }),
            path);

  // What could not be read back is not written either.
  JSONValue value = JSONValue::array({});
  for (std::size_t i = 1; i < kLimit; ++i) value = JSONValue::object({{"a", std::move(value)}});
  EXPECT_NO_THROW(encodeJSONString(value));
  value = JSONValue::array({std::move(value)});
  EXPECT_EQ(failingPath<EncodingError>([&] { encodeJSONString(value); }).substr(0, 8), "[0].a.a.");
}

}  // namespace
}  // namespace kestro
