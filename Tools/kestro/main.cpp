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
#include "Tools/kestro/Commands.h"

namespace {

using namespace kestro;
using namespace kestro::commands;

const std::string kExitCodes = exitStatusTable();

constexpr const char* kPlaces =
    "Files: captures in $XDG_DATA_HOME/group.kestro.capture/ (~/.local/share/...), shared\n"
    "settings in $XDG_CONFIG_HOME/group.kestro.capture.json, the application's own settings in\n"
    "$XDG_CONFIG_HOME/kestro/settings.json (~/.config/...), the token in the desktop's keyring.\n"
    "Colour only on a terminal, and never when NO_COLOR is set.";

CLI::App* command(CLI::App& parent, const std::string& name, const std::string& description) {
  CLI::App* sub = parent.add_subcommand(name, description);
  sub->footer(kExitCodes);
  return sub;
}

}  // namespace

int main(int argc, char** argv) {
  // The bearer token sits in this process's memory while it works: no core file, and no
  // debugger or /proc reader of the same user without the privilege to trace, may see it.
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
    std::fprintf(stderr, "kestro: cannot keep this process out of core dumps: %s\n",
                 std::strerror(errno));
    return static_cast<int>(ExitStatus::failure);
  }
  // Writing to a closed pipe (kestro outbox | head -1) ends output, not the program with a
  // signal; a failed write is noticed at exit.
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app(
      "Kestro on Linux: sign in, see and send the captures waiting on this device, capture from\n"
      "the command line, and reach your items, tasks, search and conversations.",
      "kestro");
  app.footer("kestro help COMMAND, or kestro COMMAND --help, describes a command.\n\n" +
             kExitCodes + "\n\n" + kPlaces);
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", versionText());

  GlobalOptions global;
  app.add_flag("--no-keyring", global.noKeyring,
               "Keep the token in memory for this run only, never in the keyring (for tests "
               "without a Secret Service)");

  // signin, signout, status
  std::string server, email;
  bool json = false;
  CLI::App* signin = command(app, "signin", "Sign in to a server (development sign-in by e-mail)");
  bool allowInsecureHTTP = false;
  signin
      ->add_option("--server", server,
                   "The server's address: https://host[:port], or http://host:port on this "
                   "machine (localhost, 127.x.x.x, [::1])")
      ->required();
  signin->add_option("--email", email, "The account's e-mail address")->required();
  signin->add_flag("--allow-insecure-http", allowInsecureHTTP,
                   "Sign in to a plain-HTTP server on another machine all the same: the token "
                   "then crosses the network unencrypted");
  signin->add_flag("--json", json, "Print the account as JSON");
  CLI::App* signout = command(app, "signout", "Sign out: remove the token and the signed-in user");
  CLI::App* status = command(app, "status", "Who is signed in, where, and how many captures wait");
  status->add_flag("--json", json, "Print as JSON");

  // outbox and its maintenance
  CLI::App* outbox =
      command(app, "outbox", "List the captures on this device and where each stands");
  outbox->require_subcommand(0, 1);
  outbox->add_flag("--json", json, "Print the records as JSON");
  std::string olderThan;
  CLI::App* prune = command(*outbox, "prune",
                            "Remove sent and cancelled captures, their files, and files left by "
                            "failed shares");
  prune
      ->add_option("--older-than", olderThan,
                   "Only what is older than this: 30s, 15m, 12h, 7d, 2w, or sums like 1d12h "
                   "(files of failed shares also wait at least 15 minutes)")
      ->required();
  prune->add_flag("--json", json, "Print what was removed as JSON");
  std::string recordId, directory;
  CLI::App* retry = command(*outbox, "retry", "Make a capture that waits to retry go now");
  retry->add_option("id", recordId, "The capture's id, or its first characters")->required();
  CLI::App* setAside = command(*outbox, "set-aside",
                               "Stop sending a capture (one the server refuses, say): it stays "
                               "on this device as needing attention, to export");
  setAside->add_option("id", recordId, "The capture's id, or its first characters")->required();
  CLI::App* exportRecord = command(
      *outbox, "export",
      "Copy a capture's record and files into a directory, to keep (readable by you alone)");
  exportRecord->add_option("id", recordId, "The capture's id, or its first characters")->required();
  exportRecord->add_option("dir", directory, "Where to put them (created if missing)")->required();

  // flush
  bool watch = false;
  CLI::App* flush = command(app, "flush",
                            "Send every capture waiting on this device that can go now; with "
                            "--watch, keep sending as captures arrive. One flush of the outbox "
                            "runs at a time: another waits for it. Ctrl-C stops at once (exit "
                            "status 130), every capture safe");
  flush->add_flag("--watch", watch,
                  "Stay running: send each capture as it is shared, retry when due, and as soon "
                  "as the server answers again; stop with Ctrl-C");
  flush->add_flag("--json", json, "Print the outcome per capture as JSON (one object per flush)");

  // capture
  QuickCaptureArguments captureArguments;
  CLI::App* capture = command(app, "capture",
                              "Capture a web address, text, the clipboard or a note (kept on this "
                              "device until sent)");
  capture->add_option("--url", captureArguments.url, "A web address");
  capture->add_option("--text", captureArguments.text, "Text");
  capture->add_flag("--clipboard", captureArguments.clipboard,
                    "The clipboard's text (through wl-paste or xclip)");
  capture->add_option("--note", captureArguments.note, "Your note");
  capture->add_option("--task", captureArguments.taskDue, "Make a task of it, due when DUE says")
      ->expected(0, 1)
      ->type_name("[DUE]");
  capture->add_option("--app", captureArguments.application,
                      "The source application's id (detected through xprop or xdotool when not "
                      "given)");
  capture->add_option("--window-title", captureArguments.windowTitle,
                      "The source window's title (detected likewise)");
  capture->add_flag("--shortcut", captureArguments.shortcut,
                    "Made with a global keyboard shortcut (otherwise: by hand)");
  capture->add_flag("--json", json, "Print the record as JSON");

  // the server's side
  bool cached = false;
  CLI::App* items = command(app, "items", "List your items (what your captures became)");
  items->add_flag("--cached", cached, "From the copy kept by the last sync, without the network");
  items->add_flag("--json", json, "Print as JSON");
  CLI::App* tasks = command(app, "tasks", "List your tasks");
  tasks->add_flag("--json", json, "Print as JSON");
  std::string taskId;
  CLI::App* task = command(app, "task", "Change a task");
  task->require_subcommand(1);
  CLI::App* taskDone = command(*task, "done", "Mark a task done");
  taskDone->add_option("id", taskId, "The task's id, or its first characters")->required();
  std::vector<std::string> words;
  CLI::App* search = command(app, "search", "Search your items");
  search->add_option("text", words, "What to look for")->required();
  search->add_flag("--json", json, "Print as JSON");
  CLI::App* feedback = command(app, "feedback", "Send feedback to Kestro's makers");
  feedback->add_option("text", words, "What you would like to say")->required();
  bool yes = false;
  CLI::App* account = command(app, "account", "Your account");
  account->require_subcommand(1);
  CLI::App* accountDelete = command(*account, "delete",
                                    "Delete your account on the server and everything of it on "
                                    "this device, and sign out");
  accountDelete->add_flag("--yes", yes, "Do not ask for confirmation");

  ChatArguments chatArguments;
  CLI::App* chat = command(app, "chat",
                           "Ask the assistant; continues your last conversation unless told "
                           "otherwise, and prints the reply as it arrives");
  chat->add_option("message", chatArguments.words, "Your message")->required();
  CLI::Option* newOption =
      chat->add_flag("--new", chatArguments.startNew, "Start a new conversation");
  chat->add_option("--conversation", chatArguments.conversation, "Continue this conversation (id)")
      ->excludes(newOption);
  chat->add_flag("--json", json, "Print the whole reply as JSON once it is complete");

  CLI::App* sync = command(app, "sync",
                           "Fetch what changed on the server since the last sync and keep it on "
                           "this device (for items --cached)");
  sync->add_flag("--json", json, "Print as JSON");

  if (const std::optional<int> answered =
          answerHelpOrUnknownCommand(app, std::vector<std::string>(argv + 1, argv + argc))) {
    return *answered;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : static_cast<int>(ExitStatus::usage);
  }

  Application application(global);
  const auto run = [&]() -> int {
    try {
      if (signin->parsed()) return signIn(application, server, email, allowInsecureHTTP, json);
      if (signout->parsed()) return signOut(application);
      if (status->parsed()) return showStatus(application, json);
      if (prune->parsed()) return pruneOutbox(application, olderThan, json);
      if (retry->parsed()) return retryRecord(application, recordId);
      if (setAside->parsed()) return setAsideRecord(application, recordId);
      if (exportRecord->parsed()) return exportOutboxRecord(application, recordId, directory);
      if (outbox->parsed()) return listOutbox(application, json);
      if (flush->parsed())
        return watch ? watchOutbox(application, json) : flushOutbox(application, json);
      if (capture->parsed()) {
        captureArguments.task = capture->count("--task") > 0;
        return captureQuickly(application, captureArguments, json);
      }
      if (items->parsed()) return listItems(application, cached, json);
      if (tasks->parsed()) return listTasks(application, json);
      if (taskDone->parsed()) return completeTask(application, taskId);
      if (search->parsed()) return searchItems(application, joined(words), json);
      if (feedback->parsed()) return sendFeedback(application, joined(words));
      if (accountDelete->parsed()) return deleteAccount(application, yes);
      if (chat->parsed()) {
        chatArguments.json = json;
        return chatWithAssistant(application, chatArguments);
      }
      if (sync->parsed()) return synchronizeCache(application, json);
    } catch (...) {
      return reportFailure(std::current_exception());
    }
    return reportFailure(std::make_exception_ptr(
        ApplicationError(ExitStatus::usage, "no command given (see kestro --help)")));
  };
  const int result = run();
  // What was printed must have arrived: data cut short by a full disk is a failure, not a
  // success. A reader that stopped reading (kestro outbox | head -1) took what it wanted.
  std::cout.flush();
  const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout) && std::cout.good();
  if (!written && errno != EPIPE && result == 0) {
    std::fprintf(stderr, "kestro: the output could not be written: %s\n", std::strerror(errno));
    return static_cast<int>(ExitStatus::failure);
  }
  return result;
}
