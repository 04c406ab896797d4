#include "Tools/DevServer/internal/HTTPSupport.h"

#include <cstdint>
#include <string_view>

#include "KestroCore/Foundation/ASCII.h"

namespace kestro::devserver {

namespace {

// JSON bodies are read whole; anything larger is no request of ours.
constexpr std::size_t kMaximumJSONBodyBytes = 64 * 1024 * 1024;

}  // namespace

void answer(httplib::Response& response, const Reply& reply) {
  response.status = reply.status;
  if (!reply.body.empty()) response.set_content(reply.body, reply.contentType);
}

std::optional<std::string> header(const httplib::Request& request, const char* name) {
  if (!request.has_header(name)) return std::nullopt;
  return request.get_header_value(name);
}

bool hasBody(const httplib::Request& request) {
  return request.has_header("Transfer-Encoding") ||
         request.get_header_value<std::uint64_t>("Content-Length") > 0;
}

bool saysJSON(const httplib::Request& request) {
  const std::string type = request.get_header_value("Content-Type");
  const std::string_view mediaType = std::string_view(type).substr(0, type.find(';'));
  return equalsIgnoringASCIICase(trimmingSpacesAndTabs(mediaType), "application/json");
}

Reply notJSON() {
  return errorReply(415, "UNSUPPORTED_MEDIA_TYPE",
                    "The body must be JSON, sent with Content-Type: application/json", false);
}

bool readBody(const httplib::Request& request, const httplib::ContentReader* reader,
              std::string& body) {
  if (reader == nullptr || !hasBody(request)) return true;
  return (*reader)([&body](const char* data, size_t length) {
    if (body.size() + length > kMaximumJSONBodyBytes) return false;
    body.append(data, length);
    return true;
  });
}

void drain(const httplib::Request& request, const httplib::ContentReader* reader) {
  if (reader != nullptr && hasBody(request)) (*reader)([](const char*, size_t) { return true; });
}

}  // namespace kestro::devserver
