// kestro-browser-host: the browsers' native-messaging host. The Kestro extension hands it a page,
// a link, a selection or an image to keep, and asks it where an address stands; it stores the
// capture in the outbox on this machine, as kestro-share does, without the network, and answers
// every request with one message. See --help.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "KestroCore/Foundation/ExitStatus.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Storage/Bundle.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"
#include "Tools/kestro-browser-host/BrowserCapture.h"
#include "Tools/kestro-browser-host/NativeMessaging.h"
#include "Tools/kestro-share/ShareNotice.h"

namespace {

using namespace kestro;
using namespace kestro::browserhost;

constexpr const char* kHelpBody =
    "It reads requests on standard input, each a 4-byte length in this machine's byte order\n"
    "followed by that many bytes of JSON (at most 4 MiB), and answers each with one message of\n"
    "the same kind on standard output:\n"
    "  share   stores the page, link, selection or image (with an optional PNG screenshot) as\n"
    "          one capture in the outbox on this machine, without the network, unless the tab\n"
    "          is private or the browser is excluded from capture (kestro.excluded-applications\n"
    "          in $XDG_CONFIG_HOME/kestro/settings.json); kestro flush sends it\n"
    "  status  whether an address waits in the outbox (and in which state), and whether it is\n"
    "          in the library kestro sync keeps\n"
    "Captures go to $XDG_DATA_HOME/group.kestro.capture (~/.local/share/...); the signed-in user\n"
    "is read from $XDG_CONFIG_HOME/group.kestro.capture.json (~/.config/...).\n"
    "\n"
    "Exit status:\n"
    "  0  the input ended between two messages\n"
    "  1  the input broke off inside a message, declared one over 4 MiB, or the answer could\n"
    "     not be written; the reason was answered when it could be, and said on standard error\n"
    "  2  the command line was wrong\n";

std::string helpText() {
  return "Usage: kestro-browser-host [ORIGIN | MANIFEST ADD-ON-ID]\n"
         "\n"
         "The native-messaging host of the Kestro browser extension (host name " +
         std::string(kHostName) +
         ").\n"
         "The browser starts it: Chromium with the extension's origin\n"
         "(chrome-extension://" +
         std::string(KESTRO_BROWSER_EXTENSION_ID) +
         "/),\n"
         "Firefox with the host manifest's path and the add-on's id "
         "(" +
         std::string(kFirefoxExtensionId) +
         ");\n"
         "both are accepted and ignored.\n"
         "\n" +
         kHelpBody;
}

std::size_t readStandardInput(void*, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

bool writeStandardOutput(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void printError(const std::string& text) {
  std::fprintf(stderr, "kestro-browser-host: %s\n", printableLine(text).c_str());
}

// Sends `answer` with the request's id; false when the browser is gone.
bool send(nlohmann::json answer, const std::optional<std::string>& id) {
  if (id) answer["id"] = *id;
  std::string text = answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (text.size() > kMaximumAnswerSize) {
    nlohmann::json tooLong{
        {"ok", false}, {"outcome", "failed"}, {"message", "the answer would be too long"}};
    if (id) tooLong["id"] = *id;
    text = tooLong.dump();
  }
  if (writeStandardOutput(framed(text))) return true;
  printError(std::string("cannot answer: ") + std::strerror(errno));
  return false;
}

}  // namespace

// The desktop notification of how a share ended, as kestro-share shows it when no terminal
// reads it: the browser's badge says the same, but the browser may be behind another window.
// Never "sent": what is stored is on this device.
void notify(const DecodedRequest& request, const nlohmann::json& answer,
            const ShareEnvironment& environment) {
  const auto* share = std::get_if<ShareRequest>(&request.body);
  if (share == nullptr) return;
  const std::string outcome = answer.value("outcome", "");
  const std::string message = answer.value("message", "");
  Notification notice;
  if (outcome == "stored") {
    bool watching = false;
    try {
      watching = sharehost::watchRuns(ExtensionSettings(environment).storageDirectory());
    } catch (const std::exception&) {
    }
    notice = sharehost::storedNotice(answer.value("url", share->url), watching);
  } else if (outcome == "notSignedIn") {
    notice = sharehost::refusedNotice(ShareFailure::signInRequired, message);
  } else if (outcome == "refused") {
    notice = {.summary = "Not shared: refused",
              .body = message,
              .urgency = Notification::Urgency::critical};
  } else {
    notice = sharehost::refusedNotice(ShareFailure::failed, message);
  }
  DesktopNotifier::forSession().show(notice);
}

int main(int argc, char** argv) {
  // The browser's arguments: its origin, or the manifest's path and the add-on's id.
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(helpText().c_str(), stdout);
      return exitCode(ExitStatus::ok);
    }
    if (argument == "--version") {
      std::printf("kestro-browser-host %s\n", places::applicationVersion(Bundle::main()).c_str());
      return exitCode(ExitStatus::ok);
    }
    if ((argument.starts_with("-") && argument != "-") || argc > 3) {
      printError("unexpected argument: " + std::string(argument) + " (see --help)");
      return exitCode(ExitStatus::usage);
    }
  }
  // A browser that goes away mid-answer is a failed write, not a signal.
  ::signal(SIGPIPE, SIG_IGN);

  try {
    const ShareEnvironment environment = ShareEnvironment::current();
    const BrowserCapture capture(environment, BrowserIdentity::ofParentProcess());
    MessageReader reader(readStandardInput, nullptr);
    for (;;) {
      MessageReader::Result next = reader.next();
      if (std::holds_alternative<MessageReader::EndOfInput>(next)) return exitCode(ExitStatus::ok);
      if (const auto* broken = std::get_if<MessageReader::Broken>(&next)) {
        printError(broken->reason);
        send({{"ok", false}, {"outcome", "invalidRequest"}, {"message", broken->reason}},
             std::nullopt);
        return exitCode(ExitStatus::failure);
      }
      const DecodedRequest request = decodeRequest(std::get<MessageReader::Message>(next).bytes);
      // The message's bytes go before the request is carried out.
      next = MessageReader::EndOfInput{};
      const nlohmann::json answer = capture.answer(request);
      if (!send(answer, request.id)) return exitCode(ExitStatus::failure);
      notify(request, answer, environment);
    }
  } catch (const std::bad_alloc&) {
    printError("out of memory");
    send({{"ok", false}, {"outcome", "failed"}, {"message", "out of memory"}}, std::nullopt);
  } catch (const std::exception& error) {
    printError(error.what());
    send({{"ok", false}, {"outcome", "failed"}, {"message", repairedUTF8(error.what())}},
         std::nullopt);
  }
  return exitCode(ExitStatus::failure);
}
