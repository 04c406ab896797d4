// Figures for the conversation event stream, each against a baseline measured in the same run
// over the same loopback connection kind:
// - latency from the server writing (and flushing) one event to the consumer's next() returning
//   it, against a bare socket reader that only finds the line's end (the kernel's share);
// - events per second for a server that writes 1,000,000 small events as fast as it can, against
//   a bare socket reader that counts lines; and the consumer's resident memory before, at its
//   peak and after, to show it stays flat while the consumer keeps up;
// - the same million through kestro-devserver, whose writer (one JSON document and one write per
//   event) rather than the stream is then the bottleneck: a figure for the end-to-end tests.
//
// The first two use a minimal server of their own on a raw socket (HTTP/1.1, body until close),
// so that the figures are the client's and not a server's.
//
// Usage: kestro-stream-benchmark [--events N] [--latency-samples N]

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Benchmarks/Options.h"
#include "Benchmarks/ProcessMeasures.h"
#include "KestroCore/API/KestroAPIClient.h"
#include "Tools/DevServer/DevServer.h"

namespace {

using namespace kestro::benchmarks;
using namespace std::chrono_literals;

std::int64_t nowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

long residentKiB() { return statusKiB("VmRSS:"); }

void sendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t count = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) throw std::runtime_error("send failed");
    sent += static_cast<std::size_t>(count);
  }
}

// One connection at a time on 127.0.0.1: reads a request (head and Content-Length body), answers
// with a 200 head and then whatever `respond` writes, and closes.
class RawServer {
 public:
  explicit RawServer(std::function<void(int)> respond) : respond_(std::move(respond)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

 private:
  void serve() {
    for (;;) {
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      int noDelay = 1;
      ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
      std::string request;
      char buffer[4096];
      std::size_t headEnd = std::string::npos;
      std::size_t bodyLength = 0;
      while (headEnd == std::string::npos || request.size() < headEnd + 4 + bodyLength) {
        const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
        if (count <= 0) break;
        request.append(buffer, static_cast<std::size_t>(count));
        if (headEnd == std::string::npos &&
            (headEnd = request.find("\r\n\r\n")) != std::string::npos) {
          const std::size_t field = request.find("Content-Length: ");
          if (field != std::string::npos && field < headEnd)
            bodyLength = std::stoul(request.substr(field + 16));
        }
      }
      try {
        sendAll(connection,
                "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n");
        respond_(connection);
      } catch (const std::exception&) {
        // The client went away; the next connection is served all the same.
      }
      ::shutdown(connection, SHUT_WR);
      while (::recv(connection, buffer, sizeof buffer, 0) > 0) {
      }
      ::close(connection);
    }
  }

  std::function<void(int)> respond_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// A socket reader that does the least a reader can: connect, send a request, and hand each line
// to `onLine` as it arrives. The baseline for both figures.
void readLinesBare(int port, const std::function<bool(std::string_view)>& onLine) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect");
  }
  sendAll(fd, "POST /v1/bare HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
  std::vector<char> buffer(256 * 1024);
  std::string partial;
  bool more = true;
  while (more) {
    const ssize_t count = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (count <= 0) break;
    std::string_view data(buffer.data(), static_cast<std::size_t>(count));
    while (more && !data.empty()) {
      const std::size_t newline = data.find('\n');
      if (newline == std::string_view::npos) {
        partial.append(data);
        break;
      }
      if (partial.empty()) {
        more = onLine(data.substr(0, newline));
      } else {
        partial.append(data.substr(0, newline));
        more = onLine(partial);
        partial.clear();
      }
      data.remove_prefix(newline + 1);
    }
  }
  ::close(fd);
}

struct Percentiles {
  double median, p90, p99;
};

Percentiles percentiles(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const auto at = [&](double q) {
    return values[static_cast<std::size_t>(q * (values.size() - 1))];
  };
  return {at(0.5), at(0.9), at(0.99)};
}

kestro::ConversationEventStream openStream(const std::string& baseURL,
                                           const std::shared_ptr<kestro::URLSession>& session,
                                           const kestro::UUID& conversation,
                                           const std::string& token) {
  const kestro::KestroAPIClient client(*kestro::URL::fromString(baseURL), session, {});
  return client.conversationEvents(conversation, "benchmark", kestro::UUID(), token);
}

// --- Latency

void latency(int samples) {
  // Events are written one at a time with a pause between them, so that each one is a flush of
  // its own and meets an idle reader, as a reply being typed does.
  const auto writeTimedEvents = [samples](int fd) {
    for (int i = 0; i < samples; ++i) {
      sendAll(fd,
              "event: message.delta\ndata: {\"t\":" + std::to_string(nowNanoseconds()) + "}\n\n");
      std::this_thread::sleep_for(1ms);
    }
    sendAll(fd, "event: message.completed\ndata: {}\n\n");
  };
  RawServer server(writeTimedEvents);
  const auto session = kestro::makeURLSession();

  std::vector<double> bare;
  readLinesBare(server.port(), [&](std::string_view line) {
    if (line.starts_with("data: {\"t\":")) {
      const std::int64_t sent = std::stoll(std::string(line.substr(11)));
      bare.push_back((nowNanoseconds() - sent) / 1e6);
    }
    return !line.starts_with("data: {}");
  });

  std::vector<double> stream;
  kestro::ConversationEventStream events =
      openStream(server.baseURL(), session, kestro::UUID(), "t");
  while (auto event = events.next()) {
    const auto* object = event->data.ifObject();
    if (object == nullptr || !object->contains("t")) continue;
    stream.push_back((nowNanoseconds() - static_cast<std::int64_t>(*object->at("t").ifNumber())) /
                     1e6);
  }
  const Percentiles b = percentiles(bare);
  const Percentiles s = percentiles(stream);
  std::printf("Latency, server flush to next() (%d events, 1 ms apart):\n", samples);
  std::printf("  bare socket reader   median %.3f ms  p90 %.3f ms  p99 %.3f ms\n", b.median, b.p90,
              b.p99);
  std::printf(
      "  event stream         median %.3f ms  p90 %.3f ms  p99 %.3f ms   (target: median <= 5 "
      "ms)\n",
      s.median, s.p90, s.p99);
  std::printf("  ratio of medians     %.1fx the bare socket\n\n", s.median / b.median);
}

// --- Throughput

struct Memory {
  std::atomic<long> peak{0};
  std::atomic<bool> done{false};
};

// Samples the resident size every millisecond until told to stop.
std::thread watchMemory(Memory& memory) {
  return std::thread([&memory] {
    while (!memory.done) {
      memory.peak = std::max(memory.peak.load(), residentKiB());
      std::this_thread::sleep_for(1ms);
    }
  });
}

std::int64_t countEvents(kestro::ConversationEventStream& stream) {
  std::int64_t count = 0;
  while (stream.next()) ++count;
  return count;
}

void throughput(int eventCount) {
  // The whole body prepared once, then written in large pieces: the server is never the limit.
  std::string body;
  for (int i = 0; i < eventCount; ++i) {
    body += "event: message.delta\ndata: {\"delta\":\"w" + std::to_string(i % 1000) + " \"}\n\n";
  }
  body += "event: message.completed\ndata: {}\n\n";
  RawServer server([&body](int fd) {
    constexpr std::size_t kPiece = 64 * 1024;
    for (std::size_t at = 0; at < body.size(); at += kPiece) sendAll(fd, body.substr(at, kPiece));
  });
  const auto session = kestro::makeURLSession();

  auto start = Clock::now();
  std::int64_t bareLines = 0;
  readLinesBare(server.port(), [&](std::string_view line) {
    if (line.starts_with("data: ")) ++bareLines;
    return true;
  });
  const double bareSeconds = std::chrono::duration<double>(Clock::now() - start).count();

  // Warm up the session and the allocator, so that "before" is the steady state.
  {
    kestro::ConversationEventStream warm =
        openStream(server.baseURL(), session, kestro::UUID(), "t");
    countEvents(warm);
  }
  const long before = residentKiB();
  Memory memory;
  memory.peak = before;
  std::thread watcher = watchMemory(memory);
  start = Clock::now();
  kestro::ConversationEventStream stream =
      openStream(server.baseURL(), session, kestro::UUID(), "t");
  const std::int64_t events = countEvents(stream);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  memory.done = true;
  watcher.join();
  const long after = residentKiB();

  std::printf("Throughput, %d small events written as fast as the server can (%.1f MB):\n",
              eventCount, body.size() / 1e6);
  std::printf("  bare socket reader   %.0f lines/s (%lld data lines)\n", bareLines / bareSeconds,
              static_cast<long long>(bareLines));
  std::printf("  event stream         %.0f events/s (%lld events)   (target: >= 200,000/s)\n",
              events / seconds, static_cast<long long>(events));
  std::printf("  ratio                %.2f of the bare socket's rate\n",
              (events / seconds) / (bareLines / bareSeconds));
  std::printf(
      "  consumer RSS         before %ld KiB, peak %ld KiB, after %ld KiB (+%ld KiB at peak)\n\n",
      before, memory.peak.load(), after, memory.peak.load() - before);
}

void throughDevServer(int eventCount) {
  kestro::devserver::DevServer server(
      {.reply = {.deltas = eventCount, .interval = std::chrono::milliseconds(0)}});
  const auto session = kestro::makeURLSession();
  const kestro::KestroAPIClient client(*kestro::URL::fromString(server.baseURL()), session, {});
  const std::string token = client.developmentSession("bench@example.com").token;
  const kestro::UUID conversation = client.createConversation("bench", {}, token).id;
  const long before = residentKiB();
  const auto start = Clock::now();
  kestro::ConversationEventStream stream =
      openStream(server.baseURL(), session, conversation, token);
  const std::int64_t events = countEvents(stream);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("Through kestro-devserver (its writer is the limit, not the stream):\n");
  std::printf(
      "  %lld events in %.2f s: %.0f events/s; process RSS %ld -> %ld KiB (server and client)\n",
      static_cast<long long>(events), seconds, events / seconds, before, residentKiB());
}

}  // namespace

int main(int argc, char** argv) {
  int events = 1'000'000;
  int samples = 2000;
  constexpr const char* kUsage =
      "usage: kestro-stream-benchmark [--events N] [--latency-samples N]\n";
  const std::optional<int> status = kestro::benchmarks::readOptions(
      argc, argv, kUsage,
      {{"--events", [&](const std::string& value) { events = std::stoi(value); }},
       {"--latency-samples", [&](const std::string& value) { samples = std::stoi(value); }}});
  if (status) return *status;
  if (events <= 0 || samples <= 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    latency(samples);
    throughput(events);
    throughDevServer(events);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kestro-stream-benchmark: %s\n", error.what());
    return 1;
  }
  return 0;
}
