#include "Tools/kestro/DesktopTools.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <utility>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Platform/Process/Process.h"

namespace kestro::desktop {
namespace {

const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] != '\0' ? value : nullptr;
}

}  // namespace

bool hasTool(const std::string& name) { return programInPath(name); }

std::optional<std::string> runTool(const std::vector<std::string>& arguments,
                                   std::chrono::milliseconds timeout, std::size_t maximumBytes) {
  if (arguments.empty() || !hasTool(arguments.front())) return std::nullopt;
  ProcessOptions options;
  options.arguments = arguments;
  options.searchPath = true;
  options.standardInput = ProcessInput::null();
  options.standardOutput = ProcessOutput::capture(maximumBytes);
  options.standardError = ProcessOutput::null();
  options.timeLimit = timeout;
  try {
    ProcessResult result = runProcess(std::move(options));
    if (!result.status.succeeded() || result.standardOutputCut) return std::nullopt;
    return std::move(result.standardOutput);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

std::string clipboardText() {
  if (environment("WAYLAND_DISPLAY") && hasTool("wl-paste")) {
    if (auto text = runTool({"wl-paste", "--no-newline", "--type", "text"})) return *text;
  }
  if (environment("DISPLAY") && hasTool("xclip")) {
    if (auto text = runTool({"xclip", "-selection", "clipboard", "-out"})) return *text;
  }
  if (!environment("WAYLAND_DISPLAY") && !environment("DISPLAY")) {
    throw ApplicationError(ExitStatus::failure,
                           "the clipboard cannot be read: no graphical session (neither "
                           "WAYLAND_DISPLAY nor DISPLAY is set)");
  }
  if (!hasTool("wl-paste") && !hasTool("xclip")) {
    throw ApplicationError(ExitStatus::failure,
                           "the clipboard cannot be read: install wl-clipboard (Wayland) or xclip "
                           "(X11)");
  }
  throw ApplicationError(ExitStatus::failure, "the clipboard holds no text");
}

WindowContext activeWindow() {
  if (!environment("DISPLAY")) return {};
  if (hasTool("xprop")) {
    if (const auto root = runTool({"xprop", "-root", "_NET_ACTIVE_WINDOW"})) {
      if (const auto id = activeWindowFromXprop(*root)) {
        if (const auto window =
                runTool({"xprop", "-id", *id, "WM_CLASS", "_NET_WM_NAME", "WM_NAME"})) {
          return windowContextFromXprop(*window);
        }
      }
    }
  }
  if (hasTool("xdotool")) {
    if (const auto title = runTool({"xdotool", "getactivewindow", "getwindowname"})) {
      return WindowContext{std::nullopt, firstLineOf(*title)};
    }
  }
  return {};
}

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool standardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

std::size_t terminalWidth() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

bool colourWanted() {
  if (!standardOutputIsTerminal() || environment("NO_COLOR")) return false;
  const char* term = std::getenv("TERM");
  return !(term && std::string(term) == "dumb");
}

}  // namespace kestro::desktop
