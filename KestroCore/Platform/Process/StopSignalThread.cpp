#include "KestroCore/Platform/Process/StopSignalThread.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace kestro {

StopSignalThread::StopSignalThread(std::initializer_list<int> signals)
    : StopSignalThread(std::vector<int>(signals)) {}

StopSignalThread::StopSignalThread(const std::vector<int>& signals) {
  if (signals.empty()) throw std::invalid_argument("no stop signal given");
  sigemptyset(&signals_);
  for (const int signal : signals) {
    if (sigaddset(&signals_, signal) != 0) {
      throw std::system_error(errno, std::generic_category(), "not a signal");
    }
  }
  const int blocked = pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  if (blocked != 0) throw std::system_error(blocked, std::generic_category(), "pthread_sigmask");
}

void StopSignalThread::start(Handler handler) {
  if (thread_.joinable()) throw std::logic_error("the stop signals' thread runs already");
  thread_ = std::thread([this, handler = std::move(handler)] { run(handler); });
}

void StopSignalThread::run(const Handler& handler) {
  // sigwaitinfo takes only signals blocked here, whichever thread called `start`.
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  for (;;) {
    siginfo_t info{};
    if (sigwaitinfo(&signals_, &info) < 0) continue;  // EINTR
    {
      const std::lock_guard lock(mutex_);
      // `finish` wakes this thread with a signal of the set.
      if (finished_) return;
    }
    // Stop is requested before `wait` returns.
    stop_.request_stop();
    {
      const std::lock_guard lock(mutex_);
      int expected = 0;
      received_.compare_exchange_strong(expected, info.si_signo);
    }
    woken_.notify_all();
    if (handler) handler(info.si_signo);
  }
}

void StopSignalThread::finish() {
  {
    const std::lock_guard lock(mutex_);
    if (finished_) return;
    finished_ = true;
  }
  woken_.notify_all();
  if (thread_.joinable()) {
    int wake = 1;
    while (sigismember(&signals_, wake) != 1) ++wake;
    pthread_kill(thread_.native_handle(), wake);
    thread_.join();
  }
}

int StopSignalThread::wait() {
  std::unique_lock lock(mutex_);
  woken_.wait(lock, [this] { return finished_ || received_.load() != 0; });
  return received_.load();
}

void endBySignal(int signal) noexcept {
  ::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  ::raise(signal);
  // A signal whose default action is not to end the process: end it all the same.
  ::_exit(128 + signal);
}

}  // namespace kestro
