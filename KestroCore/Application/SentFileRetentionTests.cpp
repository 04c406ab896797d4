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

// A real outbox and settings suite in a temporary tree, files staged as the share target does.
class SentFileRetentionTest : public ::testing::Test {
 protected:
  SentFileRetentionTest()
      : settings_(tree_.places().applicationSettings()), store_(tree_.places().databaseURL()) {}

  // A capture with one staged file, put in `state` and last written `ago`; its folder.
  fs::path capture(State state, std::chrono::seconds ago) {
    const UUID id;
    const fs::path source = tree_.root() / ("source-" + id.uuidString());
    std::ofstream(source) << "twelve bytes";
    CaptureEnvelope envelope = testsupport::outboxRecord(State::queued).capture;
    envelope.clientCaptureId = id;
    store_.enqueue(UUID(), envelope,
                   {AssetStager::stage(URL::fileURL(source), URL::fileURL(folderOf(id)),
                                       "text/plain", AssetRole::attachment)});
    if (state == State::complete) store_.markComplete(id);
    if (state == State::accepted) store_.markAccepted(id, UUID(), UUID());
    if (state == State::retryWait) store_.markRetry(id, "NETWORK_ERROR", State::queued, now());
    if (state == State::blockedUserAction || state == State::cancelled) {
      store_.transition(id, state);
    }
    // The record's own time, which the decision reads.
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(tree_.places().databaseURL().filePath()->c_str(), &db), SQLITE_OK);
    EXPECT_EQ(store_.record(id)->state, state);
    const std::string sql =
        "UPDATE outbox SET record_json = json_set(record_json, '$.updatedAt', strftime('%Y-%m-%dT"
        "%H:%M:%SZ', 'now', '-" +
        std::to_string(ago.count()) + " seconds')) WHERE id = '" + id.uuidString() + "'";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    return folderOf(id);
  }
  fs::path folderOf(const UUID& id) const {
    return tree_.places().attachmentsDirectory() / id.uuidString();
  }
  State stateOf(const fs::path& folder) {
    return store_.record(*UUID::fromString(folder.filename().string()))->state;
  }

  testsupport::TemporaryTree tree_;
  const UserDefaults settings_;
  OutboxStore store_;
};

TEST_F(SentFileRetentionTest, OnlySentCapturesPastTheRetentionLoseTheirFilesAndKeepTheirRecords) {
  const fs::path old = capture(State::complete, 48h);
  const fs::path young = capture(State::complete, 1h);
  std::vector<fs::path> unsent;
  for (const State state : {State::queued, State::retryWait, State::blockedUserAction,
                            State::accepted, State::cancelled}) {
    unsent.push_back(capture(state, 48h));
  }
  // A share staging now (no record yet), and a sent capture's folder that is a link elsewhere.
  const fs::path staging = folderOf(UUID());
  fs::create_directories(staging);
  const fs::path linked = capture(State::complete, 48h);
  fs::rename(linked, tree_.root() / "elsewhere");
  fs::create_directory_symlink(tree_.root() / "elsewhere", linked);

  const SentFilesReport report =
      removeSentFiles(store_, tree_.places().storageDirectory(), 24h, now());

  EXPECT_EQ(report.captures, std::vector<UUID>{*UUID::fromString(old.filename().string())});
  EXPECT_EQ(report.freedBytes, 12u);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(stateOf(old), State::complete);
  EXPECT_FALSE(fs::is_empty(young));
  for (const fs::path& folder : unsent) EXPECT_FALSE(fs::is_empty(folder)) << folder;
  EXPECT_TRUE(fs::exists(staging));
  EXPECT_FALSE(fs::is_empty(tree_.root() / "elsewhere"));
  EXPECT_TRUE(fs::is_symlink(linked));
}

TEST_F(SentFileRetentionTest, TheRetentionIsTheUsersSettingAndABadOneRemovesNothingButIsSaidOnce) {
  EXPECT_EQ(sentFileRetention(settings_), 24h);
  std::vector<std::string> complaints;
  SentFileSweeper sweeper(tree_.places(),
                          [&](const std::string& message) { complaints.push_back(message); });
  const fs::path first = capture(State::complete, 2h);
  settings_.set("1d", settingskeys::kSentFileRetention);
  ASSERT_TRUE(sweeper.sweep(store_, now()));
  EXPECT_TRUE(fs::exists(first));
  settings_.set("1h", settingskeys::kSentFileRetention);
  ASSERT_TRUE(sweeper.sweep(store_, now()));
  EXPECT_FALSE(fs::exists(first));

  // Not a duration: nothing goes, and it is said once, naming the setting and its file.
  const fs::path second = capture(State::complete, 2h);
  settings_.set("soon", settingskeys::kSentFileRetention);
  EXPECT_FALSE(sweeper.sweep(store_, now()));
  EXPECT_FALSE(sweeper.sweep(store_, now()));
  ASSERT_EQ(complaints.size(), 1u);
  EXPECT_NE(complaints[0].find("\"kestro.sent-file-retention\" in " +
                               settings_.filePath()->string() + " cannot be read: not a duration"),
            std::string::npos)
      << complaints[0];
  // A number is no duration either (seconds? days?).
  std::ofstream(*settings_.filePath()) << R"({"kestro.sent-file-retention": 3600})";
  EXPECT_FALSE(sweeper.sweep(store_, now()));
  ASSERT_EQ(complaints.size(), 2u);
  EXPECT_NE(complaints[1].find("not text"), std::string::npos) << complaints[1];
  EXPECT_TRUE(fs::exists(second));
  // Put right, then wrong again: said again.
  settings_.set("0", settingskeys::kSentFileRetention);
  ASSERT_TRUE(sweeper.sweep(store_, now()));
  EXPECT_FALSE(fs::exists(second));
  settings_.set("soon", settingskeys::kSentFileRetention);
  EXPECT_FALSE(sweeper.sweep(store_, now()));
  EXPECT_EQ(complaints.size(), 3u);
}

}  // namespace
}  // namespace kestro
