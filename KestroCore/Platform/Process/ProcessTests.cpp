#include "KestroCore/Platform/Process/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <system_error>
#include <vector>

#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Process/TemporaryDirectory.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;

ProcessOptions shell(const std::string& script, ProcessInput input = ProcessInput::inherit()) {
  ProcessOptions options;
  options.arguments = {"/bin/sh", "-c", script};
  options.standardInput = std::move(input);
  options.standardOutput = ProcessOutput::capture();
  options.standardError = ProcessOutput::capture();
  return options;
}

TEST(ProcessTest, ReportsExitCodesAndSignals) {
  const ProcessResult exited = runProcess(shell("echo out; echo err >&2; exit 3"));
  EXPECT_EQ(exited.status.exitCode, 3);
  EXPECT_EQ(exited.standardOutput, "out\n");
  EXPECT_EQ(exited.standardError, "err\n");

  const ProcessResult killed = runProcess(shell("kill -TERM $$; sleep 5"));
  EXPECT_EQ(killed.status.signal, SIGTERM);
  EXPECT_EQ(killed.status.shellStatus(), 128 + SIGTERM);
}

TEST(ProcessTest, MegabytesOnBothStreamsAreReadTogetherAndCutAtTheirLimits) {
  // 4 MiB on each stream, interleaved: a reader of one pipe at a time would block the child.
  const std::string script =
      "i=0; while [ $i -lt 64 ]; do head -c 65536 /dev/zero; head -c 65536 /dev/zero >&2; "
      "i=$((i+1)); done; exit 7";
  ProcessOptions limited = shell(script);
  limited.standardOutput = ProcessOutput::capture(1000);
  limited.standardError = ProcessOutput::capture(4u << 20);
  const ProcessResult cut = runProcess(std::move(limited));
  // Past the limit the rest is drained, so the child still finishes on its own.
  EXPECT_EQ(cut.status.exitCode, 7);
  EXPECT_EQ(cut.standardOutput, std::string(1000, '\0'));
  EXPECT_TRUE(cut.standardOutputCut);
  EXPECT_EQ(cut.standardError.size(), 4u << 20);
  EXPECT_FALSE(cut.standardErrorCut);
}

TEST(ProcessTest, StandardInputLargerThanAPipeIsFedWhileOutputIsRead) {
  std::string input;
  for (int i = 0; i < 300000; ++i) input += static_cast<char>('a' + i % 26);
  EXPECT_EQ(runProcess(shell("cat", ProcessInput::text(input))).standardOutput, input);
  // A child that stops reading early: the rest is dropped without a SIGPIPE here.
  EXPECT_TRUE(
      runProcess(shell("head -c 10 >/dev/null", ProcessInput::text(std::string(1 << 20, 'x'))))
          .status.succeeded());
  // /dev/null is end of file at once.
  EXPECT_EQ(runProcess(shell("wc -c", ProcessInput::null())).standardOutput, "0\n");
}

TEST(ProcessTest, TheTimeLimitKillsTheChild) {
  ProcessOptions options = shell("echo started; exec sleep 30");
  options.timeLimit = 200ms;
  const ProcessResult result = runProcess(std::move(options));
  EXPECT_TRUE(result.status.timedOut);
  EXPECT_EQ(result.status.signal, SIGKILL);
  EXPECT_EQ(result.standardOutput, "started\n");

  // A grandchild holding the pipe open past the limit does not keep the caller waiting either.
  ProcessOptions detached = shell("sleep 5 & echo parent");
  detached.timeLimit = 300ms;
  const ProcessResult parent = runProcess(std::move(detached));
  EXPECT_EQ(parent.status.exitCode, 0);
  EXPECT_FALSE(parent.status.timedOut);
  EXPECT_EQ(parent.standardOutput, "parent\n");
}

TEST(ProcessTest, AMissingProgramOrDirectoryIsATypedError) {
  ProcessOptions missing;
  missing.arguments = {"/nonexistent/kestro-no-such-program"};
  try {
    Process::start(missing);
    FAIL() << "started a missing program";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(error.what()).find("kestro-no-such-program"), std::string::npos);
  }
  ProcessOptions elsewhere = shell("pwd");
  elsewhere.workingDirectory = "/nonexistent/directory";
  EXPECT_THROW(runProcess(elsewhere), std::system_error);
  EXPECT_THROW(Process::start(ProcessOptions{}), std::system_error);

  EXPECT_TRUE(programInPath("sh"));
  EXPECT_FALSE(programInPath("kestro-no-such-program"));
  EXPECT_FALSE(programInPath("/etc/passwd"));  // there, but not executable
}

TEST(ProcessTest, TheChildGetsItsEnvironmentDirectoryAndOnlyItsStandardDescriptors) {
  // Opened without O_CLOEXEC, as a library on another thread might: still not the child's.
  const FileDescriptor leaky(::open("/dev/null", O_RDONLY));
  ASSERT_GT(leaky.get(), 2);

  const TemporaryDirectory directory("kestro-process-test");
  ProcessOptions options =
      shell("ls /proc/self/fd | sort -n | tr '\\n' ' '; echo; pwd; echo $KESTRO_X");
  options.environment = std::vector<std::string>{"KESTRO_X=given", "PATH=/usr/bin:/bin"};
  options.workingDirectory = directory.path();
  const ProcessResult result = runProcess(std::move(options));
  ASSERT_EQ(result.status.exitCode, 0) << result.standardError;
  // ls's own directory descriptor is 3; nothing of ours is there.
  EXPECT_EQ(result.standardOutput, "0 1 2 3 \n" + directory.path().string() + "\ngiven\n");
}

}  // namespace
}  // namespace kestro
