// The dev server's HTTP layer on cpp-httplib.
//
// httplib parses requests and writes responses; the connections are ours. Each accepted socket
// gets a thread and a stream of our own, so that the server can reset a connection on demand
// (a fault), notice a client that went away (a stall), never raise SIGPIPE (writes use
// MSG_NOSIGNAL; httplib's own would kill the process of a test whose client hung up), and shut
// every open connection down when it stops instead of waiting out keep-alive timeouts.

#include "Tools/DevServer/DevServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/SHA256.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"
#include "Tools/DevServer/internal/Faults.h"
#include "Tools/DevServer/internal/ServerState.h"

namespace kestro::devserver {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kReadTimeout = 30s;
constexpr std::chrono::milliseconds kWriteTimeout = 30s;
constexpr std::chrono::milliseconds kKeepAliveTimeout = 60s;
// How often a stalled request looks for its client having gone.
constexpr std::chrono::milliseconds kStallTick = 20ms;
constexpr std::size_t kReadBufferBytes = 64 * 1024;
// JSON bodies are read whole; anything larger is no request of ours.
constexpr std::size_t kMaximumJSONBodyBytes = 64 * 1024 * 1024;

constexpr const char* kPartialAnswer = "HTTP/1.1 200 OK\r\n";
constexpr const char* kFaultPage =
    "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>\n"
    "<body><h1>Bad Gateway</h1><p>The upstream server did not answer.</p></body></html>\n";

// One accepted connection as httplib reads and writes it.
class Connection final : public httplib::Stream {
 public:
  explicit Connection(int socket) : socket_(socket), buffer_(kReadBufferBytes) {
    address(::getpeername, remoteIP_, remotePort_);
    address(::getsockname, localIP_, localPort_);
  }

  using httplib::Stream::write;

  bool is_readable() const override { return begin_ < end_ || wait(POLLIN, kReadTimeout); }
  bool is_writable() const override { return !reset_ && wait(POLLOUT, kWriteTimeout); }

  ssize_t read(char* data, size_t size) override {
    if (begin_ == end_) {
      if (!wait(POLLIN, kReadTimeout)) return -1;
      ssize_t count;
      do {
        count = ::recv(socket_, buffer_.data(), buffer_.size(), 0);
      } while (count < 0 && errno == EINTR);
      if (count <= 0) return count;
      begin_ = 0;
      end_ = static_cast<std::size_t>(count);
    }
    const std::size_t count = std::min(size, end_ - begin_);
    std::memcpy(data, buffer_.data() + begin_, count);
    begin_ += count;
    return static_cast<ssize_t>(count);
  }

  ssize_t write(const char* data, size_t size) override {
    std::size_t sent = 0;
    while (sent < size) {
      if (reset_ || !wait(POLLOUT, kWriteTimeout)) return -1;
      const ssize_t count = ::send(socket_, data + sent, size - sent, MSG_NOSIGNAL);
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

  // Waits for the next request on a kept-alive connection.
  bool waitForRequest() const { return begin_ < end_ || wait(POLLIN, kKeepAliveTimeout); }

  // Nothing more is written; the connection is reset when the request's handling returns.
  void requestReset() noexcept { reset_ = true; }
  bool resetRequested() const noexcept { return reset_; }

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

  template <typename Query>
  void address(Query query, std::string& ip, int& port) const {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (query(socket_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return;
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, service,
                      sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
      ip = host;
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
  bool reset_ = false;
};

// The connection served by this thread; every connection has a thread of its own.
thread_local Connection* currentConnection = nullptr;

void answer(httplib::Response& response, const Reply& reply) {
  response.status = reply.status;
  if (!reply.body.empty()) response.set_content(reply.body, reply.contentType);
}

std::optional<std::string> header(const httplib::Request& request, const char* name) {
  if (!request.has_header(name)) return std::nullopt;
  return request.get_header_value(name);
}

// httplib would read a body without a length until the connection closes; a request without
// one has no body.
bool hasBody(const httplib::Request& request) {
  return request.has_header("Transfer-Encoding") ||
         request.get_header_value<std::uint64_t>("Content-Length") > 0;
}

// Whether a request says its body is JSON. A page on another site can post plain text, a form
// or a body without a type to this port without the browser asking first; JSON it cannot.
bool saysJSON(const httplib::Request& request) {
  const std::string type = request.get_header_value("Content-Type");
  const std::string_view mediaType = std::string_view(type).substr(0, type.find(';'));
  return equalsIgnoringASCIICase(trimmingSpacesAndTabs(mediaType), "application/json");
}

// The host a Host header names, without its port ("[::1]:8787" gives "::1"); nothing for one
// that names no host.
std::optional<std::string_view> hostOf(std::string_view authority) {
  std::string_view host = authority;
  std::string_view port;
  if (authority.starts_with('[')) {
    const auto end = authority.find(']');
    if (end == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, end - 1);
    port = authority.substr(end + 1);
  } else if (const auto colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon);
  }
  if (!port.empty()) {
    port.remove_prefix(1);
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
  }
  if (host.empty()) return std::nullopt;
  return host;
}

// An IPv4 address that reached an IPv6 socket reads "::ffff:127.0.0.1"; clients name it without
// the prefix.
std::string_view withoutIPv4Mapping(std::string_view address) {
  constexpr std::string_view kMapped = "::ffff:";
  if (startsWithIgnoringASCIICase(address, kMapped) &&
      address.find('.') != std::string_view::npos) {
    address.remove_prefix(kMapped.size());
  }
  return address;
}

// 127.0.0.0/8, ::1, or an IPv4 loopback address mapped into IPv6; false for names.
bool isLoopbackAddress(const std::string& address) {
  in_addr version4{};
  if (::inet_pton(AF_INET, address.c_str(), &version4) == 1) {
    return (ntohl(version4.s_addr) >> 24) == 127;
  }
  in6_addr version6{};
  if (::inet_pton(AF_INET6, address.c_str(), &version6) == 1) {
    const bool mappedLoopback = IN6_IS_ADDR_V4MAPPED(&version6) && version6.s6_addr[12] == 127;
    return IN6_IS_ADDR_LOOPBACK(&version6) || mappedLoopback;
  }
  return false;
}

std::string origin(std::string_view address, int port) {
  const std::string host = address.find(':') != std::string_view::npos
                               ? "[" + std::string(address) + "]"
                               : std::string(address);
  return "http://" + host + ":" + std::to_string(port);
}

Reply notJSON() {
  return errorReply(415, "UNSUPPORTED_MEDIA_TYPE",
                    "The body must be JSON, sent with Content-Type: application/json", false);
}

}  // namespace

struct DevServer::Impl {
  // Runs each connection on a thread of its own, so that a stalled or streaming answer never
  // holds up another client.
  class ThreadPerConnection final : public httplib::TaskQueue {
   public:
    void enqueue(std::function<void()> task) override {
      std::lock_guard lock(mutex_);
      for (auto id : finished_) {
        if (auto thread = threads_.find(id); thread != threads_.end()) {
          thread->second.join();
          threads_.erase(thread);
        }
      }
      finished_.clear();
      const auto id = nextId_++;
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
    std::mutex mutex_;
    std::map<std::uint64_t, std::thread> threads_;
    std::vector<std::uint64_t> finished_;
    std::uint64_t nextId_ = 0;
  };

  class Server final : public httplib::Server {
   public:
    explicit Server(Impl& owner) : owner_(owner) {
      new_task_queue = [] { return new ThreadPerConnection(); };
      // httplib's default also sets SO_REUSEPORT, which lets a second server bind a port this
      // one holds and the kernel split the connections between them. SO_REUSEADDR alone only
      // lets a restart take the port while old connections linger in TIME_WAIT.
      set_socket_options([](socket_t socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      });
    }

   private:
    bool process_and_close_socket(socket_t socket) override {
      bool served = false;
      bool reset = false;
      if (owner_.opened(socket)) {
        // httplib writes a response's head and body separately, and every event of a reply on
        // its own: Nagle's algorithm would hold them back.
        int noDelay = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        Connection connection(socket);
        currentConnection = &connection;
        while (!owner_.isStopping() && connection.waitForRequest()) {
          bool closed = false;
          served = process_request(connection, false, closed, nullptr);
          if (!served || closed || connection.resetRequested()) break;
        }
        currentConnection = nullptr;
        reset = connection.resetRequested();
        owner_.closed(socket);
      }
      if (reset) {
        // Closing with a zero linger time sends RST rather than FIN.
        linger abort{1, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      } else {
        ::shutdown(socket, SHUT_RDWR);
      }
      ::close(socket);
      return served;
    }

    Impl& owner_;
  };

  explicit Impl(DevServerOptions given)
      : options(std::move(given)),
        storage(prepareStorage(options.storageDirectory, temporaryStorage)),
        state(storage / "uploads", options.reply) {
    for (FaultRule& rule : options.faults) faults.add(std::move(rule));
    files::createDirectories(storage / "uploads", 0700);

    const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
      handle(request, response, nullptr);
    };
    const auto serveWithBody = [this](const httplib::Request& request, httplib::Response& response,
                                      const httplib::ContentReader& reader) {
      handle(request, response, &reader);
    };
    server.Get(".*", serve);
    server.Post(".*", serveWithBody);
    server.Put(".*", serveWithBody);
    server.Patch(".*", serveWithBody);
    server.Delete(".*", serveWithBody);
  }

  static std::filesystem::path prepareStorage(const std::optional<std::filesystem::path>& given,
                                              bool& temporary) {
    if (given) {
      files::createDirectories(*given, 0700);
      temporary = false;
      return *given;
    }
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestro-devserver-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      files::throwError("cannot create a temporary directory", pattern, errno);
    }
    temporary = true;
    return pattern;
  }

  // --- Connections and stopping

  bool opened(int socket) {
    std::lock_guard lock(mutex);
    if (stopping) return false;
    sockets.insert(socket);
    return true;
  }

  // Called before the socket is closed, so that stop() never shuts down a reused descriptor.
  void closed(int socket) {
    std::lock_guard lock(mutex);
    sockets.erase(socket);
  }

  bool isStopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  // Waits `duration` unless the server stops first; true when it stops.
  bool waitOrStop(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex);
    return stopSignal.wait_for(lock, duration, [this] { return stopping; });
  }

  void stop() noexcept {
    {
      std::lock_guard lock(mutex);
      if (stopped) return;
      stopped = true;
      stopping = true;
      // Wakes every connection thread blocked on its socket; each closes its own afterwards.
      for (int socket : sockets) ::shutdown(socket, SHUT_RDWR);
    }
    stopSignal.notify_all();
    server.stop();
    if (listener.joinable()) listener.join();
    if (temporaryStorage) {
      std::error_code ignored;
      std::filesystem::remove_all(storage, ignored);
    }
  }

  // --- Requests

  void handle(const httplib::Request& request, httplib::Response& response,
              const httplib::ContentReader* reader) {
    Connection& connection = *currentConnection;
    const std::string& method = request.method;
    const std::string path = request.target.substr(0, request.target.find('?'));
    const std::optional<std::string> ownOrigin = originNamed(request, connection);
    if (!ownOrigin) {
      drain(request, reader);
      const std::string message =
          "The Host header must name the address this server listens on: " + baseURL();
      answer(response, errorReply(421, "MISDIRECTED_REQUEST", message, false));
      return;
    }
    if (path.starts_with("/admin/")) {
      admin(request, response, reader, path);
      return;
    }
    if (path != "/v1" && !path.starts_with("/v1/")) {
      drain(request, reader);
      answer(response, errorReply(404, "NOT_FOUND", "The route " + path + " was not found", false));
      return;
    }
    const std::string route = routeTemplate(path);
    state.countRequest(method + " " + route);
    // The only /v1 route that needs no token, so the only one a page on another site could use.
    if (method == "POST" && route == "/v1/development/token" && !saysJSON(request)) {
      drain(request, reader);
      answer(response, notJSON());
      return;
    }

    if (std::optional<FaultRule> fault = faults.take(method, path, route)) {
      state.countFault();
      switch (fault->action) {
        case FaultAction::status:
          drain(request, reader);
          answer(response,
                 errorReply(fault->status, fault->code, fault->message, fault->retryable));
          return;
        case FaultAction::html:
          drain(request, reader);
          response.status = fault->status;
          response.set_content(kFaultPage, "text/html");
          return;
        case FaultAction::reset:
          // The start of an answer goes first: libcurl silently repeats a request whose reused
          // connection died before any byte came back, which would hide the fault.
          connection.write(kPartialAnswer, std::strlen(kPartialAnswer));
          connection.requestReset();
          return;
        case FaultAction::delay:
          if (waitOrStop(fault->delay)) {
            connection.requestReset();
            return;
          }
          break;
        case FaultAction::stall:
          while (!waitOrStop(kStallTick) && !connection.peerClosed()) {
          }
          connection.requestReset();
          return;
      }
    }

    const auto authorization = header(request, "Authorization");
    if (method == "PUT" && route == "/v1/uploads/{id}/content") {
      receiveUpload(request, response, reader, path, authorization);
      return;
    }
    std::string body;
    if (!readBody(request, reader, body)) {
      connection.requestReset();
      return;
    }
    if (method == "POST" && route == "/v1/conversations/{id}/messages") {
      streamReply(response, path, authorization, body);
      return;
    }
    answer(response,
           state.handle(Call{
               .method = method,
               .path = path,
               .query = request.target.size() > path.size() ? request.target.substr(path.size() + 1)
                                                            : std::string(),
               .authorization = authorization,
               .idempotencyKey = header(request, "Idempotency-Key"),
               .origin = *ownOrigin,
               .body = std::move(body),
           }));
  }

  // This server's origin as the request names it: its bind address, or the address the
  // connection came in on (the same, unless it listens on every address), with the port it
  // listens on. Nothing when the Host header names anything else: a page that renamed this
  // address through DNS rebinding sends its own name there. The port is not compared, so that a
  // relay on another port of the same address still reaches it.
  std::optional<std::string> originNamed(const httplib::Request& request,
                                         const Connection& connection) const {
    if (request.get_header_value_count("Host") != 1) return std::nullopt;
    const std::string header = request.get_header_value("Host");
    const std::optional<std::string_view> host = hostOf(header);
    if (!host) return std::nullopt;
    std::string localAddress;
    int localPort = 0;
    connection.get_local_ip_and_port(localAddress, localPort);
    for (const std::string_view address :
         {std::string_view(options.bindAddress), withoutIPv4Mapping(localAddress)}) {
      if (!address.empty() && equalsIgnoringASCIICase(*host, address)) {
        return origin(address, port);
      }
    }
    // "localhost" names this machine's loopback address, never one a page can rebind; a client
    // signed in as http://localhost:PORT gets plans of that origin, so its token may go there.
    if (equalsIgnoringASCIICase(*host, "localhost") &&
        isLoopbackAddress(std::string(withoutIPv4Mapping(localAddress)))) {
      return origin("localhost", port);
    }
    return std::nullopt;
  }

  // An empty bind address listens on every address, as 0.0.0.0 does.
  std::string baseURL() const {
    return origin(options.bindAddress.empty() ? "0.0.0.0" : options.bindAddress, port);
  }

  static bool readBody(const httplib::Request& request, const httplib::ContentReader* reader,
                       std::string& body) {
    if (reader == nullptr || !hasBody(request)) return true;
    return (*reader)([&body](const char* data, size_t length) {
      if (body.size() + length > kMaximumJSONBodyBytes) return false;
      body.append(data, length);
      return true;
    });
  }

  // Reads and forgets a body, so that the connection stays usable after an early answer.
  static void drain(const httplib::Request& request, const httplib::ContentReader* reader) {
    if (reader != nullptr && hasBody(request)) (*reader)([](const char*, size_t) { return true; });
  }

  void receiveUpload(const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader* reader, const std::string& path,
                     const std::optional<std::string>& authorization) {
    const std::optional<UUID> user = state.authenticate(authorization);
    if (!user) {
      drain(request, reader);
      answer(response, errorReply(401, "UNAUTHORIZED", "A valid bearer token is required", false));
      return;
    }
    const std::string id = path.substr(std::string_view("/v1/uploads/").size(), 36);
    auto begun = state.beginUploadContent(*user, id);
    if (const Reply* refusal = std::get_if<Reply>(&begun)) {
      drain(request, reader);
      answer(response, *refusal);
      return;
    }
    const auto& target = std::get<ServerState::UploadTarget>(begun);
    FileDescriptor file;
    try {
      file = files::createNewFile(target.partialFile, 0600);
    } catch (const std::filesystem::filesystem_error& error) {
      drain(request, reader);
      answer(response, errorReply(500, "STORAGE_ERROR", error.what(), true));
      return;
    }
    // Bytes go to disk as they arrive; past the declared count they are only counted and
    // hashed, since the upload is refused anyway.
    SHA256Digest digest;
    std::int64_t received = 0;
    bool writeFailed = false;
    const bool complete =
        reader == nullptr || !hasBody(request) || (*reader)([&](const char* data, size_t length) {
          digest.update(std::string_view(data, length));
          const auto size = static_cast<std::int64_t>(length);
          if (!writeFailed && received + size <= target.byteCount) {
            try {
              files::writeAll(file.get(), data, length, target.partialFile);
            } catch (const std::filesystem::filesystem_error&) {
              writeFailed = true;
            }
          }
          received += size;
          return true;
        });
    file.reset();
    if (!complete || writeFailed) {
      files::removeFileQuietly(target.partialFile);
      if (!complete) {
        currentConnection->requestReset();
      } else {
        answer(response, errorReply(500, "STORAGE_ERROR", "The upload could not be stored", true));
      }
      return;
    }
    answer(response, state.finishUploadContent(target, received, digest.finishHex()));
  }

  void streamReply(httplib::Response& response, const std::string& path,
                   const std::optional<std::string>& authorization, const std::string& body) {
    const std::optional<UUID> user = state.authenticate(authorization);
    if (!user) {
      answer(response, errorReply(401, "UNAUTHORIZED", "A valid bearer token is required", false));
      return;
    }
    const std::string id = path.substr(std::string_view("/v1/conversations/").size(), 36);
    auto begun = state.beginReply(*user, id, body);
    if (const Reply* refusal = std::get_if<Reply>(&begun)) {
      answer(response, *refusal);
      return;
    }
    struct Progress {
      ServerState::ReplyPlan plan;
      std::int64_t next = 0;
      std::string text{};
      bool finished = false;
    };
    auto progress = std::make_shared<Progress>(
        Progress{.plan = std::get<ServerState::ReplyPlan>(std::move(begun))});
    response.status = 200;
    response.set_header("Cache-Control", "no-cache");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, progress](size_t, httplib::DataSink& sink) {
          Progress& reply = *progress;
          if (reply.plan.interval.count() > 0 && waitOrStop(reply.plan.interval)) return false;
          if (isStopping()) return false;
          std::string event;
          const bool cancelled = state.replyCancelled(reply.plan);
          if (!cancelled && reply.next < reply.plan.deltas) {
            const std::string delta = reply.plan.delta(reply.next++);
            reply.text += delta;
            event = "event: message.delta\ndata: " +
                    serializeJSON(
                        JSON{{"messageId", reply.plan.messageId.uuidString()}, {"delta", delta}}) +
                    "\n\n";
          } else {
            // Cancelled or deleted (checked again as the reply is stored), or complete.
            reply.finished = true;
            const ServerState::ReplyEnd end = state.finishReply(reply.plan, reply.text, !cancelled);
            event = "event: " + end.event + "\ndata: " + end.data + "\n\n";
          }
          if (!sink.write(event.data(), event.size())) return false;
          if (reply.finished) sink.done();
          return true;
        },
        [this, progress](bool) {
          // A client that went away mid-reply leaves the message failed, not streaming forever.
          if (!progress->finished) state.finishReply(progress->plan, progress->text, false);
        });
  }

  // --- Admin routes

  void admin(const httplib::Request& request, httplib::Response& response,
             const httplib::ContentReader* reader, const std::string& path) {
    if (request.method == "POST" && !saysJSON(request)) {
      drain(request, reader);
      answer(response, notJSON());
      return;
    }
    std::string body;
    if (!readBody(request, reader, body)) {
      currentConnection->requestReset();
      return;
    }
    const std::string& method = request.method;
    try {
      if (path == "/admin/faults" && method == "POST") {
        for (FaultRule& rule : FaultRule::listFromJSON(body)) faults.add(std::move(rule));
        answer(response, Reply{201, faults.listJSON()});
      } else if (path == "/admin/faults" && method == "GET") {
        answer(response, Reply{200, faults.listJSON()});
      } else if (path == "/admin/faults" && method == "DELETE") {
        faults.clear();
        answer(response, Reply{200, faults.listJSON()});
      } else if (path == "/admin/stats" && method == "GET") {
        answer(response, Reply{200, state.statsJSON()});
      } else if (path == "/admin/reply" && method == "POST") {
        state.setReplyOptions(replyOptionsFromJSON(body));
        answer(response, Reply{200, "{}"});
      } else {
        answer(response,
               errorReply(404, "NOT_FOUND", method + " " + path + " is no admin route", false));
      }
    } catch (const std::invalid_argument& error) {
      answer(response, errorReply(400, "INVALID_REQUEST", error.what(), false));
    }
  }

  static ReplyOptions replyOptionsFromJSON(const std::string& body) {
    JSON json;
    try {
      json = parseJSON(body);
    } catch (const DecodingError& error) {
      throw std::invalid_argument(error.what());
    }
    ReplyOptions reply;
    const auto number = [&json](const char* key, std::int64_t fallback) {
      const auto found = json.find(key);
      if (found == json.end()) return fallback;
      if (!found->is_number_integer() || found->get<std::int64_t>() < 0) {
        throw std::invalid_argument(std::string("\"") + key + "\" must be a whole number >= 0");
      }
      return found->get<std::int64_t>();
    };
    if (!json.is_object()) throw std::invalid_argument("expected a JSON object");
    reply.deltas = number("deltas", reply.deltas);
    const std::int64_t interval = number("intervalMs", reply.interval.count());
    // The same bound as a fault's delay: an hour is already no reply at all.
    if (interval > 3'600'000) throw std::invalid_argument("\"intervalMs\" must be at most 3600000");
    reply.interval = std::chrono::milliseconds(interval);
    return reply;
  }

  DevServerOptions options;
  bool temporaryStorage = false;
  std::filesystem::path storage;
  ServerState state;
  FaultBook faults;

  std::mutex mutex;
  std::condition_variable stopSignal;
  bool stopping = false;
  bool stopped = false;
  std::set<int> sockets;

  Server server{*this};
  std::thread listener;
  std::atomic<bool> listenFailed{false};
  int port = -1;
};

DevServer::DevServer(DevServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& impl = *impl_;
  const std::string& address = impl.options.bindAddress;
  // httplib reports only that binding failed; errno still holds why (it closes the socket
  // afterwards, which leaves errno alone when it succeeds).
  errno = 0;
  if (impl.options.port == 0) {
    impl.port = impl.server.bind_to_any_port(address);
  } else if (impl.server.bind_to_port(address, impl.options.port)) {
    impl.port = impl.options.port;
  }
  if (impl.port <= 0) {
    const int reason = errno;
    impl.stop();
    std::string message = "cannot listen on " + address + ":" + std::to_string(impl.options.port);
    if (reason == EADDRINUSE) {
      message += ": the port is in use (another server holds it)";
    } else if (reason != 0) {
      message += std::string(": ") + std::strerror(reason);
    }
    throw std::runtime_error(message);
  }
  impl.listener = std::thread([&impl] {
    if (!impl.server.listen_after_bind()) impl.listenFailed = true;
  });
  while (!impl.server.is_running() && !impl.listenFailed) std::this_thread::sleep_for(1ms);
  if (impl.listenFailed) {
    impl.stop();
    throw std::runtime_error("cannot listen on " + address);
  }
}

DevServer::~DevServer() { stop(); }

int DevServer::port() const noexcept { return impl_->port; }

std::string DevServer::baseURL() const { return impl_->baseURL(); }

bool DevServer::reachableFromNetwork() const {
  const std::string& address = impl_->options.bindAddress;
  if (equalsIgnoringASCIICase(address, "localhost")) return false;
  // Any name but localhost may resolve to any address.
  return !isLoopbackAddress(address);
}

const std::filesystem::path& DevServer::storageDirectory() const noexcept { return impl_->storage; }

void DevServer::addFault(FaultRule rule) { impl_->faults.add(std::move(rule)); }

void DevServer::clearFaults() { impl_->faults.clear(); }

void DevServer::setReplyOptions(ReplyOptions reply) { impl_->state.setReplyOptions(reply); }

std::string DevServer::statsJSON() const { return impl_->state.statsJSON(); }

void DevServer::stop() noexcept { impl_->stop(); }

}  // namespace kestro::devserver
