// kestro: the Kestro application on Linux. It signs in, shows and drains the outbox that the
// share target fills, makes quick captures, and reaches the user's items, tasks, search,
// conversations and account on the server. Every decision is in KestroCore/Application; this file
// parses the command line, calls, and prints. See --help.

#include <signal.h>
#include <sys/prctl.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/ExitStatus.h"
#include "Tools/kestro/CommandLine.h"
#include "Tools/kestro/CommandTable.h"
#include "Tools/kestro/Commands.h"

namespace {

using namespace kestro;
using namespace kestro::commands;

constexpr const char* kPlaces =
    "Files: captures in $XDG_DATA_HOME/group.kestro.capture/ (~/.local/share/...), shared\n"
    "settings in $XDG_CONFIG_HOME/group.kestro.capture.json, the application's own settings in\n"
    "$XDG_CONFIG_HOME/kestro/settings.json (~/.config/...), the token in the desktop's keyring\n"
    "(or, after signin --insecure-storage, in clear in $XDG_CONFIG_HOME/kestro/tokens.json).\n"
    "Colour only on a terminal, and never when NO_COLOR is set.";

}  // namespace

int main(int argc, char** argv) {
  // The bearer token sits in this process's memory while it works: no core file, and no
  // debugger or /proc reader of the same user without the privilege to trace, may see it.
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
    std::fprintf(stderr, "kestro: cannot keep this process out of core dumps: %s\n",
                 std::strerror(errno));
    return exitCode(ExitStatus::failure);
  }
  // Writing to a closed pipe (kestro outbox | head -1) ends output, not the program with a
  // signal; a failed write is noticed at exit.
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app(
      "Kestro on Linux: sign in, see and send the captures waiting on this device, capture from\n"
      "the command line, and reach your items, tasks, search and conversations.",
      "kestro");
  app.footer("kestro help COMMAND, or kestro COMMAND --help, describes a command.\n\n" +
             exitStatusTable() + "\n\n" + kPlaces);
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", versionText());

  GlobalOptions global;
  app.add_flag("--no-keyring", global.noKeyring,
               "Keep the token in memory for this run only, never in the keyring (for tests "
               "without a Secret Service)");
  Arguments arguments;
  addCommands(app, arguments, exitStatusTable());

  if (const std::optional<int> answered =
          answerHelpOrUnknownCommand(app, std::vector<std::string>(argv + 1, argv + argc))) {
    return *answered;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return exitCode(status == 0 ? ExitStatus::ok : ExitStatus::usage);
  }

  Application application(global);
  const auto run = [&]() -> int {
    try {
      return runParsedCommand(app, application, arguments);
    } catch (...) {
      return reportFailure(std::current_exception());
    }
  };
  const int result = run();
  // What was printed must have arrived: data cut short by a full disk is a failure, not a
  // success. A reader that stopped reading (kestro outbox | head -1) took what it wanted.
  std::cout.flush();
  const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout) && std::cout.good();
  if (!written && errno != EPIPE && result == 0) {
    std::fprintf(stderr, "kestro: the output could not be written: %s\n", std::strerror(errno));
    return exitCode(ExitStatus::failure);
  }
  return result;
}
