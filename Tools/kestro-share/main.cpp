// kestro-share: shares files, web addresses and text into Kestro's capture outbox, as the share
// target does when a desktop hands it something. See --help.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "KestroCore/Foundation/ExitStatus.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/MacShareExtension/MacShareRequestHandler.h"
#include "KestroCore/MacShareExtension/ShareError.h"
#include "KestroCore/Models/KestroAPIError.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/Platform/Extension/MainQueue.h"
#include "KestroCore/Platform/Process/StopSignalThread.h"
#include "KestroCore/Platform/Storage/Bundle.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"
#include "Tools/kestro-share/ShareHost.h"
#include "Tools/kestro-share/ShareNotice.h"

namespace {

namespace fs = std::filesystem;
using namespace kestro;

// The help's end: what the program prints, the exit statuses it shares with kestro, and where
// captures go.
std::string helpFooter() {
  return "On a terminal it says in one line what it stored; otherwise (a file manager's action) "
         "it\n"
         "prints nothing but errors, on standard error, and shows the outcome as a desktop\n"
         "notification (stored, not signed in, or not shared and why); --notify shows it on a\n"
         "terminal too. Without a notification service the exit status and errors still tell.\n"
         "\n" +
         exitStatusTable() +
         "\n"
         "\n"
         "Captures go to $XDG_DATA_HOME/group.kestro.capture (~/.local/share/...); the signed-in\n"
         "user is read from $XDG_CONFIG_HOME/group.kestro.capture.json (~/.config/...).";
}

// The exit status for a failure of this kind (see exitStatusTable in ExitStatus.h).
ExitStatus exitStatusOf(ShareFailure kind) {
  switch (kind) {
    case ShareFailure::nothingToCapture:
      return ExitStatus::nothingToCapture;
    case ShareFailure::signInRequired:
      return ExitStatus::notSignedIn;
    case ShareFailure::unusableRequest:
      return ExitStatus::usage;
    case ShareFailure::storage:
    case ShareFailure::failed:
      break;
  }
  return ExitStatus::failure;
}

// Where a run that reads standard input writes it when it is not shared as text: a staging
// directory of its own in the outbox's attachments, so that standard input is written once and
// staging takes the file as it is. Whatever is left there when the program ends is removed, by a
// signal too; what a SIGKILL leaves is an unreferenced staging directory with an unfinished copy,
// which `kestro outbox prune` removes. Signals that end the program are taken by a thread of
// their own, which removes the directory and then lets the signal end the program as it would
// have.
class StandardInputDirectory {
 public:
  explicit StandardInputDirectory(fs::path path) : path_(std::move(path)), signals_(stopSignals()) {
    signals_.start([this](int signal) {
      remove();
      // Die of the signal, so that a shell sees what ended us.
      endBySignal(signal);
    });
  }

  ~StandardInputDirectory() {
    signals_.finish();
    remove();
  }

  StandardInputDirectory(const StandardInputDirectory&) = delete;
  StandardInputDirectory& operator=(const StandardInputDirectory&) = delete;

  const fs::path& path() const noexcept { return path_; }

 private:
  // A signal our parent told us to ignore (nohup, a background job of a script) stays ignored:
  // blocked, it would be queued for the watcher and end the share after all. SIGTERM, which
  // wakes the watcher at the end, is always taken.
  static std::vector<int> stopSignals() {
    std::vector<int> signals;
    for (const int signal : {SIGINT, SIGHUP, SIGQUIT}) {
      struct sigaction action {};
      if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
      signals.push_back(signal);
    }
    signals.push_back(SIGTERM);
    return signals;
  }

  void remove() noexcept {
    const std::lock_guard lock(removeMutex_);
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

  fs::path path_;
  std::mutex removeMutex_;
  // Blocked before any other thread starts, so every thread inherits the mask.
  StopSignalThread signals_;
};

std::string versionText() { return "kestro-share " + places::applicationVersion(Bundle::main()); }

// Errors name what was given (a file's name, an address) and what the system said of it: none of
// it may command the terminal.
void printError(const std::string& text) {
  std::fprintf(stderr, "kestro-share: %s\n", printableLine(text).c_str());
}

// A person is reading: standard output is a terminal rather than a file manager's action.
bool onTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

// The desktop notification of how the share ended, for whoever started it without a terminal (or
// asked for one): sent once, after the outcome is settled and printed. Connecting to the desktop
// is left until then, so a share that shows nothing never loads it.
class OutcomeNotice {
 public:
  // `wanted`: a notification is shown at all; `asked`: --notify asked for it, so a notification
  // that cannot be shown is mentioned on standard error.
  OutcomeNotice(bool wanted, bool asked) : wanted_(wanted), asked_(asked) {}

  bool wanted() const noexcept { return wanted_; }

  void stored(const std::string& what, const std::optional<fs::path>& storageDirectory) {
    send(
        sharehost::storedNotice(what, storageDirectory && sharehost::watchRuns(*storageDirectory)));
  }
  void refused(ShareFailure kind, const std::string& reason) {
    send(sharehost::refusedNotice(kind, reason));
  }

 private:
  void send(const Notification& notification) {
    if (!wanted_ || sent_) return;
    sent_ = true;
    const NotificationOutcome outcome = DesktopNotifier::forSession().show(notification);
    if (!outcome.shown && asked_) {
      std::fprintf(stderr, "kestro-share: no notification shown: %s\n",
                   printableLine(outcome.reason).c_str());
    }
  }

  const bool wanted_;
  const bool asked_;
  bool sent_ = false;
};

// What a capture holds, in a few words: the address, the text's length, or the files.
std::string describe(const OutboxRecord& record) {
  const CaptureEnvelope& capture = record.capture;
  if (capture.url) return "the web address " + printableText(capture.url->absoluteString());
  if (!record.stagedAssets.empty()) {
    std::uint64_t bytes = 0;
    for (const StagedAsset& asset : record.stagedAssets) {
      bytes += static_cast<std::uint64_t>(asset.byteCount);
    }
    std::string files = printableText(record.stagedAssets.front().filename);
    if (const std::size_t more = record.stagedAssets.size() - 1) {
      files += " and " + std::to_string(more) + (more == 1 ? " more file" : " more files");
    }
    return files + " (" + sharehost::byteCountText(bytes) + ")";
  }
  const std::size_t characters = codePointCount(capture.selectedText.value_or(""));
  return "a text of " + std::to_string(characters) +
         (characters == 1 ? " character" : " characters");
}

// The request's error as the user reads it, and the exit status of its kind.
int report(const std::exception_ptr& error, OutcomeNotice& notice) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& failure) {
    const auto* api = dynamic_cast<const KestroAPIError*>(&failure);
    const auto* local = api ? api->as<KestroAPIError::LocalFile>() : nullptr;
    const std::string message = local ? local->message : failure.what();
    printError(message);
    const ShareFailure kind = shareFailureOf(failure);
    if (kind == ShareFailure::signInRequired && onTerminal()) {
      printError("to sign in on this machine: " + std::string(kSignInCommand));
    }
    notice.refused(kind, message);
    return exitCode(exitStatusOf(kind));
  } catch (...) {
    printError("the share failed");
  }
  notice.refused(ShareFailure::failed, "the share failed");
  return exitCode(ExitStatus::failure);
}

int share(const std::vector<sharehost::Argument>& arguments,
          const std::optional<std::string>& stdinType, OutcomeNotice& notice) {
  ShareEnvironment environment = ShareEnvironment::current();
  // Where the outbox is, for the notice: whether a watch runs there. Without a data home the
  // share fails by itself below.
  std::optional<fs::path> storageDirectory;
  if (notice.wanted()) {
    try {
      storageDirectory = ExtensionSettings(environment).storageDirectory();
    } catch (const std::exception&) {
    }
  }
  // Files named on the command line are offered where they are and standard input is written
  // into the outbox's storage, so a run creates nothing in $TMPDIR.
  std::optional<StandardInputDirectory> standardInputDirectory;
  if (std::any_of(arguments.begin(), arguments.end(), [](const sharehost::Argument& argument) {
        return argument.kind == sharehost::Argument::Kind::item && argument.value == "-";
      })) {
    standardInputDirectory.emplace(ExtensionSettings(environment).storageDirectory() /
                                   places::kAttachmentsDirectoryName / UUID().uuidString());
  }
  sharehost::Request request = sharehost::makeRequest(
      arguments, stdinType, standardInputDirectory ? standardInputDirectory->path() : fs::path());
  environment.handedOverFiles = std::move(request.handedOverFiles);
  // Written on the request's thread before it completes, read here after it has.
  std::string stored;
  if (onTerminal() || notice.wanted()) {
    environment.captureStored = [&stored](const OutboxRecord& record) {
      stored = describe(record);
    };
  }

  MainQueue mainQueue;
  {
    MacShareRequestHandler handler(mainQueue, std::move(environment));
    handler.setExtensionContext(request.context);
    handler.view();
    handler.viewDidAppear();
    mainQueue.runUntil([&] { return request.context->outcome().has_value(); });
  }
  const ExtensionContext::Outcome outcome = *request.context->outcome();
  if (!outcome.completed()) return report(outcome.error, notice);
  if (!stored.empty() && onTerminal()) {
    std::printf(
        "Stored %s on this machine; kestro flush sends it, or a running kestro flush "
        "--watch at once.\n",
        stored.c_str());
    std::fflush(stdout);
  }
  if (!stored.empty()) notice.stored(stored, storageDirectory);
  return exitCode(ExitStatus::ok);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Shares files, web addresses and text into Kestro: the capture is stored in the outbox on\n"
      "this machine, without the network, and Kestro uploads it later. Several items make one\n"
      "capture: a web address wins over text, text over files, and files go together.",
      "kestro-share");
  app.set_version_flag("--version", versionText());
  std::vector<std::string> texts;
  std::vector<std::string> items;
  std::optional<std::string> stdinType;
  CLI::Option* textOption = app.add_option("--text", texts, "Share TEXT (may be repeated)")
                                ->type_name("TEXT")
                                ->allow_extra_args(false);
  app.add_option("--type", stdinType,
                 "Standard input holds bytes of this MIME type (image/png, application/pdf, ...)"
                 " rather than text")
      ->type_name("MIME");
  bool notifyFlag = false;
  app.add_flag("--notify", notifyFlag,
               "Show the outcome as a desktop notification on a terminal too (without one, it is "
               "always shown)");
  CLI::Option* itemOption = app.add_option(
      "items", items, "A file path, a file:// URL, an http(s):// address, or - for standard input");
  app.footer(helpFooter());

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return exitCode(status == 0 ? ExitStatus::ok : ExitStatus::usage);
  }

  // The items in the order given, texts among them.
  std::vector<sharehost::Argument> arguments;
  std::size_t nextText = 0;
  std::size_t nextItem = 0;
  for (const CLI::Option* option : app.parse_order()) {
    if (option == textOption && nextText < texts.size()) {
      arguments.push_back({sharehost::Argument::Kind::text, texts[nextText++]});
    } else if (option == itemOption && nextItem < items.size()) {
      arguments.push_back({sharehost::Argument::Kind::item, items[nextItem++]});
    }
  }
  // Nobody reads what it prints when neither stream is a terminal: a file manager started it.
  OutcomeNotice notice(notifyFlag || (!onTerminal() && ::isatty(STDERR_FILENO) != 1), notifyFlag);
  if (arguments.empty()) {
    const std::string message =
        "nothing to share; give a file, an address, --text TEXT or - (see --help)";
    printError(message);
    notice.refused(ShareFailure::nothingToCapture, message);
    return exitCode(ExitStatus::usage);
  }

  try {
    return share(arguments, stdinType, notice);
  } catch (const std::exception& error) {
    printError(error.what());
    const ShareFailure kind = shareFailureOf(error);
    notice.refused(kind, error.what());
    return exitCode(exitStatusOf(kind));
  }
}
