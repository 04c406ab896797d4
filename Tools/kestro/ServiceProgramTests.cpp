// The watcher as a systemd user service, and the files of sent captures it removes: kestro,
// kestro-share and kestro-devserver as real processes in a temporary XDG tree of each test's
// own, the token in the private Secret Service of Testing/with-secret-service.sh. No user
// manager runs here: systemctl is the real one where its refusal is wanted, and a script that
// records its command lines where the service commands' calls are checked.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "Testing/ProgramTestSupport.h"
#include "Testing/SecretServiceTestSupport.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::ChildProcess;

// Generous: this bounds a hang; it times nothing.
constexpr auto kPatience = 60s;
constexpr const char* kSystemPath = "/usr/bin:/bin";

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::ostream& operator<<(std::ostream& stream, const ProgramRun& run) {
  return stream << "status " << run.status << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

std::string contentsOf(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

bool has(const std::string& text, std::string_view piece) {
  return text.find(piece) != std::string::npos;
}

class ServiceProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("kestro-service-" + UUID().uuidString());
    for (const char* name : {"home", "config", "data", "files", "bin"}) {
      fs::create_directories(root_ / name);
    }
    // A systemctl that records its command lines and finds the unit not running.
    std::ofstream(root_ / "bin" / "systemctl")
        << "#!/bin/sh\necho \"$*\" >> '" << (root_ / "calls").string()
        << "'\n[ \"$2\" = status ] && echo 'kestro-flush.service: inactive' && exit 3\nexit 0\n";
    fs::permissions(root_ / "bin" / "systemctl", fs::perms::owner_all);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // The tree's places; the session's bus (and with it the Secret Service) when `session`.
  std::vector<std::string> environment(const std::string& path, bool session = true) const {
    std::vector<std::string> environment{
        "HOME=" + (root_ / "home").string(), "XDG_CONFIG_HOME=" + (root_ / "config").string(),
        "XDG_DATA_HOME=" + (root_ / "data").string(), "PATH=" + path,
        "TSAN_OPTIONS=suppressions=" KESTRO_TSAN_SUPPRESSIONS};
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"}) {
      const char* value = std::getenv(name);
      if (value && session) environment.push_back(std::string(name) + "=" + value);
    }
    return environment;
  }
  ProgramRun run(const std::vector<std::string>& arguments, const std::string& path = kSystemPath,
                 bool session = true) const {
    ChildProcess child(arguments, environment(path, session));
    const int status = child.wait(kPatience).value_or(-1);
    return ProgramRun{status, child.output(), child.errors()};
  }
  // kestro with the scripted systemctl first in PATH.
  ProgramRun service(const char* command) const {
    return run({KESTRO_PROGRAM, "service", command}, (root_ / "bin").string() + ":" + kSystemPath);
  }
  std::string calls() const { return contentsOf(root_ / "calls"); }

  // systemd's own check of a unit: passed, and no complaint about it.
  void expectValidUnit(const fs::path& unit) const {
    const ProgramRun verified = run({"/usr/bin/systemd-analyze", "verify", unit.string()});
    EXPECT_EQ(verified.status, 0) << verified;
    EXPECT_FALSE(has(verified.err, unit.filename().string())) << verified;
  }
  fs::path userUnit() const { return root_ / "data/systemd/user/kestro-flush.service"; }

  fs::path root_;
};

TEST_F(ServiceProgramTest, EnableStatusAndDisableRunSystemctlOnAValidUnitNamingThisKestro) {
  const std::string unit = contentsOf(KESTRO_FLUSH_UNIT);
  for (const std::string& line :
       {std::string("\nExecStart=") + KESTRO_PROGRAM + " flush --watch\n",
        std::string("\nRestart=on-failure\n"), std::string("\nWantedBy=default.target\n")}) {
    EXPECT_TRUE(has(unit, line)) << line;
  }
  expectValidUnit(KESTRO_FLUSH_UNIT);

  const ProgramRun enabled = service("enable");
  ASSERT_EQ(enabled.status, 0) << enabled;
  EXPECT_EQ(calls(), "--user daemon-reload\n--user enable --now kestro-flush.service\n");
  EXPECT_EQ(contentsOf(userUnit()), unit);
  const ProgramRun status = service("status");
  EXPECT_EQ(status.status, 0) << status;
  EXPECT_TRUE(has(status.out, "inactive")) << status;
  fs::remove(root_ / "calls");
  ASSERT_EQ(service("disable").status, 0);
  EXPECT_EQ(calls(), "--user disable --now kestro-flush.service\n--user daemon-reload\n");
  EXPECT_FALSE(fs::exists(userUnit()));

  // A unit of that name that kestro did not write is neither replaced nor removed.
  std::ofstream(userUnit()) << "[Service]\nExecStart=/bin/true\n";
  const ProgramRun refused = service("enable");
  EXPECT_EQ(refused.status, 1) << refused;
  EXPECT_TRUE(has(refused.err, "not written by kestro")) << refused;
  ASSERT_EQ(service("disable").status, 0);
  EXPECT_EQ(contentsOf(userUnit()), "[Service]\nExecStart=/bin/true\n");
}

TEST_F(ServiceProgramTest, AKestroElsewhereIsNamedAsItIsAndNeedsItsUnitBesideIt) {
  const fs::path folder = root_ / "my 100% tools";
  fs::create_directories(folder);
  fs::copy_file(KESTRO_PROGRAM, folder / "kestro");
  const std::string path = (root_ / "bin").string() + ":" + kSystemPath;
  const ProgramRun lonely = run({(folder / "kestro").string(), "service", "enable"}, path);
  EXPECT_EQ(lonely.status, 1) << lonely;
  EXPECT_TRUE(has(lonely.err, "is not installed beside")) << lonely;
  EXPECT_FALSE(fs::exists(userUnit()));

  fs::copy_file(KESTRO_FLUSH_UNIT, folder / "kestro-flush.service");
  ASSERT_EQ(run({(folder / "kestro").string(), "service", "enable"}, path).status, 0);
  EXPECT_TRUE(has(contentsOf(userUnit()),
                  "\nExecStart=\"" + (root_ / "my 100%% tools/kestro").string() + "\" flush"));
  expectValidUnit(userUnit());
}

TEST_F(ServiceProgramTest, WithoutSystemctlOrAUserManagerTheServiceCommandsSaySoAndLeaveNothing) {
  const ProgramRun help = run({KESTRO_PROGRAM, "service", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(has(help.out, "enable") && has(help.out, "disable") && has(help.out, "status"));
  const ProgramRun none = run({KESTRO_PROGRAM, "service", "enable"}, (root_ / "bin/none").string());
  EXPECT_EQ(none.status, 1) << none;
  EXPECT_TRUE(has(none.err, "systemctl is not installed")) << none;
  // The real systemctl, without a session bus or runtime directory to find a user manager by.
  for (const char* command : {"enable", "status"}) {
    const ProgramRun refused = run({KESTRO_PROGRAM, "service", command}, kSystemPath, false);
    EXPECT_EQ(refused.status, 1) << refused;
    EXPECT_TRUE(has(refused.err, "no systemd user manager runs for this session")) << refused;
  }
  EXPECT_FALSE(fs::exists(userUnit()));
}

// Sent captures' files, through the programs against a stand-in server.
class SentFilesProgramTest : public ServiceProgramTest {
 protected:
  void SetUp() override {
    if (!testsupport::insideTestSecretService()) {
      GTEST_SKIP() << "needs the private Secret Service of Testing/with-secret-service.sh";
    }
    ServiceProgramTest::SetUp();
    server_.emplace(std::vector<std::string>{KESTRO_DEVSERVER_PROGRAM, "--port", "0"},
                    std::vector<std::string>{});
    const std::optional<std::string> url = server_->firstLine(kPatience);
    ASSERT_TRUE(url) << server_->errors();
    ASSERT_EQ(kestro({"signin", "--server", *url, "--email", "ada@example.com"}).status, 0);
  }
  void TearDown() override {
    if (server_) server_->signal(SIGTERM);
    ServiceProgramTest::TearDown();
  }

  ProgramRun kestro(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), KESTRO_PROGRAM);
    return run(arguments);
  }
  void setRetention(const json& value) const {
    const fs::path file = root_ / "config/kestro/settings.json";
    json settings = json::parse(contentsOf(file));
    settings["kestro.sent-file-retention"] = value;
    std::ofstream(file) << settings.dump();
  }
  // Shares a file; returns the folder it is staged in, named as the capture.
  fs::path share(const std::string& name) const {
    std::ofstream(root_ / "files" / name) << name;
    EXPECT_EQ(run({KESTRO_SHARE_PROGRAM, (root_ / "files" / name).string()}).status, 0);
    for (const json& record : json::parse(kestro({"outbox", "--json"}).out)) {
      if (record["stagedAssets"][0]["filename"] == name) {
        return URL::fromString(record["stagedAssets"][0]["localURL"].get<std::string>())
            ->filePath()
            ->parent_path();
      }
    }
    return {};
  }
  std::string stateOf(const fs::path& folder) const {
    for (const json& record : json::parse(kestro({"outbox", "--json"}).out)) {
      if (record["capture"]["clientCaptureId"] == folder.filename().string())
        return record["state"];
    }
    return "gone";
  }

  std::optional<ChildProcess> server_;
};

TEST_F(SentFilesProgramTest, FlushRemovesTheFilesOfCapturesSentLongerAgoThanTheRetention) {
  // A day unless set: what was just sent keeps its files.
  const fs::path first = share("first.txt");
  ASSERT_EQ(kestro({"flush"}).status, 0);
  EXPECT_EQ(stateOf(first), "complete");
  EXPECT_TRUE(fs::exists(first));
  // Not a duration: said, nothing removed, and the flush itself went well.
  setRetention("a while");
  ProgramRun flushed = kestro({"flush"});
  EXPECT_EQ(flushed.status, 0) << flushed;
  EXPECT_TRUE(has(flushed.err, "\"kestro.sent-file-retention\"") && has(flushed.err, "a while"))
      << flushed;
  EXPECT_TRUE(fs::exists(first));

  // At once: the sent capture's folder goes and its record stays sent; one set aside keeps its
  // files, as does one waiting for its first flush.
  setRetention("0");
  const fs::path aside = share("aside.txt");
  ASSERT_EQ(kestro({"outbox", "set-aside", aside.filename()}).status, 0);
  flushed = kestro({"flush"});
  EXPECT_EQ(flushed.status, 0) << flushed;
  EXPECT_EQ(flushed.err, "");
  const fs::path waiting = share("waiting.txt");
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(stateOf(first), "complete");
  EXPECT_FALSE(fs::is_empty(aside));
  EXPECT_FALSE(fs::is_empty(waiting));

  // What comes after copes with a sent capture without its folder.
  const ProgramRun exported = kestro({"outbox", "export", first.filename(), root_ / "kept"});
  EXPECT_EQ(exported.status, 0) << exported;
  EXPECT_TRUE(has(exported.err, "first.txt was no longer on this device")) << exported;
  EXPECT_EQ(kestro({"outbox", "prune", "--older-than", "0"}).status, 0);
  EXPECT_EQ(stateOf(first), "gone");
  EXPECT_EQ(stateOf(aside), "blocked_user_action");

  // The watcher removes them after its flushes.
  ChildProcess watcher({KESTRO_PROGRAM, "flush", "--watch"}, environment(kSystemPath));
  ASSERT_TRUE(watcher.firstLine(kPatience)) << watcher.errors();
  const fs::path watched = share("watched.txt");
  for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
       fs::exists(watched) && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_FALSE(fs::exists(watched));
  EXPECT_EQ(stateOf(watched), "complete");
  watcher.signal(SIGTERM);
  EXPECT_EQ(watcher.wait(kPatience), 0) << watcher.errors();
}

}  // namespace
}  // namespace kestro
