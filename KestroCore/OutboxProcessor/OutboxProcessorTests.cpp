// The processor's walk against kestro-devserver in this process, on real database files: what it
// sends and stores, in which order, how failures are recorded and retried, what it leaves alone,
// and what its observer hears.

#include "KestroCore/OutboxProcessor/OutboxProcessor.h"

#include <gtest/gtest.h>

#include <stop_token>
#include <thread>
#include <tuple>

#include "Testing/OutboxTestSupport.h"
#include "Testing/SmallDisk.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;
using enum CaptureOutboxState;
using Strings = std::vector<std::string>;

const RetryPolicy kPolicy(10, 35);

std::vector<CaptureOutboxState> states(const std::vector<OutboxRecord>& records) {
  std::vector<CaptureOutboxState> result;
  for (const OutboxRecord& record : records) result.push_back(record.state);
  return result;
}

// What a failure leaves: the state, where it resumes, the code and the attempts counted.
using Retry = std::tuple<CaptureOutboxState, std::optional<CaptureOutboxState>,
                         std::optional<std::string>, std::int64_t>;
Retry retryOf(const OutboxRecord& record) {
  return {record.state, record.resumeState, record.lastErrorCode, record.attemptCount};
}

class OutboxProcessorTest : public ::testing::Test {
 protected:
  OutboxProcessor processor(OutboxProcessorObserver observer = {}) {
    return OutboxProcessor(scene_.store, scene_.api, kPolicy, std::move(observer), scene_.clock());
  }
  void flush(OutboxProcessor& processor) { processor.flush(scene_.userId, scene_.token); }
  OutboxRecord enqueue(const std::vector<std::size_t>& fileSizes) {
    return enqueueCapture(*scene_.store, scene_.userId, scene_.directory.path(), fileSizes);
  }

  OutboxScene scene_;
  Database database_{scene_.directory.path() / "kestro.sqlite"};
};

TEST_F(OutboxProcessorTest, UploadsTheServerNoLongerHasAreSentAgainAfterItRefusesThem) {
  const OutboxRecord record = enqueue({30'000, 40'000});
  scene_.server.addFault(serverError(kSubmit, 503, "UNAVAILABLE", true));
  auto processor = this->processor();
  flush(processor);
  OutboxRecord waiting = scene_.stored(record.id());
  ASSERT_EQ(uploadIdCount(waiting), 2u);

  // The server forgets both uploads (they expired, or it was reset): the ids the record holds
  // now name nothing it has.
  std::vector<StagedAsset> assets = waiting.stagedAssets;
  for (StagedAsset& asset : assets) asset.uploadId = UUID();
  scene_.store->updateAssets(record.id(), assets);
  scene_.now = *waiting.nextRetryAt;
  flush(processor);
  waiting = scene_.stored(record.id());
  EXPECT_EQ(retryOf(waiting), (Retry{retryWait, uploadingAssets, "UPLOAD_NOT_COMPLETED", 2}));
  EXPECT_EQ(uploadIdCount(waiting), 0u);
  // Not a refusal to show the user: the next attempt is a different one.
  EXPECT_TRUE(scene_.store->lastFailures(scene_.userId).at(record.id()).details.retryable);

  scene_.session->clearRoutes();
  scene_.now = *waiting.nextRetryAt;
  flush(processor);
  EXPECT_EQ(scene_.session->routes(),
            (Strings{kInitiate, kUpload, kComplete, kInitiate, kUpload, kComplete, kSubmit}));
  EXPECT_EQ(scene_.stored(record.id()).state, complete);
  EXPECT_EQ(scene_.stats().accepted(record.id()), 1);
}

TEST_F(OutboxProcessorTest, FailuresThatCannotBeRecordedOnAFullDiskAreStillHeard) {
  testsupport::SmallDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs: " << disk.reason();
  const auto store = std::make_shared<OutboxStore>(URL::fileURL(disk.path() / "kestro.sqlite"));
  const UUID ids[] = {enqueueCapture(*store, scene_.userId, disk.path(), {}).id(),
                      enqueueCapture(*store, scene_.userId, disk.path(), {}).id()};
  disk.fill();

  std::vector<OutboxFailure> heard;
  OutboxProcessor processor(
      store, scene_.api, kPolicy,
      {.recordFailed = [&](const OutboxFailure& failure) { heard.push_back(failure); }},
      scene_.clock());
  processor.flush(scene_.userId, scene_.token);

  // Nothing could be stored, so nothing was sent, and each record stays where it was.
  EXPECT_EQ(scene_.session->routes(), Strings{});
  ASSERT_EQ(heard.size(), 2u);
  for (std::size_t index = 0; index < 2; ++index) {
    const OutboxFailure& failure = heard[index];
    EXPECT_EQ(std::tuple(failure.recordId, failure.code, failure.recorded, failure.during),
              std::tuple(ids[index], "CLIENT_ERROR", false, queued));
    EXPECT_NE(failure.notRecordedBecause.find("full"), std::string::npos) << failure.message;
    EXPECT_EQ(retryOf(*store->record(ids[index])), (Retry{queued, std::nullopt, std::nullopt, 0}));
  }

  disk.free();
  heard.clear();
  processor.flush(scene_.userId, scene_.token);
  EXPECT_TRUE(heard.empty());
  EXPECT_EQ(states(store->all(scene_.userId)), (std::vector{complete, complete}));
}

TEST_F(OutboxProcessorTest, RefusalsAreRecordedAsRetriesThatBackOffUpToTheCapInWholeSeconds) {
  // Retryable server errors are the fault matrix's; a refusal the server calls final takes the
  // same way. The first failure is recorded at a fractional time: the record JSON can only show
  // whole seconds, so the retry time is rounded up to one that `ready` (which compares the
  // database column) agrees with.
  scene_.now += 300ms;
  const OutboxRecord record = enqueue({});
  scene_.server.addFault(serverError(kSubmit, 422, "CAPTURE_REFUSED", false, 100));
  std::vector<OutboxFailure> heard;
  auto processor = this->processor(
      {.recordFailed = [&](const OutboxFailure& failure) { heard.push_back(failure); }});
  std::int64_t attempts = 0;
  for (const auto expected : {10'700ms, 20'000ms, 35'000ms, 35'000ms, 35'000ms}) {
    flush(processor);
    const OutboxRecord failed = scene_.stored(record.id());
    // Picked up in retry_wait, it resumes where that wait was to resume.
    EXPECT_EQ(retryOf(failed), (Retry{retryWait, queued, "CAPTURE_REFUSED", ++attempts}));
    ASSERT_EQ(failed.nextRetryAt, scene_.now + expected);
    EXPECT_TRUE(scene_.store->ready(scene_.userId, *failed.nextRetryAt - 1ms, 20).empty());
    scene_.now = *failed.nextRetryAt;
    // The observer hears what the server said, and the store keeps it beside the record.
    const std::string message = "A fault injected by kestro-devserver";
    EXPECT_EQ(heard.back(), (OutboxFailure{record.id(), "CAPTURE_REFUSED", message, false, true, "",
                                           submittingCapture}));
    const OutboxLastFailure kept = scene_.store->lastFailures(scene_.userId).at(record.id());
    EXPECT_EQ(kept.details, (OutboxFailureDetails{message, false}));
    EXPECT_TRUE(kept.describes(failed));
  }

  scene_.server.clearFaults();
  flush(processor);
  EXPECT_EQ(scene_.stored(record.id()).state, complete);
  EXPECT_EQ(scene_.stored(record.id()).attemptCount, 5);
}

TEST_F(OutboxProcessorTest, AStopEndsTheFlushBetweenRecordsAndCancelsAnUploadWithoutAFailure) {
  // Stopped once the first of three records is complete: the others are not touched.
  std::vector<UUID> ids;
  for (int index = 0; index < 3; ++index) ids.push_back(enqueue({}).id());
  std::stop_source first;
  auto processor = this->processor({.stateChanged = [&](const OutboxStateChange& change) {
    if (change.to == complete) first.request_stop();
  }});
  processor.flush(scene_.userId, scene_.token, first.get_token());
  EXPECT_EQ(scene_.session->routes(), Strings{kSubmit});
  EXPECT_EQ(states(scene_.store->all(scene_.userId)), (std::vector{complete, queued, queued}));

  // Stopped while a file is on its way: the upload ends there, and the record stays as its
  // last stored step left it, with no failure counted and no backoff.
  for (const UUID& id : ids) scene_.store->markComplete(id);
  const OutboxRecord large = enqueue({8'000'000});
  scene_.session->clearRoutes();
  std::stop_source second;
  scene_.session->setBeforeSend([&](const std::string& route, int) {
    if (route == kUpload) second.request_stop();
  });
  auto uploading = this->processor();
  uploading.flush(scene_.userId, scene_.token, second.get_token());
  scene_.session->setBeforeSend({});
  EXPECT_EQ(scene_.session->routes(), (Strings{kInitiate, kUpload}));
  const OutboxRecord stopped = scene_.stored(large.id());
  EXPECT_EQ(retryOf(stopped), (Retry{uploadingAssets, std::nullopt, std::nullopt, 0}));
  EXPECT_EQ(stopped.nextRetryAt, std::nullopt);

  // The next flush picks it up at once and finishes it.
  flush(uploading);
  EXPECT_EQ(scene_.stored(large.id()).state, complete);
  EXPECT_EQ(scene_.stats().accepted(large.id()), 1);
}

TEST_F(OutboxProcessorTest, FailuresOfRecordsFinishedOrDeletedMeanwhileLeaveThemAloneAndGoOn) {
  const OutboxRecord finished = enqueue({});
  const OutboxRecord deleted = enqueue({});
  const OutboxRecord last = enqueue({});
  // Another process finishes the first record and deletes the second while their submissions
  // are under way, and both submissions fail.
  OutboxStore other(scene_.databaseURL());
  scene_.session->setBeforeSend([&](const std::string&, int occurrence) {
    if (occurrence == 0) other.markComplete(finished.id());
    if (occurrence == 1) {
      database_.execute("DELETE FROM outbox WHERE id = '" + deleted.id().uuidString() + "'");
    }
    if (occurrence < 2) scene_.server.addFault(serverError(kSubmit, 503, "UNAVAILABLE", true));
  });
  auto processor = this->processor();
  flush(processor);

  EXPECT_EQ(retryOf(scene_.stored(finished.id())),
            (Retry{complete, std::nullopt, std::nullopt, 0}));
  EXPECT_EQ(scene_.store->record(deleted.id()), std::nullopt);
  EXPECT_EQ(scene_.stored(last.id()).state, complete);
  EXPECT_EQ(scene_.session->routes(), (Strings{kSubmit, kSubmit, kSubmit}));
}

TEST_F(OutboxProcessorTest, UnreadableBatchChangesNothing) {
  enqueue({});
  const OutboxRecord damaged = enqueue({10});
  database_.execute("UPDATE outbox SET record_json = '{\"state\": \"queued\"' WHERE id = '" +
                    damaged.id().uuidString() + "'");
  const auto rowsBefore = database_.rows("SELECT * FROM outbox ORDER BY id");

  auto processor = this->processor();
  flush(processor);

  EXPECT_EQ(database_.rows("SELECT * FROM outbox ORDER BY id"), rowsBefore);
  EXPECT_EQ(scene_.session->routes(), Strings{});
}

TEST_F(OutboxProcessorTest, RecordsTheServerAcceptedAreFinishedWithoutCallingItAgain) {
  // A process that ended between acceptance and completion, with and without staged files, and one
  // whose completion failed after acceptance: the server holds each capture. Behind them, more such
  // records than one batch holds, all older than a new capture that must not starve.
  const std::vector<OutboxRecord> held{enqueue({}), enqueue({1000}), enqueue({})};
  for (const OutboxRecord& record : held) {
    const CaptureAccepted accepted = scene_.api.submit(record.capture, scene_.token);
    scene_.store->markAccepted(record.id(), accepted.captureId, accepted.itemId);
  }
  scene_.store->markRetry(held[2].id(), "CLIENT_ERROR", queued, scene_.now);
  for (int index = 0; index < 25; ++index) {
    scene_.store->markAccepted(enqueue({}).id(), UUID(), UUID());
  }
  enqueue({});
  scene_.session->clearRoutes();

  auto processor = this->processor();
  flush(processor);
  flush(processor);
  EXPECT_EQ(scene_.session->routes(), Strings{kSubmit});
  EXPECT_EQ(states(scene_.store->all(scene_.userId)), std::vector(29, complete));
  for (const OutboxRecord& record : held) {
    EXPECT_EQ(scene_.stored(record.id()).serverCaptureId,
              scene_.api.submit(record.capture, scene_.token).captureId);
    EXPECT_EQ(scene_.stats().accepted(record.id()), 1);
  }
}

TEST_F(OutboxProcessorTest, FlushesOfOneProcessorNeverOverlap) {
  std::vector<UUID> ids;
  for (int index = 0; index < 6; ++index) ids.push_back(enqueue({}).id());
  // Slow submissions leave a second flush every chance to pick up the same records.
  scene_.session->setBeforeSend([](const std::string&, int) { std::this_thread::sleep_for(5ms); });
  auto processor = this->processor();
  std::thread second([&] { flush(processor); });
  flush(processor);
  second.join();
  const ServerStats stats = scene_.stats();
  for (const UUID& id : ids) {
    EXPECT_EQ(std::tuple(scene_.stored(id).state, scene_.stored(id).attemptCount,
                         stats.accepted(id) + stats.replays(id)),
              std::tuple(complete, 0, 1));
  }
}

TEST_F(OutboxProcessorTest, ObserverHearsStoredStateChangesAndProgressAndItsThrowsChangeNothing) {
  // Every call of the observer throws once it has taken note: the walk goes on regardless.
  const OutboxRecord record = enqueue({1'500'000, 10});
  scene_.server.addFault(serverError(kSubmit, 503, "UNAVAILABLE", true));
  OutboxStore other(scene_.databaseURL());
  std::vector<OutboxStateChange> changes;
  std::vector<OutboxUploadProgress> progress;
  int failures = 0;
  auto processor = this->processor(OutboxProcessorObserver{
      .stateChanged =
          [&](const OutboxStateChange& change) {
            changes.push_back(change);
            EXPECT_EQ(other.record(change.recordId)->state, change.to);  // stored when told
            throw std::runtime_error("no");
          },
      .uploadProgressed =
          [&](const OutboxUploadProgress& report) {
            progress.push_back(report);
            throw 42;
          },
      .recordFailed = [&](const OutboxFailure&) { ++failures, throw std::runtime_error("no"); },
  });
  flush(processor);
  scene_.now += 10s;
  flush(processor);

  const UUID id = record.id();
  const std::vector<OutboxStateChange> expected{
      {id, queued, preparingAssets},
      {id, preparingAssets, uploadingAssets},
      {id, uploadingAssets, submittingCapture},
      {id, submittingCapture, retryWait, "UNAVAILABLE"},
      {id, retryWait, queued},
      {id, queued, preparingAssets},
      {id, preparingAssets, uploadingAssets},
      {id, uploadingAssets, submittingCapture},
      {id, submittingCapture, accepted},
      {id, accepted, complete},
  };
  EXPECT_EQ(changes, expected);
  EXPECT_EQ(failures, 1);

  // Only the first flush uploads; each file's reports grow to its size, first file first.
  std::vector<std::pair<UUID, std::uint64_t>> sent;  // each file heard, with its last report
  for (const OutboxUploadProgress& report : progress) {
    if (sent.empty() || sent.back().first != report.clientAssetId) {
      sent.emplace_back(report.clientAssetId, 0);
    }
    EXPECT_GE(report.bytesSent, sent.back().second);
    EXPECT_EQ(report.recordId, id);
    EXPECT_TRUE(report.bytesToSend == 0 ||
                report.bytesToSend == (sent.size() == 1 ? 1'500'000u : 10u));
    sent.back().second = report.bytesSent;
  }
  EXPECT_EQ(sent, (std::vector<std::pair<UUID, std::uint64_t>>{
                      {record.stagedAssets[0].clientAssetId, 1'500'000},
                      {record.stagedAssets[1].clientAssetId, 10}}));
  EXPECT_EQ(scene_.stats().accepted(id), 1);
}

}  // namespace
}  // namespace kestro
