// Figures for the outbox processor against kestro-devserver running as a process of its own on
// 127.0.0.1, each against a floor measured in the same run on the same server:
//
// - flushing 1,000 text captures (50 flushes of 20), against a bare loop doing what a flush
//   cannot avoid: the same number of SQLite commits (three per capture, on a database with the
//   store's schema and pragmas: write-ahead logging, default synchronous) and one HTTP POST of
//   the same capture JSON per capture to /v1/captures with bare libcurl (one reused handle).
//   Target: processor/floor <= 1.5.
// - flushing one capture with a 1 GiB staged file, against `curl -T` of the same file to the
//   same server's upload route (a plan initiated beforehand, outside the timing). Target: <= 1.2,
//   and the processor's resident memory growing by less than 16 MiB during its flush.
//
// Rounds of the processor and of its floor alternate, and the best of each counts, so that other
// load on the machine falls on both alike. Everything goes under $TMPDIR (or /tmp) and is removed
// at the end (the 1 GiB figure needs about 4 GiB there while it runs).
//
// Usage: kestro-processor-benchmark [--captures N] [--megabytes N] [--rounds N]

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include "Benchmarks/Options.h"
#include "Benchmarks/ProcessMeasures.h"

#include "KestroCore/OutboxProcessor/OutboxProcessor.h"
#include "Testing/OutboxTestSupport.h"

namespace {

using namespace kestro;
using namespace kestro::testsupport;
using namespace kestro::benchmarks;

void check(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(what);
}

// kestro-devserver as a process, its uploads kept under `storage`.
struct Server {
  explicit Server(const std::filesystem::path& storage)
      : program({KESTRO_DEVSERVER_PROGRAM, "--port", "0", "--storage", storage.string()}) {
    const auto line = program.firstLine(std::chrono::seconds(30));
    check(line.has_value(), "kestro-devserver did not start");
    baseURL = *line;
    api.emplace(*URL::fromString(baseURL), makeURLSession(), HTTPHeaders{});
    token = api->developmentSession("benchmark@example.com").token;
  }
  ServerStats stats() { return ServerStats::fetch(*api->session, baseURL); }

  BackgroundProcess program;
  std::string baseURL;
  std::optional<KestroAPIClient> api;
  std::string token;
};

// --- 1,000 text captures

// A run's seconds, and how many of them went to HTTP exchanges.
struct Split {
  double total;
  double http;
};

// Times every exchange that passes through it.
class TimingSession final : public URLSession {
 public:
  explicit TimingSession(std::shared_ptr<URLSession> inner) : inner_(std::move(inner)) {}
  HTTPResponse send(const HTTPRequest& request) override {
    const auto start = Clock::now();
    HTTPResponse response = inner_->send(request);
    spent_ += Clock::now() - start;
    return response;
  }
  HTTPResponse sendStreamingLines(const HTTPRequest& request,
                                  const std::function<bool(const HTTPResponse&)>& onResponse,
                                  const std::function<bool(std::string_view)>& onLine) override {
    return inner_->sendStreamingLines(request, onResponse, onLine);
  }
  double seconds() const { return std::chrono::duration<double>(spent_).count(); }

 private:
  std::shared_ptr<URLSession> inner_;
  Clock::duration spent_{};
};

Split flushTextCaptures(Server& server, const std::filesystem::path& directory, int captures) {
  auto store = std::make_shared<OutboxStore>(URL::fileURL(directory / "kestro.sqlite"));
  const UUID user;
  std::vector<UUID> ids;
  for (int index = 0; index < captures; ++index) {
    ids.push_back(
        store->enqueue(user, textCapture(UUID(), "capture " + std::to_string(index)), {}).id());
  }
  auto session = std::make_shared<TimingSession>(makeURLSession());
  OutboxProcessor processor(store, KestroAPIClient(*URL::fromString(server.baseURL), session, {}),
                            RetryPolicy(1, 60));
  const auto start = Clock::now();
  while (!store->ready(user, std::chrono::system_clock::now(), 1).empty()) {
    processor.flush(user, server.token);
  }
  const double seconds = secondsSince(start);
  for (const UUID& id : ids) {
    check(store->record(id)->state == CaptureOutboxState::complete, "a capture did not complete");
  }
  return Split{seconds, session->seconds()};
}

// The store's part of the same flushes alone, without a server: a batch read per twenty
// records, then the three steps of each. Shows how much of the processor's time is the store's.
double storeStepsOfTextCaptures(const std::filesystem::path& directory, int captures) {
  auto store = std::make_shared<OutboxStore>(URL::fileURL(directory / "store-only.sqlite"));
  const UUID user;
  for (int index = 0; index < captures; ++index) {
    store->enqueue(user, textCapture(UUID(), "capture " + std::to_string(index)), {});
  }
  const auto start = Clock::now();
  while (true) {
    const auto batch = store->ready(user, std::chrono::system_clock::now(), 20);
    if (batch.empty()) break;
    for (const OutboxRecord& record : batch) {
      store->transition(record.id(), CaptureOutboxState::submittingCapture);
      store->markAccepted(record.id(), UUID(), UUID());
      store->markComplete(record.id());
    }
  }
  return secondsSince(start);
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

class Statement {
 public:
  Statement(sqlite3* connection, const char* sql) {
    check(sqlite3_prepare_v2(connection, sql, -1, &statement_, nullptr) == SQLITE_OK, sql);
  }
  ~Statement() { sqlite3_finalize(statement_); }
  sqlite3_stmt* get() const { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// What a flush of `captures` text records cannot do without: three commits and one POST each.
Split floorTextCaptures(Server& server, const std::filesystem::path& directory, int captures) {
  {
    OutboxStore schema(URL::fileURL(directory / "floor.sqlite"));  // the store's schema, WAL
  }
  sqlite3* connection = nullptr;
  check(sqlite3_open_v2((directory / "floor.sqlite").c_str(), &connection,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) == SQLITE_OK,
        "cannot open the floor database");
  sqlite3_busy_timeout(connection, 5000);
  sqlite3_exec(connection, "PRAGMA journal_mode=WAL; PRAGMA foreign_keys=ON;", nullptr, nullptr,
               nullptr);

  // The rows and bodies, ready before the clock starts.
  const UUID user;
  std::vector<std::string> ids;
  std::vector<std::string> records;
  std::vector<std::string> bodies;
  {
    OutboxStore store(URL::fileURL(directory / "floor.sqlite"));
    for (int index = 0; index < captures; ++index) {
      const OutboxRecord record =
          store.enqueue(user, textCapture(UUID(), "capture " + std::to_string(index)), {});
      ids.push_back(record.id().uuidString());
      records.push_back(encodeJSONString(record));
      bodies.push_back(encodeJSONString(record.capture));
    }
  }
  Statement update(connection,
                   "UPDATE outbox SET state = ?, record_json = ?, updated_at = ? WHERE id = ?");

  CURL* handle = curl_easy_init();
  const std::string url = server.baseURL + "/v1/captures";
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &discard);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);

  const auto commit = [&](int index, const char* state) {
    sqlite3_stmt* statement = update.get();
    sqlite3_reset(statement);
    sqlite3_bind_text(statement, 1, state, -1, SQLITE_STATIC);
    sqlite3_bind_blob(statement, 2, records[index].data(), static_cast<int>(records[index].size()),
                      SQLITE_STATIC);
    sqlite3_bind_double(statement, 3, 1.0 * index);
    sqlite3_bind_text(statement, 4, ids[index].c_str(), -1, SQLITE_STATIC);
    check(sqlite3_step(statement) == SQLITE_DONE, "a floor commit failed");
  };

  Clock::duration posting{};
  const auto start = Clock::now();
  for (int index = 0; index < captures; ++index) {
    commit(index, "submitting_capture");
    const auto postStart = Clock::now();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: application/json");
    headers = curl_slist_append(headers, ("Authorization: Bearer " + server.token).c_str());
    headers = curl_slist_append(headers, ("Idempotency-Key: " + UUID().uuidString()).c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, bodies[index].c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(bodies[index].size()));
    long status = 0;
    const bool sent = curl_easy_perform(handle) == CURLE_OK &&
                      curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK;
    curl_slist_free_all(headers);
    check(sent && status == 201, "a floor POST failed");
    posting += Clock::now() - postStart;
    commit(index, "accepted");
    commit(index, "complete");
  }
  const double seconds = secondsSince(start);
  curl_easy_cleanup(handle);
  sqlite3_close(connection);
  return Split{seconds, std::chrono::duration<double>(posting).count()};
}

void benchmarkTextCaptures(const std::filesystem::path& root, int captures, int rounds) {
  Split processorBest{1e9, 0};
  Split floorBest{1e9, 0};
  double storeBest = 1e9;
  for (int round = 0; round < rounds; ++round) {
    const auto directory = root / ("text-" + std::to_string(round));
    std::filesystem::create_directories(directory);
    // A fresh server for each: the dev server looks idempotency keys up in a list, so captures
    // left by the previous measurement would slow the next one down.
    {
      Server server(directory / "server-floor");
      const Split floor = floorTextCaptures(server, directory, captures);
      if (floor.total < floorBest.total) floorBest = floor;
    }
    {
      Server server(directory / "server-processor");
      const Split processor = flushTextCaptures(server, directory, captures);
      if (processor.total < processorBest.total) processorBest = processor;
    }
    storeBest = std::min(storeBest, storeStepsOfTextCaptures(directory, captures));
    std::filesystem::remove_all(directory);
  }
  const double ratio = processorBest.total / floorBest.total;
  std::printf("flushing %d text captures, best of %d\n", captures, rounds);
  std::printf(
      "  floor: %d commits and %d POSTs  %7.3f s  %7.0f captures/s"
      "  (POSTs %.3f s, the rest %.3f s)\n",
      3 * captures, captures, floorBest.total, captures / floorBest.total, floorBest.http,
      floorBest.total - floorBest.http);
  std::printf(
      "  processor                          %7.3f s  %7.0f captures/s"
      "  (exchanges %.3f s, the rest %.3f s)\n",
      processorBest.total, captures / processorBest.total, processorBest.http,
      processorBest.total - processorBest.http);
  std::printf("  time ratio processor/floor: %.3f (target <= 1.50) %s\n", ratio,
              ratio <= 1.5 ? "met" : "MISSED");
  std::printf(
      "  the store's steps of these flushes alone, without a server: %.3f s "
      "(%.0f us per step, the floor's commit %.0f us)\n",
      storeBest, storeBest / (3.0 * captures) * 1e6,
      (floorBest.total - floorBest.http) / (3.0 * captures) * 1e6);
}

// --- One large file

StagedAsset stageLargeFile(const std::filesystem::path& directory, std::uint64_t megabytes) {
  const auto source = directory / "large.bin";
  {
    std::mt19937_64 generator(42);
    std::vector<std::uint64_t> block(1024 * 1024 / sizeof(std::uint64_t));
    std::ofstream out(source, std::ios::binary);
    for (std::uint64_t index = 0; index < megabytes; ++index) {
      for (auto& word : block) word = generator();
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(block.size() * sizeof(std::uint64_t)));
    }
    check(static_cast<bool>(out), "cannot write the large file");
  }
  StagedAsset asset = AssetStager::stage(URL::fileURL(source), URL::fileURL(directory / "staged"),
                                         "application/octet-stream", AssetRole::primary);
  std::filesystem::remove(source);
  return asset;
}

void benchmarkLargeFile(Server& server, const std::filesystem::path& root, std::uint64_t megabytes,
                        int rounds) {
  const auto directory = root / "large";
  std::filesystem::create_directories(directory);
  const StagedAsset asset = stageLargeFile(directory, megabytes);
  const std::string path = asset.localURL.filePath()->string();
  auto store = std::make_shared<OutboxStore>(URL::fileURL(directory / "kestro.sqlite"));
  const UUID user;
  OutboxProcessor processor(store, *server.api, RetryPolicy(1, 60));

  double curlBest = 1e9;
  double processorBest = 1e9;
  long peakGrowthKiB = 0;
  for (int round = 0; round < rounds; ++round) {
    // curl -T to a plan of the server's upload route, for the same bytes.
    const auto [uploadId, plan] = server.api->initiateUpload(UUID(), asset, server.token);
    const std::int64_t receivedBefore = server.stats().uploads("bytesReceived");
    const double curlSeconds =
        runCurl({"curl", "-sS", "-f", "-o", "/dev/null", "-T", path, "-X", plan.method, "-H",
                 "Authorization: Bearer " + server.token, "-H", "Content-Type: " + asset.mimeType,
                 plan.url.absoluteString()});
    check(curlSeconds >= 0, "curl -T failed");
    check(server.stats().uploads("bytesReceived") - receivedBefore == asset.byteCount,
          "curl's upload did not arrive whole");
    curlBest = std::min(curlBest, curlSeconds);

    // The processor: one capture with the staged file, as the share target leaves it.
    const OutboxRecord record = store->enqueue(user, textCapture(UUID(), "large"), {asset});
    resetPeakResidentSize();
    const long residentBefore = statusKiB("VmRSS:");
    const auto start = Clock::now();
    processor.flush(user, server.token);
    const double seconds = secondsSince(start);
    peakGrowthKiB = std::max(peakGrowthKiB, statusKiB("VmHWM:") - residentBefore);
    check(store->record(record.id())->state == CaptureOutboxState::complete,
          "the large capture did not complete");
    processorBest = std::min(processorBest, seconds);
  }
  std::filesystem::remove_all(directory);

  const double ratio = processorBest / curlBest;
  const double peakMiB = static_cast<double>(peakGrowthKiB) / 1024;
  std::printf("flushing one capture with a %llu MiB file, best of %d\n",
              static_cast<unsigned long long>(megabytes), rounds);
  std::printf("  curl -T (baseline)  %7.3f s  %7.0f MiB/s\n", curlBest,
              static_cast<double>(megabytes) / curlBest);
  std::printf("  processor           %7.3f s  %7.0f MiB/s\n", processorBest,
              static_cast<double>(megabytes) / processorBest);
  std::printf("  time ratio processor/curl: %.3f (target <= 1.20) %s\n", ratio,
              ratio <= 1.2 ? "met" : "MISSED");
  std::printf("  peak resident growth during the flush: %.1f MiB (target < 16) %s\n", peakMiB,
              peakMiB < 16 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  int captures = 1000;
  std::uint64_t megabytes = 1024;
  int rounds = 3;
  const std::optional<int> status = readOptions(
      argc, argv,
      "usage: kestro-processor-benchmark [--captures N] [--megabytes N] [--rounds N]\n"
      "Flushes N text captures (default 1000; 0 skips) and one file of N MiB (default 1024;\n"
      "0 skips) to a local server, each against its baseline, best of --rounds.\n",
      {{"--captures", [&](const std::string& value) { captures = std::stoi(value); }},
       {"--megabytes", [&](const std::string& value) { megabytes = std::stoull(value); }},
       {"--rounds", [&](const std::string& value) { rounds = std::max(1, std::stoi(value)); }}});
  if (status) return *status;
  try {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    TemporaryDirectory root;
    if (captures > 0) benchmarkTextCaptures(root.path(), captures, rounds);
    if (megabytes > 0) {
      Server server(root.path() / "server");
      benchmarkLargeFile(server, root.path(), megabytes, std::min(rounds, 2));
    }
  } catch (const std::exception& error) {
    std::cerr << "kestro-processor-benchmark: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
