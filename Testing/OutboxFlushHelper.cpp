// kestro-outbox-flush-helper: flushes one user's outbox in a process of its own, for the tests
// that kill a flushing process, end one at a chosen step, or run two at once.
//
//   kestro-outbox-flush-helper --database FILE --user UUID --token TOKEN --server URL
//       [--until-done] [--crash-before ROUTE#N] [--crash-after ROUTE#N] [--crash-on-state STATE]
//
// One flush, or with --until-done one flush after another until every record of the user is
// complete (exit status 0; 1 if that takes longer than a minute). The --crash options end the
// process with SIGKILL, as abruptly as a kill from outside, at a known point: just before the
// N-th request (from 0) of a route is sent ("POST /v1/captures#0"), just after its answer came
// back and before the processor has seen it, or just after the processor stored a record's move
// into STATE ("accepted"). A failure is due again at the next flush: the processor's clock
// moves a second ahead after each one.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <CLI/CLI.hpp>

#include "KestroCore/OutboxProcessor/OutboxProcessor.h"
#include "Testing/OutboxTestSupport.h"

namespace {

using namespace kestro;
using namespace std::chrono_literals;

constexpr auto kUntilDoneLimit = 60s;

[[noreturn]] void crash() {
  ::kill(::getpid(), SIGKILL);
  std::_Exit(1);  // not reached
}

// "POST /v1/captures#2" as the route and its occurrence.
std::optional<std::pair<std::string, int>> crashPoint(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const auto hash = text.rfind('#');
  if (hash == std::string::npos) throw std::invalid_argument("expected ROUTE#N: " + text);
  return std::pair{text.substr(0, hash), std::stoi(text.substr(hash + 1))};
}

bool everyRecordComplete(OutboxStore& store, const UUID& user) {
  for (const OutboxRecord& record : store.all(user)) {
    if (record.state != CaptureOutboxState::complete) return false;
  }
  return true;
}

int run(int argc, char** argv) {
  CLI::App app{"Flushes one user's outbox, for the outbox processor's tests"};
  std::string database;
  std::string userText;
  std::string token;
  std::string server;
  bool untilDone = false;
  std::string crashBefore;
  std::string crashAfter;
  std::string crashOnState;
  app.add_option("--database", database, "the outbox database file")->required();
  app.add_option("--user", userText, "the user whose records are flushed")->required();
  app.add_option("--token", token, "the bearer token")->required();
  app.add_option("--server", server, "the server's base URL")->required();
  app.add_flag("--until-done", untilDone, "flush until every record is complete");
  app.add_option("--crash-before", crashBefore, "ROUTE#N: killed just before that request");
  app.add_option("--crash-after", crashAfter, "ROUTE#N: killed just after its answer");
  app.add_option("--crash-on-state", crashOnState, "killed once a record is stored in STATE");
  CLI11_PARSE(app, argc, argv);

  const auto user = UUID::fromString(userText);
  const auto serverURL = URL::fromString(server);
  if (!user || !serverURL) {
    std::cerr << "kestro-outbox-flush-helper: --user needs a UUID and --server a URL\n";
    return 2;
  }
  const auto before = crashPoint(crashBefore);
  const auto after = crashPoint(crashAfter);
  std::optional<CaptureOutboxState> crashState;
  if (!crashOnState.empty()) {
    crashState = fromRawValue<CaptureOutboxState>(crashOnState);
    if (!crashState) {
      std::cerr << "kestro-outbox-flush-helper: no state named " << crashOnState << "\n";
      return 2;
    }
  }

  auto session = std::make_shared<testsupport::InterceptingSession>(makeURLSession());
  const auto at = [](const std::optional<std::pair<std::string, int>>& point) {
    return [point](const std::string& route, int occurrence) {
      if (point && point->first == route && point->second == occurrence) crash();
    };
  };
  session->setBeforeSend(at(before));
  session->setAfterAnswer(at(after));

  OutboxProcessorObserver observer;
  if (crashState) {
    observer.stateChanged = [state = *crashState](const OutboxStateChange& change) {
      if (change.to == state) crash();
    };
  }
  auto store = std::make_shared<OutboxStore>(URL::fileURL(database));
  testsupport::SteppingClock time;
  OutboxProcessor processor(store, KestroAPIClient(*serverURL, session, {}),
                            RetryPolicy(0.001, 0.01), observer, time.clock());

  processor.flush(*user, token);
  time.step();
  if (!untilDone) return 0;
  const auto deadline = std::chrono::steady_clock::now() + kUntilDoneLimit;
  while (!everyRecordComplete(*store, *user)) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::cerr << "kestro-outbox-flush-helper: records still not complete after a minute\n";
      return 1;
    }
    std::this_thread::sleep_for(1ms);
    processor.flush(*user, token);
    time.step();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "kestro-outbox-flush-helper: " << error.what() << "\n";
    return 1;
  }
}
