#pragma once

// Running our programs as real processes in tests (header-only): a child with its own
// environment and standard streams, read on threads of their own so that a chatty child never
// blocks on a full pipe, and waited for with a bound. Not installed.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kestro::testsupport {

// One child process. Killed (SIGKILL) and reaped by the destructor if still running.
class ChildProcess {
 public:
  // Starts `arguments[0]` (a path) with exactly `environment`, feeding `input` to its standard
  // input and then closing it.
  ChildProcess(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, std::string input = {}) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> args = arguments, env = environment;
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
      ::close(in[1]);
      ::close(out[0]);
      ::close(err[0]);
      pid_ = -1;
      throw std::runtime_error("cannot start " + arguments.front());
    }
    readers_.emplace_back([this, fd = out[0]] { collect(fd, out_); });
    readers_.emplace_back([this, fd = err[0]] { collect(fd, err_); });
    writer_ = std::thread([fd = in[1], input = std::move(input)] {
      ::signal(SIGPIPE, SIG_IGN);
      std::size_t written = 0;
      while (written < input.size()) {
        const ssize_t n = ::write(fd, input.data() + written, input.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
      }
      ::close(fd);
    });
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    writer_.join();
    for (std::thread& reader : readers_) {
      if (reader.joinable()) reader.join();
    }
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }
  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }

  // The exit status (128 + the signal for a child killed by one), or nothing when it is still
  // running after `patience`.
  std::optional<int> wait(std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (pid_ > 0) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The streams are complete once the child and whatever inherited them have closed them.
    for (std::thread& reader : readers_) {
      if (reader.joinable()) reader.join();
    }
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
    const bool found = changed_.wait_for(
        lock, patience, [this] { return out_.find('\n') != std::string::npos || finished_ == 2; });
    const std::size_t end = out_.find('\n');
    if (!found || end == std::string::npos) return std::nullopt;
    return out_.substr(0, end);
  }

 private:
  void collect(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard lock(mutex_);
      into.append(buffer, static_cast<std::size_t>(n));
      changed_.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    ++finished_;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  int finished_ = 0;
  std::vector<std::thread> readers_;
  std::thread writer_;
};

}  // namespace kestro::testsupport
