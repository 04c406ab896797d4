#include "Tools/kestro/CommandTable.h"

#include <algorithm>

#include "KestroCore/Application/ApplicationError.h"
#include "Tools/kestro/BrowserSetup.h"
#include "Tools/kestro/DesktopSetup.h"
#include "Tools/kestro/ServiceCommands.h"

namespace kestro::commands {
namespace {

constexpr const char* kRecordIdHelp = "The capture's id, or its first characters";

void defineBrowserOptions(CLI::App& command, Arguments& a) {
  command
      .add_option("--browser", a.browserSetup.browser, "Only this browser (all three otherwise)")
      ->check(CLI::IsMember({"chromium", "chrome", "firefox"}));
  command.add_option("--profile", a.browserSetup.profile,
                     "A Chromium user-data directory (the folder holding \"Local State\"): its "
                     "own NativeMessagingHosts/ instead of the default one");
  command.footer([] { return browserExtensionHelp(); });
}

constexpr Command kCommands[] = {
    // signin, signout, status
    {"", "signin", "Sign in to a server (development sign-in by e-mail)",
     [](CLI::App& command, Arguments& a) {
       command
           .add_option("--server", a.server,
                       "The server's address: https://host[:port], or http://host:port on this "
                       "machine (localhost, 127.x.x.x, [::1])")
           ->required();
       command.add_option("--email", a.email, "The account's e-mail address")->required();
       command.add_flag("--allow-insecure-http", a.allowInsecureHTTP,
                        "Sign in to a plain-HTTP server on another machine all the same: the "
                        "token then crosses the network unencrypted");
       command.add_flag("--insecure-storage", a.insecureStorage,
                        "Keep the token in a file ($XDG_CONFIG_HOME/kestro/tokens.json, mode "
                        "0600) rather than in the keyring, for a machine without a Secret "
                        "Service: it lies there in clear, readable by anyone who can read your "
                        "files");
       command.add_flag("--json", a.json, "Print the account as JSON");
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return signIn(application, a.server, a.email, a.allowInsecureHTTP, a.insecureStorage,
                     a.json);
     }},
    {"", "signout", "Sign out: remove the token and the signed-in user", nullptr,
     [](Application& application, Arguments&, const CLI::App&) { return signOut(application); }},
    {"", "status", "Who is signed in, where, and how many captures wait",
     [](CLI::App& command, Arguments& a) { command.add_flag("--json", a.json, "Print as JSON"); },
     [](Application& application, Arguments& a, const CLI::App&) {
       return showStatus(application, a.json);
     }},

    // outbox and its maintenance
    {"", "outbox", "List the captures on this device and where each stands",
     [](CLI::App& command, Arguments& a) {
       command.require_subcommand(0, 1);
       command.add_flag("--json", a.json, "Print the records as JSON");
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return listOutbox(application, a.json);
     }},
    {"outbox", "prune",
     "Remove sent and cancelled captures, their files, and files left by failed shares",
     [](CLI::App& command, Arguments& a) {
       command
           .add_option("--older-than", a.olderThan,
                       "Only what is older than this: 30s, 15m, 12h, 7d, 2w, or sums like 1d12h "
                       "(files of failed shares also wait at least 15 minutes)")
           ->required();
       command.add_flag("--json", a.json, "Print what was removed as JSON");
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return pruneOutbox(application, a.olderThan, a.json);
     }},
    {"outbox", "retry", "Make a capture that waits to retry go now",
     [](CLI::App& command, Arguments& a) {
       command.add_option("id", a.recordId, kRecordIdHelp)->required();
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return retryRecord(application, a.recordId);
     }},
    {"outbox", "set-aside",
     "Stop sending a capture (one the server refuses, say): it stays on this device as needing "
     "attention, to export",
     [](CLI::App& command, Arguments& a) {
       command.add_option("id", a.recordId, kRecordIdHelp)->required();
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return setAsideRecord(application, a.recordId);
     }},
    {"outbox", "export",
     "Copy a capture's record and files into a directory, to keep (readable by you alone)",
     [](CLI::App& command, Arguments& a) {
       command.add_option("id", a.recordId, kRecordIdHelp)->required();
       command.add_option("dir", a.directory, "Where to put them (created if missing)")->required();
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return exportOutboxRecord(application, a.recordId, a.directory);
     }},

    // flush
    {"", "flush",
     "Send every capture waiting on this device that can go now; with --watch, keep sending as "
     "captures arrive. One flush of the outbox runs at a time: another waits for it. Ctrl-C "
     "stops at once (exit status 130), every capture safe",
     [](CLI::App& command, Arguments& a) {
       command.add_flag("--watch", a.watch,
                        "Stay running: send each capture as it is shared, retry when due, and as "
                        "soon as the server answers again; stop with Ctrl-C. A desktop "
                        "notification tells once of a capture the server refuses or that waits "
                        "more than a day, and of a sign-in the server no longer accepts");
       command.add_flag("--json", a.json,
                        "Print the outcome per capture as JSON (one object per flush)");
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return a.watch ? watchOutbox(application, a.json) : flushOutbox(application, a.json);
     }},

    // the watcher as a systemd user service
    {"", "service",
     "Run the watcher (kestro flush --watch) as a systemd user service, kestro-flush.service, "
     "through systemctl --user",
     [](CLI::App& command, Arguments&) { command.require_subcommand(1); }, nullptr},
    {"service", "enable",
     "Write the unit into ~/.local/share/systemd/user/, naming this kestro, then enable and "
     "start it: the watcher runs now and whenever you log in",
     nullptr,
     [](Application& application, Arguments&, const CLI::App&) {
       return enableService(application);
     }},
    {"service", "disable", "Stop and disable the service, and remove the unit enable wrote",
     nullptr,
     [](Application& application, Arguments&, const CLI::App&) {
       return disableService(application);
     }},
    {"service", "status", "Show whether the service runs, and its latest lines (systemctl status)",
     nullptr,
     [](Application& application, Arguments&, const CLI::App&) {
       return showService(application);
     }},

    // capture
    {"", "capture",
     "Capture a web address, text, the clipboard or a note (kept on this device until sent)",
     [](CLI::App& command, Arguments& a) {
       QuickCaptureArguments& capture = a.capture;
       command.add_option("--url", capture.url, "A web address");
       command.add_option("--text", capture.text, "Text");
       command.add_flag("--clipboard", capture.clipboard,
                        "The clipboard's text (through wl-paste or xclip)");
       command.add_option("--note", capture.note, "Your note");
       command.add_option("--task", capture.taskDue, "Make a task of it, due when DUE says")
           ->expected(0, 1)
           ->type_name("[DUE]");
       command.add_option("--app", capture.application,
                          "The source application's id (detected through xprop or xdotool when "
                          "not given)");
       command.add_option("--window-title", capture.windowTitle,
                          "The source window's title (detected likewise)");
       command.add_flag("--shortcut", capture.shortcut,
                        "Made with a global keyboard shortcut (otherwise: by hand)");
       command.add_flag("--json", a.json, "Print the record as JSON");
     },
     [](Application& application, Arguments& a, const CLI::App& command) {
       a.capture.task = command.count("--task") > 0;
       return captureQuickly(application, a.capture, a.json);
     }},

    // the server's side
    {"", "items", "List your items (what your captures became)",
     [](CLI::App& command, Arguments& a) {
       command.add_flag("--cached", a.cached,
                        "From the copy kept by the last sync, without the network");
       command.add_flag("--json", a.json, "Print as JSON");
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return listItems(application, a.cached, a.json);
     }},
    {"", "tasks", "List your tasks",
     [](CLI::App& command, Arguments& a) { command.add_flag("--json", a.json, "Print as JSON"); },
     [](Application& application, Arguments& a, const CLI::App&) {
       return listTasks(application, a.json);
     }},
    {"", "task", "Change a task",
     [](CLI::App& command, Arguments&) { command.require_subcommand(1); }, nullptr},
    {"task", "done", "Mark a task done",
     [](CLI::App& command, Arguments& a) {
       command.add_option("id", a.taskId, "The task's id, or its first characters")->required();
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return completeTask(application, a.taskId);
     }},
    {"", "search", "Search your items",
     [](CLI::App& command, Arguments& a) {
       command.add_option("text", a.words, "What to look for")->required();
       command.add_flag("--json", a.json, "Print as JSON");
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return searchItems(application, joined(a.words), a.json);
     }},
    {"", "feedback", "Send feedback to Kestro's makers",
     [](CLI::App& command, Arguments& a) {
       command.add_option("text", a.words, "What you would like to say")->required();
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return sendFeedback(application, joined(a.words));
     }},
    {"", "account", "Your account",
     [](CLI::App& command, Arguments&) { command.require_subcommand(1); }, nullptr},
    {"account", "delete",
     "Delete your account on the server and everything of it on this device, and sign out",
     [](CLI::App& command, Arguments& a) {
       command.add_flag("--yes", a.yes, "Do not ask for confirmation");
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       return deleteAccount(application, a.yes);
     }},

    {"", "chat",
     "Ask the assistant; continues your last conversation unless told otherwise, and prints the "
     "reply as it arrives",
     [](CLI::App& command, Arguments& a) {
       ChatArguments& chat = a.chat;
       command.add_option("message", chat.words, "Your message")->required();
       CLI::Option* newOption =
           command.add_flag("--new", chat.startNew, "Start a new conversation");
       command.add_option("--conversation", chat.conversation, "Continue this conversation (id)")
           ->excludes(newOption);
       command.add_flag("--json", a.json, "Print the whole reply as JSON once it is complete");
     },
     [](Application& application, Arguments& a, const CLI::App&) {
       a.chat.json = a.json;
       return chatWithAssistant(application, a.chat);
     }},

    {"", "sync",
     "Fetch what changed on the server since the last sync and keep it on this device (for items "
     "--cached)",
     [](CLI::App& command, Arguments& a) { command.add_flag("--json", a.json, "Print as JSON"); },
     [](Application& application, Arguments& a, const CLI::App&) {
       return synchronizeCache(application, a.json);
     }},

    // the file managers' "Share with Kestro"
    {"", "desktop", "Set up \"Share with Kestro\" in the file managers of this account",
     [](CLI::App& command, Arguments&) { command.require_subcommand(1); }, nullptr},
    {"desktop", "install",
     "Add \"Share with Kestro\" to the menus of Nautilus (a script in "
     "$XDG_DATA_HOME/nautilus/scripts/), Nemo (nemo/actions/), Dolphin (kio/servicemenus/) and "
     "Thunar (an action added to $XDG_CONFIG_HOME/Thunar/uca.xml, the rest of it kept as it "
     "is), each running the kestro-share beside this kestro on the selected files; none is ever "
     "the "
     "program that opens a file. Says what it wrote; running it again changes nothing",
     nullptr, [](Application&, Arguments&, const CLI::App&) { return installDesktopActions(); }},
    {"desktop", "uninstall",
     "Remove what desktop install wrote, and only that: the user's other Thunar actions and "
     "files of other names stay",
     nullptr, [](Application&, Arguments&, const CLI::App&) { return uninstallDesktopActions(); }},

    // the browsers' extension and its native host
    {"", "browser", "Let Kestro's browser extension reach this device's outbox",
     [](CLI::App& command, Arguments&) {
       command.require_subcommand(1);
       command.footer([] { return browserExtensionHelp(); });
     },
     nullptr},
    {"browser", "install",
     "Write the native-messaging host manifest org.kestro.share.json for Chromium "
     "($XDG_CONFIG_HOME/chromium/NativeMessagingHosts/), Google Chrome (google-chrome/...) and "
     "Firefox (~/.mozilla/native-messaging-hosts/), naming the kestro-browser-host beside this "
     "kestro. Says what it wrote; running it again changes nothing",
     defineBrowserOptions,
     [](Application&, Arguments& a, const CLI::App&) {
       return installBrowserHost(a.browserSetup);
     }},
    {"browser", "uninstall",
     "Remove the manifests browser install wrote, and only those: a file of another program at "
     "that name stays",
     defineBrowserOptions,
     [](Application&, Arguments& a, const CLI::App&) {
       return uninstallBrowserHost(a.browserSetup);
     }},
};

const Command* findCommand(std::string_view parent, std::string_view name) {
  const auto found = std::find_if(
      std::begin(kCommands), std::end(kCommands),
      [&](const Command& command) { return command.parent == parent && command.name == name; });
  return found == std::end(kCommands) ? nullptr : found;
}

}  // namespace

std::span<const Command> commandTable() { return kCommands; }

void addCommands(CLI::App& app, Arguments& arguments, const std::string& footer) {
  for (const Command& command : kCommands) {
    CLI::App* parent =
        command.parent.empty() ? &app : app.get_subcommand(std::string(command.parent));
    CLI::App* sub = parent->add_subcommand(std::string(command.name), std::string(command.help));
    sub->footer(footer);
    if (command.define) command.define(*sub, arguments);
  }
}

int runParsedCommand(const CLI::App& app, Application& application, Arguments& arguments) {
  // Each level holds the command parsed below it, if any.
  const CLI::App* level = &app;
  while (!level->get_subcommands().empty()) level = level->get_subcommands().front();
  const Command* command = nullptr;
  if (level != &app) {
    const CLI::App* parent = level->get_parent();
    command =
        findCommand(parent == &app ? std::string_view() : parent->get_name(), level->get_name());
  }
  if (command == nullptr || command->run == nullptr) {
    throw ApplicationError(ExitStatus::usage, "no command given (see kestro --help)");
  }
  return command->run(application, arguments, *level);
}

}  // namespace kestro::commands
