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
#include <thread>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using State = CaptureOutboxState;

// Runs `work` in a child process, which exits with 1 when it throws.
pid_t inChild(const std::function<void()>& work) {
  const pid_t child = fork();
  if (child == 0) {
    int status = 0;
    try {
      work();
    } catch (const std::exception& error) {
      fprintf(stderr, "child failed: %s\n", error.what());
      status = 1;
    }
    _exit(status);
  }
  return child;
}

bool exitedCleanly(pid_t child) {
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// A fresh folder per test, removed afterwards.
class OutboxStoreTest : public ::testing::Test {
 protected:
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

  // Runs one statement on the database file through a connection of its own, as another process
  // would, and returns the first column of each row as text.
  std::vector<std::string> texts(const std::string& sql) const {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(databasePath_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    std::vector<std::string> rows;
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
      rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    EXPECT_EQ(result, SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
  }

  testsupport::TemporaryDirectory temporary_{"kestro-outbox"};
  const fs::path root_ = temporary_.path();
  const fs::path databasePath_ = root_ / "group" / "nested" / "kestro.sqlite";
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

TEST_F(OutboxStoreTest, TheSchemaIsTheSharedOnePlusOurReadyIndexAndFailureDetails) {
  OutboxStore store(databaseURL());
  EXPECT_EQ(texts("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
  // The tables the other programs on this file read, and the indexes that keep `ready` cheap.
  EXPECT_EQ(texts("SELECT name || '(' || (SELECT group_concat(name) FROM "
                  "pragma_table_info(m.name))"
                  " || ')' FROM sqlite_master m WHERE type = 'table' ORDER BY name"),
            (std::vector<std::string>{
                "cache_entities(user_id,entity_type,entity_id,entity_json,deleted)",
                "outbox(id,user_id,state,next_retry_at,record_json,created_at,"
                "updated_at)",
                "outbox_failures(id,code,message,retryable,attempt_count,failed_at)",
                "sync_state(user_id,cursor)"}));
  EXPECT_EQ(
      texts("SELECT sql FROM sqlite_master WHERE name LIKE 'outbox%idx' "
            "ORDER BY name"),
      (std::vector<std::string>{"CREATE INDEX outbox_ready_idx ON outbox(state, next_retry_at, "
                                "created_at)",
                                "CREATE INDEX outbox_user_ready_idx ON outbox(user_id, "
                                "created_at)\nWHERE state "
                                "NOT IN ('complete', 'cancelled', 'blocked_user_action')"}));
}

TEST_F(OutboxStoreTest, EnqueueingTheSameCaptureAgainKeepsTheFirstRowTime) {
  OutboxStore store(databaseURL());
  const auto envelope = capture("first");
  const auto first = store.enqueue(alice_, envelope, {});
  EXPECT_EQ(first.createdAt, first.updatedAt);
  std::this_thread::sleep_for(20ms);
  auto changed = envelope;
  changed.title = "second";
  const auto second = store.enqueue(bob_, changed, {});
  // One row, which keeps the first enqueue's time for ordering; the JSON holds the second's.
  EXPECT_EQ(texts("SELECT printf('%.6f', created_at) FROM outbox"),
            std::vector<std::string>{std::to_string(secondsSince1970(first.createdAt))});
  const auto stored = *store.record(envelope.clientCaptureId);
  EXPECT_EQ(stored.createdAt, std::chrono::floor<std::chrono::seconds>(second.createdAt));
  EXPECT_EQ(stored.capture.title, "second");
  EXPECT_EQ(stored.userId, bob_);
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

  const auto titles = [](const std::vector<OutboxRecord>& records) {
    std::string result;
    for (const auto& record : records) result += *record.capture.title;
    return result;
  };
  EXPECT_EQ(titles(store.ready(alice_, now, 20)), "4567");
  EXPECT_EQ(titles(store.ready(alice_, now, 2)), "45");
  EXPECT_TRUE(store.ready(alice_, now, 0).empty());
  // SQLite would read a negative limit as no limit at all.
  EXPECT_THROW(store.ready(alice_, now, -1), std::invalid_argument);
  // Once its time has come, the waiting record is ready too, in creation order.
  EXPECT_EQ(titles(store.ready(alice_, now + 2h, 20)), "34567");
  EXPECT_EQ(titles(store.all(alice_)), "01234567");
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

  const Date next = store.nextRetryAt(alice_, now).value();
  EXPECT_LE(std::chrono::abs(next - soonerAt), 1us);
  // `ready` at the time given takes the record, and not a moment before.
  const auto ready = store.ready(alice_, next, 20);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].id(), sooner);
  EXPECT_TRUE(store.ready(alice_, next - 1us, 20).empty());
  // Strictly later than `after`: the next one behind it, then none.
  EXPECT_EQ(store.nextRetryAt(alice_, next), laterAt);
  EXPECT_EQ(store.nextRetryAt(alice_, laterAt), std::nullopt);
}

TEST_F(OutboxStoreTest, MutationsFollowTheirGuardsAndKeepTheRest) {
  OutboxStore store(databaseURL());
  const UUID id = store.enqueue(alice_, capture(), {}).id();
  const UUID missing;
  for (auto& operation : std::vector<std::function<void()>>{
           [&] { store.transition(missing, State::preparingAssets); },
           [&] { store.replaceCapture(missing, capture()); },
           [&] { store.updateAssets(missing, {}); },
           [&] { store.markAccepted(missing, UUID(), UUID()); },
           [&] { store.markComplete(missing); },
           [&] { store.markRetry(missing, "X", State::queued, Date{}); },
           [&] { store.makeDue(missing, Date{}); },
       }) {
    EXPECT_EQ(outboxErrorOf(operation), OutboxError::recordMissing());
  }

  // A retry, then back to queued: the retry time goes, the bookkeeping stays.
  store.markRetry(id, "NETWORK_ERROR", State::submittingCapture, Date{1741064767s});
  store.markRetry(id, "SERVER_BUSY", State::uploadingAssets, Date{1741064800s});
  auto record = *store.record(id);
  EXPECT_EQ(record.state, State::retryWait);
  EXPECT_EQ(record.attemptCount, 2);
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

  // Assets can be replaced in any state.
  const auto asset = stagedFile("late.txt");
  store.updateAssets(id, {asset});
  EXPECT_EQ(store.record(id)->stagedAssets, std::vector<StagedAsset>{asset});
}

TEST_F(OutboxStoreTest, MakeDueBringsARetryForwardAndKeepsWhereItResumes) {
  OutboxStore store(databaseURL());
  const Date now{1741064767s};
  const UUID waiting = store.enqueue(alice_, capture(), {}).id();
  store.markRetry(waiting, "NETWORK_ERROR", State::uploadingAssets, now + 1h);
  EXPECT_TRUE(store.ready(alice_, now, 20).empty());
  const OutboxRecord due = store.makeDue(waiting, now);
  EXPECT_EQ(due.state, State::retryWait);
  EXPECT_EQ(due.nextRetryAt, now);
  EXPECT_EQ(due.resumeState, State::uploadingAssets);
  EXPECT_EQ(due.attemptCount, 1);
  EXPECT_EQ(store.ready(alice_, now, 20).size(), 1u);

  // Only a waiting record can be made due; the others are left exactly as they were.
  const UUID queued = store.enqueue(alice_, capture(), {}).id();
  const UUID complete = store.enqueue(alice_, capture(), {}).id();
  store.markComplete(complete);
  const auto before = store.all(alice_);
  EXPECT_EQ(outboxErrorOf([&] { store.makeDue(queued, now); }),
            OutboxError::invalidTransition(State::queued, State::queued));
  EXPECT_EQ(outboxErrorOf([&] { store.makeDue(complete, now); }),
            OutboxError::invalidTransition(State::complete, State::complete));
  EXPECT_EQ(store.all(alice_), before);
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
  texts("UPDATE outbox SET updated_at = 1000");

  // Nothing is older than the distant past, nor strictly before its own time.
  EXPECT_TRUE(store.removeCompleted(Date::min()).empty());
  EXPECT_TRUE(store.removeCompleted(dateFromSecondsSince1970(1000).value()).empty());
  EXPECT_EQ(texts("SELECT COUNT(*) FROM outbox"), std::vector<std::string>{"4"});
  std::map<UUID, std::vector<StagedAsset>> assets;
  for (const auto& record : store.removeCompleted(dateFromSecondsSince1970(1000.5).value())) {
    assets.emplace(record.id(), record.stagedAssets);
  }
  EXPECT_EQ(assets,
            (std::map<UUID, std::vector<StagedAsset>>{{complete, {file}}, {cancelled, {}}}));
  EXPECT_FALSE(store.record(complete) || store.record(cancelled));
  EXPECT_TRUE(store.record(blocked) && store.record(queued));
  // The files are the caller's to remove.
  EXPECT_TRUE(fs::exists(*file.localURL.filePath()));
}

TEST_F(OutboxStoreTest, DeleteAllRemovesOneUsersRowsAndFiles) {
  OutboxStore store(databaseURL());
  const auto kept = stagedFile("bob.txt");
  const auto first = stagedFile("alice-1.txt");
  const auto gone = stagedFile("alice-2.txt");
  store.markComplete(store.enqueue(alice_, capture(), {first, gone}).id());
  store.enqueue(alice_, capture(), {});
  const UUID bobRecord = store.enqueue(bob_, capture(), {kept}).id();
  const std::string alice = alice_.uuidString(), bob = bob_.uuidString();
  texts("INSERT INTO cache_entities(user_id, entity_type, entity_id) VALUES ('" + alice +
        "', 'item', '1'), ('" + bob + "', 'item', '1')");
  texts("INSERT INTO sync_state(user_id, cursor) VALUES ('" + alice + "', 7), ('" + bob + "', 9)");
  fs::remove(*gone.localURL.filePath());  // already gone: tolerated

  store.deleteAll(alice_);
  EXPECT_TRUE(store.all(alice_).empty());
  EXPECT_FALSE(fs::exists(*first.localURL.filePath()));
  EXPECT_TRUE(store.record(bobRecord));
  EXPECT_TRUE(fs::exists(*kept.localURL.filePath()));
  EXPECT_EQ(texts("SELECT user_id FROM cache_entities UNION ALL SELECT cursor "
                  "FROM sync_state"),
            (std::vector<std::string>{bob, "9"}));
}

TEST_F(OutboxStoreTest, AnUnreadableRecordFailsListsButOnlyItsOwnLookup) {
  OutboxStore store(databaseURL());
  const auto file = stagedFile("keep.txt");
  const UUID damaged = store.enqueue(alice_, capture(), {file}).id();
  const UUID healthy = store.enqueue(alice_, capture(), {}).id();
  store.enqueue(bob_, capture(), {});
  texts(
      "UPDATE outbox SET record_json = CAST('{\"state\":\"lost\"}' AS BLOB) "
      "WHERE id = '" +
      damaged.uuidString() + "'");

  EXPECT_THROW(store.all(alice_), DecodingError);
  EXPECT_THROW(store.ready(alice_, std::chrono::system_clock::now(), 20), DecodingError);
  EXPECT_THROW(store.markComplete(damaged), DecodingError);
  // A failed deleteAll deletes nothing at all, files included.
  EXPECT_THROW(store.deleteAll(alice_), DecodingError);
  EXPECT_EQ(texts("SELECT COUNT(*) FROM outbox"), std::vector<std::string>{"3"});
  EXPECT_TRUE(fs::exists(*file.localURL.filePath()));
  EXPECT_TRUE(store.record(healthy));
  EXPECT_EQ(store.all(bob_).size(), 1u);
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
  EXPECT_NE(error.as<OutboxError::Sqlite>()->message.find("malformed"), std::string::npos);
}

TEST_F(OutboxStoreTest, TheDatabaseItsLogsAndTheFoldersItMakesStayPrivate) {
  const mode_t oldMask = ::umask(022);
  // A folder the store makes is the user's alone, whatever the umask lets others see; one that
  // already lets others in, as one made by hand may, keeps its mode but not the files in it.
  const UUID id = OutboxStore(databaseURL()).enqueue(alice_, capture(), {}).id();
  EXPECT_EQ(fs::status(databasePath_.parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(OutboxStore(databaseURL()).record(id)->userId, alice_);
  const fs::path open = root_ / "open" / "kestro.sqlite";
  fs::create_directories(open.parent_path());
  fs::permissions(open.parent_path(), fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
  const fs::path files[] = {open, open.string() + "-wal", open.string() + "-shm"};
  {
    OutboxStore store(URL::fileURL(open));
    store.enqueue(alice_, capture(), {});
    for (const fs::path& file : files) {
      EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write)
          << file;
      // Files an earlier version left readable are narrowed when the database is next opened.
      fs::permissions(file, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    }
    OutboxStore(URL::fileURL(open)).enqueue(alice_, capture(), {});
    for (const fs::path& file : files) {
      EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write)
          << file << " when reopened";
    }
  }
  ::umask(oldMask);
}

TEST_F(OutboxStoreTest, OpeningFailuresAreReported) {
  // The database's folder cannot be made where a file stands.
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
  const UUID shared = OutboxStore(databaseURL()).enqueue(alice_, capture(), {}).id();
  // Each process counts attempts on the same record and adds records of its own. A lost update
  // shows as a missing attempt; a lock that reached a caller shows as an exception.
  const auto work = [&](const UUID& user) {
    OutboxStore store(databaseURL());
    for (int i = 0; i < kRounds; ++i) {
      store.markRetry(shared, "RACE", State::queued, Date{});
      if (i % 10 == 0) store.enqueue(user, capture(), {});
    }
  };
  const pid_t child = inChild([&] { work(bob_); });
  EXPECT_NO_THROW(work(alice_));
  EXPECT_TRUE(exitedCleanly(child));
  OutboxStore store(databaseURL());
  EXPECT_EQ(store.record(shared)->attemptCount, 2 * kRounds);
  EXPECT_EQ(store.all(alice_).size(), 1u + kRounds / 10);
  EXPECT_EQ(store.all(bob_).size(), static_cast<std::size_t>(kRounds / 10));
}

TEST_F(OutboxStoreTest, TwoProcessesCanCreateTheSameNewDatabaseAtOnce) {
  // The share target and the application both starting first on a fresh machine. Each round
  // releases two processes on a database that does not exist yet; both must open it and write.
  // About a third of the rounds fail when the setup does not wait, so fifty leave no doubt.
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    const URL url = URL::fileURL(root_ / std::to_string(round) / "kestro.sqlite");
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const auto open = [&] {
      close(gate[1]);
      char byte;
      // Returns once the parent closes its end of the pipe: both children go at the same time.
      [[maybe_unused]] const auto ignored = read(gate[0], &byte, 1);
      OutboxStore(url).enqueue(alice_, capture(), {});
    };
    const pid_t children[] = {inChild(open), inChild(open)};
    close(gate[0]);
    close(gate[1]);
    for (const pid_t child : children) EXPECT_TRUE(exitedCleanly(child));
    EXPECT_EQ(OutboxStore(url).all(alice_).size(), 2u);
  }
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
  EXPECT_EQ(failures.at(refused).code, "VALIDATION_ERROR");
  EXPECT_EQ(failures.at(refused).details, (OutboxFailureDetails{"the title is too long", false}));
  EXPECT_EQ(failures.at(refused).attemptCount, 1);
  EXPECT_TRUE(failures.at(refused).describes(*store.record(refused)));
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
  EXPECT_EQ(texts("SELECT id FROM outbox_failures WHERE id = '" + sent.uuidString() + "'"),
            std::vector<std::string>{});
  EXPECT_EQ(store.lastFailures(alice_).size(), 1u);
  store.deleteAll(alice_);
  EXPECT_TRUE(store.lastFailures(alice_).empty());
  EXPECT_EQ(store.lastFailures(bob_).size(), 1u);
}

}  // namespace
}  // namespace kestro
