#include "KestroCore/Platform/Process/StopSignalThread.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>

namespace kestro {
namespace {

// Runs `body` in a forked child, whose signal mask and signals are its own, and returns its
// exit status (or 128 + the signal that ended it). Each failed check of a body exits with its
// own status.
int inChild(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(StopSignalThreadTest, EverySignalReachesTheHandlerButTheFirstIsTheOneReported) {
  EXPECT_EQ(inChild([] {
              StopSignalThread signals({SIGINT, SIGTERM, SIGHUP});
              std::atomic<int> count{0};
              std::atomic<int> last{0};
              signals.start([&](int signal) {
                last = signal;
                ++count;
              });
              if (signals.stopToken().stop_requested()) return 10;
              ::kill(::getpid(), SIGHUP);
              if (signals.wait() != SIGHUP || !signals.stopToken().stop_requested()) return 11;
              ::kill(::getpid(), SIGTERM);
              for (int tries = 0; count < 2 && tries < 10000; ++tries) ::usleep(1000);
              signals.finish();
              if (count != 2 || last != SIGTERM) return 12;
              if (signals.received() != SIGHUP || signals.stoppedStatus() != 128 + SIGHUP)
                return 13;
              return 0;
            }),
            0);
}

TEST(StopSignalThreadTest, FinishingWithoutASignalJoinsAndReportsNone) {
  EXPECT_EQ(inChild([] {
              bool called = false;
              {
                StopSignalThread signals;
                signals.start([&called](int) { called = true; });
                signals.finish();
                if (signals.wait() != 0 || signals.stoppedStatus() != 0) return 10;
                if (signals.stopToken().stop_requested()) return 11;
              }
              { StopSignalThread neverStarted; }  // destroyed without a thread
              if (called) return 12;
              // Still blocked afterwards: a late SIGTERM waits, pending, instead of killing the
              // process.
              ::kill(::getpid(), SIGTERM);
              sigset_t pending;
              sigpending(&pending);
              return sigismember(&pending, SIGTERM) == 1 ? 0 : 13;
            }),
            0);
  EXPECT_THROW(StopSignalThread(std::vector<int>{}), std::invalid_argument);
}

}  // namespace
}  // namespace kestro
