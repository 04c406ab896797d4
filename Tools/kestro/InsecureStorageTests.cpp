// kestro on a machine without a Secret Service, end to end: kestro, kestro-share and
// kestro-devserver as real processes with no session bus at all (no DBUS_SESSION_BUS_ADDRESS, no
// display, and not under Testing/with-secret-service.sh), in a temporary XDG tree of each test's
// own. Signed in with --insecure-storage, the token lives in a file; without it, nothing works.

#include <gtest/gtest.h>
#include <sys/stat.h>

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
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
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

  fs::path directory() const { return root_.path() / "config" / "kestro"; }
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
  const std::string warning = "the token is stored in clear in " + tokenFile().string() +
                              ", readable by anyone who can read your files as you";
  EXPECT_TRUE(has(signin.err, "kestro: " + warning));
  EXPECT_EQ(modeOf(tokenFile()), 0600u);
  EXPECT_EQ(modeOf(directory()), 0700u);

  ASSERT_EQ(run(KESTRO_SHARE_PROGRAM, {"https://example.com/article"}).status, 0);
  ASSERT_EQ(kestro({"flush"}).status, 0);
  const ProgramRun items = kestro({"items", "--json"});
  ASSERT_EQ(items.status, 0) << items;
  EXPECT_TRUE(has(items.out, "https://example.com/article"));

  EXPECT_TRUE(has(kestro({"status"}).out, warning));
  const ProgramRun status = kestro({"status", "--json"});
  ASSERT_EQ(status.status, 0) << status;
  EXPECT_EQ(json::parse(status.out)["tokenStorage"], "file");
  EXPECT_EQ(json::parse(status.out)["tokenFile"], tokenFile().string());

  // A damaged file is a failure that names it, not "not signed in".
  const std::string token = contentsOf(tokenFile());
  std::ofstream(tokenFile(), std::ios::trunc) << "{";
  const ProgramRun damaged = kestro({"status"});
  EXPECT_EQ(damaged.status, 1) << damaged;
  EXPECT_TRUE(has(damaged.err, tokenFile().string() + " is damaged"));
  std::ofstream(tokenFile(), std::ios::trunc) << token;

  ASSERT_EQ(kestro({"signout"}).status, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(tokenFile())));
  EXPECT_EQ(kestro({"status"}).status, 3);
}

// The token file only ever on request: a missing Secret Service stays an error.
TEST_F(InsecureStorageTest, WithoutTheFlagSigningInFailsAndWritesNoTokenAnywhere) {
  const ProgramRun signin = signIn();
  EXPECT_EQ(signin.status, 1) << signin;
  EXPECT_TRUE(has(signin.err, "no Secret Service"));
  EXPECT_TRUE(has(signin.err, "kestro signin --insecure-storage"));
  EXPECT_FALSE(fs::exists(tokenFile()));
  EXPECT_EQ(kestro({"status"}).status, 3);

  // Once signed in with the file, a sign-in without the flag fails the same way and leaves the
  // file the token's only place.
  ASSERT_EQ(signIn({"--insecure-storage"}).status, 0);
  const std::string token = contentsOf(tokenFile());
  EXPECT_EQ(signIn().status, 1);
  EXPECT_EQ(contentsOf(tokenFile()), token);
  EXPECT_EQ(kestro({"status"}).status, 0);
}

}  // namespace
}  // namespace kestro
