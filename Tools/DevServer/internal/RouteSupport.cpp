#include "Tools/DevServer/internal/RouteSupport.h"

#include <charconv>
#include <optional>
#include <system_error>

namespace kestro::devserver {

namespace {

// The value of `name` in a query string such as "cursor=5&limit=200" (no escapes are needed for
// the numbers it carries).
std::optional<std::string_view> queryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    const std::size_t equals = pair.find('=');
    if (pair.substr(0, equals) == name) {
      return equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1);
    }
  }
  return std::nullopt;
}

}  // namespace

Date now() {
  return std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
}

std::string text(const JSON& json) { return serializeJSON(json); }

Reply jsonReply(int status, const JSON& json) { return Reply{status, text(json)}; }

Reply notFound(std::string_view what) {
  return errorReply(404, "NOT_FOUND", std::string(what) + " was not found", false);
}

Reply noContent() { return Reply{204, "", ""}; }

JSON parseBody(const std::string& body) {
  JSON json;
  try {
    json = parseJSON(body);
  } catch (const DecodingError& error) {
    throw Refusal{errorReply(400, "INVALID_REQUEST", error.what(), false)};
  }
  if (!json.is_object()) {
    throw Refusal{errorReply(400, "INVALID_REQUEST", "The body must be a JSON object", false)};
  }
  return json;
}

std::int64_t integerParameter(std::string_view query, std::string_view name,
                              std::int64_t fallback) {
  const auto value = queryValue(query, name);
  if (!value) return fallback;
  std::int64_t result = 0;
  const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), result);
  if (error != std::errc() || end != value->data() + value->size()) {
    throw Refusal{errorReply(400, "VALIDATION_ERROR",
                             "The query parameter " + std::string(name) + " must be an integer",
                             false)};
  }
  return result;
}

JSONValue jsonValue(const JSON& json) { return decodeJSON<JSONValue>(json); }

}  // namespace kestro::devserver
