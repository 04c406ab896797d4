#pragma once

// Helpers for the tests and test programs that drive the outbox to kestro-devserver: temporary
// folders, captures with staged files, a session that watches (and on request refuses) each
// request, the dev server's statistics, a database connection of the test's own, child
// processes, and a whole scene of outbox, server and client. Header-only; programs get it, with
// what it needs, by linking KestroTestingOutbox. Not installed.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "KestroCore/API/KestroAPIClient.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/OutboxProcessor/OutboxProcessor.h"
#include "KestroCore/OutboxStore/AssetStager.h"
#include "KestroCore/OutboxStore/OutboxStore.h"
#include "KestroCore/Platform/HTTP/URLSession.h"
#include "KestroCore/Platform/Process/Process.h"
#include "Testing/TemporaryDirectory.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro::testsupport {

// --- Files

// Bytes that differ with the seed, so that no two test files share a digest by accident.
inline std::string randomBytes(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The file's bytes, or nothing when it cannot be read.
inline std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// --- Captures

inline CaptureEnvelope textCapture(const UUID& id, std::string title) {
  return CaptureEnvelope(id, std::chrono::system_clock::now(), SourceKind::note,
                         CaptureOrigin{KestroPlatform::macos,
                                       CaptureMechanism::shareExtension,
                                       *UUID::fromString("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE"),
                                       "1.0",
                                       {},
                                       {},
                                       {}},
                         {}, std::move(title), "shared text", {}, {}, {}, {}, {},
                         CapturePrivacy{false, false, false});
}

// A capture as the share target leaves it: one file per size, each written under
// `directory`/sources, staged into `directory`/attachments/<capture id>, then enqueued. The
// sources stay, so a test can compare a staged copy with what was shared.
inline OutboxRecord enqueueCapture(OutboxStore& store, const UUID& userId,
                                   const std::filesystem::path& directory,
                                   const std::vector<std::size_t>& fileSizes,
                                   std::string title = "a capture") {
  const UUID id;
  std::vector<StagedAsset> staged;
  const auto sources = directory / "sources";
  std::filesystem::create_directories(sources);
  for (std::size_t index = 0; index < fileSizes.size(); ++index) {
    const auto source = sources / (id.uuidString() + "-" + std::to_string(index) + ".bin");
    writeFile(source, randomBytes(fileSizes[index], std::hash<std::string>{}(source.string())));
    staged.push_back(AssetStager::stage(
        URL::fileURL(source), URL::fileURL(directory / "attachments" / id.uuidString()),
        "application/octet-stream", index == 0 ? AssetRole::primary : AssetRole::attachment));
  }
  return store.enqueue(userId, textCapture(id, std::move(title)), staged);
}

// Whether every staged copy of the record is still there, whole: its size and bytes as shared.
inline bool stagedFilesIntact(const OutboxRecord& record, const std::filesystem::path& directory) {
  for (std::size_t index = 0; index < record.stagedAssets.size(); ++index) {
    const StagedAsset& asset = record.stagedAssets[index];
    const auto staged = readFile(*asset.localURL.filePath());
    const auto source = readFile(directory / "sources" /
                                 (record.id().uuidString() + "-" + std::to_string(index) + ".bin"));
    if (!staged || !source || *staged != *source ||
        static_cast<std::int64_t>(staged->size()) != asset.byteCount) {
      return false;
    }
  }
  return true;
}

// --- HTTP

// "POST /v1/uploads/{id}/complete": the request's method and path with every UUID segment
// written as {id}, as the dev server names routes in its statistics and fault rules.
inline std::string routeOf(const HTTPRequest& request) {
  const std::string path = request.url.path();
  std::string route = request.method + " ";
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start + 1);
    if (end == std::string::npos) end = path.size();
    const std::string segment = path.substr(start, end - start);  // with its leading "/"
    route += segment.size() == 37 && UUID::fromString(segment.substr(1)) ? "/{id}" : segment;
    start = end;
  }
  return route;
}

// The routes of an upload and a submission, as routeOf names them.
inline constexpr const char* kInitiate = "POST /v1/uploads/initiate";
inline constexpr const char* kUpload = "PUT /v1/uploads/{id}/content";
inline constexpr const char* kComplete = "POST /v1/uploads/{id}/complete";
inline constexpr const char* kSubmit = "POST /v1/captures";

// How many of a record's staged files the server has confirmed.
inline std::size_t uploadIdCount(const OutboxRecord& record) {
  std::size_t count = 0;
  for (const StagedAsset& asset : record.stagedAssets) count += asset.uploadId.has_value();
  return count;
}

// A port on 127.0.0.1 where nothing listens: bound and never listening, so that connecting is
// refused for as long as the object lives, and no other program can take the port meanwhile.
class ClosedPort {
 public:
  ClosedPort() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot bind a port");
    }
    port_ = ntohs(address.sin_port);
  }
  ~ClosedPort() { ::close(socket_); }
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;

  int port() const noexcept { return port_; }

 private:
  int socket_;
  int port_ = 0;
};

// The real session, watched: every request's route is logged, hooks run just before a request
// goes out (and may arrange its refusal) and just after its answer came back, and chosen
// requests are sent to a port where nothing listens, so that the connection is refused for real.
// Safe from many threads; the hooks run on the sending thread, without the session's lock.
class InterceptingSession final : public URLSession {
 public:
  // Told the route and how many requests of that route went before this one (0 for the first).
  using Hook = std::function<void(const std::string& route, int occurrence)>;

  explicit InterceptingSession(std::shared_ptr<URLSession> inner) : inner_(std::move(inner)) {}

  void setBeforeSend(Hook hook) {
    std::lock_guard lock(mutex_);
    beforeSend_ = std::move(hook);
  }
  void setAfterAnswer(Hook hook) {
    std::lock_guard lock(mutex_);
    afterAnswer_ = std::move(hook);
  }
  // The request of `route` with that occurrence number meets a refused connection.
  void refuse(const std::string& route, int occurrence) {
    std::lock_guard lock(mutex_);
    refusals_.emplace_back(route, occurrence);
  }
  std::vector<std::string> routes() const {
    std::lock_guard lock(mutex_);
    return routes_;
  }
  // Forgets the routes sent so far and counts occurrences from 0 again.
  void clearRoutes() {
    std::lock_guard lock(mutex_);
    routes_.clear();
    counts_.clear();
  }

  HTTPResponse send(const HTTPRequest& request) override {
    const std::string route = routeOf(request);
    Hook before;
    Hook after;
    int occurrence;
    {
      std::lock_guard lock(mutex_);
      occurrence = counts_[route]++;
      routes_.push_back(route);
      before = beforeSend_;
      after = afterAnswer_;
    }
    // Before the refusals are looked at, so that the hook may arrange one for this request.
    if (before) before(route, occurrence);
    bool refused = false;
    {
      std::lock_guard lock(mutex_);
      for (auto it = refusals_.begin(); it != refusals_.end(); ++it) {
        if (it->first == route && it->second == occurrence) {
          refusals_.erase(it);
          refused = true;
          break;
        }
      }
    }
    HTTPResponse response;
    if (refused) {
      HTTPRequest elsewhere = request;
      std::string target =
          "http://127.0.0.1:" + std::to_string(closedPort_.port()) + request.url.path();
      elsewhere.url = *URL::fromString(target);
      response = inner_->send(elsewhere);
    } else {
      response = inner_->send(request);
    }
    if (after) after(route, occurrence);
    return response;
  }

  HTTPResponse sendStreamingLines(const HTTPRequest& request,
                                  const std::function<bool(const HTTPResponse&)>& onResponse,
                                  const std::function<bool(std::string_view)>& onLine) override {
    return inner_->sendStreamingLines(request, onResponse, onLine);
  }

 private:
  const std::shared_ptr<URLSession> inner_;
  const ClosedPort closedPort_;
  mutable std::mutex mutex_;
  Hook beforeSend_;
  Hook afterAnswer_;
  std::vector<std::pair<std::string, int>> refusals_;
  std::map<std::string, int> counts_;
  std::vector<std::string> routes_;
};

// The dev server's statistics document (GET /admin/stats), with the figures the tests ask.
struct ServerStats {
  JSON json;

  static ServerStats parse(const std::string& text) { return ServerStats{parseJSON(text)}; }
  // Fetched from a running server (in this process or another) over HTTP.
  static ServerStats fetch(URLSession& session, const std::string& baseURL) {
    HTTPRequest request{.url = *URL::fromString(baseURL + "/admin/stats")};
    return parse(session.send(request).body);
  }

  std::int64_t accepted(const UUID& key) const { return captureCount(key, "accepted"); }
  std::int64_t replays(const UUID& key) const { return captureCount(key, "replays"); }
  std::int64_t requests(const std::string& route) const {
    const auto& requests = json.at("requests");
    return requests.contains(route) ? requests.at(route).get<std::int64_t>() : 0;
  }
  std::int64_t uploads(const char* figure) const {
    return json.at("uploads").at(figure).get<std::int64_t>();
  }

 private:
  std::int64_t captureCount(const UUID& key, const char* figure) const {
    const auto& captures = json.at("captures");
    const std::string text = key.uuidString();
    return captures.contains(text) ? captures.at(text).at(figure).get<std::int64_t>() : 0;
  }
};

// --- The database, seen from outside the store

// A connection of the test's own to a database file, for what the store does not offer: a
// damaged row, a log of every write, the integrity check.
class Database {
 public:
  explicit Database(const std::filesystem::path& path) {
    if (sqlite3_open_v2(path.c_str(), &connection_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      const std::string message = connection_ ? sqlite3_errmsg(connection_) : "cannot open";
      sqlite3_close(connection_);
      throw std::runtime_error(message);
    }
    sqlite3_busy_timeout(connection_, 5000);
  }
  ~Database() { sqlite3_close(connection_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void execute(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(connection_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error ? error : "SQLite error";
      sqlite3_free(error);
      throw std::runtime_error(message + " in " + sql);
    }
  }

  // Every row of the result, each column as text (empty for NULL).
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    std::vector<std::vector<std::string>> result;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string(sqlite3_errmsg(connection_)) + " in " + sql);
    }
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int column = 0; column < sqlite3_column_count(statement); ++column) {
        const auto* text = sqlite3_column_text(statement, column);
        row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
      }
      result.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(connection_));
    return result;
  }

  std::string integrityCheck() {
    std::string text;
    for (const auto& row : rows("PRAGMA integrity_check")) text += row.at(0);
    return text;
  }

 private:
  sqlite3* connection_ = nullptr;
};

// --- Processes

// A program started with its standard output on a pipe (standard error is ours). When the object
// goes, a program still running is asked to end (SIGTERM, so that kestro-devserver removes its
// temporary storage), killed if it has not within five seconds, and waited for.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(std::vector<std::string> arguments)
      : process_(Process::start(options(std::move(arguments)))) {}
  ~BackgroundProcess() {
    if (!ended_) {
      process_.signal(SIGTERM);
      // Past the wait, Process kills and reaps it.
      wait(std::chrono::seconds(5));
    }
  }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // The first line of standard output, or nothing if none came within `patience`.
  std::optional<std::string> firstLine(std::chrono::milliseconds patience) {
    return process_.readLine(patience);
  }

  void kill(int signal = SIGKILL) { process_.signal(signal); }

  // Waits up to `patience` for the program to end; its wait status, or nothing if it is still
  // running (it is then left running).
  std::optional<int> wait(std::chrono::milliseconds patience) {
    const std::optional<ProcessStatus> status = process_.wait(patience);
    if (!status) return std::nullopt;
    ended_ = true;
    return status->waitStatus();
  }

 private:
  static ProcessOptions options(std::vector<std::string> arguments) {
    ProcessOptions options;
    options.arguments = std::move(arguments);
    options.standardOutput = ProcessOutput::capture();
    return options;
  }

  Process process_;
  bool ended_ = false;
};

// A fault rule of kestro-devserver for the route "METHOD /path" (as `routeOf` writes it),
// taking the next `count` requests of that route.
inline devserver::FaultRule fault(const std::string& route, devserver::FaultAction action,
                                  std::int64_t count = 1) {
  devserver::FaultRule rule;
  const auto space = route.find(' ');
  rule.method = route.substr(0, space);
  rule.path = route.substr(space + 1);
  rule.action = action;
  rule.count = count;
  return rule;
}

// An error answer with the server's envelope.
inline devserver::FaultRule serverError(const std::string& route, int status, std::string code,
                                        bool retryable, std::int64_t count = 1) {
  devserver::FaultRule rule = fault(route, devserver::FaultAction::status, count);
  rule.status = status;
  rule.code = std::move(code);
  rule.retryable = retryable;
  return rule;
}

// --- Time

// The wall clock, a further second ahead after each `step`: retry times are whole seconds
// (rounded up), so a processor on this clock finds the failures it recorded due again one step
// later, without anyone waiting for them.
class SteppingClock {
 public:
  OutboxProcessor::Clock clock() {
    return
        [this] { return std::chrono::system_clock::now() + std::chrono::seconds(steps_.load()); };
  }
  void step() { ++steps_; }

 private:
  std::atomic<int> steps_{0};
};

// --- A whole scene

// An outbox on a real database file in a fresh folder, kestro-devserver in this process, and a
// signed-in client whose session the test watches. The processors it makes read `now`, which
// starts at the current whole second and moves only when the test moves it, so that retry times
// are exact and a test reaches them without sleeping.
struct OutboxScene {
  explicit OutboxScene(std::chrono::milliseconds idleTimeout = std::chrono::seconds(60))
      : session(std::make_shared<InterceptingSession>(
            makeURLSession(URLSessionConfiguration{.idleTimeout = idleTimeout}))),
        api(*URL::fromString(server.baseURL()), session, {}),
        token(api.developmentSession("outbox@example.com").token),
        store(std::make_shared<OutboxStore>(databaseURL())),
        now(std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now())) {
    session->clearRoutes();  // the sign-in is not the test's
  }

  URL databaseURL() const { return URL::fileURL(directory.path() / "kestro.sqlite"); }

  OutboxProcessor::Clock clock() {
    return [this] { return now; };
  }

  ServerStats stats() const { return ServerStats::parse(server.statsJSON()); }

  // The record as stored now (it must exist).
  OutboxRecord stored(const UUID& id) {
    auto record = store->record(id);
    if (!record) throw std::runtime_error("no record " + id.uuidString());
    return *record;
  }

  TemporaryDirectory directory;
  devserver::DevServer server;
  std::shared_ptr<InterceptingSession> session;
  KestroAPIClient api;
  std::string token;
  UUID userId;
  std::shared_ptr<OutboxStore> store;
  Date now;
};

}  // namespace kestro::testsupport
