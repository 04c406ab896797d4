// The kestro-devserver program itself, run as a real process: what scripts rely on (the URL on
// the first line, a clean exit on SIGINT and SIGTERM) and its command line. Every process started
// here is waited for, and killed if it outlives the test.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KestroCore/API/KestroAPIClient.h"

extern char** environ;

namespace kestro {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: these bound a hang, they time nothing.
constexpr auto kPatience = 20s;

class Program {
 public:
  explicit Program(const std::vector<std::string>& arguments) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> all{KESTRO_DEVSERVER_PROGRAM};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (spawned != 0) throw std::runtime_error("cannot start " + all[0]);
  }

  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The first line of standard output, or nothing if none came in time.
  std::optional<std::string> firstLine() {
    std::string line;
    const auto deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
      pollfd descriptor{out_, POLLIN, 0};
      if (::poll(&descriptor, 1, 100) <= 0) continue;
      char c;
      if (::read(out_, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return line;
      line += c;
    }
    return std::nullopt;
  }

  void signal(int number) { ::kill(pid_, number); }

  // The exit status, or nothing if the program is still running after the wait (it is then
  // killed by the destructor).
  std::optional<int> exitStatus() {
    const auto deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

  static std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, count);
    return text;
  }
  std::string output() { return readAll(out_); }
  std::string errors() { return readAll(err_); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

TEST(KestroDevServerProgramTest, PrintsItsURLFirstServesThereAndStopsCleanlyOnSignals) {
  const auto storage =
      std::filesystem::temp_directory_path() / ("kestro-devserver-program-" + UUID().uuidString());
  for (const int stopSignal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(stopSignal);
    Program program({"--port", "0", "--storage", storage.string(), "--fault",
                     R"({"route": "GET /v1/items", "status": 500, "retryable": false})"});
    const std::optional<std::string> base = program.firstLine();
    ASSERT_TRUE(base);
    EXPECT_TRUE(base->starts_with("http://127.0.0.1:")) << *base;

    const KestroAPIClient client(*URL::fromString(*base), makeURLSession(), {});
    const std::string token = client.developmentSession("ann@example.com").token;
    try {
      client.listItems(token);
      ADD_FAILURE() << "the fault given on the command line was not armed";
    } catch (const KestroAPIError& error) {
      EXPECT_EQ(error.code(), "INJECTED_FAULT");
    }
    EXPECT_TRUE(client.listItems(token).empty());

    program.signal(stopSignal);
    EXPECT_EQ(program.exitStatus(), 0);
    EXPECT_EQ(program.errors(), "");
  }
  EXPECT_TRUE(std::filesystem::is_directory(storage / "uploads"));
  std::filesystem::remove_all(storage);
}

TEST(KestroDevServerProgramTest, HelpAndBadArgumentsEndWithoutServing) {
  {
    Program help({"--help"});
    EXPECT_EQ(help.exitStatus(), 0);
    const std::string usage = help.output();
    for (const char* option : {"--port", "--bind", "--storage", "--fault"}) {
      EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
  }
  {
    Program badFault({"--port", "0", "--fault", R"({"route": "/v1/items", "action": "explode"})"});
    EXPECT_EQ(badFault.exitStatus(), 2);
    EXPECT_NE(badFault.errors().find("\"action\""), std::string::npos);
    EXPECT_EQ(badFault.output(), "");
  }
  {
    Program badPort({"--port", "70000"});
    const std::optional<int> status = badPort.exitStatus();
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
    EXPECT_EQ(badPort.output(), "");
  }
}

}  // namespace
}  // namespace kestro
