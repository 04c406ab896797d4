#include "Tools/kestro/DesktopTools.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "KestroCore/Application/ApplicationError.h"

extern char** environ;

namespace kestro::desktop {
namespace {

const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] != '\0' ? value : nullptr;
}

}  // namespace

bool hasTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream directories(path ? path : "/usr/bin:/bin");
  for (std::string directory; std::getline(directories, directory, ':');) {
    if (directory.empty()) continue;
    const std::string candidate = directory + "/" + name;
    struct stat status {};
    if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

std::optional<std::string> runTool(const std::vector<std::string>& arguments,
                                   std::chrono::milliseconds timeout, std::size_t maximumBytes) {
  if (arguments.empty() || !hasTool(arguments.front())) return std::nullopt;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return std::nullopt;
  }

  std::string output;
  bool complete = false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd descriptor{out[0], POLLIN, 0};
    const int ready = ::poll(&descriptor, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[65536];
    const ssize_t length = ::read(out[0], buffer, sizeof buffer);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) {
      complete = length == 0;
      break;
    }
    output.append(buffer, static_cast<std::size_t>(length));
    if (output.size() > maximumBytes) break;
  }
  ::close(out[0]);
  if (!complete) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
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
