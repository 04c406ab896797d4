#pragma once

// The commands of `kestro` as one table: where each sits, its name and help, the options it
// takes and the function that runs it. main builds the command line from the table and runs the
// one command that was parsed; adding a command is adding a row.

#include <CLI/CLI.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Tools/kestro/BrowserSetup.h"
#include "Tools/kestro/Commands.h"

namespace kestro::commands {

// What the commands' options fill in. Options of the same name on several commands (--json,
// the words of search and feedback) share one field: only one command runs.
struct Arguments {
  bool json = false;
  // signin
  std::string server;
  std::string email;
  bool allowInsecureHTTP = false;
  bool insecureStorage = false;
  // outbox
  std::string olderThan;
  std::string recordId;
  std::string directory;
  // flush
  bool watch = false;
  // capture
  QuickCaptureArguments capture;
  // items, task, search, feedback, account
  bool cached = false;
  std::string taskId;
  std::vector<std::string> words;
  bool yes = false;
  // chat
  ChatArguments chat;
  // browser install, uninstall
  BrowserSetupArguments browserSetup;
};

struct Command {
  std::string_view parent;  // the command it belongs to, or empty for one of kestro's own
  std::string_view name;
  std::string_view help;
  // Adds the command's options and settings; may be null.
  void (*define)(CLI::App& command, Arguments& arguments);
  // Runs the command once its line is parsed; null for a command that only groups others.
  int (*run)(Application& application, Arguments& arguments, const CLI::App& command);
};

// Every command, parents before the commands they hold, in the order --help lists them.
std::span<const Command> commandTable();

// Adds the table's commands to `app`, each with `footer`, their options bound to `arguments`.
void addCommands(CLI::App& app, Arguments& arguments, const std::string& footer);

// Runs the command that `app` parsed, deepest first ("outbox prune" rather than "outbox");
// throws ApplicationError (usage) when the line named none that runs.
int runParsedCommand(const CLI::App& app, Application& application, Arguments& arguments);

}  // namespace kestro::commands
