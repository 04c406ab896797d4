#pragma once

// Running our programs as real processes in tests: a child with its own environment and
// standard streams, served on a thread of its own so that a chatty child never blocks on a full
// pipe while the test looks elsewhere, and waited for with a bound. Not installed.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KestroCore/Platform/Process/Process.h"

namespace kestro::testsupport {

// One child process. Killed (SIGKILL) and reaped by the destructor if still running.
class ChildProcess {
 public:
  // Starts `arguments[0]` (a path) with exactly `environment`, feeding `input` to its standard
  // input and then closing it.
  ChildProcess(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, std::string input = {})
      : process_(Process::start(options(arguments, environment, std::move(input)))),
        pid_(process_.pid()),
        server_([this] { serve(); }) {}

  ~ChildProcess() {
    stopping_ = true;
    if (!ended_) ::kill(pid_, SIGKILL);
    server_.join();
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }
  void signal(int number) {
    if (!ended_) ::kill(pid_, number);
  }

  // The exit status (128 + the signal for a child killed by one), or nothing when it is still
  // running after `patience`.
  std::optional<int> wait(std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, patience, [this] { return status_.has_value(); });
    return status_;
  }

  // What the child wrote so far (all of it once `wait` returned a status).
  std::string output() {
    std::lock_guard lock(mutex_);
    return out_;
  }
  std::string errors() {
    std::lock_guard lock(mutex_);
    return err_;
  }

  // Waits (boundedly) until standard output holds a complete first line, and returns it.
  std::optional<std::string> firstLine(std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, patience, [this] {
      return out_.find('\n') != std::string::npos || status_.has_value();
    });
    const std::size_t end = out_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    return out_.substr(0, end);
  }

 private:
  static ProcessOptions options(const std::vector<std::string>& arguments,
                                const std::vector<std::string>& environment, std::string input) {
    ProcessOptions options;
    options.arguments = arguments;
    options.environment = environment;
    options.standardInput = ProcessInput::text(std::move(input));
    options.standardOutput = ProcessOutput::capture();
    options.standardError = ProcessOutput::capture();
    return options;
  }

  // The pipes are served here, without the lock; what came is copied out under it.
  void serve() {
    for (;;) {
      const std::optional<ProcessStatus> status = process_.wait(std::chrono::milliseconds(10));
      {
        std::lock_guard lock(mutex_);
        out_.append(process_.standardOutput(), out_.size());
        err_.append(process_.standardError(), err_.size());
        if (status) {
          ended_ = true;
          status_ = status->shellStatus();
        }
      }
      changed_.notify_all();
      if (status || stopping_) return;
    }
  }

  Process process_;
  const pid_t pid_;
  std::atomic<bool> ended_{false};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  std::optional<int> status_;
  std::thread server_;
};

}  // namespace kestro::testsupport
