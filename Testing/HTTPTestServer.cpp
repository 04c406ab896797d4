// The test server on cpp-httplib.
//
// httplib parses requests and writes responses; the connections are ours. Each accepted socket
// gets a thread of its own and a stream of our own, which lets the server count connections
// exactly, keep the request head as it arrived (httplib's header map forgets the order), drop a
// connection on demand, and shut every open socket down when the server stops: httplib on its
// own waits out the keep-alive timeout of each idle connection before it can stop.

#include "Testing/HTTPTestServer.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

#include <httplib.h>

#include "KestroCore/Foundation/ASCII.h"

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

// One accepted connection as httplib reads and writes it.
class ConnectionStream final : public httplib::Stream {
 public:
  explicit ConnectionStream(int socket) : socket_(socket), buffer_(kReadBufferBytes) {
    // httplib asks for these on every request.
    address(::getpeername, remoteIP_, remotePort_);
    address(::getsockname, localIP_, localPort_);
  }

  using httplib::Stream::write;

  bool is_readable() const override { return begin_ < end_ || wait(POLLIN, kReadTimeout); }
  bool is_writable() const override { return !dropped_ && wait(POLLOUT, kWriteTimeout); }

  ssize_t read(char* data, size_t size) override {
    if (begin_ == end_) {
      ssize_t filled = fill();
      if (filled <= 0) return filled;
    }
    std::size_t count = std::min(size, end_ - begin_);
    std::memcpy(data, buffer_.data() + begin_, count);
    begin_ += count;
    if (capturingHead_) captureHead(std::string_view(data, count));
    return static_cast<ssize_t>(count);
  }

  ssize_t write(const char* data, size_t size) override {
    std::size_t sent = 0;
    while (sent < size) {
      if (dropped_ || !wait(POLLOUT, kWriteTimeout)) return -1;
      ssize_t count = ::send(socket_, data + sent, size - sent, MSG_NOSIGNAL);
      if (count < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return -1;
      }
      sent += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = remoteIP_;
    port = remotePort_;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = localIP_;
    port = localPort_;
  }
  socket_t socket() const override { return socket_; }

  // Waits for the next request to begin; false when the connection stays idle too long.
  bool waitForRequest() const { return begin_ < end_ || wait(POLLIN, kKeepAliveTimeout); }

  void beginRequest() {
    head_.clear();
    capturingHead_ = true;
  }

  // The request line and headers of the current request, as received.
  const std::string& head() const noexcept { return head_; }

  // Reads a body that httplib leaves in the stream (it reads none for GET).
  bool readBody(std::size_t length, std::string& into) {
    char chunk[16 * 1024];
    while (length > 0) {
      ssize_t count = read(chunk, std::min(length, sizeof chunk));
      if (count <= 0) return false;
      into.append(chunk, static_cast<std::size_t>(count));
      length -= static_cast<std::size_t>(count);
    }
    return true;
  }

  // Ends the connection now, without a response.
  void drop() {
    dropped_ = true;
    ::shutdown(socket_, SHUT_RDWR);
  }
  bool dropped() const noexcept { return dropped_; }

  bool peerClosed() const {
    pollfd descriptor{socket_, POLLRDHUP, 0};
    return ::poll(&descriptor, 1, 0) > 0 &&
           (descriptor.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }

 private:
  bool wait(short events, std::chrono::milliseconds timeout) const {
    pollfd descriptor{socket_, events, 0};
    int ready;
    do {
      ready = ::poll(&descriptor, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
  }

  ssize_t fill() {
    if (!wait(POLLIN, kReadTimeout)) return -1;
    ssize_t count;
    do {
      count = ::recv(socket_, buffer_.data(), buffer_.size(), 0);
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
      begin_ = 0;
      end_ = static_cast<std::size_t>(count);
    }
    return count;
  }

  void captureHead(std::string_view data) {
    std::size_t searchFrom = head_.size() < 3 ? 0 : head_.size() - 3;
    head_.append(data);
    if (auto end = head_.find("\r\n\r\n", searchFrom); end != std::string::npos) {
      head_.resize(end + 4);
      capturingHead_ = false;
    }
  }

  template <typename Query>
  void address(Query query, std::string& ip, int& port) const {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    ip.clear();
    port = -1;
    if (query(socket_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return;
    char text[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, text, sizeof text, service,
                      sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
      ip = text;
      port = std::atoi(service);
    }
  }

  int socket_;
  std::string remoteIP_;
  int remotePort_ = -1;
  std::string localIP_;
  int localPort_ = -1;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::string head_;
  bool capturingHead_ = false;
  bool dropped_ = false;
};

// The connection served by this thread; every connection has a thread of its own.
thread_local ConnectionStream* currentConnection = nullptr;

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

  // Runs each connection on a thread of its own, so that a slow or endless answer never holds
  // up another client, and counts connections as they are accepted.
  class ThreadPerConnection final : public httplib::TaskQueue {
   public:
    explicit ThreadPerConnection(State& state) : state_(state) {}

    void enqueue(std::function<void()> task) override {
      {
        std::lock_guard lock(state_.mutex);
        ++state_.connections;
      }
      std::lock_guard lock(mutex_);
      for (auto id : finished_) {
        if (auto thread = threads_.find(id); thread != threads_.end()) {
          thread->second.join();
          threads_.erase(thread);
        }
      }
      finished_.clear();
      auto id = nextId_++;
      threads_.emplace(id, std::thread([this, id, task = std::move(task)] {
                         task();
                         std::lock_guard lock(mutex_);
                         finished_.push_back(id);
                       }));
    }

    void shutdown() override {
      std::map<std::uint64_t, std::thread> threads;
      {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
      }
      for (auto& [id, thread] : threads) thread.join();
    }

   private:
    State& state_;
    std::mutex mutex_;
    std::map<std::uint64_t, std::thread> threads_;
    std::vector<std::uint64_t> finished_;
    std::uint64_t nextId_ = 0;
  };

  class Server final : public httplib::Server {
   public:
    explicit Server(State& state) : state_(state) {
      new_task_queue = [this] { return new ThreadPerConnection(state_); };
      // What httplib advertises in "Keep-Alive"; the loop below keeps to it.
      set_keep_alive_timeout(
          std::chrono::duration_cast<std::chrono::seconds>(kKeepAliveTimeout).count());
      set_keep_alive_max_count(std::numeric_limits<std::size_t>::max());
    }

   private:
    bool process_and_close_socket(socket_t socket) override {
      bool served = false;
      if (state_.open(socket)) {
        // httplib writes a response's head and body separately; Nagle's algorithm would hold
        // the body back until the client's delayed acknowledgement.
        int noDelay = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        ConnectionStream stream(socket);
        currentConnection = &stream;
        while (stream.waitForRequest() && !state_.isStopping()) {
          stream.beginRequest();
          bool closed = false;
          served = process_request(stream, false, closed, nullptr);
          if (!served || closed || stream.dropped()) break;
        }
        currentConnection = nullptr;
        state_.close(socket);
      }
      ::shutdown(socket, SHUT_RDWR);
      ::close(socket);
      return served;
    }

    State& state_;
  };

  State() {
    auto plain = [this](const httplib::Request& request, httplib::Response& response) {
      handle(request, response, nullptr);
    };
    auto withBody = [this](const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) {
      handle(request, response, &reader);
    };
    server.Get(".*", plain);
    server.Options(".*", plain);
    server.Post(".*", withBody);
    server.Put(".*", withBody);
    server.Patch(".*", withBody);
    server.Delete(".*", withBody);
  }

  bool open(int socket) {
    std::lock_guard lock(mutex);
    if (stopping) return false;
    sockets.insert(socket);
    return true;
  }

  void close(int socket) {
    std::lock_guard lock(mutex);
    sockets.erase(socket);
  }

  bool isStopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  // Waits for `duration` unless the server stops first; true when it stops.
  bool waitOrStop(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex);
    return stopSignal.wait_for(lock, duration, [this] { return stopping; });
  }

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
    ConnectionStream& connection = *currentConnection;
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
      bodyComplete = connection.readBody(length, received.body);
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
                       ConnectionStream& connection) {
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
  std::condition_variable stopSignal;
  bool stopping = false;
  std::map<std::pair<std::string, std::string>, Route> routes;
  std::vector<std::tuple<std::string, std::string, Handler>> prefixRoutes;
  std::vector<ReceivedRequest> record;
  std::size_t connections = 0;
  std::set<int> sockets;

  Server server{*this};
  std::thread listener;
  std::atomic<bool> listening{true};
  int port = -1;
};

HTTPTestServer::HTTPTestServer() : state_(std::make_unique<State>()) {
  state_->port = state_->server.bind_to_any_port("127.0.0.1");
  if (state_->port < 0) throw std::runtime_error("HTTPTestServer: cannot bind to 127.0.0.1");
  state_->listener = std::thread([state = state_.get()] {
    state->server.listen_after_bind();
    state->listening = false;
  });
  while (!state_->server.is_running()) {
    if (!state_->listening) {
      state_->listener.join();
      throw std::runtime_error("HTTPTestServer: cannot listen on 127.0.0.1");
    }
    std::this_thread::sleep_for(1ms);
  }
}

HTTPTestServer::~HTTPTestServer() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    // Wakes every connection thread blocked on its socket; each closes its own afterwards.
    for (int socket : state_->sockets) ::shutdown(socket, SHUT_RDWR);
  }
  state_->stopSignal.notify_all();
  state_->server.stop();
  state_->listener.join();
}

int HTTPTestServer::port() const noexcept { return state_->port; }

std::string HTTPTestServer::baseURL() const {
  return "http://127.0.0.1:" + std::to_string(state_->port);
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
