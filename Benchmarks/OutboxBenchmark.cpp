// What the outbox store costs on top of SQLite itself.
//
// enqueue: the median latency of `OutboxStore::enqueue` against a bare upsert of the same record
// JSON bytes on a connection of our own, with the same schema (created by the store, so WAL
// journaling is the same), the same per-connection pragma and the same busy timeout. The bare
// upsert uses the store's statement text and prepares it on every call, as the store does: the
// store keeps no statement cache by design, so preparing once and re-binding would measure the
// absence of a cache rather than the store's own work (building the record, encoding it,
// binding, locking). Target: store/bare <= 1.3.
//
// ready: `ready(userId, now, 20)` on a database of 100,000 records of one user, all complete but
// the newest 20, and 100,000 records of ten other users in every state. Target: a median of at
// most 100 us. The baseline is the same query run bare (rows copied, not decoded), so the ratio
// shows what decoding the 20 records costs; the store's partial index serves both.
//
// Each call is timed on its own; the ratios use the median over all calls of all repetitions,
// in wall time, since an enqueue spends most of its time waiting for the disk. Repetitions of
// the store and of its baseline are interleaved so that both see the same disk and the same
// neighbours. Staging has a benchmark of its own: stage-benchmark.sh.
//
// Run: kestro-outbox-benchmarks [--benchmark_repetitions=N]. Databases go to $TMPDIR (or /tmp)
// and are removed at the end.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/OutboxStore/OutboxStore.h"
#include "KestroCore/Platform/Process/TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kestro::CaptureOutboxState;
using kestro::Date;
using kestro::OutboxRecord;
using kestro::UUID;

// The store's statements, word for word.
constexpr const char* kSave =
    "INSERT INTO outbox(id, user_id, state, next_retry_at, record_json, created_at, updated_at)\n"
    "VALUES(?, ?, ?, ?, ?, ?, ?)\n"
    "ON CONFLICT(id) DO UPDATE SET\n"
    "  user_id=excluded.user_id,\n"
    "  state=excluded.state,\n"
    "  next_retry_at=excluded.next_retry_at,\n"
    "  record_json=excluded.record_json,\n"
    "  updated_at=excluded.updated_at";
constexpr const char* kReady =
    "SELECT record_json FROM outbox\n"
    "WHERE user_id = ? AND state NOT IN ('complete', 'cancelled', 'blocked_user_action')\n"
    "  AND (next_retry_at IS NULL OR next_retry_at <= ?)\n"
    "ORDER BY created_at LIMIT ?";

constexpr int kBusyTimeoutMilliseconds = 5000;  // the store's
constexpr std::int64_t kReadyLimit = 20;
constexpr int kRecordsPerUser = 100'000;
constexpr int kOtherUsers = 10;
constexpr int kPendingOfUser = 20;

// ---- plumbing ----

struct ConnectionCloser {
  void operator()(sqlite3* connection) const noexcept { sqlite3_close_v2(connection); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

void check(int result, sqlite3* connection, const char* what) {
  if (result != SQLITE_OK && result != SQLITE_DONE && result != SQLITE_ROW) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(connection));
  }
}

// Opened as the store opens its own: same flags, same busy timeout, same per-connection pragma.
Connection openLikeTheStore(const fs::path& path) {
  sqlite3* raw = nullptr;
  const int result =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  Connection connection(raw);
  check(result, raw, "open");
  check(sqlite3_busy_timeout(raw, kBusyTimeoutMilliseconds), raw, "busy timeout");
  check(sqlite3_exec(raw, "PRAGMA foreign_keys=ON;", nullptr, nullptr, nullptr), raw, "pragma");
  return connection;
}

Statement prepare(sqlite3* connection, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  check(sqlite3_prepare_v2(connection, sql, -1, &raw, nullptr), connection, "prepare");
  return Statement(raw);
}

// Creates the schema exactly as the store does, by opening a store on the file.
void createSchema(const fs::path& path) { kestro::OutboxStore store(kestro::URL::fileURL(path)); }

kestro::TemporaryDirectory& scratch() {
  static kestro::TemporaryDirectory directory("kestro-outbox-bench");
  return directory;
}

// A capture as the share target makes one: a page with its title and selection, one file.
kestro::CaptureEnvelope capture(const UUID& id, Date capturedAt) {
  using namespace kestro;
  std::string selection;
  while (selection.size() < 600) {
    selection += "Staged files are copied before the capture is queued, so the upload never ";
  }
  return CaptureEnvelope(
      id, capturedAt, SourceKind::url,
      CaptureOrigin{.platform = KestroPlatform::macos,
                    .mechanism = CaptureMechanism::shareExtension,
                    .deviceId = UUID(UUID::Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}),
                    .appVersion = "1.4.2",
                    .sourceApplication = "Firefox",
                    .sourceBundleId = "org.mozilla.firefox",
                    .windowTitle = "Designing a durable outbox — Notes"},
      URL::fromString("https://example.com/articles/durable-outbox?ref=share"),
      "Designing a durable outbox", selection, std::nullopt, std::nullopt, "read later",
      TaskIntent{.requested = false, .dueText = std::nullopt}, {},
      CapturePrivacy{false, false, false});
}

std::vector<kestro::StagedAsset> stagedAssets() {
  return {kestro::StagedAsset{
      .clientAssetId = UUID(UUID::Bytes{9, 9, 9}),
      .localURL = kestro::URL::fileURL(
          "/home/user/.local/share/group.kestro/Staging/2F1A/0C6E1C4A-report final.pdf"),
      .filename = "report final.pdf",
      .mimeType = "application/pdf",
      .byteCount = 2'483'112,
      .sha256 = "5f34dd69d032ec1475ab41f30626f747c4fc8b2d74147bb13b49f1523c5ef866",
      .role = kestro::AssetRole::attachment}};
}

// Every call's wall time in microseconds, by benchmark name, for the medians.
std::map<std::string, std::vector<double>>& latencies() {
  static std::map<std::string, std::vector<double>> values;
  return values;
}

template <class Call>
void timeOneCall(benchmark::State& state, std::vector<double>& into, Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  state.SetIterationTime(elapsed.count());
  into.push_back(elapsed.count() * 1e6);
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// ---- enqueue ----

void BM_EnqueueStore(benchmark::State& state) {
  const fs::path path = scratch().path() / "enqueue-store.sqlite";
  kestro::OutboxStore store(kestro::URL::fileURL(path));
  const UUID user;
  const auto assets = stagedAssets();
  auto envelope = capture(UUID(), Date{1'741'064'767s});
  auto& into = latencies()["enqueue/store"];
  for (auto _ : state) {
    envelope.clientCaptureId = UUID();  // a new capture each time, as the share target enqueues
    timeOneCall(state, into,
                [&] { benchmark::DoNotOptimize(store.enqueue(user, envelope, assets)); });
  }
}

void BM_EnqueueBareUpsert(benchmark::State& state) {
  const fs::path path = scratch().path() / "enqueue-bare.sqlite";
  createSchema(path);
  const Connection connection = openLikeTheStore(path);
  const UUID user;
  const std::string userText = user.uuidString();
  const Date now = std::chrono::system_clock::now();
  const std::string json =
      kestro::encodeJSONString(OutboxRecord{.userId = user,
                                            .state = CaptureOutboxState::queued,
                                            .capture = capture(UUID(), Date{1'741'064'767s}),
                                            .stagedAssets = stagedAssets(),
                                            .attemptCount = 0,
                                            .createdAt = now,
                                            .updatedAt = now});
  auto& into = latencies()["enqueue/bare"];
  for (auto _ : state) {
    const std::string id = UUID().uuidString();
    timeOneCall(state, into, [&] {
      const double time = kestro::secondsSince1970(std::chrono::system_clock::now());
      Statement statement = prepare(connection.get(), kSave);
      sqlite3_stmt* s = statement.get();
      sqlite3_bind_text(s, 1, id.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 2, userText.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 3, "queued", -1, SQLITE_TRANSIENT);
      sqlite3_bind_null(s, 4);
      sqlite3_bind_blob64(s, 5, json.data(), json.size(), SQLITE_TRANSIENT);
      sqlite3_bind_double(s, 6, time);
      sqlite3_bind_double(s, 7, time);
      if (sqlite3_step(s) != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(connection.get()));
    });
  }
}

// ---- ready ----

struct ReadyDatabase {
  fs::path plain;  // the store's schema, with its index for `ready`
  UUID user;
  Date now;
  std::size_t jsonBytes = 0;  // over all rows
};

// Built once: the store's schema, then 200,000 rows written in one transaction through the
// store's own upsert, each row holding the JSON of a real record and the columns derived from it
// exactly as the store derives them.
const ReadyDatabase& readyDatabase() {
  static const ReadyDatabase database = [] {
    ReadyDatabase result{
        .plain = scratch().path() / "ready.sqlite", .user = UUID(), .now = Date{1'760'000'000s}};
    createSchema(result.plain);
    const Connection connection = openLikeTheStore(result.plain);
    sqlite3* db = connection.get();
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    const Statement insert = prepare(db, kSave);
    const auto assets = stagedAssets();
    const Date start = Date{1'700'000'000s};

    const auto write = [&](const UUID& user, CaptureOutboxState state, Date createdAt, bool due) {
      OutboxRecord record{.userId = user,
                          .state = state,
                          .capture = capture(UUID(), createdAt),
                          .stagedAssets = assets,
                          .attemptCount = state == CaptureOutboxState::retryWait ? 2 : 0,
                          .createdAt = createdAt,
                          .updatedAt = createdAt + 90s};
      if (state == CaptureOutboxState::retryWait) {
        record.nextRetryAt = result.now + (due ? -1h : 1h);
        record.resumeState = CaptureOutboxState::uploadingAssets;
        record.lastErrorCode = "network";
      }
      const std::string json = kestro::encodeJSONString(record);
      result.jsonBytes += json.size();
      const std::string id = record.id().uuidString();
      const std::string userText = user.uuidString();
      sqlite3_stmt* s = insert.get();
      sqlite3_reset(s);
      sqlite3_bind_text(s, 1, id.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 2, userText.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 3, std::string(kestro::rawValue(state)).c_str(), -1, SQLITE_TRANSIENT);
      if (record.nextRetryAt) {
        sqlite3_bind_double(s, 4, kestro::secondsSince1970(*record.nextRetryAt));
      } else {
        sqlite3_bind_null(s, 4);
      }
      sqlite3_bind_blob64(s, 5, json.data(), json.size(), SQLITE_TRANSIENT);
      sqlite3_bind_double(s, 6, kestro::secondsSince1970(record.createdAt));
      sqlite3_bind_double(s, 7, kestro::secondsSince1970(record.updatedAt));
      check(sqlite3_step(s), db, "insert");
    };

    // The user: everything old is complete; the newest 20 wait, 15 queued and 5 due for retry.
    // Newest last is the hard case for any plan that walks the user's records oldest first.
    for (int i = 0; i < kRecordsPerUser; ++i) {
      const int pending = i - (kRecordsPerUser - kPendingOfUser);
      const CaptureOutboxState state =
          pending < 0 ? CaptureOutboxState::complete
                      : (pending < 15 ? CaptureOutboxState::queued : CaptureOutboxState::retryWait);
      write(result.user, state, start + std::chrono::seconds(60 * i), true);
    }
    // Everyone else, interleaved in time with the user, in every state; every fifth retry is
    // not yet due.
    const auto& states = kestro::RawValues<CaptureOutboxState>::cases;
    std::vector<UUID> others(kOtherUsers);
    for (int i = 0; i < kRecordsPerUser; ++i) {
      write(others[i % kOtherUsers], states[i % states.size()].first,
            start + std::chrono::seconds(60 * i + 30), i % 5 != 0);
    }
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    check(sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr), db,
          "checkpoint");
    return result;
  }();
  return database;
}

void BM_ReadyStore(benchmark::State& state) {
  const ReadyDatabase& database = readyDatabase();
  kestro::OutboxStore store(kestro::URL::fileURL(database.plain));
  auto& into = latencies()["ready/store"];
  for (auto _ : state) {
    timeOneCall(state, into, [&] {
      const auto records = store.ready(database.user, database.now, kReadyLimit);
      if (records.size() != kReadyLimit) state.SkipWithError("ready returned an unexpected count");
    });
  }
}

void BM_ReadyBareQuery(benchmark::State& state) {
  const ReadyDatabase& database = readyDatabase();
  const Connection connection = openLikeTheStore(database.plain);
  const std::string user = database.user.uuidString();
  const double now = kestro::secondsSince1970(database.now);
  auto& into = latencies()["ready/bare"];
  for (auto _ : state) {
    timeOneCall(state, into, [&] {
      Statement statement = prepare(connection.get(), kReady);
      sqlite3_stmt* s = statement.get();
      sqlite3_bind_text(s, 1, user.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_double(s, 2, now);
      sqlite3_bind_int64(s, 3, kReadyLimit);
      std::vector<std::string> rows;
      while (sqlite3_step(s) == SQLITE_ROW) {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(s, 0));
        rows.emplace_back(data, static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
      }
      benchmark::DoNotOptimize(rows);
    });
  }
}

void printPlan(const fs::path& path, const char* label) {
  const Connection connection = openLikeTheStore(path);
  const Statement plan =
      prepare(connection.get(), (std::string("EXPLAIN QUERY PLAN ") + kReady).c_str());
  std::printf("query plan %s:", label);
  while (sqlite3_step(plan.get()) == SQLITE_ROW) {
    std::printf(" [%s]", reinterpret_cast<const char*>(sqlite3_column_text(plan.get(), 3)));
  }
  std::printf("\n");
}

BENCHMARK(BM_EnqueueStore)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(150)
    ->Repetitions(10);
BENCHMARK(BM_EnqueueBareUpsert)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(150)
    ->Repetitions(10);
BENCHMARK(BM_ReadyStore)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5)
    ->Repetitions(5);
BENCHMARK(BM_ReadyBareQuery)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5)
    ->Repetitions(5);

void printRatio(const char* what, const char* store, const char* bare, const char* target) {
  const auto& values = latencies();
  const auto storeIt = values.find(store);
  const auto bareIt = values.find(bare);
  if (storeIt == values.end() || bareIt == values.end()) return;
  const double storeMedian = median(storeIt->second);
  const double bareMedian = median(bareIt->second);
  std::printf("%-28s store %9.1f us  bare %9.1f us  ratio %5.2f  (%zu/%zu calls; %s)\n", what,
              storeMedian, bareMedian, storeMedian / bareMedian, storeIt->second.size(),
              bareIt->second.size(), target);
}

}  // namespace

int main(int argc, char** argv) {
  // Interleaved repetitions: the store and its baseline take turns on the disk.
  std::vector<char*> arguments(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  arguments.insert(arguments.begin() + 1, interleave.data());
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\nmedian latency per call, wall time:\n");
  printRatio("enqueue", "enqueue/store", "enqueue/bare", "target ratio <= 1.3");
  printRatio("ready(limit 20)", "ready/store", "ready/bare", "target store <= 100 us");
  if (latencies().count("ready/store")) {
    const ReadyDatabase& database = readyDatabase();
    std::printf("ready database: %d rows, %.0f MB, record JSON %zu bytes on average\n",
                2 * kRecordsPerUser, static_cast<double>(fs::file_size(database.plain)) / 1e6,
                database.jsonBytes / (2 * kRecordsPerUser));
    printPlan(readyDatabase().plain, "of ready");
  }
  benchmark::Shutdown();
  return 0;
}
