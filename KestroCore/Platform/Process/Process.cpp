#include "KestroCore/Platform/Process/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <system_error>
#include <utility>

#include "KestroCore/Platform/Files/FileDescriptor.h"

extern char** environ;

namespace kestro {
namespace {

using Clock = std::chrono::steady_clock;

// Without a pidfd (an old kernel, a sandbox that refuses it) the child's end is noticed by
// looking this often.
constexpr std::chrono::milliseconds kReapInterval(10);
constexpr std::size_t kChunk = 64 * 1024;

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

struct Pipe {
  FileDescriptor read;
  FileDescriptor write;
};

Pipe makePipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) fail(errno, "cannot make a pipe");
  return Pipe{FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

void setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) fail(errno, "fcntl");
}

// write(2) that cannot raise SIGPIPE: the signal is blocked on this thread meanwhile, and one it
// raised is taken back before the mask is restored, unless one was pending already.
ssize_t writeWithoutSignal(int fd, const char* data, std::size_t size) {
  sigset_t pipeSignal, previous, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  ssize_t written;
  do {
    written = ::write(fd, data, size);
  } while (written < 0 && errno == EINTR);
  const int error = errno;
  if (written < 0 && error == EPIPE && !wasPending) {
    const timespec now{};
    while (sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

// posix_spawn's file actions and attributes, destroyed with the object.
struct SpawnSetup {
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& string : strings) result.push_back(string.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

struct Process::State {
  struct Capture {
    FileDescriptor fd;
    std::string text;
    std::size_t limit = ProcessOutput::kUnlimited;
    bool cut = false;
  };

  pid_t pid = -1;
  FileDescriptor pidfd;
  std::optional<ProcessStatus> status;
  std::optional<Clock::time_point> deadline;

  FileDescriptor input;
  std::string pending;  // bytes for standard input not written yet, from `written` on
  std::size_t written = 0;
  bool closeWhenWritten = false;
  Capture output;
  Capture error;

  ~State() {
    if (pid > 0 && !status) {
      ::kill(pid, SIGKILL);
      reap(true);
    }
  }

  void reap(bool block) {
    int raw = 0;
    pid_t ended;
    do {
      ended = ::waitpid(pid, &raw, block ? 0 : WNOHANG);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0) return;
    ProcessStatus result;
    // ECHILD: someone else waited for it (SIGCHLD ignored); how it ended is not known.
    if (ended == pid && WIFEXITED(raw)) result.exitCode = WEXITSTATUS(raw);
    if (ended == pid && WIFSIGNALED(raw)) result.signal = WTERMSIG(raw);
    status = result;
    pidfd.reset();
  }

  void killForTimeLimit() {
    ::kill(pid, SIGKILL);
    reap(true);
    status->timedOut = true;
    // Whatever still holds the pipes (a grandchild) is not waited for.
    input.reset();
    output.fd.reset();
    error.fd.reset();
  }

  void writeInput() {
    while (written < pending.size()) {
      const std::size_t size = std::min(kChunk, pending.size() - written);
      const ssize_t count = writeWithoutSignal(input.get(), pending.data() + written, size);
      if (count < 0 && errno == EAGAIN) return;
      if (count < 0) {  // EPIPE: the child stopped reading
        pending.clear();
        written = 0;
        input.reset();
        return;
      }
      written += static_cast<std::size_t>(count);
    }
    pending.clear();
    written = 0;
    if (closeWhenWritten) input.reset();
  }

  static void readInto(Capture& capture) {
    char buffer[kChunk];
    for (;;) {
      const ssize_t count = ::read(capture.fd.get(), buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0 && errno == EAGAIN) return;
      if (count <= 0) {
        capture.fd.reset();
        return;
      }
      const std::size_t room = capture.limit - std::min(capture.limit, capture.text.size());
      const std::size_t kept = std::min(room, static_cast<std::size_t>(count));
      capture.text.append(buffer, kept);
      if (kept < static_cast<std::size_t>(count)) capture.cut = true;
    }
  }

  // Serves the pipes until `done` says so, `until` passes (false then) or nothing is left to
  // serve.
  bool serve(std::optional<Clock::time_point> until, const std::function<bool()>& done) {
    for (;;) {
      if (!status) reap(false);
      // Input given as text is closed once written, even when there was none.
      if (input.valid() && closeWhenWritten && written >= pending.size()) input.reset();
      // A child that has ended reads no more.
      if (status && input.valid()) {
        input.reset();
        pending.clear();
      }
      if (done()) return true;
      const Clock::time_point now = Clock::now();
      if (deadline && now >= *deadline) {
        if (!status) {
          killForTimeLimit();
        } else {
          // Ended in time, but something it started still holds the pipes: not waited for.
          input.reset();
          output.fd.reset();
          error.fd.reset();
        }
        deadline.reset();
        continue;
      }
      if (until && now >= *until) return false;

      std::vector<pollfd> polled;
      if (input.valid() && written < pending.size()) polled.push_back({input.get(), POLLOUT, 0});
      if (output.fd.valid()) polled.push_back({output.fd.get(), POLLIN, 0});
      if (error.fd.valid()) polled.push_back({error.fd.get(), POLLIN, 0});
      if (pidfd.valid()) polled.push_back({pidfd.get(), POLLIN, 0});
      if (polled.empty() && status) return done();

      std::optional<Clock::time_point> wake = until;
      if (deadline && (!wake || *deadline < *wake)) wake = deadline;
      if (!status && !pidfd.valid() && (!wake || now + kReapInterval < *wake)) {
        wake = now + kReapInterval;
      }
      int timeout = -1;
      if (wake) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
        timeout = static_cast<int>(std::min<long long>(left, 1 << 30));
      }
      if (::poll(polled.data(), polled.size(), timeout) < 0) {
        if (errno == EINTR) continue;
        fail(errno, "poll");
      }
      for (const pollfd& entry : polled) {
        if (entry.revents == 0) continue;
        if (entry.fd == input.get()) {
          if (entry.revents & (POLLERR | POLLHUP)) {
            input.reset();
            pending.clear();
            written = 0;
          } else {
            writeInput();
          }
        } else if (entry.fd == output.fd.get()) {
          readInto(output);
        } else if (entry.fd == error.fd.get()) {
          readInto(error);
        }
      }
    }
  }

  bool finished() const { return status && !output.fd.valid() && !error.fd.valid(); }
};

Process::Process(std::unique_ptr<State> state) : state_(std::move(state)) {}
Process::Process(Process&&) noexcept = default;
Process& Process::operator=(Process&&) noexcept = default;
Process::~Process() = default;

Process Process::start(ProcessOptions options) {
  if (options.arguments.empty() || options.arguments.front().empty()) {
    fail(EINVAL, "cannot start a process without a program");
  }
  const std::string& program = options.arguments.front();
  auto state = std::make_unique<State>();
  SpawnSetup setup;

  // The child starts with no signal blocked and SIGPIPE at its default, whatever this program
  // (or the thread that starts it) has arranged for itself.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // The child's ends, closed here once it has its copies.
  std::vector<FileDescriptor> childEnds;
  const ProcessInput& in = options.standardInput;
  switch (in.kind()) {
    case ProcessInput::Kind::inherit:
      break;
    case ProcessInput::Kind::null:
      posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      break;
    case ProcessInput::Kind::text:
    case ProcessInput::Kind::pipe: {
      Pipe pipe = makePipe();
      posix_spawn_file_actions_adddup2(&setup.actions, pipe.read.get(), STDIN_FILENO);
      setNonBlocking(pipe.write.get());
      state->input = std::move(pipe.write);
      childEnds.push_back(std::move(pipe.read));
      state->pending = in.bytes();
      state->closeWhenWritten = in.kind() == ProcessInput::Kind::text;
      break;
    }
    case ProcessInput::Kind::descriptor:
      posix_spawn_file_actions_adddup2(&setup.actions, in.fd(), STDIN_FILENO);
      break;
  }
  const auto arrange = [&](const ProcessOutput& out, int target, State::Capture& capture) {
    switch (out.kind()) {
      case ProcessOutput::Kind::inherit:
        break;
      case ProcessOutput::Kind::null:
        posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null", O_WRONLY, 0);
        break;
      case ProcessOutput::Kind::capture: {
        Pipe pipe = makePipe();
        posix_spawn_file_actions_adddup2(&setup.actions, pipe.write.get(), target);
        setNonBlocking(pipe.read.get());
        capture.fd = std::move(pipe.read);
        capture.limit = out.limit();
        childEnds.push_back(std::move(pipe.write));
        break;
      }
      case ProcessOutput::Kind::descriptor:
        posix_spawn_file_actions_adddup2(&setup.actions, out.fd(), target);
        break;
    }
  };
  arrange(options.standardOutput, STDOUT_FILENO, state->output);
  arrange(options.standardError, STDERR_FILENO, state->error);
  if (options.workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingDirectory->c_str());
  }
  // Nothing else this program has open reaches the child, even what was opened without
  // O_CLOEXEC on another thread.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);

  std::vector<char*> argv = pointers(options.arguments);
  std::vector<char*> envp;
  if (options.environment) envp = pointers(*options.environment);
  char** const environment = options.environment ? envp.data() : environ;
  const int spawned = options.searchPath ? posix_spawnp(&state->pid, argv[0], &setup.actions,
                                                        &setup.attributes, argv.data(), environment)
                                         : posix_spawn(&state->pid, argv[0], &setup.actions,
                                                       &setup.attributes, argv.data(), environment);
  if (spawned != 0) {
    state->pid = -1;
    fail(spawned, "cannot start " + program +
                      (options.workingDirectory ? " in " + options.workingDirectory->string()
                                                : std::string()));
  }
  childEnds.clear();
  const long pidfd = ::syscall(SYS_pidfd_open, state->pid, 0);
  if (pidfd >= 0) state->pidfd.reset(static_cast<int>(pidfd));
  if (options.timeLimit) state->deadline = Clock::now() + *options.timeLimit;
  return Process(std::move(state));
}

pid_t Process::pid() const noexcept { return state_->pid; }

bool Process::write(std::string_view bytes) {
  State& state = *state_;
  if (!state.input.valid()) return false;
  state.pending.append(bytes);
  state.serve(std::nullopt, [&] { return !state.input.valid() || state.pending.empty(); });
  return state.input.valid();
}

void Process::closeInput() {
  state_->input.reset();
  state_->pending.clear();
  state_->written = 0;
}

std::optional<std::string> Process::readLine(std::chrono::milliseconds timeout) {
  State& state = *state_;
  const auto complete = [&] {
    return state.output.text.find('\n') != std::string::npos || !state.output.fd.valid();
  };
  state.serve(Clock::now() + timeout, complete);
  const std::size_t end = state.output.text.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = state.output.text.substr(0, end);
  state.output.text.erase(0, end + 1);
  return line;
}

void Process::signal(int signal) {
  if (state_->pid > 0 && !state_->status) ::kill(state_->pid, signal);
}

ProcessStatus Process::wait() {
  State& state = *state_;
  state.serve(std::nullopt, [&] { return state.finished(); });
  return *state.status;
}

std::optional<ProcessStatus> Process::wait(std::chrono::milliseconds timeout) {
  State& state = *state_;
  if (!state.serve(Clock::now() + timeout, [&] { return state.finished(); })) return std::nullopt;
  return state.status;
}

const std::string& Process::standardOutput() const noexcept { return state_->output.text; }
const std::string& Process::standardError() const noexcept { return state_->error.text; }
bool Process::standardOutputCut() const noexcept { return state_->output.cut; }
bool Process::standardErrorCut() const noexcept { return state_->error.cut; }

ProcessResult runProcess(ProcessOptions options) {
  Process process = Process::start(std::move(options));
  ProcessResult result;
  result.status = process.wait();
  result.standardOutput = process.standardOutput();
  result.standardError = process.standardError();
  result.standardOutputCut = process.standardOutputCut();
  result.standardErrorCut = process.standardErrorCut();
  return result;
}

bool programInPath(const std::string& name) {
  const auto executable = [](const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
  };
  if (name.empty()) return false;
  if (name.find('/') != std::string::npos) return executable(name);
  const char* path = std::getenv("PATH");
  std::stringstream directories(path ? path : "/usr/bin:/bin");
  for (std::string directory; std::getline(directories, directory, ':');) {
    if (!directory.empty() && executable(directory + "/" + name)) return true;
  }
  return false;
}

}  // namespace kestro
