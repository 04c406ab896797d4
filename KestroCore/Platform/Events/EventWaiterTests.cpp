#include "KestroCore/Platform/Events/EventWaiter.h"
#include "Testing/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Event = EventWaiter::Event;

class EventWaiterTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = temporary_.path(); }

  // Writes `file` the way the settings suites do: a temporary file renamed over it.
  void replace(const fs::path& file, const std::string& contents) const {
    const fs::path temporary = root_ / ".replacement";
    std::ofstream(temporary) << contents;
    fs::rename(temporary, file);
  }

  testsupport::TemporaryDirectory temporary_{"kestro-events"};
  fs::path root_;
};

TEST_F(EventWaiterTest, AWakeUpEndsTheWaitWhetherItCameBeforeOrDuring) {
  EventWaiter waiter;
  waiter.wake();
  EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::woken);

  std::thread waker([&] {
    std::this_thread::sleep_for(50ms);
    waiter.wake();
  });
  EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::woken);
  waker.join();
  // The wake-up was taken: the next wait runs to its deadline.
  EXPECT_EQ(waiter.wait(Clock::now() + 20ms), Event::timedOut);
}

TEST_F(EventWaiterTest, ADeadlineIsNeverCutShort) {
  EventWaiter waiter;
  ASSERT_TRUE(waiter.watchFile(root_ / "settings.json"));
  const auto deadline = Clock::now() + 100ms;
  EXPECT_EQ(waiter.wait(deadline), Event::timedOut);
  EXPECT_GE(Clock::now(), deadline);
  EXPECT_EQ(waiter.wait(Clock::now() - 1s), Event::timedOut);
}

TEST_F(EventWaiterTest, OnlyTheWatchedFileCounts) {
  EventWaiter waiter;
  const fs::path settings = root_ / "settings.json";
  ASSERT_TRUE(waiter.watchFile(settings));

  // Another file in the same directory wakes nobody.
  std::ofstream(root_ / "other.json") << "{}";
  EXPECT_EQ(waiter.wait(Clock::now() + 100ms), Event::timedOut);

  // Created, replaced by a rename, rewritten in place: each is seen, and the watch survives the
  // renames.
  replace(settings, "{\"a\": \"1\"}");
  EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::fileChanged);
  replace(settings, "{\"a\": \"2\"}");
  EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::fileChanged);
  std::ofstream(settings) << "{\"a\": \"3\"}";
  EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::fileChanged);
}

TEST_F(EventWaiterTest, AWakeUpFromASignalHandlerIsDelivered) {
  static EventWaiter* target = nullptr;
  EventWaiter waiter;
  target = &waiter;
  struct sigaction action {};
  action.sa_handler = [](int) { target->wake(); };
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  std::thread signaller([] {
    std::this_thread::sleep_for(50ms);
    ::kill(::getpid(), SIGUSR1);
  });
  EXPECT_EQ(waiter.wait(Clock::now() + 60s), Event::woken);
  signaller.join();
  sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(EventWaiterTest, AMissingDirectoryCannotBeWatched) {
  EventWaiter waiter;
  EXPECT_FALSE(waiter.watchFile(root_ / "missing" / "settings.json"));
  // The waiter still works for wake-ups and deadlines.
  EXPECT_EQ(waiter.wait(Clock::now() + 10ms), Event::timedOut);
}

}  // namespace
}  // namespace kestro
