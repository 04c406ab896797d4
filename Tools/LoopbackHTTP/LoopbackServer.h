#pragma once

// The HTTP server under the stand-in server (Tools/DevServer) and the tests' scripted server
// (Testing/HTTPTestServer): cpp-httplib parses requests and writes responses; the sockets are
// ours. Each accepted socket gets a thread of its own and a Connection of our own, so that a
// slow or endless answer never holds up another client, a handler can drop or reset its
// connection on demand and notice a client that went away, a write never raises SIGPIPE (writes
// use MSG_NOSIGNAL; httplib's own would kill the process of a test whose client hung up), and
// stopping shuts every open connection down instead of waiting out keep-alive timeouts.
//
// Binds to 127.0.0.1 unless given another address. Not installed; nothing of it ships.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <httplib.h>

namespace kestro::loopbackhttp {

struct ServerOptions {
  // An IP address or a host name; empty listens on every address, as 0.0.0.0 does.
  std::string address = "127.0.0.1";
  int port = 0;  // 0: a free port, chosen by the system
  // How long a read or a write waits for the socket before the request fails.
  std::chrono::milliseconds readTimeout{std::chrono::seconds(30)};
  std::chrono::milliseconds writeTimeout{std::chrono::seconds(30)};
  // How long an idle connection waits for its next request. Stopping never waits for it.
  std::chrono::milliseconds keepAliveTimeout{std::chrono::seconds(60)};
  std::size_t readBufferBytes = 64 * 1024;
  // Called on the accepting thread as each connection is accepted, before anything is read from
  // it (also for connections that never send a request).
  std::function<void()> onAccept{};
};

// The server could not bind or listen.
class ListenError : public std::runtime_error {
 public:
  ListenError(const std::string& message, int errorNumber)
      : std::runtime_error(message), errorNumber_(errorNumber) {}
  // errno of the failure; 0 when unknown.
  int errorNumber() const noexcept { return errorNumber_; }

 private:
  int errorNumber_;
};

// One accepted connection as httplib reads and writes it. Made by the server for each socket;
// handlers reach the one they serve through current().
class Connection final : public httplib::Stream {
 public:
  Connection(int socket, const ServerOptions& options);

  // The connection the calling thread serves. Only valid inside a request handler.
  static Connection& current();

  using httplib::Stream::write;

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* data, size_t size) override;
  ssize_t write(const char* data, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return socket_; }

  // The request line and headers of the current request, as received (httplib's header map
  // forgets their order).
  const std::string& head() const noexcept { return head_; }

  // Ends the connection now, without a response: it is shut down (FIN) at once and nothing more
  // is written.
  void drop();
  // Ends the connection when the request's handling returns, with a reset (TCP RST) rather than
  // a FIN; nothing more is written meanwhile.
  void resetWhenDone() noexcept { reset_ = ended_ = true; }
  // Whether drop() or resetWhenDone() ended it.
  bool ended() const noexcept { return ended_; }
  bool resetRequested() const noexcept { return reset_; }
  // Whether the client closed its end or the connection failed.
  bool peerClosed() const;

  // For the server's loop: waits for the next request to begin (false when the connection
  // stays idle past the keep-alive timeout), and starts recording its head.
  bool waitForRequest() const;
  void beginRequest();

 private:
  bool wait(short events, std::chrono::milliseconds timeout) const;
  void captureHead(std::string_view data);

  int socket_;
  std::chrono::milliseconds readTimeout_;
  std::chrono::milliseconds writeTimeout_;
  std::chrono::milliseconds keepAliveTimeout_;
  std::string remoteIP_;
  int remotePort_ = -1;
  std::string localIP_;
  int localPort_ = -1;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::string head_;
  bool capturingHead_ = false;
  bool ended_ = false;
  bool reset_ = false;
};

// The server. Every member is safe to call from any thread while it serves.
class Server {
 public:
  explicit Server(ServerOptions options = {});
  // Stops (see stop()).
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // httplib's server, for the handlers and its settings; set them before start().
  httplib::Server& http() noexcept;

  // Binds, starts listening on a thread of its own and returns once it accepts connections.
  // Throws ListenError when it cannot bind or listen. Called once.
  void start();
  // The port it listens on; -1 before start().
  int port() const noexcept;

  // Stops accepting, shuts every open connection down (idle keep-alive connections, endless
  // answers and stalls alike, without waiting for them to finish) and joins every thread.
  // Idempotent; never throws.
  void stop() noexcept;
  bool isStopping() const;
  // Waits `duration` unless the server stops first; true when it stops.
  bool waitOrStop(std::chrono::milliseconds duration) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestro::loopbackhttp
