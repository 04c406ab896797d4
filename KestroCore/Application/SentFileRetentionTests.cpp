#include "KestroCore/Application/SentFileRetention.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>

#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/OutboxStore/AssetStager.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using State = CaptureOutboxState;

Date now() { return std::chrono::system_clock::now(); }

// A real outbox in a temporary tree, with files staged the way the share target stages them, and
// the application's real settings suite.
class SentFileRetentionTest : public ::testing::Test {
 protected:
  SentFileRetentionTest()
      : storage_(tree_.places().storageDirectory()),
        attachments_(storage_ / "attachments"),
        settings_(tree_.places().applicationSettings()),
        store_(tree_.places().databaseURL()) {}

  fs::path writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  // A capture with one staged file per name, in `state`, last written `age` ago.
  OutboxRecord capture(State state, const std::vector<std::string>& names,
                       std::chrono::seconds ago) {
    const UUID id;
    std::vector<StagedAsset> assets;
    for (const std::string& name : names) {
      const fs::path source = writeFile(tree_.root() / "sources" / name, "contents of " + name);
      assets.push_back(AssetStager::stage(URL::fileURL(source), URL::fileURL(directoryOf(id)),
                                          "text/plain", AssetRole::attachment));
    }
    CaptureEnvelope envelope = testsupport::outboxRecord(State::queued).capture;
    envelope.clientCaptureId = id;
    store_.enqueue(user_, envelope, assets);
    switch (state) {
      case State::queued:
        break;
      case State::complete:
        store_.markComplete(id);
        break;
      case State::accepted:
        store_.markAccepted(id, UUID(), UUID());
        break;
      case State::retryWait:
        store_.markRetry(id, "NETWORK_ERROR", State::uploadingAssets, now() + 1h);
        break;
      default:
        store_.transition(id, state);
    }
    age(id, ago);
    return *store_.record(id);
  }

  // Moves a record's last write back in time.
  void age(const UUID& id, std::chrono::seconds by) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((storage_ / "kestro.sqlite").c_str(), &db), SQLITE_OK);
    const std::string sql = "UPDATE outbox SET updated_at = updated_at - " +
                            std::to_string(by.count()) + ", record_json = json_set(record_json, " +
                            "'$.updatedAt', strftime('%Y-%m-%dT%H:%M:%SZ', updated_at - " +
                            std::to_string(by.count()) + ", 'unixepoch')) WHERE id = '" +
                            id.uuidString() + "'";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  fs::path directoryOf(const UUID& id) const { return attachments_ / id.uuidString(); }

  testsupport::TemporaryTree tree_;
  const fs::path storage_;
  const fs::path attachments_;
  const UserDefaults settings_;
  OutboxStore store_;
  const UUID user_;
};

TEST_F(SentFileRetentionTest, OnlySentCapturesPastTheRetentionLoseTheirFilesAndKeepTheirRecords) {
  const OutboxRecord sentLongAgo = capture(State::complete, {"a.txt", "b.txt"}, 48h);
  const OutboxRecord sentLately = capture(State::complete, {"recent.txt"}, 1h);
  // Not sent, however old: every file stays.
  std::vector<OutboxRecord> unsent;
  for (const State state : {State::queued, State::retryWait, State::blockedUserAction,
                            State::accepted, State::cancelled}) {
    unsent.push_back(capture(state, {"waiting.txt"}, 48h));
  }
  // A share staging right now (no record yet), and a sent capture whose directory is a link to
  // somewhere else: neither is ours to remove.
  const fs::path staging = writeFile(directoryOf(UUID()) / "arriving.txt", "arriving");
  const OutboxRecord linked = capture(State::complete, {"linked.txt"}, 48h);
  const fs::path elsewhere = tree_.root() / "elsewhere";
  fs::rename(directoryOf(linked.id()), elsewhere);
  fs::create_directory_symlink(elsewhere, directoryOf(linked.id()));
  const fs::path precious = elsewhere / linked.stagedAssets[0].localURL.filePath()->filename();

  const SentFilesReport report = removeSentFiles(store_, storage_, 24h, now());

  EXPECT_EQ(report.captures, std::vector<UUID>{sentLongAgo.id()});
  EXPECT_EQ(report.freedBytes, 2 * 17u);  // "contents of ?.txt"
  EXPECT_TRUE(report.failures.empty());
  EXPECT_FALSE(fs::exists(directoryOf(sentLongAgo.id())));
  // The record stays as it was: the outbox still shows the capture as sent.
  EXPECT_EQ(store_.record(sentLongAgo.id()), sentLongAgo);
  EXPECT_TRUE(fs::exists(*sentLately.stagedAssets[0].localURL.filePath()));
  for (const OutboxRecord& record : unsent) {
    EXPECT_TRUE(fs::exists(*record.stagedAssets[0].localURL.filePath())) << rawValue(record.state);
  }
  EXPECT_TRUE(fs::exists(staging));
  EXPECT_TRUE(fs::is_symlink(directoryOf(linked.id())));
  EXPECT_TRUE(fs::exists(precious));

  // Done is done: nothing more goes the second time, and no attachments at all is no error.
  EXPECT_TRUE(removeSentFiles(store_, storage_, 24h, now()).captures.empty());
  EXPECT_TRUE(removeSentFiles(store_, tree_.root() / "nowhere", 0s, now()).captures.empty());

  // What comes later copes with a sent record whose files went: an export says they are
  // missing, and a prune removes the record.
  const ExportReport exported =
      exportRecord(*store_.record(sentLongAgo.id()), tree_.root() / "out");
  EXPECT_TRUE(exported.copiedFiles.empty());
  EXPECT_EQ(exported.missingFiles, (std::vector<std::string>{"a.txt", "b.txt"}));
  const PruneReport pruned = pruneOutbox(store_, storage_, 24h, now());
  EXPECT_NE(std::find(pruned.removedRecords.begin(), pruned.removedRecords.end(), sentLongAgo.id()),
            pruned.removedRecords.end());
  EXPECT_FALSE(store_.record(sentLongAgo.id()));
}

TEST_F(SentFileRetentionTest, TheRetentionIsTheUsersSettingAndABadOneRemovesNothingButIsSaidOnce) {
  EXPECT_EQ(sentFileRetention(settings_), 24h);
  settings_.set("12h", settingskeys::kSentFileRetention);
  EXPECT_EQ(sentFileRetention(settings_), 12h);

  std::vector<std::string> complaints;
  SentFileSweeper sweeper(tree_.places(),
                          [&](const std::string& message) { complaints.push_back(message); });
  const OutboxRecord first = capture(State::complete, {"first.txt"}, 2h);
  ASSERT_TRUE(sweeper.sweep(store_, now()));
  EXPECT_TRUE(fs::exists(directoryOf(first.id())));
  // Changed: the next sweep honours it.
  settings_.set("1h", settingskeys::kSentFileRetention);
  ASSERT_TRUE(sweeper.sweep(store_, now()));
  EXPECT_FALSE(fs::exists(directoryOf(first.id())));

  // Not a duration: nothing goes, and it is said once, naming the setting and its file.
  const OutboxRecord second = capture(State::complete, {"second.txt"}, 2h);
  settings_.set("soon", settingskeys::kSentFileRetention);
  EXPECT_FALSE(sweeper.sweep(store_, now()));
  EXPECT_FALSE(sweeper.sweep(store_, now()));
  ASSERT_EQ(complaints.size(), 1u);
  EXPECT_NE(complaints[0].find("\"kestro.sent-file-retention\" in " +
                               settings_.filePath()->string() + " cannot be read"),
            std::string::npos)
      << complaints[0];
  EXPECT_NE(complaints[0].find("\"soon\""), std::string::npos) << complaints[0];
  // A number is no duration either: seconds or days?
  std::ofstream(*settings_.filePath()) << R"({"kestro.sent-file-retention": 3600})";
  EXPECT_EQ(testsupport::refusalOf([&] { sentFileRetention(settings_); }).status,
            ExitStatus::failure);
  EXPECT_FALSE(sweeper.sweep(store_, now()));
  ASSERT_EQ(complaints.size(), 2u);
  EXPECT_NE(complaints[1].find("not text"), std::string::npos) << complaints[1];
  // A settings file that is no JSON object cannot say anything either.
  std::ofstream(*settings_.filePath()) << "retention: 1d";
  EXPECT_FALSE(sweeper.sweep(store_, now()));
  EXPECT_EQ(complaints.size(), 3u);
  EXPECT_TRUE(fs::exists(directoryOf(second.id())));

  // Corrected, then broken again the same way: said again, since it was put right meanwhile.
  std::ofstream(*settings_.filePath()) << R"({"kestro.sent-file-retention": "0"})";
  ASSERT_TRUE(sweeper.sweep(store_, now()));
  EXPECT_FALSE(fs::exists(directoryOf(second.id())));
  settings_.set("soon", settingskeys::kSentFileRetention);
  EXPECT_FALSE(sweeper.sweep(store_, now()));
  EXPECT_EQ(complaints.size(), 4u);
}

}  // namespace
}  // namespace kestro
