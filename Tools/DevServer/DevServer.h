#pragma once

// kestro-devserver's logic: a stand-in for the server's /v1 interface with in-memory state, for
// the demo, the end-to-end tests and the benchmarks. Not installed; nothing of it ships.
//
// What it speaks (all JSON unless said otherwise; error answers carry the error envelope
// {"error": {"code", "message", "retryable", "traceId" (fresh each time), "details"}}):
//   POST   /v1/development/token          {"email"} -> a token per address; one address always
//                                         gets the same user id (derived from the address,
//                                         compared without letter case or surrounding space)
//   every other /v1 route needs "Authorization: Bearer <token>" (401 UNAUTHORIZED otherwise)
//   POST   /v1/captures                   idempotent by "Idempotency-Key" (400 without one): a
//                                         repeat answers the first acceptance with `replayed`
//                                         true and creates nothing; the capture becomes an item
//                                         (and a task when its taskIntent is requested); assets
//                                         naming uploads not completed: 409 UPLOAD_NOT_COMPLETED
//   POST   /v1/uploads/initiate           a plan: PUT <this server>/v1/uploads/<id>/content
//                                         (the address it listens on, as above), authenticated
//   PUT    /v1/uploads/<id>/content       streamed to disk; byte count and SHA-256 must match the
//                                         initiation (422 UPLOAD_MISMATCH otherwise)
//   POST   /v1/uploads/<id>/complete      409 UPLOAD_NOT_RECEIVED until the bytes arrived intact
//   GET    /v1/items, PATCH|DELETE /v1/items/<id>, GET /v1/tasks, PATCH /v1/tasks/<id>
//   POST   /v1/search                     case-insensitive (ASCII) substring of titles, texts and
//                                         links; at most 30 results, title matches first
//   POST   /v1/feedback, DELETE /v1/account (everything of the user goes, its token too)
//   GET    /v1/conversations?limit=N, POST /v1/conversations, GET|DELETE /v1/conversations/<id>,
//   POST   /v1/conversations/<id>/cancel
//   POST   /v1/conversations/<id>/messages  text/event-stream: "message.delta" events, each
//                                         written and flushed on its own, then
//                                         "message.completed" (or "message.failed" once
//                                         cancelled or deleted)
//   GET    /v1/sync/changes?cursor=C&limit=L  item and task upserts and deletions after C, at
//                                         most min(L, 200); `cursor` is the last change's
//                                         sequence (C when the page is empty), `hasMore` says
//                                         whether changes after it remain
//
// Every request must name the address the server listens on in its Host header (its bind
// address, or with a wildcard bind the address the connection came in on; any port, so that a
// relay in front of it works): anything else gets 421 MISDIRECTED_REQUEST. A page in a browser
// that renamed 127.0.0.1 through DNS rebinding sends its own name there. The development
// sign-in and the admin POST routes take only "Content-Type: application/json" (415
// UNSUPPORTED_MEDIA_TYPE otherwise), which another site cannot send without the browser asking
// first; every other /v1 route needs a token such a page does not have.
//
// Admin routes, on the same port, outside /v1, never faulted and never authenticated (the
// server binds to 127.0.0.1 unless told otherwise; do not expose it):
//   POST   /admin/faults   a fault rule (below) or an array of them, appended; answers the list
//   GET    /admin/faults   the rules still armed
//   DELETE /admin/faults   disarms them all
//   GET    /admin/stats    {"requests": {"POST /v1/captures": 3, ...}   every /v1 request by route,
//                                                                        ids written as {id}
//                           "captures": {"<idempotency key>": {"accepted": 1, "replays": 2}},
//                           "uploads": {"initiated", "received", "rejected", "completed",
//                                       "bytesReceived"},
//                           "faultsApplied": n, "feedback": n}
//   POST   /admin/reply    {"deltas": n, "intervalMs": m}: how replies stream from now on
//
// A fault rule, as JSON (the same text for --fault on the command line):
//   {"route": "POST /v1/captures",   "METHOD /path", "/path" (any method), "*" or "METHOD *"
//                                    (every /v1 route); paths as in the stats, {id} for an id,
//                                    or a concrete path
//    "action": "status",             status: answer `status` (default 503) with an envelope of
//                                      `code` (default "INJECTED_FAULT"), `message`,
//                                      `retryable` (default true)
//                                    html: answer 502 (or `status`) with an HTML page
//                                    reset: reset the connection (TCP RST) without answering,
//                                      before reading the request body
//                                    delay: wait `delayMs`, then answer normally
//                                    stall: never answer; hold the connection until the client
//                                      gives up or the server stops
//    "count": 1}                     how many matching requests it takes (default 1)
// Rules are tried in the order they were added; the first armed one that matches takes the
// request.
//
// Threads: the server answers each connection on a thread of its own; all state sits behind one
// mutex, so every member function is safe to call from any thread while it serves.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::devserver {

enum class FaultAction { status, html, reset, delay, stall };

struct FaultRule {
  std::string method{};  // empty: any method
  std::string path{};    // "*": any /v1 route
  std::int64_t count = 1;
  FaultAction action = FaultAction::status;
  int status = 503;
  std::string code = "INJECTED_FAULT";
  std::string message = "A fault injected by kestro-devserver";
  bool retryable = true;
  std::chrono::milliseconds delay{0};

  // Reads one rule from its JSON text (see above). Throws std::invalid_argument saying what is
  // wrong.
  static FaultRule fromJSON(std::string_view text);
  // Reads one rule or an array of them.
  static std::vector<FaultRule> listFromJSON(std::string_view text);
};

// How a message's reply streams.
struct ReplyOptions {
  // Delta events per reply; 0 gives one per word of the reply text. More deltas than words
  // repeat the words.
  std::int64_t deltas = 0;
  // The pause before each event.
  std::chrono::milliseconds interval{20};
};

struct DevServerOptions {
  std::string bindAddress = "127.0.0.1";
  int port = 0;  // 0: a free port, chosen by the system
  // Where uploaded bytes are kept. Absent: a fresh temporary directory, removed at stop. A
  // given directory is created if missing and kept.
  std::optional<std::filesystem::path> storageDirectory{};
  std::vector<FaultRule> faults{};
  ReplyOptions reply{};
};

class DevServer {
 public:
  // Binds, starts serving on threads of its own and returns once it accepts connections.
  // Throws std::runtime_error when it cannot bind or listen, std::filesystem::filesystem_error
  // when the storage directory cannot be made.
  explicit DevServer(DevServerOptions options = {});
  // Stops (see stop()).
  ~DevServer();
  DevServer(const DevServer&) = delete;
  DevServer& operator=(const DevServer&) = delete;

  int port() const noexcept;
  // "http://<bind address>:<port>", an IPv6 address in brackets; "http://0.0.0.0:<port>" when
  // bound to every IPv4 address.
  std::string baseURL() const;
  // Whether the bind address is anything but loopback (127.0.0.0/8, ::1, "localhost"): the admin
  // routes and the development sign-in are then open to other machines, without authentication.
  bool reachableFromNetwork() const;
  const std::filesystem::path& storageDirectory() const noexcept;

  void addFault(FaultRule rule);
  void clearFaults();
  void setReplyOptions(ReplyOptions reply);
  // The admin route's statistics document, as JSON text.
  std::string statsJSON() const;

  // Stops accepting, ends every open connection (streams, stalls and idle keep-alive
  // connections alike, without waiting for them to finish), joins every thread and removes a
  // temporary storage directory. Idempotent; never throws.
  void stop() noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestro::devserver
