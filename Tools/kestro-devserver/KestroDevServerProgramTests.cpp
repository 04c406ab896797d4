// The kestro-devserver program itself, run as a real process: what scripts rely on (the URL on
// the first line, a clean exit on SIGINT and SIGTERM) and its command line. Every process started
// here is waited for, and killed if it outlives the test.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/API/KestroAPIClient.h"
#include "Testing/ProgramTestSupport.h"
#include "Testing/TemporaryDirectory.h"

extern char** environ;

namespace kestro {
namespace {

using namespace std::chrono_literals;

// Generous: these bound a hang, they time nothing.
constexpr auto kPatience = 20s;

// kestro-devserver with `arguments`, in this process's environment.
testsupport::ChildProcess devserver(const std::vector<std::string>& arguments) {
  std::vector<std::string> all{KESTRO_DEVSERVER_PROGRAM};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) environment.emplace_back(*variable);
  return testsupport::ChildProcess(all, environment);
}

TEST(KestroDevServerProgramTest, PrintsItsURLFirstServesThereAndStopsCleanlyOnSignals) {
  const testsupport::TemporaryDirectory temporary;
  const std::filesystem::path storage = temporary.path() / "storage";
  for (const int stopSignal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(stopSignal);
    testsupport::ChildProcess program =
        devserver({"--port", "0", "--storage", storage.string(), "--fault",
                   R"({"route": "GET /v1/items", "status": 500, "retryable": false})"});
    const std::optional<std::string> base = program.firstLine(kPatience);
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
    EXPECT_EQ(program.wait(kPatience), 0);
    EXPECT_EQ(program.errors(), "");
  }
  EXPECT_TRUE(std::filesystem::is_directory(storage / "uploads"));

  // A fault rule that does not read ends the program before it serves.
  testsupport::ChildProcess badFault =
      devserver({"--port", "0", "--fault", R"({"route": "/v1/items", "action": "explode"})"});
  EXPECT_EQ(badFault.wait(kPatience), 2);
  EXPECT_NE(badFault.errors().find("\"action\""), std::string::npos);
  EXPECT_EQ(badFault.output(), "");
}

TEST(KestroDevServerProgramTest, ListeningBeyondThisMachineNamesTheAddressAndWarns) {
  testsupport::ChildProcess program = devserver({"--port", "0", "--bind", "0.0.0.0"});
  const std::optional<std::string> base = program.firstLine(kPatience);
  ASSERT_TRUE(base) << program.errors();
  EXPECT_TRUE(base->starts_with("http://0.0.0.0:")) << *base;
  // The printed address is one it answers to (here, connecting to 0.0.0.0 reaches this machine).
  const KestroAPIClient client(*URL::fromString(*base), makeURLSession(), {});
  EXPECT_FALSE(client.developmentSession("ann@example.com").token.empty());

  program.signal(SIGTERM);
  EXPECT_EQ(program.wait(kPatience), 0);
  EXPECT_NE(program.errors().find("reachable from the network"), std::string::npos)
      << program.errors();
}

TEST(KestroDevServerProgramTest, AWrongCommandLineOrAPortInUseEndsItWithOneLine) {
  testsupport::ChildProcess first = devserver({"--port", "0"});
  const std::optional<std::string> base = first.firstLine(kPatience);
  ASSERT_TRUE(base);
  const std::string port = base->substr(base->rfind(':') + 1);

  // A second server on that port would take some of the first one's connections.
  testsupport::ChildProcess second = devserver({"--port", port});
  EXPECT_EQ(second.wait(kPatience), 1);
  EXPECT_EQ(second.output(), "");
  EXPECT_EQ(second.errors(), "kestro-devserver: cannot listen on 127.0.0.1:" + port +
                                 ": the port is in use (another server holds it)\n");

  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"--port", "eighty"}, {"--port", "70000"}, {"--colour"}, {"--reply-deltas", "-1"}}) {
    SCOPED_TRACE(wrong.front() + (wrong.size() > 1 ? " " + wrong.back() : ""));
    testsupport::ChildProcess program = devserver(wrong);
    EXPECT_EQ(program.wait(kPatience), 2);
    EXPECT_EQ(program.output(), "");
    EXPECT_NE(program.errors(), "");
  }
  testsupport::ChildProcess help = devserver({"--help"});
  EXPECT_EQ(help.wait(kPatience), 0);
  EXPECT_NE(help.output().find("2  the command line was wrong"), std::string::npos);

  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(kPatience), 0);
}

}  // namespace
}  // namespace kestro
