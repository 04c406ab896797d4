// The dev server's HTTP layer on the loopback HTTP server (Tools/LoopbackHTTP), whose
// connections are its own: a handler can reset one on demand (a fault) and notice a client that
// went away (a stall), and stopping ends every open connection instead of waiting out keep-alive
// timeouts. This file holds a request's way through: the Host check, the admin routes, the
// faults, then the state or a streamed route.

#include "Tools/DevServer/DevServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include <httplib.h>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Platform/Files/Files.h"
#include "KestroCore/Platform/Process/TemporaryDirectory.h"
#include "Tools/DevServer/internal/DevServerImpl.h"
#include "Tools/DevServer/internal/HTTPSupport.h"

namespace kestro::devserver {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kReadTimeout = 30s;
constexpr std::chrono::milliseconds kWriteTimeout = 30s;
constexpr std::chrono::milliseconds kKeepAliveTimeout = 60s;
// How often a stalled request looks for its client having gone.
constexpr std::chrono::milliseconds kStallTick = 20ms;
constexpr std::size_t kReadBufferBytes = 64 * 1024;

constexpr const char* kPartialAnswer = "HTTP/1.1 200 OK\r\n";
constexpr const char* kFaultPage =
    "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>\n"
    "<body><h1>Bad Gateway</h1><p>The upstream server did not answer.</p></body></html>\n";

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

}  // namespace

DevServer::Impl::Impl(DevServerOptions given)
    : options(std::move(given)),
      storage(prepareStorage(options.storageDirectory, temporaryStorage)),
      state(storage / "uploads", options.reply),
      server(loopbackhttp::ServerOptions{
          .address = options.bindAddress,
          .port = options.port,
          .readTimeout = kReadTimeout,
          .writeTimeout = kWriteTimeout,
          .keepAliveTimeout = kKeepAliveTimeout,
          .readBufferBytes = kReadBufferBytes,
          .onAccept = {},
      }) {
  for (FaultRule& rule : options.faults) faults.add(std::move(rule));
  files::createDirectories(storage / "uploads", 0700);

  const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
    handle(request, response, nullptr);
  };
  const auto serveWithBody = [this](const httplib::Request& request, httplib::Response& response,
                                    const httplib::ContentReader& reader) {
    handle(request, response, &reader);
  };
  server.http().Get(".*", serve);
  server.http().Post(".*", serveWithBody);
  server.http().Put(".*", serveWithBody);
  server.http().Patch(".*", serveWithBody);
  server.http().Delete(".*", serveWithBody);
}

std::filesystem::path DevServer::Impl::prepareStorage(
    const std::optional<std::filesystem::path>& given, bool& temporary) {
  if (given) {
    files::createDirectories(*given, 0700);
    temporary = false;
    return *given;
  }
  // Removed by stop() rather than by its owner: the server's files outlive this call.
  std::filesystem::path path = TemporaryDirectory("kestro-devserver").release();
  temporary = true;
  return path;
}

void DevServer::Impl::stop() noexcept {
  if (stopped.exchange(true)) return;
  server.stop();
  if (temporaryStorage) {
    std::error_code ignored;
    std::filesystem::remove_all(storage, ignored);
  }
}

// --- Requests

void DevServer::Impl::handle(const httplib::Request& request, httplib::Response& response,
                             const httplib::ContentReader* reader) {
  loopbackhttp::Connection& connection = loopbackhttp::Connection::current();
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
        answer(response, errorReply(fault->status, fault->code, fault->message, fault->retryable));
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
        connection.resetWhenDone();
        return;
      case FaultAction::delay:
        if (waitOrStop(fault->delay)) {
          connection.resetWhenDone();
          return;
        }
        break;
      case FaultAction::stall:
        while (!waitOrStop(kStallTick) && !connection.peerClosed()) {
        }
        connection.resetWhenDone();
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
    connection.resetWhenDone();
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
std::optional<std::string> DevServer::Impl::originNamed(
    const httplib::Request& request, const loopbackhttp::Connection& connection) const {
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
      return origin(address, server.port());
    }
  }
  // "localhost" names this machine's loopback address, never one a page can rebind; a client
  // signed in as http://localhost:PORT gets plans of that origin, so its token may go there.
  if (equalsIgnoringASCIICase(*host, "localhost") &&
      isLoopbackAddress(std::string(withoutIPv4Mapping(localAddress)))) {
    return origin("localhost", server.port());
  }
  return std::nullopt;
}

// An empty bind address listens on every address, as 0.0.0.0 does.
std::string DevServer::Impl::baseURL() const {
  return origin(options.bindAddress.empty() ? "0.0.0.0" : options.bindAddress, server.port());
}

DevServer::DevServer(DevServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  try {
    impl_->server.start();
  } catch (const loopbackhttp::ListenError&) {
    impl_->stop();
    throw;
  }
}

DevServer::~DevServer() { stop(); }

int DevServer::port() const noexcept { return impl_->server.port(); }

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
