#pragma once

// Helpers shared by the HTTP layer's tests. Not installed.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KestroCore/API/KestroAPIClient.h"
#include "KestroCore/Foundation/ASCII.h"
#include "Testing/HTTPTestServer.h"

namespace kestro::testsupport {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

inline URL url(const std::string& text) {
  auto parsed = URL::fromString(text);
  if (!parsed) throw std::invalid_argument("not a URL: " + text);
  return *parsed;
}
inline UUID uuid(const char* text) { return *UUID::fromString(text); }

inline HTTPHeaders headers(std::initializer_list<std::pair<std::string, std::string>> entries) {
  HTTPHeaders result;
  for (const auto& [name, value] : entries) result.set(name, value);
  return result;
}

inline ScriptedResponse answer(int status, std::string body,
                               std::string contentType = "application/json") {
  return ScriptedResponse{
      .status = status, .body = std::move(body), .contentType = std::move(contentType)};
}

// Every value of a header however its name was written: a replaced header must appear once.
inline Strings values(const ReceivedRequest& request, std::string_view name) {
  Strings result;
  for (const auto& [key, value] : request.headers) {
    if (equalsIgnoringASCIICase(key, name)) result.push_back(value);
  }
  return result;
}

// What an operation ended with, reduced to what a caller acts on so that tables can name it:
// "ok", or the error's code and retryability (and a server error's message and trace).
inline std::string outcome(const std::function<void()>& operation) {
  try {
    operation();
    return "ok";
  } catch (const KestroAPIError& error) {
    std::string text = error.code() + (error.retryable() ? " retryable" : " final");
    if (const auto* server = error.as<KestroAPIError::Server>()) {
      text += " " + server->message + " " + server->traceId;
    }
    return text;
  }
}

// A file in the temporary directory, removed with the object.
struct TempFile {
  explicit TempFile(const std::string& contents)
      : path(std::filesystem::temp_directory_path() / ("kestro-test-" + UUID().uuidString())) {
    std::ofstream(path, std::ios::binary) << contents;
  }
  ~TempFile() { std::filesystem::remove(path); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::filesystem::path path;
};

inline CaptureEnvelope noteCapture(std::string title) {
  return CaptureEnvelope(
      uuid("11111111-2222-4333-8444-55555555555a"), Date{1741064767s}, SourceKind::note,
      CaptureOrigin{KestroPlatform::macos,
                    CaptureMechanism::manual,
                    uuid("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE"),
                    "1.0",
                    {},
                    {},
                    {}},
      {}, std::move(title), {}, {}, {}, "a note", {}, {}, CapturePrivacy{false, false, false});
}

inline UploadPlan uploadPlan(const std::string& target,
                             std::map<std::string, std::string> planHeaders,
                             std::optional<bool> authenticated = true, std::string method = "PUT") {
  return UploadPlan{.url = url(target),
                    .method = std::move(method),
                    .headers = std::move(planHeaders),
                    .expiresAt = Date{1741064767s},
                    .authenticated = authenticated};
}

}  // namespace kestro::testsupport
