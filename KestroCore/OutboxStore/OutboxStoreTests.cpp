#include "KestroCore/OutboxStore/OutboxStore.h"
#include "Testing/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using State = CaptureOutboxState;

// A fresh folder per test, removed afterwards.
class OutboxStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temporary_.path();
    databasePath_ = root_ / "group" / "nested" / "kestro.sqlite";
  }

  URL databaseURL() const { return URL::fileURL(databasePath_); }

  static CaptureEnvelope capture(const std::string& title = "a page") {
    const CaptureOrigin origin{
        KestroPlatform::macos, CaptureMechanism::shareExtension, UUID(), "1.0", {}, {}, {}};
    return CaptureEnvelope(UUID(), Date{1741064767s}, SourceKind::url, origin,
                           URL::fromString("https://example.com/"), title, {}, {}, {}, {}, {}, {},
                           CapturePrivacy{false, false, false});
  }

  StagedAsset stagedFile(const std::string& name) const {
    const fs::path path = root_ / "attachments" / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "contents of " << name;
    return StagedAsset{.clientAssetId = UUID(),
                       .localURL = URL::fileURL(path),
                       .filename = name,
                       .mimeType = "text/plain",
                       .byteCount = 12,
                       .sha256 = std::string(64, 'a'),
                       .role = AssetRole::attachment};
  }

  // Runs one statement on the database file through a connection of its own, as another
  // process would, and hands each row to `read`.
  void eachRow(const std::string& sql, const std::function<void(sqlite3_stmt*)>& read = {}) const {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(databasePath_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
      if (read) read(statement);
    }
    EXPECT_EQ(result, SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    sqlite3_close(db);
  }

  // The first column of the last row, or -1 without rows.
  double column(const std::string& sql) const {
    double value = -1;
    eachRow(sql, [&](sqlite3_stmt* row) { value = sqlite3_column_double(row, 0); });
    return value;
  }

  std::vector<std::string> texts(const std::string& sql) const {
    std::vector<std::string> result;
    eachRow(sql, [&](sqlite3_stmt* row) {
      result.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(row, 0)));
    });
    return result;
  }

  testsupport::TemporaryDirectory temporary_{"kestro-outbox"};
  fs::path root_;
  fs::path databasePath_;
  const UUID alice_;
  const UUID bob_;
};

template <class Operation>
OutboxError outboxErrorOf(Operation&& operation) {
  try {
    operation();
  } catch (const OutboxError& error) {
    return error;
  }
  ADD_FAILURE() << "no OutboxError";
  return OutboxError::recordMissing();
}

TEST_F(OutboxStoreTest, OpeningCreatesTheFolderAndReopeningKeepsRows) {
  UUID id;
  {
    const mode_t oldMask = ::umask(022);
    OutboxStore store(databaseURL());
    ::umask(oldMask);
    EXPECT_TRUE(fs::exists(databasePath_));
    // The captures are the user's alone, whatever the umask lets others see.
    EXPECT_EQ(fs::status(databasePath_.parent_path()).permissions(), fs::perms::owner_all);
    const auto record = store.enqueue(alice_, capture(), {stagedFile("a.txt")});
    id = record.id();
    EXPECT_EQ(record.state, State::queued);
    EXPECT_EQ(record.attemptCount, 0);
    EXPECT_EQ(record.createdAt, record.updatedAt);
  }
  OutboxStore reopened(databaseURL());
  const auto record = reopened.record(id);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->userId, alice_);
  EXPECT_EQ(record->stagedAssets.size(), 1u);
  // Another user's record is found by id all the same; an unknown id is simply absent.
  EXPECT_FALSE(reopened.record(UUID()));
  EXPECT_EQ(reopened.all(alice_).size(), 1u);
  EXPECT_TRUE(reopened.all(bob_).empty());
}

TEST_F(OutboxStoreTest, TheSchemaIsTheSharedOnePlusOurReadyIndexAndFailureDetails) {
  OutboxStore store(databaseURL());
  EXPECT_EQ(texts("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
  const std::vector<std::string> expected{
      "table cache_entities CREATE TABLE cache_entities (\n  user_id TEXT NOT NULL,\n"
      "  entity_type TEXT NOT NULL,\n  entity_id TEXT NOT NULL,\n  entity_json BLOB,\n"
      "  deleted INTEGER NOT NULL DEFAULT 0,\n  PRIMARY KEY(user_id, entity_type, entity_id)\n)",
      "table outbox CREATE TABLE outbox (\n  id TEXT PRIMARY KEY,\n  user_id TEXT NOT NULL,\n"
      "  state TEXT NOT NULL,\n  next_retry_at REAL,\n  record_json BLOB NOT NULL,\n"
      "  created_at REAL NOT NULL,\n  updated_at REAL NOT NULL\n)",
      "table outbox_failures CREATE TABLE outbox_failures (\n  id TEXT PRIMARY KEY,\n"
      "  code TEXT NOT NULL,\n  message TEXT NOT NULL,\n  retryable INTEGER NOT NULL,\n"
      "  attempt_count INTEGER NOT NULL,\n  failed_at REAL NOT NULL\n)",
      "index outbox_ready_idx CREATE INDEX outbox_ready_idx ON outbox(state, next_retry_at, "
      "created_at)",
      "index outbox_user_ready_idx CREATE INDEX outbox_user_ready_idx ON outbox(user_id, "
      "created_at)\nWHERE state NOT IN ('complete', 'cancelled', 'blocked_user_action')",
      "index sqlite_autoindex_cache_entities_1 -",
      "index sqlite_autoindex_outbox_1 -",
      "index sqlite_autoindex_outbox_failures_1 -",
      "index sqlite_autoindex_sync_state_1 -",
      "table sync_state CREATE TABLE sync_state (\n  user_id TEXT PRIMARY KEY,\n"
      "  cursor INTEGER NOT NULL DEFAULT 0\n)",
  };
  EXPECT_EQ(texts("SELECT type || ' ' || name || ' ' || coalesce(sql, '-') FROM sqlite_master "
                  "ORDER BY name"),
            expected);
}

TEST_F(OutboxStoreTest, EnqueueingTheSameCaptureAgainKeepsTheFirstRowTime) {
  OutboxStore store(databaseURL());
  const auto envelope = capture("first");
  const auto first = store.enqueue(alice_, envelope, {});
  std::this_thread::sleep_for(20ms);
  auto changed = envelope;
  changed.title = "second";
  const auto second = store.enqueue(bob_, changed, {});
  EXPECT_GT(second.createdAt, first.createdAt);

  EXPECT_EQ(column("SELECT COUNT(*) FROM outbox"), 1);
  // The row keeps the first enqueue's time for ordering; the JSON holds the second's.
  EXPECT_DOUBLE_EQ(column("SELECT created_at FROM outbox"), secondsSince1970(first.createdAt));
  const auto stored = store.record(envelope.clientCaptureId);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->createdAt, std::chrono::floor<std::chrono::seconds>(second.createdAt));
  EXPECT_EQ(stored->capture.title, "second");
  EXPECT_EQ(stored->userId, bob_);
}

TEST_F(OutboxStoreTest, ReadyFiltersOrdersAndLimits) {
  OutboxStore store(databaseURL());
  std::vector<UUID> ids;
  for (int i = 0; i < 8; ++i) {
    ids.push_back(store.enqueue(alice_, capture(std::to_string(i)), {}).id());
    std::this_thread::sleep_for(2ms);  // distinct creation times
  }
  store.enqueue(bob_, capture("bob's"), {});
  const Date now = std::chrono::system_clock::now();

  store.markComplete(ids[0]);
  store.transition(ids[1], State::cancelled);
  store.transition(ids[2], State::blockedUserAction);
  store.markRetry(ids[3], "NETWORK_ERROR", State::queued, now + 1h);  // not yet
  store.markRetry(ids[4], "NETWORK_ERROR", State::queued, now - 1s);  // due
  store.markAccepted(ids[5], UUID(), UUID());

  auto titles = [](const std::vector<OutboxRecord>& records) {
    std::vector<std::string> result;
    for (const auto& record : records) result.push_back(*record.capture.title);
    return result;
  };
  EXPECT_EQ(titles(store.ready(alice_, now, 20)), (std::vector<std::string>{"4", "5", "6", "7"}));
  EXPECT_EQ(titles(store.ready(alice_, now, 2)), (std::vector<std::string>{"4", "5"}));
  EXPECT_TRUE(store.ready(alice_, now, 0).empty());
  // SQLite would read a negative limit as no limit at all.
  EXPECT_THROW(store.ready(alice_, now, -1), std::invalid_argument);
  // Once its time has come, the waiting record is ready too, in creation order.
  EXPECT_EQ(titles(store.ready(alice_, now + 2h, 20)),
            (std::vector<std::string>{"3", "4", "5", "6", "7"}));
  EXPECT_EQ(titles(store.all(alice_)),
            (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7"}));
}

TEST_F(OutboxStoreTest, NextRetryAtIsWhenTheNextWaitingRecordBecomesReady) {
  OutboxStore store(databaseURL());
  const Date now = std::chrono::system_clock::now();
  const UUID later = store.enqueue(alice_, capture("later"), {}).id();
  const UUID sooner = store.enqueue(alice_, capture("sooner"), {}).id();
  const UUID finished = store.enqueue(alice_, capture("finished"), {}).id();
  // A fraction of a second, as older versions wrote it.
  const Date soonerAt = std::chrono::floor<std::chrono::milliseconds>(now) + 10min + 337ms;
  const Date laterAt = std::chrono::floor<std::chrono::seconds>(now) + 1h;
  store.markRetry(later, "SERVER_BUSY", State::queued, laterAt);
  store.markRetry(sooner, "NETWORK_ERROR", State::queued, soonerAt);
  store.markRetry(finished, "SERVER_BUSY", State::queued, now + 1s);
  store.markComplete(finished);
  store.markRetry(store.enqueue(bob_, capture("bob's"), {}).id(), "X", State::queued, now + 1s);

  const std::optional<Date> next = store.nextRetryAt(alice_, now);
  ASSERT_TRUE(next.has_value());
  EXPECT_LE(std::chrono::abs(*next - soonerAt), 1us);
  // `ready` at the time given takes the record, and not a moment before.
  ASSERT_EQ(store.ready(alice_, *next, 20).size(), 1u);
  EXPECT_EQ(store.ready(alice_, *next, 20)[0].id(), sooner);
  EXPECT_TRUE(store.ready(alice_, *next - 1us, 20).empty());
  // Strictly later than `after`: the next one behind it, then none.
  EXPECT_EQ(store.nextRetryAt(alice_, *next), laterAt);
  EXPECT_EQ(store.nextRetryAt(alice_, laterAt), std::nullopt);
  EXPECT_EQ(store.nextRetryAt(UUID(), now), std::nullopt);
}

TEST_F(OutboxStoreTest, MutationsFollowTheirGuardsAndKeepTheRest) {
  OutboxStore store(databaseURL());
  const UUID id = store.enqueue(alice_, capture(), {}).id();
  const UUID missing;

  // Unknown ids.
  for (auto& operation : std::vector<std::function<void()>>{
           [&] { store.transition(missing, State::preparingAssets); },
           [&] { store.replaceCapture(missing, capture()); },
           [&] { store.updateAssets(missing, {}); },
           [&] { store.markAccepted(missing, UUID(), UUID()); },
           [&] { store.markComplete(missing); },
           [&] { store.markRetry(missing, "X", State::queued, Date{}); },
       }) {
    EXPECT_EQ(outboxErrorOf(operation), OutboxError::recordMissing());
  }

  // A retry, then back to queued: the retry time goes, the bookkeeping stays.
  store.markRetry(id, "NETWORK_ERROR", State::submittingCapture, Date{1741064767s});
  store.markRetry(id, "SERVER_BUSY", State::uploadingAssets, Date{1741064800s});
  auto record = *store.record(id);
  EXPECT_EQ(record.state, State::retryWait);
  EXPECT_EQ(record.attemptCount, 2);
  EXPECT_EQ(record.lastErrorCode, "SERVER_BUSY");
  EXPECT_EQ(record.resumeState, State::uploadingAssets);
  EXPECT_EQ(record.nextRetryAt, Date{1741064800s});
  record = store.transition(id, State::queued);
  EXPECT_EQ(record.nextRetryAt, std::nullopt);
  EXPECT_EQ(record.resumeState, State::uploadingAssets);
  EXPECT_EQ(record.lastErrorCode, "SERVER_BUSY");
  // What was saved is what the operation returned, to the second that record JSON keeps.
  record.createdAt = std::chrono::floor<std::chrono::seconds>(record.createdAt);
  record.updatedAt = std::chrono::floor<std::chrono::seconds>(record.updatedAt);
  EXPECT_EQ(*store.record(id), record);

  // Refused changes leave the stored record exactly as it was.
  store.transition(id, State::submittingCapture);
  const auto before = *store.record(id);
  EXPECT_EQ(outboxErrorOf([&] { store.replaceCapture(id, capture("other")); }),
            OutboxError::invalidTransition(State::submittingCapture, State::submittingCapture));
  EXPECT_EQ(outboxErrorOf([&] { store.transition(id, State::complete); }),
            OutboxError::invalidTransition(State::submittingCapture, State::complete));
  EXPECT_EQ(*store.record(id), before);

  // Acceptance and completion ignore the table; so does a second acceptance after completion.
  const UUID serverCapture, serverItem;
  store.markAccepted(id, serverCapture, serverItem);
  store.markComplete(id);
  store.markAccepted(id, serverCapture, serverItem);
  store.markComplete(id);
  const auto complete = *store.record(id);
  EXPECT_EQ(outboxErrorOf([&] { store.markRetry(id, "X", State::queued, Date{}); }),
            OutboxError::invalidTransition(State::complete, State::retryWait));
  EXPECT_EQ(*store.record(id), complete);
  EXPECT_EQ(complete.serverCaptureId, serverCapture);
  EXPECT_EQ(complete.serverItemId, serverItem);
  EXPECT_EQ(complete.attemptCount, 2);
  EXPECT_EQ(complete.lastErrorCode, "SERVER_BUSY");

  // Assets can be replaced in any state.
  const auto asset = stagedFile("late.txt");
  store.updateAssets(id, {asset});
  EXPECT_EQ(store.record(id)->stagedAssets, std::vector<StagedAsset>{asset});
}

TEST_F(OutboxStoreTest, RemoveCompletedIsStrictOnTheDateAndReturnsWhatItDeleted) {
  OutboxStore store(databaseURL());
  const auto file = stagedFile("sent.txt");
  const UUID complete = store.enqueue(alice_, capture(), {file}).id();
  const UUID cancelled = store.enqueue(bob_, capture(), {}).id();
  const UUID blocked = store.enqueue(alice_, capture(), {}).id();
  const UUID queued = store.enqueue(alice_, capture(), {}).id();
  store.markComplete(complete);
  store.transition(cancelled, State::cancelled);
  store.transition(blocked, State::blockedUserAction);
  eachRow("UPDATE outbox SET updated_at = 1000");

  // Nothing is older than the distant past, nor strictly before its own time.
  EXPECT_TRUE(store.removeCompleted(Date::min()).empty());
  EXPECT_TRUE(store.removeCompleted(dateFromSecondsSince1970(1000).value()).empty());
  EXPECT_EQ(column("SELECT COUNT(*) FROM outbox"), 4);
  const auto removed = store.removeCompleted(dateFromSecondsSince1970(1000.5).value());
  std::map<UUID, std::vector<StagedAsset>> assets;
  for (const auto& record : removed) assets.emplace(record.id(), record.stagedAssets);
  EXPECT_EQ(assets,
            (std::map<UUID, std::vector<StagedAsset>>{{complete, {file}}, {cancelled, {}}}));
  EXPECT_FALSE(store.record(complete));
  EXPECT_FALSE(store.record(cancelled));
  EXPECT_TRUE(store.record(blocked));
  EXPECT_TRUE(store.record(queued));
  // The files are the caller's to remove.
  EXPECT_TRUE(fs::exists(*file.localURL.filePath()));
}

TEST_F(OutboxStoreTest, DeleteAllRemovesOneUsersRowsAndFiles) {
  OutboxStore store(databaseURL());
  const auto kept = stagedFile("bob.txt");
  const auto first = stagedFile("alice-1.txt");
  const auto gone = stagedFile("alice-2.txt");
  const UUID aliceRecord = store.enqueue(alice_, capture(), {first, gone}).id();
  store.enqueue(alice_, capture(), {});
  store.markComplete(aliceRecord);
  const UUID bobRecord = store.enqueue(bob_, capture(), {kept}).id();
  const std::string alice = alice_.uuidString(), bob = bob_.uuidString();
  eachRow("INSERT INTO cache_entities(user_id, entity_type, entity_id) VALUES ('" + alice +
          "', 'item', '1'), ('" + bob + "', 'item', '1')");
  eachRow("INSERT INTO sync_state(user_id, cursor) VALUES ('" + alice + "', 7), ('" + bob +
          "', 9)");
  fs::remove(*gone.localURL.filePath());  // already gone: tolerated

  store.deleteAll(alice_);
  EXPECT_TRUE(store.all(alice_).empty());
  EXPECT_FALSE(fs::exists(*first.localURL.filePath()));
  EXPECT_TRUE(store.record(bobRecord));
  EXPECT_TRUE(fs::exists(*kept.localURL.filePath()));
  EXPECT_EQ(column("SELECT COUNT(*) FROM cache_entities WHERE user_id = '" + alice + "'"), 0);
  EXPECT_EQ(column("SELECT COUNT(*) FROM sync_state WHERE user_id = '" + alice + "'"), 0);
  EXPECT_EQ(column("SELECT cursor FROM sync_state WHERE user_id = '" + bob + "'"), 9);
  EXPECT_EQ(column("SELECT COUNT(*) FROM cache_entities"), 1);
}

TEST_F(OutboxStoreTest, AnUnreadableRecordFailsListsButOnlyItsOwnLookup) {
  OutboxStore store(databaseURL());
  const auto file = stagedFile("keep.txt");
  const UUID damaged = store.enqueue(alice_, capture(), {file}).id();
  const UUID healthy = store.enqueue(alice_, capture(), {}).id();
  const UUID others = store.enqueue(bob_, capture(), {}).id();
  eachRow("UPDATE outbox SET record_json = CAST('{\"state\":\"lost\"}' AS BLOB) WHERE id = '" +
          damaged.uuidString() + "'");

  const Date now = std::chrono::system_clock::now();
  EXPECT_THROW(store.all(alice_), DecodingError);
  EXPECT_THROW(store.ready(alice_, now, 20), DecodingError);
  EXPECT_THROW(store.record(damaged), DecodingError);
  EXPECT_THROW(store.markComplete(damaged), DecodingError);
  // A failed deleteAll deletes nothing at all, files included.
  EXPECT_THROW(store.deleteAll(alice_), DecodingError);
  EXPECT_EQ(column("SELECT COUNT(*) FROM outbox"), 3);
  EXPECT_TRUE(fs::exists(*file.localURL.filePath()));

  EXPECT_TRUE(store.record(healthy));
  EXPECT_EQ(store.all(bob_).size(), 1u);
  store.markComplete(others);
}

TEST_F(OutboxStoreTest, AFailedReadIsAnErrorNotAnEmptyOutbox) {
  {
    OutboxStore store(databaseURL());
    for (int i = 0; i < 200; ++i) store.enqueue(alice_, capture(std::string(400, 'x')), {});
  }  // the last connection checkpoints the log into the main file
  // Damage every page after the first, which holds the schema: the tables' own pages.
  {
    std::fstream file(databasePath_, std::ios::in | std::ios::out | std::ios::binary);
    const auto size = fs::file_size(databasePath_);
    ASSERT_GT(size, 8192u);
    file.seekp(4096);
    const std::string garbage(size - 4096, '\xA5');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  OutboxStore store(databaseURL());
  const auto error = outboxErrorOf([&] { store.all(alice_); });
  ASSERT_NE(error.as<OutboxError::Sqlite>(), nullptr) << error.what();
  EXPECT_NE(error.as<OutboxError::Sqlite>()->message.find("malformed"), std::string::npos)
      << error.what();
}

TEST_F(OutboxStoreTest, TheDatabaseAndItsLogsStayPrivateInAnOpenFolder) {
  // A folder that already lets others in, as one made by hand or by another program may.
  fs::create_directories(databasePath_.parent_path());
  fs::permissions(databasePath_.parent_path(), fs::perms::owner_all | fs::perms::group_read |
                                                   fs::perms::group_exec | fs::perms::others_read |
                                                   fs::perms::others_exec);
  const fs::path files[] = {databasePath_, fs::path(databasePath_.string() + "-wal"),
                            fs::path(databasePath_.string() + "-shm")};
  const auto expectPrivate = [&](const char* when) {
    for (const fs::path& file : files) {
      ASSERT_TRUE(fs::exists(file)) << file << " " << when;
      EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write)
          << file << " " << when;
    }
  };
  const mode_t oldMask = ::umask(022);
  {
    OutboxStore store(databaseURL());
    store.enqueue(alice_, capture(), {});
    expectPrivate("when created");

    // Files an earlier version left readable are narrowed when the database is next opened.
    for (const fs::path& file : files) {
      fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);
    }
    OutboxStore again(databaseURL());
    again.enqueue(alice_, capture(), {});
    expectPrivate("when reopened");
  }
  ::umask(oldMask);
}

TEST_F(OutboxStoreTest, OpeningFailuresAreReported) {
  // The database's folder cannot be made where a file stands.
  fs::create_directories(root_);
  std::ofstream(root_ / "group") << "a file, not a folder";
  EXPECT_THROW(OutboxStore{databaseURL()}, fs::filesystem_error);
  // A folder where the database file should be.
  fs::create_directories(root_ / "other" / "kestro.sqlite");
  const auto error =
      outboxErrorOf([&] { OutboxStore{URL::fileURL(root_ / "other" / "kestro.sqlite")}; });
  EXPECT_NE(error.as<OutboxError::Sqlite>(), nullptr);
  // A URL that names no local file is the caller's mistake, as it is for the stager.
  EXPECT_THROW(OutboxStore{*URL::fromString("https://example.com/kestro.sqlite")},
               std::invalid_argument);
}

TEST_F(OutboxStoreTest, TwoProcessesNeverLoseEachOthersUpdates) {
  constexpr int kRounds = 1500;
  const UUID shared = [&] {
    OutboxStore store(databaseURL());
    const UUID id = store.enqueue(alice_, capture(), {}).id();
    store.markRetry(id, "START", State::queued, Date{});
    return id;
  }();

  // Each process counts attempts on the same record and adds records of its own. A lost update
  // shows as a missing attempt; a lock that reached a caller shows as an exception.
  auto work = [&](const UUID& user) {
    OutboxStore store(databaseURL());
    for (int i = 0; i < kRounds; ++i) {
      store.markRetry(shared, "RACE", State::queued, Date{});
      if (i % 10 == 0) store.enqueue(user, capture(), {});
    }
  };
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    int status = 0;
    try {
      work(bob_);
    } catch (const std::exception& error) {
      fprintf(stderr, "child failed: %s\n", error.what());
      status = 1;
    }
    _exit(status);
  }
  EXPECT_NO_THROW(work(alice_));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  OutboxStore store(databaseURL());
  EXPECT_EQ(store.record(shared)->attemptCount, 1 + 2 * kRounds);
  EXPECT_EQ(store.all(alice_).size(), 1u + kRounds / 10);
  EXPECT_EQ(store.all(bob_).size(), static_cast<std::size_t>(kRounds / 10));
}

TEST_F(OutboxStoreTest, TwoProcessesCanCreateTheSameNewDatabaseAtOnce) {
  // The share target and the application both starting first on a fresh machine. Each round
  // releases two processes on a database that does not exist yet; both must open it and write.
  // About a third of the rounds fail when the setup does not wait, so fifty leave no doubt.
  constexpr int kRounds = 50;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const URL url = URL::fileURL(root_ / std::to_string(round) / "kestro.sqlite");
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t children[2];
    for (pid_t& child : children) {
      child = fork();
      ASSERT_NE(child, -1);
      if (child == 0) {
        close(gate[1]);
        char byte;
        // Returns once the parent closes its end of the pipe: both children go at the same time.
        [[maybe_unused]] const auto ignored = read(gate[0], &byte, 1);
        int status = 0;
        try {
          OutboxStore store(url);
          store.enqueue(alice_, capture(), {});
        } catch (const std::exception& error) {
          fprintf(stderr, "round %d, process %d failed: %s\n", round, getpid(), error.what());
          status = 1;
        }
        _exit(status);
      }
    }
    close(gate[0]);
    close(gate[1]);
    for (const pid_t child : children) {
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(OutboxStore(url).all(alice_).size(), 2u);
  }
}

TEST_F(OutboxStoreTest, MakeDueBringsARetryForwardAndKeepsWhereItResumes) {
  OutboxStore store(databaseURL());
  const Date now{1741064767s};
  const UUID waiting = store.enqueue(alice_, capture(), {stagedFile("a.txt")}).id();
  store.markRetry(waiting, "NETWORK_ERROR", State::uploadingAssets, now + 1h);
  EXPECT_TRUE(store.ready(alice_, now, 20).empty());

  const OutboxRecord due = store.makeDue(waiting, now);
  EXPECT_EQ(due.state, State::retryWait);
  EXPECT_EQ(due.nextRetryAt, now);
  EXPECT_EQ(due.resumeState, State::uploadingAssets);
  EXPECT_EQ(due.attemptCount, 1);
  EXPECT_EQ(due.lastErrorCode, "NETWORK_ERROR");
  const auto ready = store.ready(alice_, now, 20);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready.front().id(), waiting);

  // Only a waiting record can be made due; the others are left exactly as they were.
  const UUID queued = store.enqueue(alice_, capture(), {}).id();
  const UUID complete = store.enqueue(alice_, capture(), {}).id();
  store.markComplete(complete);
  const auto before = store.all(alice_);
  EXPECT_EQ(outboxErrorOf([&] { store.makeDue(queued, now); }),
            OutboxError::invalidTransition(State::queued, State::queued));
  EXPECT_EQ(outboxErrorOf([&] { store.makeDue(complete, now); }),
            OutboxError::invalidTransition(State::complete, State::complete));
  EXPECT_EQ(outboxErrorOf([&] { store.makeDue(UUID(), now); }), OutboxError::recordMissing());
  EXPECT_EQ(store.all(alice_), before);
}

TEST_F(OutboxStoreTest, FailureDetailsAreKeptWithTheRetryAndGoWithTheRecord) {
  OutboxStore store(databaseURL());
  const Date now{1741064767s};
  const UUID refused = store.enqueue(alice_, capture(), {}).id();
  const UUID sent = store.enqueue(alice_, capture(), {}).id();
  const UUID bobs = store.enqueue(bob_, capture(), {}).id();
  store.markRetry(refused, "VALIDATION_ERROR", State::queued, now + 1h,
                  OutboxFailureDetails{"the title is too long", false});
  store.markRetry(sent, "NETWORK_ERROR", State::queued, now, {"Connection reset by peer", true});
  store.markRetry(bobs, "UNAVAILABLE", State::queued, now, {"down for maintenance", true});

  auto failures = store.lastFailures(alice_);
  ASSERT_EQ(failures.size(), 2u);
  const OutboxLastFailure& first = failures.at(refused);
  EXPECT_EQ(first.code, "VALIDATION_ERROR");
  EXPECT_EQ(first.details, (OutboxFailureDetails{"the title is too long", false}));
  EXPECT_EQ(first.attemptCount, 1);
  EXPECT_TRUE(first.describes(*store.record(refused)));
  EXPECT_EQ(failures.at(sent).details, (OutboxFailureDetails{"Connection reset by peer", true}));

  // A failure recorded without details leaves the old ones, which then describe nothing; one
  // with details replaces them.
  store.markRetry(refused, "UNAVAILABLE", State::queued, now + 1h);
  EXPECT_FALSE(store.lastFailures(alice_).at(refused).describes(*store.record(refused)));
  store.markRetry(refused, "VALIDATION_ERROR", State::queued, now + 1h, {"still too long", false});
  failures = store.lastFailures(alice_);
  EXPECT_EQ(failures.at(refused).attemptCount, 3);
  EXPECT_TRUE(failures.at(refused).describes(*store.record(refused)));
  // Leaving the wait leaves the details behind them.
  EXPECT_FALSE(failures.at(refused).describes(store.transition(refused, State::queued)));

  // Refused for a record that cannot wait: no details either.
  store.markComplete(sent);
  EXPECT_THROW(store.markRetry(sent, "LATE", State::queued, now, {"late", true}), OutboxError);
  EXPECT_EQ(store.lastFailures(alice_).at(sent).code, "NETWORK_ERROR");

  // They go with their records, and only with theirs.
  store.removeCompleted(Date::max());
  EXPECT_EQ(texts("SELECT count(*) FROM outbox_failures WHERE id = '" + sent.uuidString() + "'"),
            std::vector<std::string>{"0"});
  EXPECT_EQ(store.lastFailures(alice_).size(), 1u);
  store.deleteAll(alice_);
  EXPECT_TRUE(store.lastFailures(alice_).empty());
  EXPECT_EQ(store.lastFailures(bob_).size(), 1u);
}

}  // namespace
}  // namespace kestro
