#include "KestroCore/Application/OutboxMaintenance.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/OutboxStore/AssetStager.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using State = CaptureOutboxState;

Date now() { return std::chrono::system_clock::now(); }

// A real outbox in a temporary tree, with files staged the way the share target stages them.
class OutboxMaintenanceTest : public ::testing::Test {
 protected:
  OutboxMaintenanceTest()
      : storage_(tree_.places().storageDirectory()),
        attachments_(storage_ / "attachments"),
        store_(tree_.places().databaseURL()) {}

  fs::path writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  // Enqueues a capture for `user` with one staged file per name, staged into its own directory.
  OutboxRecord enqueue(const UUID& user, const std::vector<std::string>& names) {
    const UUID id;
    std::vector<StagedAsset> assets;
    for (const std::string& name : names) {
      const fs::path source = writeFile(tree_.root() / "sources" / name, "contents of " + name);
      assets.push_back(AssetStager::stage(URL::fileURL(source),
                                          URL::fileURL(attachments_ / id.uuidString()),
                                          "text/plain", AssetRole::attachment));
    }
    CaptureEnvelope capture = testsupport::outboxRecord(State::queued).capture;
    capture.clientCaptureId = id;
    return store_.enqueue(user, capture, assets);
  }

  // Moves a record's last write back in time, as if it had finished long ago.
  void age(const UUID& id, std::chrono::seconds by) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((storage_ / "kestro.sqlite").c_str(), &db), SQLITE_OK);
    const std::string sql = "UPDATE outbox SET updated_at = updated_at - " +
                            std::to_string(by.count()) + " WHERE id = '" + id.uuidString() + "'";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }

  // Sets the modification time of `path` and everything under it.
  static void backdate(const fs::path& path, std::chrono::seconds by) {
    const auto time = fs::file_time_type::clock::now() - by;
    if (fs::is_directory(path)) {
      for (const auto& entry : fs::recursive_directory_iterator(path)) {
        fs::last_write_time(entry.path(), time);
      }
    }
    fs::last_write_time(path, time);
  }

  static fs::path fileOf(const StagedAsset& asset) { return *asset.localURL.filePath(); }

  static std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // What retryNow (setAside when `aside`) says when it refuses `record`: always a plain failure.
  std::string refusal(const OutboxRecord& record, bool aside = false) {
    const auto refused = testsupport::refusalOf(
        [&] { aside ? setAside(store_, record) : retryNow(store_, record, now()); });
    EXPECT_EQ(refused.status, ExitStatus::failure);
    return refused.message;
  }

  testsupport::TemporaryTree tree_;
  const fs::path storage_;
  const fs::path attachments_;
  OutboxStore store_;
  const UUID alice_;
};

TEST_F(OutboxMaintenanceTest, PruneRemovesExactlyWhatItSays) {
  // Sent long ago: goes, with its files and directory.
  const OutboxRecord sent = enqueue(alice_, {"a.txt", "b.txt"});
  store_.markComplete(sent.id());
  // Sent recently: stays.
  const OutboxRecord recent = enqueue(alice_, {"recent.txt"});
  store_.markComplete(recent.id());
  // In flight, however old its files: stays whole.
  const OutboxRecord inFlight = enqueue(alice_, {"big.bin"});
  store_.markRetry(inFlight.id(), "NETWORK_ERROR", State::uploadingAssets, now() + 1h);
  // A record that claims a file outside the attachments: the record goes, the file stays.
  const fs::path outside = writeFile(tree_.root() / "outside.txt", "not ours");
  CaptureEnvelope capture = testsupport::outboxRecord(State::queued).capture;
  const OutboxRecord stray =
      store_.enqueue(alice_, capture,
                     {StagedAsset{UUID(), URL::fileURL(outside), "outside.txt", "text/plain", 8,
                                  std::string(64, 'a'), AssetRole::primary}});
  store_.markComplete(stray.id());
  for (const UUID& id : {sent.id(), inFlight.id(), stray.id()}) age(id, 3h);
  backdate(attachments_, 3h);

  // What failed shares left: old ones go, a fresh one stays, as does anything not ours.
  const fs::path abandoned = attachments_ / UUID().uuidString();
  writeFile(abandoned / "orphan.pdf", "orphan");
  const fs::path partial =
      attachments_ / inFlight.id().uuidString() / ("." + UUID().uuidString() + ".partial");
  writeFile(partial, "half a file");
  const fs::path notOurs = writeFile(attachments_ / "notes" / "keep.txt", "mine");
  for (const fs::path& old : {abandoned, partial, attachments_ / "notes"}) backdate(old, 3h);
  // A staging directory is as young as the newest thing in it.
  const fs::path young = attachments_ / UUID().uuidString();
  writeFile(young / "staging-right-now.bin", "in progress");
  backdate(young, 3h);
  fs::last_write_time(young / "staging-right-now.bin", fs::file_time_type::clock::now());
  const fs::path linkTarget = writeFile(tree_.root() / "elsewhere" / "precious.txt", "precious");
  const fs::path link = attachments_ / UUID().uuidString();
  fs::create_directory_symlink(linkTarget.parent_path(), link);
  // A sent capture whose directory was replaced by a link: what the link leads to stays.
  const OutboxRecord relinked = enqueue(alice_, {"precious.txt"});
  store_.markComplete(relinked.id());
  age(relinked.id(), 3h);
  const fs::path relinkedDirectory = attachments_ / relinked.id().uuidString();
  fs::remove_all(relinkedDirectory);
  fs::create_directory_symlink(linkTarget.parent_path(), relinkedDirectory);

  const PruneReport report = pruneOutbox(store_, storage_, 1h, now());

  EXPECT_EQ(std::set<UUID>(report.removedRecords.begin(), report.removedRecords.end()),
            (std::set<UUID>{sent.id(), stray.id(), relinked.id()}));
  EXPECT_FALSE(store_.record(sent.id()));
  for (const StagedAsset& asset : sent.stagedAssets) EXPECT_FALSE(fs::exists(fileOf(asset)));
  EXPECT_FALSE(fs::exists(attachments_ / sent.id().uuidString()));
  EXPECT_TRUE(store_.record(inFlight.id()) && store_.record(recent.id()));
  for (const fs::path& kept :
       {outside, fileOf(recent.stagedAssets[0]), fileOf(inFlight.stagedAssets[0]), notOurs,
        young / "staging-right-now.bin", linkTarget}) {
    EXPECT_TRUE(fs::exists(kept)) << kept;
  }
  EXPECT_TRUE(fs::is_symlink(link) && fs::is_symlink(relinkedDirectory));
  EXPECT_FALSE(fs::exists(abandoned) || fs::exists(partial));

  // Two staged files and one partial file; the sent record's directory and the abandoned one.
  EXPECT_EQ(report.removedFiles.size(), 3u);
  EXPECT_EQ(report.removedDirectories.size(), 2u);
  // "contents of ?.txt" twice, "half a file" and "orphan".
  EXPECT_EQ(report.freedBytes, 2 * 17 + 11 + 6u);
  EXPECT_TRUE(abandonedStagingDirectories(tree_.root() / "missing", {}, now()).empty());
}

TEST_F(OutboxMaintenanceTest, ASetAsideCaptureIsNeverSentNorPrunedAndCanBeExported) {
  const OutboxRecord refused = enqueue(alice_, {"draft.txt"});
  store_.markRetry(refused.id(), "VALIDATION_ERROR", State::queued, now(),
                   OutboxFailureDetails{"the title is too long", false});
  const OutboxRecord aside = setAside(store_, *store_.record(refused.id()));
  EXPECT_TRUE(store_.ready(alice_, now() + 24h, 20).empty());
  // However old, a prune of all that is sent leaves it and its file, as it leaves a staging under
  // way; an export takes both.
  age(refused.id(), 24h * 365);
  const OutboxRecord sent = enqueue(alice_, {"a.txt"});
  store_.markComplete(sent.id());
  const fs::path staging = attachments_ / UUID().uuidString();
  writeFile(staging / ("." + UUID().uuidString() + ".partial"), "being written");
  EXPECT_EQ(pruneOutbox(store_, storage_, 0s, now() + 1s).removedRecords,
            std::vector<UUID>{sent.id()});
  EXPECT_TRUE(fs::exists(staging));
  EXPECT_FALSE(fs::exists(fileOf(sent.stagedAssets[0])));
  ASSERT_TRUE(store_.record(refused.id()).has_value());
  EXPECT_TRUE(fs::exists(fileOf(aside.stagedAssets[0])));
  EXPECT_EQ(exportRecord(*store_.record(refused.id()), tree_.root() / "kept").copiedFiles.size(),
            1u);
}

// Retrying a waiting capture at once kestro's own tests run end to end; these are the refusals of
// retrying and setting aside, which leave the record as it was.
TEST_F(OutboxMaintenanceTest, RetryAndSetAsideRefuseWhatTheyCannotChangeAndSaySo) {
  const OutboxRecord blocked = enqueue(alice_, {});
  store_.transition(blocked.id(), State::blockedUserAction);
  EXPECT_NE(refusal(*store_.record(blocked.id())).find("kestro outbox export"), std::string::npos);
  // Sent is sent, although the state table would let an accepted record be set aside.
  const OutboxRecord sent = enqueue(alice_, {});
  store_.markAccepted(sent.id(), UUID(), UUID());
  EXPECT_NE(refusal(*store_.record(sent.id()), true).find("was sent"), std::string::npos);
  EXPECT_EQ(store_.record(sent.id())->state, State::accepted);
  // Stale knowledge: the caller saw it waiting, but another process sent it meanwhile.
  const OutboxRecord waiting = enqueue(alice_, {});
  store_.markRetry(waiting.id(), "SERVER_BUSY", State::submittingCapture, now() + 1h);
  const OutboxRecord stale = *store_.record(waiting.id());
  store_.markComplete(waiting.id());
  EXPECT_NE(refusal(stale).find("it is sent"), std::string::npos);
  EXPECT_NE(refusal(stale, true).find("was sent"), std::string::npos);
  EXPECT_EQ(store_.record(waiting.id())->state, State::complete);
}

TEST_F(OutboxMaintenanceTest, AnExportHoldsTheRecordAndItsFilesAndOverwritesNothing) {
  // As stored: record JSON keeps whole seconds.
  const OutboxRecord record =
      *store_.record(enqueue(alice_, {"same.txt", "same.txt", "gone.txt"}).id());
  fs::remove(fileOf(record.stagedAssets[2]));
  const fs::path destination = tree_.root() / "rescued";

  // A permissive umask, and staged files others could read: the export is the user's alone all
  // the same, like the outbox it comes from.
  for (const StagedAsset& asset : {record.stagedAssets[0], record.stagedAssets[1]}) {
    fs::permissions(fileOf(asset), fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::add);
  }
  const mode_t oldMask = ::umask(002);
  const ExportReport report = exportRecord(record, destination);
  ::umask(oldMask);
  EXPECT_EQ(report.directory, destination / ("kestro-capture-" + record.id().uuidString()));
  for (const fs::path& folder : {destination, report.directory, report.directory / "files"}) {
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
  }
  for (const fs::path& file : {report.recordFile, report.directory / "files" / "same.txt",
                               report.directory / "files" / "same (2).txt"}) {
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << file;
  }
  EXPECT_EQ(decodeJSONString<OutboxRecord>(contentsOf(report.recordFile)), record);
  EXPECT_EQ(report.copiedFiles,
            (std::vector<fs::path>{report.directory / "files" / "same.txt",
                                   report.directory / "files" / "same (2).txt"}));
  EXPECT_EQ(contentsOf(report.copiedFiles[1]), "contents of same.txt");
  EXPECT_EQ(report.missingFiles, std::vector<std::string>{"gone.txt"});
  EXPECT_EQ(testsupport::refusalOf([&] { exportRecord(record, destination); }).status,
            ExitStatus::failure);
}

}  // namespace
}  // namespace kestro
