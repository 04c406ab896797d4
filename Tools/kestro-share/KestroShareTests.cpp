// kestro-share end to end: the program runs as a child process against a temporary XDG tree, and
// the tests look at what it left there with tools of their own (SQLite, sha256sum).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "KestroCore/Foundation/UUID.h"
#include "Platform/Storage/UserDefaults.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct ProgramRun {
  int status = -1;
  std::string standardError;
};

class KestroShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temporary_.path();
    for (const char* directory : {"home", "config", "data", "tmp", "files"}) {
      fs::create_directories(root_ / directory);
    }
  }

  // Runs kestro-share with `arguments`, feeding `input` to its standard input.
  ProgramRun run(const std::vector<std::string>& arguments, const std::string& input = "") const {
    int in[2], err[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    std::vector<std::string> environment = {
        "HOME=" + (root_ / "home").native(), "XDG_CONFIG_HOME=" + (root_ / "config").native(),
        "XDG_DATA_HOME=" + (root_ / "data").native(), "TMPDIR=" + (root_ / "tmp").native(),
        "PATH=/usr/bin:/bin"};
    std::vector<std::string> argv = {KESTRO_SHARE_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const pid_t child = ::fork();
    if (child == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      ::chdir((root_ / "files").c_str());
      std::vector<char*> args, env;
      for (auto& a : argv) args.push_back(a.data());
      for (auto& e : environment) env.push_back(e.data());
      args.push_back(nullptr);
      env.push_back(nullptr);
      ::execve(args[0], args.data(), env.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(err[1]);
    std::thread feeder([&] {
      std::size_t written = 0;
      while (written < input.size()) {
        const ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
      }
      ::close(in[1]);
    });
    ProgramRun result;
    char buffer[4096];
    for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) {
      result.standardError.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(err[0]);
    feeder.join();
    int status = 0;
    ::waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
  }

  UserDefaults shared() const {
    return *UserDefaults::suite("group.kestro.capture",
                                UserDirectories(root_ / "config", root_ / "data", root_ / "tmp"));
  }
  std::optional<std::string> revision() const {
    return shared().string("kestro.shared-capture-revision");
  }
  fs::path storage() const { return root_ / "data" / "group.kestro.capture"; }

  // Every record's JSON, oldest first, read as the application would.
  std::vector<json> records() const {
    std::vector<json> found;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((storage() / "kestro.sqlite").c_str(), &db, SQLITE_OPEN_READONLY,
                        nullptr) != SQLITE_OK) {
      sqlite3_close(db);
      return found;
    }
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT state, record_json FROM outbox ORDER BY created_at", -1,
                       &statement, nullptr);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 1));
      json record = json::parse(std::string(bytes, sqlite3_column_bytes(statement, 1)));
      EXPECT_EQ(record["state"],
                std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))));
      found.push_back(std::move(record));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
  }

  // Starts kestro-share reading standard input from a pipe that stays open; returns the child
  // and the pipe's writing end. With `ignoringHangUp`, started as nohup starts a program.
  std::pair<pid_t, int> startReadingStandardInput(bool ignoringHangUp = false) const {
    int in[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    std::vector<std::string> environment = {
        "HOME=" + (root_ / "home").native(), "XDG_CONFIG_HOME=" + (root_ / "config").native(),
        "XDG_DATA_HOME=" + (root_ / "data").native(), "TMPDIR=" + (root_ / "tmp").native()};
    const pid_t child = ::fork();
    if (child == 0) {
      ::dup2(in[0], STDIN_FILENO);
      if (ignoringHangUp) ::signal(SIGHUP, SIG_IGN);
      std::string program = KESTRO_SHARE_PROGRAM, dash = "-";
      char* args[] = {program.data(), dash.data(), nullptr};
      std::vector<char*> env;
      for (auto& e : environment) env.push_back(e.data());
      env.push_back(nullptr);
      ::execve(args[0], args, env.data());
      ::_exit(127);
    }
    ::close(in[0]);
    return {child, in[1]};
  }

  // Waits, generously, until a run reading standard input has its run directory with the input.
  bool waitForStandardInputCopy() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& entry : fs::directory_iterator(root_ / "tmp")) {
        if (fs::exists(entry.path() / "stdin")) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  fs::path write(const std::string& name, const std::string& contents) const {
    const fs::path path = root_ / "files" / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  static std::string sha256sum(const fs::path& path) {
    FILE* pipe = ::popen(("sha256sum < '" + path.native() + "'").c_str(), "r");
    char digest[64] = {};
    const std::size_t read = pipe ? std::fread(digest, 1, 64, pipe) : 0;
    if (pipe) ::pclose(pipe);
    return std::string(digest, read);
  }

  testsupport::TemporaryDirectory temporary_{"kestro-share-test"};
  fs::path root_;
};

TEST_F(KestroShareTest, FilesAddressesTextAndStandardInputLandInTheOutbox) {
  const UUID user;
  shared().set(user.uuidString(), "tavlo.current-user-id");
  std::string picture = "\x89PNG\r\n\x1a\n";
  for (int i = 0; i < 300000; ++i) picture += static_cast<char>(i * 7 % 251);
  const fs::path image = write("holiday photo.png", picture);
  const fs::path pdf = write("paper.pdf", "%PDF-1.4\n%%EOF\n");

  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    std::string sourceKind;
  };
  const std::vector<Case> cases = {
      {{"holiday photo.png"}, "", "image"},
      {{"file://" + pdf.native()}, "", "pdf"},
      {{"HTTPS://example.com/a?b=c"}, "", "url"},
      {{"--text", "  a thought \n"}, "", "selected_text"},
      {{"-"}, "piped words\n", "selected_text"},
      {{"--type", "image/png", "-"}, picture, "image"},
  };
  std::optional<std::string> previousRevision = revision();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.arguments.back());
    const ProgramRun result = run(c.arguments, c.input);
    ASSERT_EQ(result.status, 0) << result.standardError;
    EXPECT_EQ(result.standardError, "");

    const std::vector<json> stored = records();
    ASSERT_EQ(stored.size(), i + 1);
    const json& record = stored.back();
    EXPECT_EQ(record["userId"], user.uuidString());
    EXPECT_EQ(record["state"], "queued");
    EXPECT_EQ(record["capture"]["sourceKind"], c.sourceKind);
    EXPECT_EQ(record["capture"]["origin"]["mechanism"], "share_extension");
    EXPECT_EQ(record["capture"]["origin"]["sourceApplication"], "Share Extension");

    // Every run publishes a new revision.
    const std::optional<std::string> current = revision();
    ASSERT_TRUE(current && UUID::fromString(*current));
    EXPECT_NE(current, previousRevision);
    previousRevision = current;

    for (const json& asset : record["stagedAssets"]) {
      const fs::path copy = *URL::fromString(asset["localURL"].get<std::string>())->filePath();
      EXPECT_EQ(copy.parent_path(), storage() / "attachments" /
                                        record["capture"]["clientCaptureId"].get<std::string>());
      EXPECT_EQ(asset["sha256"], sha256sum(copy));
      EXPECT_EQ(asset["byteCount"], fs::file_size(copy));
    }
  }

  const std::vector<json> stored = records();
  EXPECT_EQ(stored[0]["stagedAssets"][0]["filename"], "holiday photo.png");
  EXPECT_EQ(stored[0]["stagedAssets"][0]["mimeType"], "image/png");
  EXPECT_EQ(stored[0]["stagedAssets"][0]["sha256"], sha256sum(image));
  EXPECT_EQ(stored[1]["stagedAssets"][0]["mimeType"], "application/pdf");
  EXPECT_EQ(stored[2]["capture"]["url"], "HTTPS://example.com/a?b=c");
  EXPECT_EQ(stored[3]["capture"]["selectedText"], "  a thought \n");
  EXPECT_EQ(stored[4]["capture"]["selectedText"], "piped words\n");
  EXPECT_EQ(stored[5]["stagedAssets"][0]["mimeType"], "image/png");
  EXPECT_EQ(stored[5]["stagedAssets"][0]["sha256"], sha256sum(image));
  // All records carry one device identifier.
  for (const json& record : stored) {
    EXPECT_EQ(record["capture"]["origin"]["deviceId"], *shared().string("tavlo-device-id"));
  }
  // What standard input lent, and the share target's copies of it, went with the program.
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

TEST_F(KestroShareTest, ExitStatusSaysWhatWentWrong) {
  write("note.txt", "words");
  {
    const ProgramRun result = run({"note.txt"});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.standardError, "kestro-share: Open Tavlo and sign in before sharing\n");
    // The copy was staged before the gate and stays; no record was written.
    EXPECT_EQ(records().size(), 0u);
    EXPECT_FALSE(fs::is_empty(storage() / "attachments"));
  }
  shared().set(UUID().uuidString(), "tavlo.current-user-id");
  {
    const ProgramRun result = run({"--text", " \n "}, "");
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.standardError, "kestro-share: No supported share item\n");
  }
  {
    const ProgramRun result = run({"-"}, "");  // empty standard input is blank text
    EXPECT_EQ(result.status, 3);
  }
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"missing.txt"},
                                             {},
                                             {"-", "-"},
                                             {"--type", "image/png", "note.txt"},
                                             {"--type", "no/such-type", "-"},
                                             {"--no-such-option"}}) {
    const ProgramRun result = run(arguments);
    EXPECT_EQ(result.status, 2) << (arguments.empty() ? "(none)" : arguments[0]);
    EXPECT_NE(result.standardError, "");
  }
  EXPECT_EQ(records().size(), 0u);
  {
    const ProgramRun result = run({"--help"});
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(KestroShareTest, SharesStartedTogetherOnAFreshProfileNameOneDevice) {
  shared().set(UUID().uuidString(), "tavlo.current-user-id");
  ASSERT_FALSE(shared().string("tavlo-device-id"));
  // Each run waits on its standard input until every one has started; closing the pipes one after
  // another then lets them race for the missing identifier, as a file manager's action does when
  // it starts one share per selected file.
  constexpr int kRuns = 100;
  std::vector<std::pair<pid_t, int>> runs;
  for (int i = 0; i < kRuns; ++i) {
    runs.push_back(startReadingStandardInput());
    ASSERT_EQ(::write(runs.back().second, "a thought", 9), 9);
  }
  for (const auto& run : runs) ::close(run.second);
  for (const auto& run : runs) {
    int status = 0;
    ASSERT_EQ(::waitpid(run.first, &status, 0), run.first);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::optional<std::string> device = shared().string("tavlo-device-id");
  ASSERT_TRUE(device && UUID::fromString(*device));
  const std::vector<json> stored = records();
  ASSERT_EQ(stored.size(), static_cast<std::size_t>(kRuns));
  std::set<std::string> devices;
  for (const json& record : stored) devices.insert(record["capture"]["origin"]["deviceId"]);
  EXPECT_EQ(devices, std::set<std::string>{*device});
}

TEST_F(KestroShareTest, AnInterruptedRunRemovesWhatStandardInputLeft) {
  const auto [child, input] = startReadingStandardInput();
  ASSERT_EQ(::write(input, "half a thought", 14), 14);
  ASSERT_TRUE(waitForStandardInputCopy());
  ::kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(input);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
  EXPECT_TRUE(records().empty());
}

TEST_F(KestroShareTest, AHangUpThatWasIgnoredWhenItStartedLeavesTheShareToFinish) {
  shared().set(UUID().uuidString(), "tavlo.current-user-id");
  const auto [child, input] = startReadingStandardInput(/*ignoringHangUp=*/true);
  ASSERT_EQ(::write(input, "a thought ", 10), 10);
  ASSERT_TRUE(waitForStandardInputCopy());
  ::kill(child, SIGHUP);
  ASSERT_EQ(::write(input, "in full", 7), 7);
  ::close(input);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::vector<json> stored = records();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]["capture"]["selectedText"], "a thought in full");
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

}  // namespace
}  // namespace kestro
