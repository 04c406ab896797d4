#include "KestroCore/Models/JSONValue.h"

#include <utility>

namespace kestro {

JSON JSONCoder<JSONValue>::encode(const JSONValue& value, const CodingPath& path) {
  switch (value.kind()) {
    case JSONValue::Kind::string:
      return *value.ifString();
    case JSONValue::Kind::number:
      return JSONCoder<double>::encode(*value.ifNumber(), path);
    case JSONValue::Kind::boolean:
      return *value.ifBoolean();
    case JSONValue::Kind::object:
      checkEncodingDepth(path);
      return JSONCoder<JSONValue::Object>::encode(*value.ifObject(), path);
    case JSONValue::Kind::array:
      checkEncodingDepth(path);
      return JSONCoder<JSONValue::Array>::encode(*value.ifArray(), path);
    case JSONValue::Kind::null:
      break;
  }
  return nullptr;
}

namespace {

JSONValue decodeTree(const JSON& json, const CodingPath& path) {
  // Null first and booleans before numbers: true stays a boolean, a number a number, and a
  // string a string even when its text spells a number.
  switch (json.type()) {
    case JSON::value_t::null:
      return JSONValue::null();
    case JSON::value_t::boolean:
      return JSONValue::boolean(json.get<bool>());
    case JSON::value_t::number_integer:
    case JSON::value_t::number_unsigned:
    case JSON::value_t::number_float:
      return JSONValue::number(json.get<double>());
    case JSON::value_t::string:
      return JSONValue::string(json.get_ref<const std::string&>());
    case JSON::value_t::object:
      checkDecodingDepth(path);
      return JSONValue::object(JSONCoder<JSONValue::Object>::decode(json, path));
    case JSON::value_t::array:
      checkDecodingDepth(path);
      [[fallthrough]];
    default:
      // The last kind tried is the array; anything else reports that attempt's error.
      return JSONValue::array(JSONCoder<JSONValue::Array>::decode(json, path));
  }
}

JSONValue decodeElement(const JSONElement& json, const CodingPath& path) {
  switch (json.kind()) {
    case JSONElement::Kind::null:
      return JSONValue::null();
    case JSONElement::Kind::boolean:
      return JSONValue::boolean(json.boolean());
    case JSONElement::Kind::integer:
    case JSONElement::Kind::unsignedInteger:
    case JSONElement::Kind::floating:
      return JSONValue::number(json.number());
    case JSONElement::Kind::string:
      return JSONValue::string(std::string(json.string()));
    case JSONElement::Kind::object:
      checkDecodingDepth(path);
      return JSONValue::object(JSONCoder<JSONValue::Object>::decode(json, path));
    case JSONElement::Kind::array:
      break;
  }
  checkDecodingDepth(path);
  return JSONValue::array(JSONCoder<JSONValue::Array>::decode(json, path));
}

}  // namespace

JSONValue JSONCoder<JSONValue>::decode(const JSONSource& json, const CodingPath& path) {
  if (const JSON* tree = json.tree()) return decodeTree(*tree, path);
  return decodeElement(*json.element(), path);
}

}  // namespace kestro
