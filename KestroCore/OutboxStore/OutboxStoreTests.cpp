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
#include <tuple>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using State = CaptureOutboxState;

// Runs `work` in a child process, which exits with 1 when it throws.
pid_t inChild(const std::function<void()>& work) {
  const pid_t child = fork();
  if (child != 0) return child;
  try {
    work();
  } catch (const std::exception& error) {
    fprintf(stderr, "child failed: %s\n", error.what());
    _exit(1);
  }
  _exit(0);
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
    return {UUID(),
            URL::fileURL(path),
            name,
            "text/plain",
            12,
            std::string(64, 'a'),
            AssetRole::attachment};
  }

  // Runs one statement on the database file through a connection of its own, as another process
  // would, and returns the first column of each row as text.
  std::vector<std::string> texts(const std::string& sql) const {
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    sqlite3_open(databasePath_.c_str(), &db);
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    std::vector<std::string> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
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

TEST_F(OutboxStoreTest, ReadyFiltersOrdersAndLimits) {
  OutboxStore store(databaseURL());
  std::vector<UUID> ids;
  std::vector<CaptureEnvelope> captures;
  for (int i = 0; i < 8; ++i) {
    captures.push_back(capture(std::to_string(i)));
    ids.push_back(store.enqueue(alice_, captures.back(), {}).id());
    std::this_thread::sleep_for(2ms);  // distinct creation times
  }
  // Enqueued again, a capture keeps its row and its place in the order; the record holds the
  // capture as given the second time.
  captures[4].annotation = "again";
  store.enqueue(alice_, captures[4], {});
  EXPECT_EQ(store.record(ids[4])->capture.annotation, "again");
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

TEST_F(OutboxStoreTest, NextRetryAtIsWhenTheNextWaitingRecordBecomesReadyOrItIsMadeDue) {
  OutboxStore store(databaseURL());
  const Date now = std::chrono::system_clock::now();
  const UUID later = store.enqueue(alice_, capture("later"), {}).id();
  const UUID sooner = store.enqueue(alice_, capture("sooner"), {}).id();
  // A fraction of a second, as older versions wrote it.
  const Date soonerAt = std::chrono::floor<std::chrono::milliseconds>(now) + 10min + 337ms;
  const Date laterAt = std::chrono::floor<std::chrono::seconds>(now) + 1h;
  store.markRetry(later, "SERVER_BUSY", State::uploadingAssets, laterAt);
  store.markRetry(sooner, "NETWORK_ERROR", State::queued, soonerAt);
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

  // Made due, a waiting record is ready at once and still resumes where it was to.
  const OutboxRecord due = store.makeDue(later, now);
  EXPECT_EQ(std::tuple(due.state, due.nextRetryAt, due.resumeState, due.attemptCount),
            std::tuple(State::retryWait, now, State::uploadingAssets, 1));
  EXPECT_EQ(store.ready(alice_, now, 20).size(), 1u);
  // Only a waiting record can be made due; the others are left exactly as they were.
  const UUID queued = store.enqueue(alice_, capture(), {}).id();
  const auto before = store.all(alice_);
  EXPECT_EQ(outboxErrorOf([&] { store.makeDue(queued, now); }),
            OutboxError::invalidTransition(State::queued, State::queued));
  EXPECT_EQ(store.all(alice_), before);
}

TEST_F(OutboxStoreTest, MutationsFollowTheirGuardsAndKeepTheRest) {
  OutboxStore store(databaseURL());
  const UUID id = store.enqueue(alice_, capture(), {}).id();
  const UUID missing;
  for (auto& operation : std::vector<std::function<void()>>{
           [&] { store.transition(missing, State::preparingAssets); },
           [&] { store.updateAssets(missing, {}); },
           [&] { store.markAccepted(missing, UUID(), UUID()); },
           [&] { store.makeDue(missing, Date{}); },
       }) {
    EXPECT_EQ(outboxErrorOf(operation), OutboxError::recordMissing());
  }

  // A retry, then back to queued: the retry time goes, the bookkeeping stays.
  store.markRetry(id, "NETWORK_ERROR", State::submittingCapture, Date{1741064767s});
  store.markRetry(id, "SERVER_BUSY", State::uploadingAssets, Date{1741064800s});
  EXPECT_EQ(store.record(id)->nextRetryAt, Date{1741064800s});
  const auto record = store.transition(id, State::queued);
  EXPECT_EQ(std::tuple(record.nextRetryAt, record.resumeState, record.lastErrorCode),
            std::tuple(std::nullopt, State::uploadingAssets, "SERVER_BUSY"));
  EXPECT_EQ(store.record(id)->attemptCount, 2);

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

  // Assets can be replaced in any state.
  const auto asset = stagedFile("late.txt");
  store.updateAssets(id, {asset});
  EXPECT_EQ(store.record(id)->stagedAssets, std::vector<StagedAsset>{asset});
}

TEST_F(OutboxStoreTest, RemoveCompletedIsStrictOnTheDateAndDeleteAllTakesOneUsersAll) {
  OutboxStore store(databaseURL());
  const auto file = stagedFile("sent.txt");
  const auto first = stagedFile("alice-1.txt");
  const auto gone = stagedFile("alice-2.txt");
  const auto kept = stagedFile("bob.txt");
  const UUID complete = store.enqueue(alice_, capture(), {file}).id();
  const UUID cancelled = store.enqueue(bob_, capture(), {kept}).id();
  const UUID blocked = store.enqueue(alice_, capture(), {first, gone}).id();
  const UUID queued = store.enqueue(alice_, capture(), {}).id();
  store.markComplete(complete);
  store.transition(cancelled, State::cancelled);
  store.transition(blocked, State::blockedUserAction);
  store.markRetry(queued, "X", State::queued, Date{}, {"m", true});
  texts("UPDATE outbox SET updated_at = 1000");

  // Nothing is strictly before its own time.
  EXPECT_TRUE(store.removeCompleted(dateFromSecondsSince1970(1000).value()).empty());
  std::map<UUID, std::vector<StagedAsset>> assets;
  for (const auto& record : store.removeCompleted(dateFromSecondsSince1970(1000.5).value())) {
    assets.emplace(record.id(), record.stagedAssets);
  }
  EXPECT_EQ(assets,
            (std::map<UUID, std::vector<StagedAsset>>{{complete, {file}}, {cancelled, {kept}}}));
  EXPECT_FALSE(store.record(complete) || store.record(cancelled));
  EXPECT_TRUE(store.record(blocked) && store.record(queued));
  // The files are the caller's to remove.
  EXPECT_TRUE(fs::exists(*file.localURL.filePath()));

  // Deleting a user's outbox takes their rows, files (one already gone is no error), failure
  // details, cached entities and sync cursor, and nobody else's.
  const UUID bobs = store.enqueue(bob_, capture(), {kept}).id();
  for (const UUID& user : {alice_, bob_}) {
    texts("INSERT INTO cache_entities(user_id, entity_type, entity_id) VALUES ('" +
          user.uuidString() + "', 'item', '1')");
    texts("INSERT INTO sync_state(user_id, cursor) VALUES ('" + user.uuidString() + "', 9)");
  }
  fs::remove(*gone.localURL.filePath());
  store.deleteAll(alice_);
  EXPECT_TRUE(store.all(alice_).empty());
  EXPECT_FALSE(fs::exists(*first.localURL.filePath()));
  EXPECT_TRUE(store.record(bobs));
  EXPECT_TRUE(fs::exists(*kept.localURL.filePath()));
  EXPECT_EQ(texts("SELECT user_id FROM cache_entities UNION ALL SELECT cursor FROM sync_state "
                  "UNION ALL SELECT count(*) FROM outbox_failures"),
            (std::vector<std::string>{bob_.uuidString(), "9", "0"}));
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
  EXPECT_THROW(store.markComplete(damaged), DecodingError);
  // A failed deleteAll deletes nothing at all, files included.
  EXPECT_THROW(store.deleteAll(alice_), DecodingError);
  EXPECT_EQ(texts("SELECT COUNT(*) FROM outbox"), std::vector<std::string>{"3"});
  EXPECT_TRUE(fs::exists(*file.localURL.filePath()));
  EXPECT_TRUE(store.record(healthy));
  EXPECT_EQ(store.all(bob_).size(), 1u);
}

TEST_F(OutboxStoreTest, NewestWithAddressIsTheLatestCaptureOfThatAddressInAnyState) {
  const URL page = *URL::fromString("https://example.com/a?b=1");
  const auto of = [](const URL& address, std::chrono::seconds capturedAt) {
    CaptureEnvelope envelope = capture();
    envelope.url = address;
    envelope.capturedAt = Date{capturedAt};
    return envelope;
  };
  OutboxStore store(databaseURL());
  // Captured later but enqueued first: the capture's own time decides, then the enqueueing.
  const UUID latest = store.enqueue(alice_, of(page, 2000s), {}).id();
  store.enqueue(alice_, of(page, 1000s), {});
  store.enqueue(alice_, of(*URL::fromString("https://example.com/a"), 3000s), {});
  const UUID bobs = store.enqueue(bob_, of(page, 4000s), {}).id();
  const UUID damaged = store.enqueue(alice_, of(page, 5000s), {}).id();
  // A row that is not JSON at all is passed over, and does not stop writes or opening.
  texts("UPDATE outbox SET record_json = CAST('not json' AS BLOB) WHERE id = '" +
        damaged.uuidString() + "'");
  ASSERT_EQ(texts("SELECT COUNT(*) FROM outbox WHERE NOT json_valid(CAST(record_json AS TEXT))"),
            std::vector<std::string>{"1"});
  store.markComplete(latest);

  OutboxStore reopened(databaseURL());
  const auto newest = reopened.newestWithAddress(alice_, page);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->id(), latest);
  EXPECT_EQ(newest->state, State::complete);
  EXPECT_EQ(reopened.newestWithAddress(bob_, page)->id(), bobs);
  EXPECT_FALSE(reopened.newestWithAddress(alice_, *URL::fromString("https://example.com/")));
  const UUID tie = reopened.enqueue(alice_, of(page, 2000s), {}).id();
  EXPECT_EQ(reopened.newestWithAddress(alice_, page)->id(), tie);
}

TEST_F(OutboxStoreTest, AFailedOpenOrReadIsAnErrorNotAnEmptyOutbox) {
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
  EXPECT_NE(outboxErrorOf([&] { store.all(alice_); }).as<OutboxError::Sqlite>(), nullptr);
  // So is a folder where the database file should be; a URL that names no local file is the
  // caller's mistake, as it is for the stager.
  const fs::path folder = root_ / "other" / "kestro.sqlite";
  fs::create_directories(folder);
  EXPECT_NE(outboxErrorOf([&] { OutboxStore{URL::fileURL(folder)}; }).as<OutboxError::Sqlite>(),
            nullptr);
  EXPECT_THROW(OutboxStore{*URL::fromString("https://example.com/kestro.sqlite")},
               std::invalid_argument);
}

TEST_F(OutboxStoreTest, TheDatabaseItsLogsAndTheFoldersItMakesStayPrivate) {
  const mode_t oldMask = ::umask(022);
  // A folder the store makes is the user's alone, whatever the umask lets others see; the files
  // are too, and those an earlier version left readable are narrowed when next opened.
  OutboxStore store(databaseURL());
  store.enqueue(alice_, capture(), {});
  EXPECT_EQ(fs::status(databasePath_.parent_path()).permissions(), fs::perms::owner_all);
  const std::string path = databasePath_.string();
  const auto expectPrivate = [](const fs::path& file) {
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << file;
  };
  for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
    expectPrivate(file);
    fs::permissions(file, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    OutboxStore(databaseURL()).enqueue(alice_, capture(), {});
    expectPrivate(file);
  }
  ::umask(oldMask);
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
  const UUID bobs = store.enqueue(bob_, capture(), {}).id();
  store.markRetry(refused, "VALIDATION_ERROR", State::queued, now,
                  {"the title is too long", false});
  store.markRetry(bobs, "UNAVAILABLE", State::queued, now, {"down for maintenance", true});
  auto failures = store.lastFailures(alice_);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures.at(refused).details, (OutboxFailureDetails{"the title is too long", false}));
  EXPECT_TRUE(failures.at(refused).describes(*store.record(refused)));

  // A failure recorded without details leaves the old ones, which then describe nothing; one
  // with details replaces them.
  store.markRetry(refused, "UNAVAILABLE", State::queued, now);
  EXPECT_FALSE(store.lastFailures(alice_).at(refused).describes(*store.record(refused)));
  store.markRetry(refused, "VALIDATION_ERROR", State::queued, now, {"still too long", false});
  failures = store.lastFailures(alice_);
  EXPECT_EQ(failures.at(refused).attemptCount, 3);
  EXPECT_TRUE(failures.at(refused).describes(*store.record(refused)));
  // Leaving the wait leaves the details behind them.
  EXPECT_FALSE(failures.at(refused).describes(store.transition(refused, State::queued)));

  // They go with their records, and only with theirs.
  store.markComplete(refused);
  store.removeCompleted(Date::max());
  EXPECT_EQ(texts("SELECT id FROM outbox_failures"), std::vector<std::string>{bobs.uuidString()});
}

}  // namespace
}  // namespace kestro
