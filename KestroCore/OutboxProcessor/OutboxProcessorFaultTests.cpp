// Every exchange of a capture's way to the server, failing in every way the network and the
// server fail: the record waits in retry_wait with the right code, keeps what was confirmed and
// every staged file, and once the fault has passed the next flush finishes it with one capture
// at the server.
//
// The four exchanges by the five faults make twenty cases. `make test` runs five of them, a
// wrapped diagonal that takes every exchange and every fault at least once; with
// KESTRO_FAULT_MATRIX=full (as `make reliability` sets it) all twenty run.

#include "KestroCore/OutboxProcessor/OutboxProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <tuple>

#include "Testing/OutboxTestSupport.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;
using enum CaptureOutboxState;
using devserver::FaultAction;

// Short, so that a stalled exchange gives up quickly, and still far beyond what an answer of
// the server in this process takes on a loaded machine.
constexpr auto kIdleTimeout = 1s;

struct Fault {
  const char* name;
  // Arms the fault for the next request of the route, just before it is sent.
  std::function<void(OutboxScene&, const std::string& route, int occurrence)> arm;
  const char* codeForJSONExchange;  // initiate, complete and submit
  const char* codeForUpload;        // the file's bytes, which go to a target that need not be ours
};

TEST(OutboxProcessorFaultTest, EveryExchangeFailingInEveryWayIsRetriedToExactlyOneCapture) {
  const auto serverFault = [](FaultAction action) {
    return [action](OutboxScene& scene, const std::string& route, int) {
      scene.server.addFault(fault(route, action));
    };
  };
  const std::vector<Fault> faults{
      {"connection refused",
       [](OutboxScene& scene, const std::string& route, int occurrence) {
         scene.session->refuse(route, occurrence);
       },
       "NETWORK_ERROR", "NETWORK_ERROR"},
      {"reset mid-request", serverFault(FaultAction::reset), "NETWORK_ERROR", "NETWORK_ERROR"},
      {"500 with an envelope",
       [](OutboxScene& scene, const std::string& route, int) {
         scene.server.addFault(serverError(route, 500, "INTERNAL_ERROR", true));
       },
       "INTERNAL_ERROR", "INVALID_RESPONSE"},
      {"502 with an HTML page", serverFault(FaultAction::html), "INVALID_RESPONSE",
       "INVALID_RESPONSE"},
      {"no answer until the idle limit", serverFault(FaultAction::stall), "NETWORK_ERROR",
       "NETWORK_ERROR"},
  };
  // The uploads fail on the second of two files, so the first one's confirmation must survive.
  const std::vector<std::pair<const char*, int>> exchanges{
      {kInitiate, 1}, {kUpload, 1}, {kComplete, 1}, {kSubmit, 0}};

  const char* matrix = std::getenv("KESTRO_FAULT_MATRIX");
  const bool everyCase = matrix != nullptr && std::string(matrix) == "full";
  for (std::size_t row = 0; row < exchanges.size(); ++row) {
    const auto& [route, occurrence] = exchanges[row];
    for (std::size_t column = 0; column < faults.size(); ++column) {
      // The sample: fault i with exchange i mod 4, so the fifth fault wraps to the first row.
      if (!everyCase && column % exchanges.size() != row) continue;
      const Fault& fault = faults[column];
      SCOPED_TRACE(std::string(route) + ", " + fault.name);
      OutboxScene scene(kIdleTimeout);
      const OutboxRecord record =
          enqueueCapture(*scene.store, scene.userId, scene.directory.path(), {70'000, 90'000});
      OutboxProcessor processor(scene.store, scene.api, RetryPolicy(10, 60), {}, scene.clock());
      const std::string failing = route;
      scene.session->setBeforeSend([&, at = occurrence](const std::string& sent, int count) {
        if (sent == failing && count == at) fault.arm(scene, sent, count);
      });

      processor.flush(scene.userId, scene.token);

      const OutboxRecord failed = scene.stored(record.id());
      const std::string code = failing == kUpload ? fault.codeForUpload : fault.codeForJSONExchange;
      EXPECT_EQ(std::tuple(failed.state, failed.resumeState, failed.lastErrorCode,
                           failed.attemptCount, failed.nextRetryAt),
                std::tuple(retryWait, queued, code, 1, scene.now + 10s));
      EXPECT_TRUE(failed.stagedAssets[0].uploadId);
      EXPECT_EQ(failed.stagedAssets[1].uploadId.has_value(), failing == kSubmit);
      EXPECT_TRUE(stagedFilesIntact(failed, scene.directory.path()));
      EXPECT_EQ(scene.stats().accepted(record.id()), 0);

      // The fault has passed (each took one request); the flush at the retry time finishes the
      // record, without sending the confirmed first file again.
      scene.session->setBeforeSend({});
      scene.session->clearRoutes();
      scene.now += 10s;
      processor.flush(scene.userId, scene.token);

      const OutboxRecord done = scene.stored(record.id());
      EXPECT_EQ(done.state, complete);
      EXPECT_EQ(done.stagedAssets[0].uploadId, failed.stagedAssets[0].uploadId);
      ASSERT_EQ(done.capture.assets.size(), 2u);
      EXPECT_EQ(done.capture.assets[1].uploadId, *done.stagedAssets[1].uploadId);
      const auto routes = scene.session->routes();
      EXPECT_EQ(std::count(routes.begin(), routes.end(), std::string(kInitiate)),
                failing == kSubmit ? 0 : 1);
      EXPECT_EQ(scene.stats().accepted(record.id()), 1);
      EXPECT_EQ(scene.stats().replays(record.id()), 0);
      EXPECT_TRUE(stagedFilesIntact(done, scene.directory.path()));
    }
  }
}

}  // namespace
}  // namespace kestro
