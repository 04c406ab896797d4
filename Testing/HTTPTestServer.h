#pragma once

// An HTTP server on 127.0.0.1 for the tests: routes scripted per test, faults a real server
// would rarely produce on demand, and a record of everything it received. Runs on threads of its
// own; every member is safe to call from the test's thread while requests are served.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestro::testsupport {

// One request as the server received it.
struct ReceivedRequest {
  std::string method{};
  std::string path{};   // without the query
  std::string query{};  // the raw text after "?", empty when none
  std::vector<std::pair<std::string, std::string>> headers{};  // as received, in order
  std::string body{};           // empty for a route that only counts the body (`routeSink`)
  std::uint64_t bodyBytes = 0;  // the body's length, also for `routeSink`
  std::string remoteAddress{};  // "127.0.0.1:54321": one value per connection

  // The first header of that name, compared without regard to case.
  std::optional<std::string> header(const std::string& name) const;
};

// What a route answers.
struct ScriptedResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers{};
  std::string body{};
  std::string contentType = "application/json";
  // Wait this long before answering (to test idle timeouts).
  std::chrono::milliseconds delay{0};
  // Close the connection without answering at all.
  bool dropConnection = false;
  // Send the status, the headers and `body`, then hold the connection open without finishing
  // the body until the server stops (a body that never finishes).
  bool neverFinish = false;
  // Send the body in chunks as they come, with `chunkDelay` between them (event streams).
  // `body`, when not empty, goes first.
  std::vector<std::string> chunks{};
  std::chrono::milliseconds chunkDelay{0};
};

using Handler = std::function<ScriptedResponse(const ReceivedRequest&)>;

class HTTPTestServer {
 public:
  // Starts listening on 127.0.0.1 on a free port; ready when the constructor returns.
  HTTPTestServer();
  // Stops the server and joins its threads. Open connections, idle or in the middle of an
  // answer that never finishes, are shut down rather than waited for.
  ~HTTPTestServer();

  HTTPTestServer(const HTTPTestServer&) = delete;
  HTTPTestServer& operator=(const HTTPTestServer&) = delete;

  int port() const noexcept;
  // "http://127.0.0.1:<port>".
  std::string baseURL() const;

  // Answers `method` requests to `path` (exact match, query ignored). A later route for the
  // same method and path replaces the earlier one. Unrouted requests get 404 with an empty body.
  // A HEAD request without a HEAD route is answered by the GET route, without the body.
  void route(const std::string& method, const std::string& path, Handler handler);
  void route(const std::string& method, const std::string& path, ScriptedResponse response);
  // Answers every path that starts with `prefix` (used after exact routes).
  void routePrefix(const std::string& method, const std::string& prefix, Handler handler);
  // Answers like `route`, but reads the body as it arrives and keeps only its length, so that a
  // test can send gigabytes without the server holding them.
  void routeSink(const std::string& method, const std::string& path, ScriptedResponse response);

  // Everything received so far, in arrival order. A request is recorded once its body has
  // been read, before it is answered.
  std::vector<ReceivedRequest> requests() const;
  // How many TCP connections the server has accepted, counted as it accepts them (also those
  // that never send a request). Connections are accepted in the order clients open them, so
  // once a request has been answered, every connection opened before it has been counted.
  std::size_t connectionsAccepted() const;
  // Forgets the requests and resets the connection count.
  void clearRecord();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kestro::testsupport
