// kestro-share end to end: the program runs as a child process against a temporary XDG tree, and
// the tests look at what it left there with tools of their own (SQLite, sha256sum).

#include <gtest/gtest.h>
#include <pty.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "KestroCore/Application/OutboxMaintenance.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/OutboxStore/AssetStager.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Process/Process.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct ProgramRun {
  int status = -1;
  std::string standardOutput;  // without the carriage returns a terminal adds
  std::string standardError;
};

// Where the program's standard output goes: a pipe, as a file manager's action gives it, or a
// terminal, as a person running it has.
enum class Output { pipe, terminal };

// What a shell command printed, and its status as pclose gives it.
std::pair<std::string, int> shellOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, n);
  }
  return {output, pipe ? ::pclose(pipe) : -1};
}

class KestroShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temporary_.path();
    for (const char* directory : {"home", "config", "data", "tmp", "files"}) {
      fs::create_directories(root_ / directory);
    }
  }

  std::vector<std::string> environment() const {
    return {"HOME=" + (root_ / "home").native(), "XDG_CONFIG_HOME=" + (root_ / "config").native(),
            "XDG_DATA_HOME=" + (root_ / "data").native(), "TMPDIR=" + (root_ / "tmp").native(),
            "PATH=/usr/bin:/bin"};
  }

  // Runs kestro-share with `arguments`, feeding `input` to its standard input. With
  // `unprivileged`, a run by root runs as nobody (through setpriv), whom file permissions bind.
  ProgramRun run(const std::vector<std::string>& arguments, const std::string& input = "",
                 Output output = Output::pipe, bool unprivileged = false) const {
    ProcessOptions options;
    if (unprivileged && ::geteuid() == 0) {
      options.arguments = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    options.arguments.push_back(KESTRO_SHARE_PROGRAM);
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.environment = environment();
    options.workingDirectory = root_ / "files";
    options.standardInput = ProcessInput::text(input);
    options.standardError = ProcessOutput::capture();
    FileDescriptor terminal, program;
    if (output == Output::terminal) {
      int ends[2];
      EXPECT_EQ(::openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr), 0);
      terminal.reset(ends[0]);
      program.reset(ends[1]);
      options.standardOutput = ProcessOutput::descriptor(program.get());
    } else {
      options.standardOutput = ProcessOutput::capture();
    }
    Process process = Process::start(std::move(options));
    program.reset();
    ProgramRun result;
    // A terminal's reading end says EIO rather than end of file once the program has gone.
    std::thread terminalReader([&] {
      char buffer[4096];
      for (ssize_t n;
           terminal.valid() && (n = ::read(terminal.get(), buffer, sizeof buffer)) > 0;) {
        for (ssize_t i = 0; i < n; ++i) {
          if (buffer[i] != '\r') result.standardOutput += buffer[i];
        }
      }
    });
    result.status = process.wait().shellStatus();
    terminalReader.join();
    if (output == Output::pipe) result.standardOutput = process.standardOutput();
    result.standardError = process.standardError();
    return result;
  }

  UserDefaults shared() const {
    return *UserDefaults::suite("group.kestro.capture",
                                UserDirectories(root_ / "config", root_ / "data", root_ / "tmp"));
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
    sqlite3_prepare_v2(db, "SELECT record_json FROM outbox ORDER BY created_at", -1, &statement,
                       nullptr);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
      found.push_back(json::parse(std::string(bytes, sqlite3_column_bytes(statement, 0))));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
  }

  // Starts kestro-share with `arguments` (standard input by default) reading standard input from
  // a pipe that stays open until the test closes it. With `ignoringHangUp`, started as nohup
  // starts a program (a signal ignored across exec stays ignored).
  Process startReadingStandardInput(std::vector<std::string> arguments = {"-"},
                                    bool ignoringHangUp = false) const {
    ProcessOptions options;
    arguments.insert(arguments.begin(), KESTRO_SHARE_PROGRAM);
    if (ignoringHangUp) {
      arguments.insert(arguments.begin(), {"/bin/sh", "-c", "trap '' HUP; exec \"$@\"", "sh"});
    }
    options.arguments = std::move(arguments);
    std::vector<std::string> environment = this->environment();
    environment.pop_back();  // no PATH
    options.environment = std::move(environment);
    options.standardInput = ProcessInput::pipe();
    return Process::start(std::move(options));
  }

  // The files under the attachments directory, one level of staging directories down.
  std::vector<fs::path> stagingFiles() const {
    std::vector<fs::path> found;
    if (!fs::exists(storage() / "attachments")) return found;
    for (const auto& directory : fs::directory_iterator(storage() / "attachments")) {
      for (const auto& file : fs::directory_iterator(directory.path())) found.push_back(file);
    }
    return found;
  }

  // Waits, generously, until a run reading standard input has started writing it to a file, and
  // returns that file.
  std::optional<fs::path> waitForUnfinishedStandardInput() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const fs::path& file : stagingFiles()) {
        if (AssetStager::isUnfinishedCopyName(file.filename().native())) return file;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

  fs::path write(const std::string& name, const std::string& contents) const {
    const fs::path path = root_ / "files" / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
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

  // Each run's record: its kind, and what it says of what was given (JSON pointer, value).
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    std::string sourceKind;
    std::vector<std::pair<std::string, std::string>> fields;
  };
  const std::string name = "/stagedAssets/0/filename", type = "/stagedAssets/0/mimeType",
                    digest = "/stagedAssets/0/sha256", text = "/capture/selectedText";
  const std::string imageDigest =
      shellOutput("sha256sum < '" + image.native() + "'").first.substr(0, 64);
  const std::vector<Case> cases = {
      {{"holiday photo.png"},
       "",
       "image",
       {{name, "holiday photo.png"}, {type, "image/png"}, {digest, imageDigest}}},
      {{"file://" + pdf.native()}, "", "pdf", {{type, "application/pdf"}}},
      {{"HTTPS://example.com/a?b=c"}, "", "url", {{"/capture/url", "HTTPS://example.com/a?b=c"}}},
      {{"--text", "  a thought \n"}, "", "selected_text", {{text, "  a thought \n"}}},
      {{"-"}, "piped words\n", "selected_text", {{text, "piped words\n"}}},
      {{"--type", "image/png", "-"},
       picture,
       "image",
       {{name, "stdin.png"}, {digest, imageDigest}}},
      // A type whose files have no extension of its own keeps the type it was given, not the
      // octet stream its file name would suggest.
      {{"--type", "application/mac-binhex40", "-"},
       "(This file)",
       "file",
       {{name, "stdin"}, {type, "application/mac-binhex40"}}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.arguments.back());
    const ProgramRun result = run(c.arguments, c.input);
    ASSERT_EQ(result.status, 0) << result.standardError;
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(result.standardOutput, "");  // a file manager's action hears nothing
    const std::vector<json> stored = records();
    ASSERT_EQ(stored.size(), i + 1);
    EXPECT_EQ(stored.back()["userId"], user.uuidString());
    EXPECT_EQ(stored.back()["capture"]["sourceKind"], c.sourceKind);
    for (const auto& [pointer, value] : c.fields) {
      EXPECT_EQ(stored.back().value(json::json_pointer(pointer), ""), value) << pointer;
    }
  }
  // What standard input lent, and the share target's copies of it, went with the program.
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

TEST_F(KestroShareTest, ExitStatusSaysWhatWentWrong) {
  write("note.txt", "words");
  // Signed out: the share target's own message, and on a terminal how to sign in here.
  const std::string signInFirst = "kestro-share: Open Tavlo and sign in before sharing\n";
  const ProgramRun signedOut = run({"note.txt"});
  EXPECT_EQ(signedOut.status, 3);
  EXPECT_EQ(signedOut.standardError, signInFirst);
  const ProgramRun signedOutHere = run({"note.txt"}, "", Output::terminal);
  EXPECT_EQ(signedOutHere.status, 3);
  EXPECT_EQ(signedOutHere.standardError,
            signInFirst +
                "kestro-share: to sign in on this machine: kestro signin --server URL --email "
                "ADDRESS\n");
  EXPECT_EQ(signedOutHere.standardOutput, "");

  shared().set(UUID().uuidString(), "tavlo.current-user-id");
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    int status;
    std::string error;  // empty: any
  };
  for (const Case& c : std::vector<Case>{
           {{"--text", " \n "}, "", 5, "kestro-share: No supported share item\n"},
           {{"-"}, "", 5, ""},  // empty standard input is blank text
           // A web address without its scheme is no file; the error says what to give instead.
           {{"example.com/x"},
            "",
            2,
            "kestro-share: cannot share example.com/x: No such file or directory; for the web "
            "address, give https://example.com/x\n"},
           {{}, "", 2, ""},
           {{"-", "-"}, "", 2, ""},
           {{"--type", "image/png", "note.txt"}, "", 2, ""},
           {{"--type", "no/such-type", "-"}, "", 2, ""},
           {{"--no-such-option"}, "", 2, ""},
       }) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
    const ProgramRun result = run(c.arguments, c.input);
    EXPECT_EQ(result.status, c.status);
    // Every refusal says why on one line; the exact words where the row gives them.
    if (c.error.empty()) {
      EXPECT_NE(result.standardError, "");
    } else {
      EXPECT_EQ(result.standardError, c.error);
    }
  }
  // A file that cannot be read is one that cannot be shared, found before anything is staged.
  fs::permissions(write("secret.txt", "hidden"), fs::perms::none);
  const ProgramRun unreadable = run({"secret.txt"}, "", Output::pipe, /*unprivileged=*/true);
  EXPECT_EQ(unreadable.status, 2);
  EXPECT_EQ(unreadable.standardError, "kestro-share: cannot share secret.txt: Permission denied\n");
  EXPECT_EQ(records().size(), 0u);
  EXPECT_EQ(run({"--help"}).status, 0);
}

TEST_F(KestroShareTest, OnATerminalItSaysWhatItStoredAndWhatToDoNext) {
  shared().set(UUID().uuidString(), "tavlo.current-user-id");
  write("note.txt", "words");
  write("paper.pdf", std::string(3000, 'p'));
  const struct {
    std::vector<std::string> arguments;
    std::string stored;
  } cases[] = {
      {{"https://example.com/a"}, "the web address https://example.com/a"},
      {{"--text", "drei Wörter"}, "a text of 11 characters"},
      {{"note.txt"}, "note.txt (5 bytes)"},
      {{"paper.pdf", "note.txt"}, "paper.pdf and 1 more file (2.9 KiB)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    const ProgramRun result = run(c.arguments, "", Output::terminal);
    EXPECT_EQ(result.status, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "Stored " + c.stored +
                                         " on this machine; kestro flush sends it, or a running "
                                         "kestro flush --watch at once.\n");
    EXPECT_EQ(result.standardError, "");
  }
}

TEST_F(KestroShareTest, AnInterruptedRunLeavesNothingOrARecognisableUnfinishedCopy) {
  // Text larger than the 16 MiB that may be shared as text goes to a file.
  const std::string text((16 << 20) + 4096, 'w');
  for (const int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    Process child = startReadingStandardInput();
    ASSERT_TRUE(child.write(text));
    const std::optional<fs::path> unfinished = waitForUnfinishedStandardInput();
    ASSERT_TRUE(unfinished);
    child.signal(signal);
    EXPECT_EQ(child.wait().signal, signal);
    EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
    if (signal == SIGTERM) {
      EXPECT_TRUE(fs::is_empty(storage() / "attachments"));
      continue;
    }
    // In the storage, one staging directory that no record names, holding the unfinished copy:
    // what pruning sweeps once it is old enough.
    EXPECT_EQ(stagingFiles(), std::vector<fs::path>{*unfinished});
    const auto swept = abandonedStagingDirectories(
        storage() / "attachments", [](const UUID&) { return false; },
        std::chrono::system_clock::now() + std::chrono::hours(1));
    EXPECT_EQ(swept, std::vector<fs::path>{unfinished->parent_path()});
  }
  EXPECT_TRUE(records().empty());
}

TEST_F(KestroShareTest, StandardInputIsWrittenOnceAndStagedUnderANameOfItsType) {
  shared().set(UUID().uuidString(), "tavlo.current-user-id");
  // Ignoring a hang-up at the start keeps it ignored: the share finishes after one.
  Process child =
      startReadingStandardInput({"--type", "application/pdf", "-"}, /*ignoringHangUp=*/true);
  ASSERT_TRUE(child.write("%PDF-1.4 "));
  const std::optional<fs::path> unfinished = waitForUnfinishedStandardInput();
  ASSERT_TRUE(unfinished);
  struct stat written;
  ASSERT_EQ(::stat(unfinished->c_str(), &written), 0);
  child.signal(SIGHUP);
  ASSERT_TRUE(child.write("in full"));
  child.closeInput();
  const ProcessStatus status = child.wait();
  ASSERT_EQ(status.exitCode, 0) << status.shellStatus();

  const std::vector<json> stored = records();
  ASSERT_EQ(stored.size(), 1u);
  const json& asset = stored[0]["stagedAssets"][0];
  EXPECT_EQ(asset["filename"], "stdin.pdf");
  EXPECT_EQ(asset["mimeType"], "application/pdf");
  const fs::path copy = *URL::fromString(asset["localURL"].get<std::string>())->filePath();
  std::ifstream file(copy, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "%PDF-1.4 in full");
  // The staged copy is the very file standard input was written to, and nothing else remains.
  struct stat staged;
  ASSERT_EQ(::stat(copy.c_str(), &staged), 0);
  EXPECT_EQ(staged.st_ino, written.st_ino);
  EXPECT_EQ(stagingFiles(), std::vector<fs::path>{copy});
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

TEST_F(KestroShareTest, EndlessStandardInputStopsBeforeTheDiskIsFull) {
  // A small file system of its own for the storage, mounted in a private namespace.
  if (std::system("unshare --user --map-root-user --mount true 2>/dev/null") != 0) {
    GTEST_SKIP() << "cannot mount a file system in a private namespace here";
  }
  const std::string script =
      "mount -t tmpfs -o size=64m tmpfs \"$DATA\" && mkdir \"$DATA/tmp\" || exit 99; "
      "TMPDIR=\"$DATA/tmp\" \"$PROGRAM\" - < /dev/zero 2>&1; echo \"status $?\"; "
      "find \"$DATA\" -type f; df -k --output=used \"$DATA\" | tail -n 1 | tr -d \" \"";
  std::string command = "env";
  for (const std::string& variable : environment()) command += " '" + variable + "'";
  const auto [output, status] = shellOutput(
      command + " DATA='" + (root_ / "data").native() + "' PROGRAM='" + KESTRO_SHARE_PROGRAM +
      "' unshare --user --map-root-user --mount sh -c '" + script + "'");
  ASSERT_EQ(status, 0) << output;
  // One line of error, the exit status, no file left behind and nothing in use: it stopped with
  // the margin of 16 MiB (more than a twentieth of 64 MiB) still free, and removed what it wrote.
  const std::string prefix = "kestro-share: standard input stopped after ";
  const std::string suffix = " MiB: the disk of " +
                             (root_ / "data" / "group.kestro.capture").native() +
                             " would have had less than 16.0 MiB free; nothing was stored\n"
                             "status 1\n0\n";
  ASSERT_TRUE(output.starts_with(prefix) && output.ends_with(suffix)) << output;
  const double stoppedAfter = std::stod(output.substr(prefix.size()));
  EXPECT_GT(stoppedAfter, 40.0);
  EXPECT_LE(stoppedAfter, 48.0);
}

}  // namespace
}  // namespace kestro
