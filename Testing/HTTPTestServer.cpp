// The test server on the loopback HTTP server (Tools/LoopbackHTTP), whose connections are its
// own: it counts them exactly as they are accepted, keeps each request head as it arrived
// (httplib's header map forgets the order), drops a connection on demand, and shuts every open
// socket down when the server stops instead of waiting out keep-alive timeouts.

#include "Testing/HTTPTestServer.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <tuple>

#include <httplib.h>

#include "KestroCore/Foundation/ASCII.h"
#include "Tools/LoopbackHTTP/LoopbackServer.h"

namespace kestro::testsupport {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kReadTimeout = 5s;
// A client under a sanitizer on a loaded machine may take seconds to read a large body; giving up
// sooner cut a 16 MiB line short and failed the test that reads it. Stopping the server does not
// wait for this: it shuts every connection down.
constexpr std::chrono::milliseconds kWriteTimeout = 30s;
// Long enough that no test sees a connection closed under it; stopping does not wait for it.
constexpr std::chrono::milliseconds kKeepAliveTimeout = 60s;
// How often an endless body looks for a reason to end.
constexpr std::chrono::milliseconds kEndlessBodyTick = 20ms;
// Large reads let the server take a gigabyte upload without becoming the bottleneck.
constexpr std::size_t kReadBufferBytes = 256 * 1024;

std::vector<std::pair<std::string, std::string>> headersOf(const std::string& head,
                                                           const httplib::Headers& parsed) {
  std::vector<std::pair<std::string, std::string>> headers;
  std::string_view rest(head);
  bool requestLine = true;
  while (!rest.empty()) {
    auto end = rest.find("\r\n");
    auto line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
    if (std::exchange(requestLine, false) || line.empty()) continue;
    auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    headers.emplace_back(std::string(line.substr(0, colon)),
                         std::string(trimmingSpacesAndTabs(line.substr(colon + 1))));
  }
  if (headers.empty()) headers.assign(parsed.begin(), parsed.end());
  return headers;
}

std::size_t contentLength(const httplib::Request& request) {
  std::string text = request.get_header_value("Content-Length");
  return text.empty() ? 0 : static_cast<std::size_t>(std::stoull(text));
}

// Reads a body that httplib leaves in the stream (it reads none for GET).
bool readBody(loopbackhttp::Connection& connection, std::size_t length, std::string& into) {
  char chunk[16 * 1024];
  while (length > 0) {
    ssize_t count = connection.read(chunk, std::min(length, sizeof chunk));
    if (count <= 0) return false;
    into.append(chunk, static_cast<std::size_t>(count));
    length -= static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

std::optional<std::string> ReceivedRequest::header(const std::string& name) const {
  for (const auto& [headerName, value] : headers) {
    if (equalsIgnoringASCIICase(headerName, name)) return value;
  }
  return std::nullopt;
}

struct HTTPTestServer::State {
  struct Route {
    Handler handler;
    bool sink = false;
  };

  State() {
    // What httplib advertises in "Keep-Alive"; the server keeps idle connections that long.
    httplib::Server& http = server.http();
    http.set_keep_alive_timeout(
        std::chrono::duration_cast<std::chrono::seconds>(kKeepAliveTimeout).count());
    http.set_keep_alive_max_count(std::numeric_limits<std::size_t>::max());
    auto plain = [this](const httplib::Request& request, httplib::Response& response) {
      handle(request, response, nullptr);
    };
    auto withBody = [this](const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) {
      handle(request, response, &reader);
    };
    http.Get(".*", plain);
    http.Options(".*", plain);
    http.Post(".*", withBody);
    http.Put(".*", withBody);
    http.Patch(".*", withBody);
    http.Delete(".*", withBody);
  }

  // Waits for `duration` unless the server stops first; true when it stops.
  bool waitOrStop(std::chrono::milliseconds duration) { return server.waitOrStop(duration); }

  std::optional<Route> find(const std::string& method, const std::string& path) {
    std::lock_guard lock(mutex);
    if (auto route = routes.find({method, path}); route != routes.end()) return route->second;
    if (auto route = routes.find({"GET", path}); method == "HEAD" && route != routes.end()) {
      return route->second;
    }
    for (const auto& [routeMethod, prefix, handler] : prefixRoutes) {
      if ((routeMethod == method || (method == "HEAD" && routeMethod == "GET")) &&
          path.starts_with(prefix)) {
        return Route{handler, false};
      }
    }
    return std::nullopt;
  }

  void handle(const httplib::Request& request, httplib::Response& response,
              const httplib::ContentReader* reader) {
    loopbackhttp::Connection& connection = loopbackhttp::Connection::current();
    ReceivedRequest received;
    received.method = request.method;
    auto question = request.target.find('?');
    received.path = request.target.substr(0, question);
    if (question != std::string::npos) received.query = request.target.substr(question + 1);
    received.headers = headersOf(connection.head(), request.headers);
    received.remoteAddress = request.remote_addr + ":" + std::to_string(request.remote_port);

    std::optional<Route> route = find(received.method, received.path);
    bool sink = route && route->sink;
    bool bodyComplete = true;
    if (reader != nullptr) {
      bodyComplete = (*reader)([&](const char* data, size_t length) {
        received.bodyBytes += length;
        if (!sink) received.body.append(data, length);
        return true;
      });
    } else if (auto length = contentLength(request); length > 0) {
      bodyComplete = readBody(connection, length, received.body);
      received.bodyBytes = received.body.size();
    }
    {
      std::lock_guard lock(mutex);
      record.push_back(received);
    }
    if (!bodyComplete) {
      connection.drop();
      return;
    }
    if (!route) {
      response.status = 404;
      return;
    }

    ScriptedResponse script;
    try {
      script = route->handler(received);
    } catch (const std::exception& error) {
      response.status = 500;
      response.set_content(error.what(), "text/plain");
      return;
    }
    if (script.delay.count() > 0 && waitOrStop(script.delay)) script.dropConnection = true;
    if (script.dropConnection) {
      connection.drop();
      return;
    }
    response.status = script.status;
    for (const auto& [name, value] : script.headers) response.set_header(name, value);
    if (script.neverFinish) {
      answerEndlessly(response, script, connection);
    } else if (!script.chunks.empty()) {
      answerInChunks(response, std::move(script));
    } else if (!script.body.empty()) {
      response.set_content(script.body, script.contentType);
    }
  }

  void answerEndlessly(httplib::Response& response, const ScriptedResponse& script,
                       loopbackhttp::Connection& connection) {
    response.set_chunked_content_provider(
        script.contentType, [this, &connection, body = script.body, started = false](
                                size_t, httplib::DataSink& sink) mutable {
          if (!std::exchange(started, true)) {
            return body.empty() || sink.write(body.data(), body.size());
          }
          // Ends only when the server stops or the client goes away.
          return !waitOrStop(kEndlessBodyTick) && !connection.peerClosed();
        });
  }

  void answerInChunks(httplib::Response& response, ScriptedResponse script) {
    std::vector<std::string> pieces;
    if (!script.body.empty()) pieces.push_back(std::move(script.body));
    for (auto& chunk : script.chunks) {
      // An empty chunk would end a chunked body early.
      if (!chunk.empty()) pieces.push_back(std::move(chunk));
    }
    response.set_chunked_content_provider(
        script.contentType, [this, pieces = std::move(pieces), delay = script.chunkDelay,
                             next = std::size_t{0}](size_t, httplib::DataSink& sink) mutable {
          if (next > 0 && delay.count() > 0 && waitOrStop(delay)) return false;
          if (next < pieces.size() && !sink.write(pieces[next].data(), pieces[next].size())) {
            return false;
          }
          if (++next >= pieces.size()) sink.done();
          return true;
        });
  }

  mutable std::mutex mutex;
  std::map<std::pair<std::string, std::string>, Route> routes;
  std::vector<std::tuple<std::string, std::string, Handler>> prefixRoutes;
  std::vector<ReceivedRequest> record;
  std::size_t connections = 0;

  // Last, so that it stops, and its threads end, before the routes and the record go.
  loopbackhttp::Server server{loopbackhttp::ServerOptions{
      .address = "127.0.0.1",
      .port = 0,
      .readTimeout = kReadTimeout,
      .writeTimeout = kWriteTimeout,
      .keepAliveTimeout = kKeepAliveTimeout,
      .readBufferBytes = kReadBufferBytes,
      .onAccept =
          [this] {
            std::lock_guard lock(mutex);
            ++connections;
          },
  }};
};

HTTPTestServer::HTTPTestServer() : state_(std::make_unique<State>()) {
  try {
    state_->server.start();
  } catch (const loopbackhttp::ListenError& error) {
    throw std::runtime_error(std::string("HTTPTestServer: ") + error.what());
  }
}

HTTPTestServer::~HTTPTestServer() { state_->server.stop(); }

int HTTPTestServer::port() const noexcept { return state_->server.port(); }

std::string HTTPTestServer::baseURL() const {
  return "http://127.0.0.1:" + std::to_string(state_->server.port());
}

void HTTPTestServer::route(const std::string& method, const std::string& path, Handler handler) {
  std::lock_guard lock(state_->mutex);
  state_->routes[{method, path}] = State::Route{std::move(handler), false};
}

void HTTPTestServer::route(const std::string& method, const std::string& path,
                           ScriptedResponse response) {
  route(method, path,
        [response = std::move(response)](const ReceivedRequest&) { return response; });
}

void HTTPTestServer::routePrefix(const std::string& method, const std::string& prefix,
                                 Handler handler) {
  std::lock_guard lock(state_->mutex);
  state_->prefixRoutes.emplace_back(method, prefix, std::move(handler));
}

void HTTPTestServer::routeSink(const std::string& method, const std::string& path,
                               ScriptedResponse response) {
  std::lock_guard lock(state_->mutex);
  state_->routes[{method, path}] = State::Route{
      [response = std::move(response)](const ReceivedRequest&) { return response; }, true};
}

std::vector<ReceivedRequest> HTTPTestServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->record;
}

std::size_t HTTPTestServer::connectionsAccepted() const {
  std::lock_guard lock(state_->mutex);
  return state_->connections;
}

void HTTPTestServer::clearRecord() {
  std::lock_guard lock(state_->mutex);
  state_->record.clear();
  state_->connections = 0;
}

}  // namespace kestro::testsupport
