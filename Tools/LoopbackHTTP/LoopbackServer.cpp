#include "Tools/LoopbackHTTP/LoopbackServer.h"

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
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace kestro::loopbackhttp {

namespace {

using namespace std::chrono_literals;

// The connection served by this thread; every connection has a thread of its own.
thread_local Connection* currentConnection = nullptr;

template <typename Query>
void address(int socket, Query query, std::string& ip, int& port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  ip.clear();
  port = -1;
  if (query(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = std::atoi(service);
  }
}

// Runs each connection on a thread of its own, so that a stalled, slow or endless answer never
// holds up another client.
class ThreadPerConnection final : public httplib::TaskQueue {
 public:
  explicit ThreadPerConnection(std::function<void()> onAccept) : onAccept_(std::move(onAccept)) {}

  void enqueue(std::function<void()> task) override {
    if (onAccept_) onAccept_();
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
  std::function<void()> onAccept_;
  std::mutex mutex_;
  std::map<std::uint64_t, std::thread> threads_;
  std::vector<std::uint64_t> finished_;
  std::uint64_t nextId_ = 0;
};

}  // namespace

// --- Connection

Connection::Connection(int socket, const ServerOptions& options)
    : socket_(socket),
      readTimeout_(options.readTimeout),
      writeTimeout_(options.writeTimeout),
      keepAliveTimeout_(options.keepAliveTimeout),
      buffer_(std::max<std::size_t>(options.readBufferBytes, 1)) {
  // httplib asks for these on every request.
  address(socket_, ::getpeername, remoteIP_, remotePort_);
  address(socket_, ::getsockname, localIP_, localPort_);
}

Connection& Connection::current() { return *currentConnection; }

bool Connection::is_readable() const { return begin_ < end_ || wait(POLLIN, readTimeout_); }

bool Connection::is_writable() const { return !ended_ && wait(POLLOUT, writeTimeout_); }

ssize_t Connection::read(char* data, size_t size) {
  if (begin_ == end_) {
    if (!wait(POLLIN, readTimeout_)) return -1;
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
  if (capturingHead_) captureHead(std::string_view(data, count));
  return static_cast<ssize_t>(count);
}

ssize_t Connection::write(const char* data, size_t size) {
  std::size_t sent = 0;
  while (sent < size) {
    if (ended_ || !wait(POLLOUT, writeTimeout_)) return -1;
    const ssize_t count = ::send(socket_, data + sent, size - sent, MSG_NOSIGNAL);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    sent += static_cast<std::size_t>(count);
  }
  return static_cast<ssize_t>(size);
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const {
  ip = remoteIP_;
  port = remotePort_;
}

void Connection::get_local_ip_and_port(std::string& ip, int& port) const {
  ip = localIP_;
  port = localPort_;
}

void Connection::drop() {
  ended_ = true;
  ::shutdown(socket_, SHUT_RDWR);
}

bool Connection::peerClosed() const {
  pollfd descriptor{socket_, POLLRDHUP, 0};
  return ::poll(&descriptor, 1, 0) > 0 &&
         (descriptor.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool Connection::waitForRequest() const { return begin_ < end_ || wait(POLLIN, keepAliveTimeout_); }

void Connection::beginRequest() {
  head_.clear();
  capturingHead_ = true;
}

bool Connection::wait(short events, std::chrono::milliseconds timeout) const {
  pollfd descriptor{socket_, events, 0};
  int ready;
  do {
    ready = ::poll(&descriptor, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

void Connection::captureHead(std::string_view data) {
  const std::size_t searchFrom = head_.size() < 3 ? 0 : head_.size() - 3;
  head_.append(data);
  if (auto end = head_.find("\r\n\r\n", searchFrom); end != std::string::npos) {
    head_.resize(end + 4);
    capturingHead_ = false;
  }
}

// --- Server

struct Server::Impl {
  class HTTPServer final : public httplib::Server {
   public:
    explicit HTTPServer(Impl& owner) : owner_(owner) {
      new_task_queue = [this] { return new ThreadPerConnection(owner_.options.onAccept); };
      // httplib's default sets SO_REUSEPORT, which lets a second server bind a port this one
      // holds and the kernel split the connections between them. SO_REUSEADDR alone only lets
      // a restart take the port while old connections linger in TIME_WAIT.
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
        // httplib writes a response's head and body separately, and every chunk of a streamed
        // answer on its own: Nagle's algorithm would hold them back until the client's delayed
        // acknowledgement.
        int noDelay = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        Connection connection(socket, owner_.options);
        currentConnection = &connection;
        while (!owner_.isStopping() && connection.waitForRequest() && !owner_.isStopping()) {
          connection.beginRequest();
          bool closed = false;
          served = process_request(connection, false, closed, nullptr);
          if (!served || closed || connection.ended()) break;
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

  explicit Impl(ServerOptions given) : options(std::move(given)) {}

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

  bool isStopping() const {
    std::lock_guard lock(mutex);
    return stopping;
  }

  const ServerOptions options;
  mutable std::mutex mutex;
  mutable std::condition_variable stopSignal;
  bool stopping = false;
  bool stopped = false;
  std::set<int> sockets;

  HTTPServer http{*this};
  std::thread listener;
  std::atomic<bool> listenFailed{false};
  int port = -1;
};

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() { stop(); }

httplib::Server& Server::http() noexcept { return impl_->http; }

void Server::start() {
  Impl& impl = *impl_;
  const std::string& address = impl.options.address;
  // httplib reports only that binding failed; errno still holds why (it closes the socket
  // afterwards, which leaves errno alone when it succeeds).
  errno = 0;
  int port = -1;
  if (impl.options.port == 0) {
    port = impl.http.bind_to_any_port(address);
  } else if (impl.http.bind_to_port(address, impl.options.port)) {
    port = impl.options.port;
  }
  if (port <= 0) {
    const int reason = errno;
    std::string message = "cannot listen on " + address + ":" + std::to_string(impl.options.port);
    if (reason == EADDRINUSE) {
      message += ": the port is in use (another server holds it)";
    } else if (reason != 0) {
      message += std::string(": ") + std::strerror(reason);
    }
    throw ListenError(message, reason);
  }
  impl.port = port;
  impl.listener = std::thread([&impl] {
    if (!impl.http.listen_after_bind()) impl.listenFailed = true;
  });
  while (!impl.http.is_running() && !impl.listenFailed) std::this_thread::sleep_for(1ms);
  if (impl.listenFailed) {
    impl.listener.join();
    throw ListenError("cannot listen on " + address, 0);
  }
}

int Server::port() const noexcept { return impl_->port; }

void Server::stop() noexcept {
  Impl& impl = *impl_;
  {
    std::lock_guard lock(impl.mutex);
    if (impl.stopped) return;
    impl.stopped = true;
    impl.stopping = true;
    // Wakes every connection thread blocked on its socket; each closes its own afterwards.
    for (int socket : impl.sockets) ::shutdown(socket, SHUT_RDWR);
  }
  impl.stopSignal.notify_all();
  impl.http.stop();
  if (impl.listener.joinable()) impl.listener.join();
}

bool Server::isStopping() const { return impl_->isStopping(); }

bool Server::waitOrStop(std::chrono::milliseconds duration) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->stopSignal.wait_for(lock, duration, [this] { return impl_->stopping; });
}

}  // namespace kestro::loopbackhttp
