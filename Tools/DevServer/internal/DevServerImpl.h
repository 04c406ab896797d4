#pragma once

// The dev server's HTTP side: each request read off the loopback HTTP server, checked (Host
// header, content type), faulted as the rules say and handed to the state; an upload's bytes and
// a message's reply are streamed here rather than there. DevServer.cpp holds the request's way
// through; the streamed routes and the admin routes have files of their own.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include <httplib.h>

#include "Tools/DevServer/DevServer.h"
#include "Tools/DevServer/internal/Faults.h"
#include "Tools/DevServer/internal/ServerState.h"
#include "Tools/LoopbackHTTP/LoopbackServer.h"

namespace kestro::devserver {

struct DevServer::Impl {
  explicit Impl(DevServerOptions given);

  static std::filesystem::path prepareStorage(const std::optional<std::filesystem::path>& given,
                                              bool& temporary);

  // --- Stopping

  bool isStopping() const { return server.isStopping(); }
  // Waits `duration` unless the server stops first; true when it stops.
  bool waitOrStop(std::chrono::milliseconds duration) const { return server.waitOrStop(duration); }
  void stop() noexcept;

  // --- Requests (DevServer.cpp)

  void handle(const httplib::Request& request, httplib::Response& response,
              const httplib::ContentReader* reader);
  // This server's origin as the request names it (see DevServer.cpp); nothing when the Host
  // header names another.
  std::optional<std::string> originNamed(const httplib::Request& request,
                                         const loopbackhttp::Connection& connection) const;
  std::string baseURL() const;

  // --- An upload's bytes (HTTPUploads.cpp)

  void receiveUpload(const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader* reader, const std::string& path,
                     const std::optional<std::string>& authorization);

  // --- A message's reply, streamed (HTTPReplies.cpp)

  void streamReply(httplib::Response& response, const std::string& path,
                   const std::optional<std::string>& authorization, const std::string& body);

  // --- Admin routes (HTTPAdmin.cpp)

  void admin(const httplib::Request& request, httplib::Response& response,
             const httplib::ContentReader* reader, const std::string& path);
  static ReplyOptions replyOptionsFromJSON(const std::string& body);

  DevServerOptions options;
  bool temporaryStorage = false;
  std::filesystem::path storage;
  ServerState state;
  FaultBook faults;
  std::atomic<bool> stopped{false};

  // Last, so that it stops, and its threads end, before the state they use goes.
  loopbackhttp::Server server;
};

}  // namespace kestro::devserver
