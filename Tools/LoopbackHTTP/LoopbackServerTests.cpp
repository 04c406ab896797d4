// What the servers built on this one (the dev server, the tests' server) cannot show through
// their own tests: that stopping does not wait for idle or waiting connections, and that the
// server listens only where it is told (a port already held is kestro-devserver's test). Clients
// are plain sockets, so that nothing on their side closes a connection for them.

#include "Tools/LoopbackHTTP/LoopbackServer.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace kestro::loopbackhttp {
namespace {

using namespace std::chrono_literals;

// A client's socket, closed when it goes.
class ClientSocket {
 public:
  ClientSocket() : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {}
  ~ClientSocket() {
    if (socket_ >= 0) ::close(socket_);
  }
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  // 0 when connected, errno otherwise.
  int connect(const std::string& address, int port) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return EINVAL;
    return ::connect(socket_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 ? 0 : errno;
  }

  void send(const std::string& text) {
    ASSERT_EQ(::send(socket_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }

  // Reads until `text` has arrived; false when the connection ends first.
  bool readUntil(const std::string& text) {
    while (received_.find(text) == std::string::npos) {
      if (readSome() <= 0) return false;
    }
    return true;
  }

  // Reads until the server closes the connection; true when it did so (end of file or a reset)
  // rather than sending anything more.
  bool closedByServer() {
    const std::size_t before = received_.size();
    ssize_t count;
    while ((count = readSome()) > 0) {
    }
    return received_.size() == before && (count == 0 || errno == ECONNRESET);
  }

 private:
  ssize_t readSome() {
    char buffer[4096];
    ssize_t count;
    do {
      count = ::recv(socket_, buffer, sizeof buffer, 0);
    } while (count < 0 && errno == EINTR);
    if (count > 0) received_.append(buffer, static_cast<std::size_t>(count));
    return count;
  }

  int socket_;
  std::string received_;
};

// Counts accepted connections and lets a test wait for a number of them.
struct AcceptCounter {
  void accepted() {
    std::lock_guard lock(mutex);
    ++count;
    changed.notify_all();
  }
  void waitFor(int wanted) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return count >= wanted; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
};

TEST(LoopbackServer, StopEndsIdleAndWaitingConnectionsWithoutWaitingForThem) {
  AcceptCounter counter;
  // Timeouts no test run outlives: a stop that waited for either would never return.
  Server server({.address = "127.0.0.1",
                 .port = 0,
                 .readTimeout = 24h,
                 .writeTimeout = 24h,
                 .keepAliveTimeout = 24h,
                 .readBufferBytes = 4096,
                 .onAccept = [&counter] { counter.accepted(); }});
  std::atomic<bool> waitEndedByStop{false};
  std::atomic<bool> waiting{false};
  server.http().Get("/ok", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("ok", "text/plain");
  });
  server.http().Get("/wait", [&](const httplib::Request&, httplib::Response&) {
    waiting = true;
    waitEndedByStop = server.waitOrStop(24h);
  });
  server.start();

  // A kept-alive connection, idle after its answer.
  ClientSocket idle;
  ASSERT_EQ(idle.connect("127.0.0.1", server.port()), 0);
  idle.send("GET /ok HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_TRUE(idle.readUntil("\r\n\r\nok"));
  // A connection that never sends a request.
  ClientSocket silent;
  ASSERT_EQ(silent.connect("127.0.0.1", server.port()), 0);
  // A request whose handler waits for the server to stop.
  ClientSocket answerPending;
  ASSERT_EQ(answerPending.connect("127.0.0.1", server.port()), 0);
  answerPending.send("GET /wait HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  counter.waitFor(3);
  while (!waiting) std::this_thread::yield();

  server.stop();

  EXPECT_TRUE(waitEndedByStop);
  EXPECT_TRUE(idle.closedByServer());
  EXPECT_TRUE(silent.closedByServer());
  EXPECT_TRUE(answerPending.closedByServer());
  ClientSocket late;
  EXPECT_EQ(late.connect("127.0.0.1", server.port()), ECONNREFUSED);
  server.stop();  // again: nothing left to do
}

TEST(LoopbackServer, ListensOnlyOnTheAddressItIsGiven) {
  Server server;
  server.start();

  ClientSocket loopback;
  EXPECT_EQ(loopback.connect("127.0.0.1", server.port()), 0);
  // Another loopback address of the same machine: reached only by a server on every address.
  ClientSocket otherLoopback;
  EXPECT_EQ(otherLoopback.connect("127.0.0.2", server.port()), ECONNREFUSED);

  // Nor on any other IPv4 address of this machine.
  ifaddrs* interfaces = nullptr;
  ASSERT_EQ(::getifaddrs(&interfaces), 0);
  for (ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if ((ntohl(address->sin_addr.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    ClientSocket outside;
    EXPECT_EQ(outside.connect(text, server.port()), ECONNREFUSED) << text;
  }
  ::freeifaddrs(interfaces);
}

}  // namespace
}  // namespace kestro::loopbackhttp
