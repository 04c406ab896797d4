// kestro on a machine without a Secret Service, end to end: kestro, kestro-share and
// kestro-devserver as real processes with no session bus at all (no DBUS_SESSION_BUS_ADDRESS, no
// display, and not under Testing/with-secret-service.sh), in a temporary XDG tree of each test's
// own. Signed in with --insecure-storage, the token lives in a file; without it, nothing works.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Testing/ProgramTestSupport.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::ChildProcess;

// Generous: these bound a hang; they time nothing.
constexpr auto kPatience = 60s;

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::ostream& operator<<(std::ostream& stream, const ProgramRun& run) {
  return stream << "status " << run.status << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

::testing::AssertionResult has(const std::string& text, std::string_view part) {
  return (text.find(part) != std::string::npos ? ::testing::AssertionSuccess()
                                               : ::testing::AssertionFailure())
         << "\"" << part << "\" in:\n"
         << text;
}

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

std::string contentsOf(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

class InsecureStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"home", "config", "data", "tmp"}) {
      fs::create_directories(root_.path() / name);
    }
    server_.emplace(std::vector<std::string>{KESTRO_DEVSERVER_PROGRAM, "--port", "0"},
                    environment());
    const std::optional<std::string> line = server_->firstLine(kPatience);
    ASSERT_TRUE(line) << server_->errors();
    url_ = *line;
  }

  // Exactly this: nothing that leads to a bus or a display.
  std::vector<std::string> environment() const {
    return {"HOME=" + (root_.path() / "home").string(),
            "XDG_CONFIG_HOME=" + (root_.path() / "config").string(),
            "XDG_DATA_HOME=" + (root_.path() / "data").string(),
            "TMPDIR=" + (root_.path() / "tmp").string(), "PATH=/usr/bin:/bin", "TZ=UTC",
            // Read only by programs built with ThreadSanitizer.
            "TSAN_OPTIONS=suppressions=" KESTRO_TSAN_SUPPRESSIONS};
  }

  ProgramRun run(const char* program, const std::vector<std::string>& arguments) const {
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ChildProcess child(all, environment());
    const int status = child.wait(kPatience).value_or(-1);
    return ProgramRun{status, child.output(), child.errors()};
  }
  ProgramRun kestro(const std::vector<std::string>& arguments) const {
    return run(KESTRO_PROGRAM, arguments);
  }
  ProgramRun signIn(std::vector<std::string> extra = {}) const {
    std::vector<std::string> arguments{"signin", "--server", url_, "--email", "ada@example.com"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return kestro(arguments);
  }

  const fs::path& root() const { return root_.path(); }
  fs::path directory() const { return root() / "config" / "kestro"; }
  fs::path tokenFile() const { return directory() / "tokens.json"; }

  testsupport::TemporaryDirectory root_{"kestro-insecure-storage"};
  std::optional<ChildProcess> server_;
  std::string url_;
};

TEST_F(InsecureStorageTest, SignedInWithTheTokenFileEveryProgramWorksWithoutABus) {
  // Group-writable by default, as on many desktops; the programs inherit it.
  const mode_t previous = ::umask(002);
  const ProgramRun signin = signIn({"--insecure-storage"});
  ::umask(previous);
  ASSERT_EQ(signin.status, 0) << signin;
  EXPECT_TRUE(has(signin.err, "kestro: the token is stored in clear in " + tokenFile().string() +
                                  ", readable by anyone who can read your files as you"));
  EXPECT_EQ(modeOf(tokenFile()), 0600u);
  EXPECT_EQ(modeOf(directory()), 0700u);
  EXPECT_TRUE(has(contentsOf(tokenFile()), "\"account\": \"" + url_ + "\""));

  const ProgramRun shared = run(KESTRO_SHARE_PROGRAM, {"https://example.com/article"});
  ASSERT_EQ(shared.status, 0) << shared;
  const ProgramRun flushed = kestro({"flush", "--json"});
  ASSERT_EQ(flushed.status, 0) << flushed;
  const ProgramRun items = kestro({"items", "--json"});
  ASSERT_EQ(items.status, 0) << items;
  const json list = json::parse(items.out);
  ASSERT_EQ(list.size(), 1u) << list;
  EXPECT_TRUE(has(list[0].dump(), "https://example.com/article"));

  const ProgramRun status = kestro({"status"});
  EXPECT_EQ(status.status, 0) << status;
  EXPECT_TRUE(has(status.out, "the token is stored in clear in " + tokenFile().string()));
  const ProgramRun document = kestro({"status", "--json"});
  ASSERT_EQ(document.status, 0) << document;
  const json fields = json::parse(document.out);
  EXPECT_EQ(fields["signedIn"], true);
  EXPECT_EQ(fields["tokenStorage"], "file");
  EXPECT_EQ(fields["tokenFile"], tokenFile().string());

  const ProgramRun signout = kestro({"signout"});
  ASSERT_EQ(signout.status, 0) << signout;
  EXPECT_FALSE(fs::exists(fs::symlink_status(tokenFile())));
  const ProgramRun after = kestro({"status", "--json"});
  EXPECT_EQ(after.status, 3) << after;
  EXPECT_EQ(json::parse(after.out)["tokenStorage"], "keyring");
}

// The token file only ever on request: a missing Secret Service stays an error.
TEST_F(InsecureStorageTest, WithoutTheFlagSigningInFailsAndWritesNoTokenAnywhere) {
  const ProgramRun signin = signIn();
  EXPECT_EQ(signin.status, 1) << signin;
  EXPECT_TRUE(has(signin.err, "no Secret Service"));
  EXPECT_TRUE(has(signin.err, "kestro signin --insecure-storage"));
  EXPECT_EQ(std::count(signin.err.begin(), signin.err.end(), '\n'), 1) << signin;
  EXPECT_FALSE(fs::exists(tokenFile()));
  const ProgramRun status = kestro({"status"});
  EXPECT_EQ(status.status, 3) << status;

  const ProgramRun contradictory = kestro({"--no-keyring", "signin", "--server", url_, "--email",
                                           "ada@example.com", "--insecure-storage"});
  EXPECT_EQ(contradictory.status, 2) << contradictory;
  EXPECT_TRUE(has(contradictory.err, "give one of them"));
  EXPECT_FALSE(fs::exists(tokenFile()));

  // Once signed in with the file, a sign-in without the flag still fails, and the file stays
  // the token's only place.
  ASSERT_EQ(signIn({"--insecure-storage"}).status, 0);
  const std::string token = contentsOf(tokenFile());
  EXPECT_EQ(signIn().status, 1);
  EXPECT_EQ(contentsOf(tokenFile()), token);
  EXPECT_EQ(kestro({"status"}).status, 0);
}

TEST_F(InsecureStorageTest, ATokenFileThatCannotBeReadFailsCommandsRatherThanSigningOut) {
  ASSERT_EQ(signIn({"--insecure-storage"}).status, 0);
  const std::string damaged = "{\"items\": [{\"service\": \"org.kestro.Kestro\"";
  std::ofstream(tokenFile(), std::ios::trunc) << damaged;
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"status"}, {"flush"}, {"items"}}) {
    const ProgramRun failed = kestro(command);
    EXPECT_EQ(failed.status, 1) << command[0] << ": " << failed;
    EXPECT_TRUE(has(failed.err, "kestro: the token file " + tokenFile().string() +
                                    " is damaged: it is not what kestro writes; remove it and "
                                    "sign in again"));
  }
  // Nothing writes over it, a new sign-in neither; signing out removes it.
  EXPECT_EQ(signIn({"--insecure-storage"}).status, 1);
  EXPECT_EQ(contentsOf(tokenFile()), damaged);
  ASSERT_EQ(kestro({"signout"}).status, 0);
  EXPECT_FALSE(fs::exists(tokenFile()));
}

}  // namespace
}  // namespace kestro
