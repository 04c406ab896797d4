#include "Tools/kestro-browser-host/NativeMessaging.h"

#include <array>
#include <cstring>
#include <utility>

#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/Text.h"

namespace kestro::browserhost {
namespace {

constexpr std::string_view kPNGDataURLPrefix = "data:image/png;base64,";
constexpr std::string_view kPNGSignature = "\x89PNG\r\n\x1a\n";

// What a field of the request holds, or why it is unusable.
struct FieldError {
  std::string message;
};

const JSON* member(const JSON& object, std::string_view name) {
  const auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

// A required string field.
std::string requiredString(const JSON& object, std::string_view name) {
  const JSON* value = member(object, name);
  if (!value) throw FieldError{"missing field \"" + std::string(name) + "\""};
  if (!value->is_string()) throw FieldError{"\"" + std::string(name) + "\" must be a string"};
  return value->get<std::string>();
}

// An optional string field: absent or null is nothing.
std::optional<std::string> optionalString(const JSON& object, std::string_view name) {
  const JSON* value = member(object, name);
  if (!value || value->is_null()) return std::nullopt;
  if (!value->is_string()) throw FieldError{"\"" + std::string(name) + "\" must be a string"};
  return value->get<std::string>();
}

// One of `names`, as the enumeration value at the same position.
template <class E, std::size_t N>
E requiredChoice(const JSON& object, std::string_view name,
                 const std::array<std::pair<std::string_view, E>, N>& names) {
  const std::string value = requiredString(object, name);
  for (const auto& [text, choice] : names) {
    if (value == text) return choice;
  }
  std::string known;
  for (const auto& entry : names) {
    known += (known.empty() ? "" : ", ") + std::string(entry.first);
  }
  throw FieldError{"\"" + std::string(name) + "\" must be one of " + known};
}

constexpr std::array<std::pair<std::string_view, Trigger>, 3> kTriggers{
    std::pair{std::string_view{"button"}, Trigger::button},
    std::pair{std::string_view{"shortcut"}, Trigger::shortcut},
    std::pair{std::string_view{"contextMenu"}, Trigger::contextMenu}};
constexpr std::array<std::pair<std::string_view, ShareContext>, 4> kContexts{
    std::pair{std::string_view{"page"}, ShareContext::page},
    std::pair{std::string_view{"link"}, ShareContext::link},
    std::pair{std::string_view{"selection"}, ShareContext::selection},
    std::pair{std::string_view{"image"}, ShareContext::image}};

ShareRequest shareRequest(const JSON& object) {
  ShareRequest request;
  request.trigger = requiredChoice(object, "trigger", kTriggers);
  request.context = requiredChoice(object, "context", kContexts);
  request.url = requiredString(object, "url");
  request.title = optionalString(object, "title");
  request.selectedText = optionalString(object, "selectedText");
  request.visibleText = optionalString(object, "visibleText");
  request.linkUrl = optionalString(object, "linkUrl");
  request.srcUrl = optionalString(object, "srcUrl");
  if (const JSON* incognito = member(object, "incognito"); incognito && !incognito->is_null()) {
    if (!incognito->is_boolean()) throw FieldError{"\"incognito\" must be true or false"};
    request.incognito = incognito->get<bool>();
  }
  if (request.context == ShareContext::link && !request.linkUrl) {
    throw FieldError{"missing field \"linkUrl\" for a link"};
  }
  if (request.context == ShareContext::image && !request.srcUrl) {
    throw FieldError{"missing field \"srcUrl\" for an image"};
  }
  if (request.context == ShareContext::selection && !request.selectedText) {
    throw FieldError{"missing field \"selectedText\" for a selection"};
  }
  if (const std::optional<std::string> screenshot = optionalString(object, "screenshot")) {
    request.screenshotPNG = decodePNGDataURL(*screenshot);
    if (!request.screenshotPNG) {
      throw FieldError{"\"screenshot\" must be a data:image/png;base64 URL of a PNG image"};
    }
  }
  return request;
}

// The value of one base64 digit, or -1.
int base64Digit(char c) noexcept {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool MessageReader::readExactly(char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    const std::size_t n = read_(context_, buffer + got, size - got);
    if (n == 0) return false;
    got += n;
  }
  return true;
}

MessageReader::Result MessageReader::next() {
  std::array<char, 4> prefix{};
  std::size_t got = 0;
  if (!readExactly(prefix.data(), prefix.size(), got)) {
    if (got == 0) return EndOfInput{};
    return Broken{"the input ended inside a message's length"};
  }
  std::uint32_t length = 0;
  std::memcpy(&length, prefix.data(), sizeof length);
  if (length > kMaximumRequestSize) {
    return Broken{"a message of " + std::to_string(length) + " bytes is over the limit of " +
                  std::to_string(kMaximumRequestSize) + " bytes"};
  }
  Message message;
  message.bytes.resize(length);
  if (!readExactly(message.bytes.data(), length, got)) {
    return Broken{"the input ended after " + std::to_string(got) + " of a message's " +
                  std::to_string(length) + " bytes"};
  }
  return message;
}

std::string framed(std::string_view json) {
  const auto length = static_cast<std::uint32_t>(json.size());
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  bytes.append(json);
  return bytes;
}

std::optional<std::string> decodePNGDataURL(std::string_view url) {
  if (!url.starts_with(kPNGDataURLPrefix)) return std::nullopt;
  url.remove_prefix(kPNGDataURLPrefix.size());
  std::string bytes;
  bytes.reserve(url.size() / 4 * 3);
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t padding = 0;
  for (const char c : url) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int digit = base64Digit(c);
    // A digit after padding, or anything but a digit, is no base64.
    if (digit < 0 || padding > 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(digit);
    if (++count == 4) {
      bytes.push_back(static_cast<char>(bits >> 16));
      bytes.push_back(static_cast<char>(bits >> 8));
      bytes.push_back(static_cast<char>(bits));
      bits = 0;
      count = 0;
    }
  }
  // What is left: 2 digits make one byte, 3 make two; 1 is no base64.
  if (count == 1 || padding > 2 || (padding > 0 && (count + padding) % 4 != 0)) {
    return std::nullopt;
  }
  if (count == 2) bytes.push_back(static_cast<char>(bits >> 4));
  if (count == 3) {
    bytes.push_back(static_cast<char>(bits >> 10));
    bytes.push_back(static_cast<char>(bits >> 2));
  }
  if (!std::string_view(bytes).starts_with(kPNGSignature)) return std::nullopt;
  return bytes;
}

DecodedRequest decodeRequest(std::string_view bytes) {
  DecodedRequest decoded{std::nullopt, InvalidRequest{}};
  if (!isValidUTF8(bytes)) {
    decoded.body = InvalidRequest{"the message is not UTF-8"};
    return decoded;
  }
  JSON document;
  try {
    document = parseJSON(bytes);
  } catch (const DecodingError&) {
    decoded.body = InvalidRequest{"the message is not JSON"};
    return decoded;
  }
  if (!document.is_object()) {
    decoded.body = InvalidRequest{"the message is not a JSON object"};
    return decoded;
  }
  try {
    // The id first, so that every other complaint can be answered under it.
    if (const JSON* id = member(document, "id"); id && !id->is_null()) {
      if (!id->is_string()) throw FieldError{"\"id\" must be a string"};
      if (id->get_ref<const std::string&>().size() > kMaximumIdSize) {
        throw FieldError{"\"id\" is longer than " + std::to_string(kMaximumIdSize) + " bytes"};
      }
      decoded.id = id->get<std::string>();
    }
    const std::string type = requiredString(document, "type");
    if (type == "share") {
      decoded.body = shareRequest(document);
    } else if (type == "status") {
      decoded.body = StatusRequest{requiredString(document, "url")};
    } else {
      // Said without the type itself: it may be long, and the answer is bounded.
      throw FieldError{"unknown request type (\"share\" and \"status\" are known)"};
    }
  } catch (const FieldError& error) {
    decoded.body = InvalidRequest{error.message};
  }
  return decoded;
}

}  // namespace kestro::browserhost
