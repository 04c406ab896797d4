#include "KestroCore/Foundation/JSONCoding.h"

#include <cmath>
#include <limits>
#include <utility>

namespace kestro {
namespace {

std::string joinMessage(const std::string& codingPath, const std::string& reason) {
  return codingPath.empty() ? reason : codingPath + ": " + reason;
}

// A short description of what was found instead, for error messages. Long strings are cut so
// that a stray document does not end up whole in an error.
std::string describe(const JSON& json) {
  constexpr std::size_t kMaximumShown = 40;
  switch (json.type()) {
    case JSON::value_t::null:
      return "null";
    case JSON::value_t::string: {
      const auto& text = json.get_ref<const std::string&>();
      if (text.size() <= kMaximumShown) return "\"" + text + "\"";
      return "\"" + text.substr(0, kMaximumShown) + "...\"";
    }
    case JSON::value_t::boolean:
    case JSON::value_t::number_integer:
    case JSON::value_t::number_unsigned:
    case JSON::value_t::number_float:
      return std::string(json.type_name()) + " " +
             json.dump(-1, ' ', false, JSON::error_handler_t::replace);
    default:
      return std::string("an ") + json.type_name();
  }
}

}  // namespace

std::string CodingPath::toString() const {
  // Collect the steps from the leaf up, then write them from the root down.
  std::vector<const CodingPath*> steps;
  for (const CodingPath* step = this; step != nullptr && step->parent_ != nullptr;
       step = step->parent_) {
    steps.push_back(step);
  }
  std::string text;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    const CodingPath& step = **it;
    if (step.indexPlusOne_ != 0) {
      text += "[" + std::to_string(step.indexPlusOne_ - 1) + "]";
    } else {
      if (!text.empty()) text += '.';
      text += step.key_;
    }
  }
  return text;
}

DecodingError::DecodingError(std::string codingPath, std::string reason)
    : codingPath_(std::move(codingPath)),
      reason_(std::move(reason)),
      message_(joinMessage(codingPath_, reason_)) {}

EncodingError::EncodingError(std::string codingPath, std::string reason)
    : codingPath_(std::move(codingPath)),
      reason_(std::move(reason)),
      message_(joinMessage(codingPath_, reason_)) {}

void throwDecodingError(const CodingPath& path, std::string reason) {
  throw DecodingError(path.toString(), std::move(reason));
}

void throwEncodingError(const CodingPath& path, std::string reason) {
  throw EncodingError(path.toString(), std::move(reason));
}

void throwTypeMismatch(const CodingPath& path, std::string_view expected, const JSON& found) {
  throwDecodingError(path, "expected " + std::string(expected) + ", found " + describe(found));
}

std::int64_t JSONCoder<std::int64_t>::decode(const JSON& json, const CodingPath& path) {
  switch (json.type()) {
    case JSON::value_t::number_integer:
      return json.get<std::int64_t>();
    case JSON::value_t::number_unsigned: {
      const auto value = json.get<std::uint64_t>();
      if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throwDecodingError(path, "integer " + std::to_string(value) + " is out of range");
      }
      return static_cast<std::int64_t>(value);
    }
    case JSON::value_t::number_float: {
      // 3.0 is a whole number and reads as 3; 3.5 is not narrowed. The bounds are exact
      // doubles: -2^63 fits, 2^63 does not.
      const double value = json.get<double>();
      if (std::trunc(value) != value || value < -9223372036854775808.0 ||
          value >= 9223372036854775808.0) {
        throwDecodingError(path, "expected an integer, found " + describe(json));
      }
      return static_cast<std::int64_t>(value);
    }
    default:
      throwTypeMismatch(path, "an integer", json);
  }
}

JSON JSONCoder<double>::encode(double value, const CodingPath& path) {
  if (!std::isfinite(value)) throwEncodingError(path, "a non-finite number cannot be written");
  return value;
}

double JSONCoder<double>::decode(const JSON& json, const CodingPath& path) {
  if (!json.is_number()) throwTypeMismatch(path, "a number", json);
  return json.get<double>();
}

UUID JSONCoder<UUID>::decode(const JSON& json, const CodingPath& path) {
  if (!json.is_string()) throwTypeMismatch(path, "a UUID string", json);
  if (auto uuid = UUID::fromString(json.get_ref<const std::string&>())) return *uuid;
  throwDecodingError(path, "expected a UUID, found " + describe(json));
}

Date JSONCoder<Date>::decode(const JSON& json, const CodingPath& path) {
  if (!json.is_string()) throwTypeMismatch(path, "a date string", json);
  if (auto date = parseInternetDate(json.get_ref<const std::string&>())) return *date;
  throwDecodingError(path, "expected an internet date-time in whole seconds, found " +
                               describe(json));
}

URL JSONCoder<URL>::decode(const JSON& json, const CodingPath& path) {
  if (!json.is_string()) throwTypeMismatch(path, "a URL string", json);
  if (auto url = URL::fromString(json.get_ref<const std::string&>())) return *url;
  throwDecodingError(path, "expected an absolute URL, found " + describe(json));
}

namespace {
const JSON::object_t& objectMembers(const JSON& json, const CodingPath& path) {
  if (!json.is_object()) throwTypeMismatch(path, "an object", json);
  return json.get_ref<const JSON::object_t&>();
}
}  // namespace

ObjectDecoder::ObjectDecoder(const JSON& json, const CodingPath& path)
    : members_(objectMembers(json, path)), path_(path) {}

const JSON* ObjectDecoder::find(std::string_view key) const {
  const auto it = members_.find(key);
  return it == members_.end() ? nullptr : &it->second;
}

std::string serializeJSON(const JSON& json) {
  try {
    // nlohmann writes NaN as null; our coders refuse non-finite numbers before they get here.
    return json.dump();
  } catch (const JSON::type_error& error) {
    throw EncodingError("", std::string("text is not valid UTF-8: ") + error.what());
  }
}

JSON parseJSON(std::string_view text) {
  try {
    return JSON::parse(text.begin(), text.end());
  } catch (const JSON::parse_error& error) {
    throw DecodingError("", std::string("the data is not valid JSON: ") + error.what());
  }
}

}  // namespace kestro
