#include "KestroCore/Platform/Events/EventWaiter.h"
#include "Testing/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Event = EventWaiter::Event;

TEST(EventWaiterTest, AWakeUpEndsTheWaitWhetherItCameBeforeOrDuringIt) {
  EventWaiter waiter;
  waiter.wake();
  EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::woken);
  // The wake-up was taken: the next wait runs to its deadline.
  EXPECT_EQ(waiter.wait(Clock::now() + 20ms), Event::timedOut);

  // As a stop from another thread does.
  std::thread waker([&waiter] {
    std::this_thread::sleep_for(50ms);
    waiter.wake();
  });
  EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::woken);
  waker.join();
}

TEST(EventWaiterTest, OnlyTheWatchedFileCountsAndADeadlineIsNeverCutShort) {
  const testsupport::TemporaryDirectory temporary("kestro-events");
  const fs::path settings = temporary.path() / "settings.json";
  EventWaiter waiter;
  EXPECT_FALSE(waiter.watchFile(temporary.path() / "missing" / "settings.json"));
  ASSERT_TRUE(waiter.watchFile(settings));

  // Another file in the same directory wakes nobody.
  std::ofstream(temporary.path() / "other.json") << "{}";
  const auto deadline = Clock::now() + 100ms;
  EXPECT_EQ(waiter.wait(deadline), Event::timedOut);
  EXPECT_GE(Clock::now(), deadline);
  EXPECT_EQ(waiter.wait(Clock::now() - 1s), Event::timedOut);

  // Created and replaced by a rename, as the settings suites write, then rewritten in place:
  // each is seen, and the watch survives the renames.
  for (const char* contents : {"{\"a\": \"1\"}", "{\"a\": \"2\"}"}) {
    std::ofstream(temporary.path() / ".replacement") << contents;
    fs::rename(temporary.path() / ".replacement", settings);
    EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::fileChanged);
  }
  std::ofstream(settings) << "{\"a\": \"3\"}";
  EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::fileChanged);
}

}  // namespace
}  // namespace kestro
