#pragma once

// Stop signals (SIGINT, SIGTERM, ...) taken by a thread of their own with sigwait, rather than by
// a handler that may run anywhere: what they mean is then ordinary code.

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace kestro {

// Blocks the signals given in the calling thread when constructed: construct it before any other
// thread starts, so that every thread inherits the mask and only this one's thread takes them.
// `start` runs that thread. Each signal that arrives requests the stop of `stopToken()` (at the
// first), wakes `wait`, and is told to the handler, on that thread. The signals stay blocked
// after `finish` and destruction, which join the thread without a signal.
class StopSignalThread {
 public:
  using Handler = std::function<void(int signal)>;

  explicit StopSignalThread(std::initializer_list<int> signals = {SIGINT, SIGTERM});
  explicit StopSignalThread(const std::vector<int>& signals);
  ~StopSignalThread() { finish(); }
  StopSignalThread(const StopSignalThread&) = delete;
  StopSignalThread& operator=(const StopSignalThread&) = delete;

  // Starts taking the signals; `handler` (if any) runs for every one of them. Once only.
  void start(Handler handler = {});

  // Stops taking signals and joins the thread; call it before whatever the handler uses is gone.
  void finish();

  // Blocks until a signal has arrived (returning it) or `finish` was called (returning 0).
  int wait();

  // The first signal received, or 0.
  int received() const noexcept { return received_.load(); }
  // The exit status of a program that a signal stopped (128 + its number), or 0.
  int stoppedStatus() const noexcept { return received() == 0 ? 0 : 128 + received(); }
  // Stop requested at the first signal.
  std::stop_token stopToken() const noexcept { return stop_.get_token(); }

 private:
  void run(const Handler& handler);

  sigset_t signals_;
  std::stop_source stop_;
  std::atomic<int> received_{0};
  std::mutex mutex_;
  std::condition_variable woken_;
  bool finished_ = false;
  std::thread thread_;
};

// Ends the process by `signal` itself, with its default action, so that whoever waits for it
// (a shell, a file manager) sees what ended it: for a handler that has put things in order.
[[noreturn]] void endBySignal(int signal) noexcept;

}  // namespace kestro
