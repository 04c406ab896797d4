// A flushing process that ends abruptly — at each step of a capture's way on purpose, and by
// SIGKILL at random moments over and over — and two processes flushing one outbox at once,
// against kestro-devserver running as a process of its own. Whatever happened, a fresh flush
// finishes the work: every capture complete, exactly one capture per client id at the server,
// every staged file in place, and a sound database.
//
// KESTRO_KILL_TRIALS sets the number of random kills: a sample of 20 by default, for every
// `make test`; `make reliability` runs 1000 (Testing/outbox-kill-trials.sh, any number).

#include "KestroCore/OutboxProcessor/OutboxProcessor.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <thread>

#include "Testing/OutboxTestSupport.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;
using enum CaptureOutboxState;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

// Generous: these bound a hang, they time nothing.
constexpr auto kPatience = 60s;

int killTrials() {
  if (const char* text = std::getenv("KESTRO_KILL_TRIALS")) return std::max(1, std::atoi(text));
  return 20;
}

// kestro-devserver as a process of its own, and a signed-in client of it.
struct ServerProcess {
  ServerProcess() : program({KESTRO_DEVSERVER_PROGRAM, "--port", "0"}) {
    const auto line = program.firstLine(kPatience);
    if (!line) throw std::runtime_error("kestro-devserver did not start");
    baseURL = *line;
    token = api().developmentSession("crash@example.com").token;
  }
  KestroAPIClient api(std::shared_ptr<URLSession> session = makeURLSession()) const {
    return KestroAPIClient(*URL::fromString(baseURL), std::move(session), {});
  }
  ServerStats stats() const { return ServerStats::fetch(*makeURLSession(), baseURL); }

  BackgroundProcess program;
  std::string baseURL;
  std::string token;
};

// One outbox in a folder of its own.
struct Outbox {
  explicit Outbox(std::filesystem::path directory)
      : directory(std::move(directory)),
        store(std::make_shared<OutboxStore>(URL::fileURL(this->directory / "kestro.sqlite"))) {}

  std::filesystem::path database() const { return directory / "kestro.sqlite"; }

  std::filesystem::path directory;
  std::shared_ptr<OutboxStore> store;
  UUID userId;
};

// The flushing helper's command line for the outbox, with `extra` options after it.
Strings helper(const ServerProcess& server, const Outbox& outbox, Strings extra) {
  extra.insert(extra.begin(),
               {KESTRO_OUTBOX_FLUSH_HELPER, "--database", outbox.database().string(), "--user",
                outbox.userId.uuidString(), "--token", server.token, "--server", server.baseURL});
  return extra;
}

// Flushes in this process until every record is complete (or a hundred flushes have not done
// it); a failure is due again at the next round.
void finish(const ServerProcess& server, Outbox& outbox,
            std::shared_ptr<URLSession> session = makeURLSession()) {
  SteppingClock time;
  OutboxProcessor processor(outbox.store, server.api(std::move(session)), RetryPolicy(0.001, 0.01),
                            {}, time.clock());
  for (int round = 0; round < 100; ++round) {
    processor.flush(outbox.userId, server.token);
    time.step();
    const auto records = outbox.store->all(outbox.userId);
    if (std::all_of(records.begin(), records.end(),
                    [](const OutboxRecord& record) { return record.state == complete; })) {
      return;
    }
    std::this_thread::sleep_for(2ms);
  }
}

// Everything that must hold once the work is finished. Returns whether the test is still
// without failures.
// With two processes flushing at once, both may upload one file; the capture then names
// whichever upload was confirmed when it was submitted, which the record may since hold another
// of (`oneProcess` false).
bool expectFinished(const ServerProcess& server, Outbox& outbox,
                    const std::vector<OutboxRecord>& enqueued, bool oneProcess = true) {
  const ServerStats stats = server.stats();
  for (const OutboxRecord& original : enqueued) {
    const auto record = outbox.store->record(original.id());
    EXPECT_TRUE(record) << "record " << original.id().uuidString() << " is gone";
    if (!record) continue;
    EXPECT_EQ(record->state, complete);
    EXPECT_EQ(stats.accepted(original.id()), 1);
    // The capture sent names each staged file as it was staged, with the upload that carried it.
    EXPECT_EQ(record->capture.assets.size(), original.stagedAssets.size());
    for (std::size_t index = 0; index < record->capture.assets.size(); ++index) {
      const StagedAsset& staged = original.stagedAssets.at(index);
      const std::optional<UUID> uploadId = oneProcess ? record->stagedAssets.at(index).uploadId
                                                      : record->capture.assets[index].uploadId;
      EXPECT_TRUE(uploadId);
      if (uploadId) {
        EXPECT_EQ(record->capture.assets[index],
                  (CaptureAsset{staged.clientAssetId, *uploadId, staged.filename, staged.mimeType,
                                staged.byteCount, staged.sha256, staged.role}));
      }
    }
    EXPECT_TRUE(stagedFilesIntact(*record, outbox.directory));
  }
  EXPECT_EQ(Database(outbox.database()).integrityCheck(), "ok");
  return !::testing::Test::HasFailure();
}

TEST(OutboxProcessorCrashTest, EndingAtEachStepIsFinishedByTheNextFlushWithoutDuplicates) {
  struct CrashPoint {
    Strings option;
    CaptureOutboxState left;
    std::size_t uploadIdsLeft;
    Strings recovery;  // what the next flush sends
    std::int64_t replays;
  };
  const Strings everything{kInitiate, kUpload, kComplete, kInitiate, kUpload, kComplete, kSubmit};
  const std::vector<CrashPoint> points{
      // Between upload and completion: the server holds an unfinished upload, and a fresh one
      // is begun.
      {{"--crash-after", std::string(kUpload) + "#0"}, uploadingAssets, 0, everything, 0},
      // The second file confirmed, its id not yet stored: only that file goes again.
      {{"--crash-after", std::string(kComplete) + "#1"},
       uploadingAssets,
       1,
       {kInitiate, kUpload, kComplete, kSubmit},
       0},
      // Staged files, every upload confirmed: submitted directly.
      {{"--crash-on-state", "submitting_capture"}, submittingCapture, 2, {kSubmit}, 0},
      // Accepted by the server, not yet stored: the same key again, answered as a replay.
      {{"--crash-after", std::string(kSubmit) + "#0"}, submittingCapture, 2, {kSubmit}, 1},
      // Stored as accepted, not yet complete: finished without the server.
      {{"--crash-on-state", "accepted"}, accepted, 2, {}, 0},
  };

  ServerProcess server;
  TemporaryDirectory root;
  int index = 0;
  for (const CrashPoint& point : points) {
    SCOPED_TRACE(point.option[0] + " " + point.option[1]);
    Outbox outbox(root.path() / std::to_string(index++));
    const OutboxRecord record =
        enqueueCapture(*outbox.store, outbox.userId, outbox.directory, {30'000, 45'000});

    BackgroundProcess flushing(helper(server, outbox, point.option));
    const auto status = flushing.wait(kPatience);
    ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);

    outbox.store = std::make_shared<OutboxStore>(URL::fileURL(outbox.database()));
    const OutboxRecord left = *outbox.store->record(record.id());
    EXPECT_EQ(left.state, point.left);
    EXPECT_EQ(uploadIdCount(left), point.uploadIdsLeft);

    auto session = std::make_shared<InterceptingSession>(makeURLSession());
    finish(server, outbox, session);
    EXPECT_EQ(session->routes(), point.recovery);
    EXPECT_EQ(server.stats().replays(record.id()), point.replays);
    EXPECT_TRUE(expectFinished(server, outbox, {record}));
  }
}

TEST(OutboxProcessorCrashTest, FlushesKilledAtRandomMomentsAreFinishedByTheNextFlush) {
  // Each trial: six captures, four staged files between them, flushed by a process that is
  // killed somewhere between its start and a little after its usual end.
  const std::vector<std::vector<std::size_t>> captures{{}, {48'000}, {}, {16'000, 96'000},
                                                       {}, {8'000}};
  ServerProcess server;
  TemporaryDirectory root;
  int trial = 0;
  const auto prepare = [&] {
    Outbox outbox(root.path() / std::to_string(trial++));
    std::vector<OutboxRecord> records;
    for (const auto& sizes : captures) {
      records.push_back(enqueueCapture(*outbox.store, outbox.userId, outbox.directory, sizes));
    }
    outbox.store.reset();  // the flushing process is the only one holding the database
    return std::pair{std::move(outbox), std::move(records)};
  };
  const auto check = [&](Outbox& outbox, const std::vector<OutboxRecord>& records) {
    outbox.store = std::make_shared<OutboxStore>(URL::fileURL(outbox.database()));
    finish(server, outbox);
    return expectFinished(server, outbox, records);
  };

  // How long an undisturbed flush of one trial's outbox takes, process start included. Kills
  // fall anywhere from the start to a little after that.
  Clock::duration usual;
  {
    auto [outbox, records] = prepare();
    const auto start = Clock::now();
    BackgroundProcess flushing(helper(server, outbox, {"--until-done"}));
    const auto status = flushing.wait(kPatience);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    usual = Clock::now() - start;
    ASSERT_TRUE(check(outbox, records));
  }

  std::mt19937_64 random(std::random_device{}());
  std::uniform_int_distribution<std::int64_t> delay(
      0, std::chrono::duration_cast<std::chrono::microseconds>(usual * 11 / 10).count());
  for (int kill = 0; kill < killTrials(); ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    auto [outbox, records] = prepare();
    {
      BackgroundProcess flushing(helper(server, outbox, {"--until-done"}));
      std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
      flushing.kill(SIGKILL);
      ASSERT_TRUE(flushing.wait(kPatience).has_value());
    }
    ASSERT_TRUE(check(outbox, records));
  }
}

TEST(OutboxProcessorCrashTest, TwoProcessesFlushingOneOutboxSubmitEachCaptureOnce) {
  ServerProcess server;
  TemporaryDirectory root;
  Outbox outbox(root.path());
  std::vector<OutboxRecord> records;
  for (int index = 0; index < 30; ++index) {
    std::vector<std::size_t> sizes;
    if (index % 3 == 0) sizes.push_back(32'000);
    if (index % 5 == 0) sizes.push_back(12'000);
    records.push_back(enqueueCapture(*outbox.store, outbox.userId, outbox.directory, sizes));
  }

  {
    BackgroundProcess first(helper(server, outbox, {"--until-done"}));
    BackgroundProcess second(helper(server, outbox, {"--until-done"}));
    for (BackgroundProcess* flushing : {&first, &second}) {
      const auto status = flushing->wait(2 * kPatience);
      EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    }
  }
  // Both stopped once they saw every record complete; a last flush finds nothing to do.
  auto session = std::make_shared<InterceptingSession>(makeURLSession());
  finish(server, outbox, session);
  EXPECT_EQ(session->routes(), Strings{});
  EXPECT_TRUE(expectFinished(server, outbox, records, false));
}

}  // namespace
}  // namespace kestro
