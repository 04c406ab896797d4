#pragma once

// Child processes: started with posix_spawn (safe in a threaded program), their standard streams
// given, captured or fed through pipes that one poll loop serves together, so that a child
// writing much to both never blocks on a pipe nobody reads.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// Where a child's standard input comes from.
class ProcessInput {
 public:
  enum class Kind { inherit, null, text, pipe, descriptor };

  // Ours (the default).
  static ProcessInput inherit() { return ProcessInput(Kind::inherit); }
  // /dev/null: the child reads end of file at once.
  static ProcessInput null() { return ProcessInput(Kind::null); }
  // These bytes, then end of file.
  static ProcessInput text(std::string bytes) {
    ProcessInput input(Kind::text);
    input.text_ = std::move(bytes);
    return input;
  }
  // A pipe the caller writes to through Process::write and closes with Process::closeInput.
  static ProcessInput pipe() { return ProcessInput(Kind::pipe); }
  // A copy of `fd`, which stays the caller's.
  static ProcessInput descriptor(int fd) {
    ProcessInput input(Kind::descriptor);
    input.fd_ = fd;
    return input;
  }

  Kind kind() const noexcept { return kind_; }
  const std::string& bytes() const noexcept { return text_; }
  int fd() const noexcept { return fd_; }

 private:
  explicit ProcessInput(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::string text_;
  int fd_ = -1;
};

// Where a child's standard output or standard error goes.
class ProcessOutput {
 public:
  enum class Kind { inherit, null, capture, descriptor };
  static constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

  // Ours (the default).
  static ProcessOutput inherit() { return ProcessOutput(Kind::inherit); }
  // /dev/null.
  static ProcessOutput null() { return ProcessOutput(Kind::null); }
  // Kept, up to `limit` bytes; past it the rest is read and dropped, and the result says so.
  static ProcessOutput capture(std::size_t limit = kUnlimited) {
    ProcessOutput output(Kind::capture);
    output.limit_ = limit;
    return output;
  }
  // A copy of `fd` (a terminal, a file), which stays the caller's.
  static ProcessOutput descriptor(int fd) {
    ProcessOutput output(Kind::descriptor);
    output.fd_ = fd;
    return output;
  }

  Kind kind() const noexcept { return kind_; }
  std::size_t limit() const noexcept { return limit_; }
  int fd() const noexcept { return fd_; }

 private:
  explicit ProcessOutput(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::size_t limit_ = kUnlimited;
  int fd_ = -1;
};

// What to run and how.
struct ProcessOptions {
  // The program and its arguments; the first is a path, or a name looked up in PATH (ours, not
  // that of `environment`) when `searchPath` is set.
  std::vector<std::string> arguments;
  bool searchPath = false;
  // "NAME=value" entries; nothing inherits ours.
  std::optional<std::vector<std::string>> environment;
  // Where it starts; nothing keeps ours.
  std::optional<std::filesystem::path> workingDirectory;
  ProcessInput standardInput = ProcessInput::inherit();
  ProcessOutput standardOutput = ProcessOutput::inherit();
  ProcessOutput standardError = ProcessOutput::inherit();
  // Counted from the start: past it the child is killed with SIGKILL and its status says so.
  std::optional<std::chrono::milliseconds> timeLimit;
};

// How a child ended.
struct ProcessStatus {
  std::optional<int> exitCode;  // when it exited
  std::optional<int> signal;    // when a signal ended it
  bool timedOut = false;        // killed for outlasting its time limit

  bool succeeded() const noexcept { return exitCode == 0; }
  // As a shell reports it: the exit code, or 128 + the signal's number.
  int shellStatus() const noexcept { return exitCode ? *exitCode : 128 + signal.value_or(0); }
  // As waitpid reports it (WIFEXITED, WTERMSIG, ... read it).
  int waitStatus() const noexcept {
    return exitCode ? (*exitCode & 0xff) << 8 : signal.value_or(0);
  }
};

// How a child ended and what it wrote to the streams captured.
struct ProcessResult {
  ProcessStatus status;
  std::string standardOutput;
  std::string standardError;
  bool standardOutputCut = false;  // more came than its limit; the rest was dropped
  bool standardErrorCut = false;
};

// A started child. Its pipes are served (input written, output captured) only inside the calls
// below, so a caller that leaves a chatty child alone for long lets it block; a child still
// running when the handle goes is killed with SIGKILL and waited for. Movable; one thread at a
// time.
class Process {
 public:
  // Starts the child; throws std::system_error naming the program when it cannot be started
  // (missing, not executable, no such working directory).
  static Process start(ProcessOptions options);

  Process(Process&&) noexcept;
  Process& operator=(Process&&) noexcept;
  ~Process();

  pid_t pid() const noexcept;

  // Writes all of `bytes` to a standard input given as ProcessInput::pipe(), serving the output
  // pipes meanwhile. Returns false, without a SIGPIPE, when the child no longer reads it.
  bool write(std::string_view bytes);
  // Closes that standard input: the child reads end of file.
  void closeInput();

  // The next line (without its newline) of a captured standard output, or nothing when none is
  // complete within `timeout` or the output ended first. Lines read here are not kept in
  // standardOutput().
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);

  // Sends `signal` to the child, unless it has been waited for already.
  void signal(int signal);

  // Serves the pipes until the child has ended and its captured streams are complete, then
  // returns how it ended (with nothing when still running after `timeout`). A time limit given
  // at the start is kept meanwhile.
  ProcessStatus wait();
  std::optional<ProcessStatus> wait(std::chrono::milliseconds timeout);

  // What it has written to a captured stream so far (all of it once `wait` has returned a status).
  const std::string& standardOutput() const noexcept;
  const std::string& standardError() const noexcept;
  bool standardOutputCut() const noexcept;
  bool standardErrorCut() const noexcept;

 private:
  struct State;
  explicit Process(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Starts the child, feeds it and waits for it: the one call for a command whose whole output is
// wanted. Throws std::system_error when it cannot be started.
ProcessResult runProcess(ProcessOptions options);

// Whether a program of that name is found in PATH (or, for a path, exists) and is executable.
bool programInPath(const std::string& name);

}  // namespace kestro
