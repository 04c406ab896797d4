#include "Tools/kestro/ServiceCommands.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"
#include "KestroCore/Platform/Process/Process.h"
#include "Tools/kestro/Output.h"

namespace kestro::commands {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUnitName = "kestro-flush.service";
// How the unit begins, as installed: a file that begins otherwise is not ours to replace.
constexpr std::string_view kUnitMark = "# kestro-flush.service: ";
// systemctl's statuses: `status` of a unit that does not run, and of one it does not know.
constexpr int kUnitNotRunning = 3;
constexpr int kUnitUnknown = 4;

// This program, by its absolute path.
fs::path runningProgram() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (error) throw fs::filesystem_error("cannot find this program's own file", error);
  return program;
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) {
    throw fs::filesystem_error("cannot read", path, std::make_error_code(std::errc::io_error));
  }
  return text.str();
}

bool isOurUnit(const std::string& text) { return text.starts_with(kUnitMark); }

// The unit installed beside `program`: <prefix>/lib/systemd/user/ for <prefix>/bin/kestro, or
// the same folder in a build tree.
std::string unitBeside(const fs::path& program) {
  const std::vector<fs::path> candidates{
      program.parent_path().parent_path() / "lib" / "systemd" / "user" / kUnitName,
      program.parent_path() / kUnitName};
  for (const fs::path& candidate : candidates) {
    std::error_code error;
    if (!fs::is_regular_file(candidate, error)) continue;
    const std::string text = readFile(candidate);
    if (!isOurUnit(text)) {
      throw ApplicationError(ExitStatus::failure,
                             candidate.string() + " is not the unit Kestro installs");
    }
    return text;
  }
  throw ApplicationError(ExitStatus::failure, "the unit " + std::string(kUnitName) +
                                                  " is not installed beside " + program.string() +
                                                  " (looked for " + candidates[0].string() +
                                                  "); install Kestro with make install");
}

// `path` as one word of a unit's command line: "%" and "$" doubled, quoted when
// it holds a space.
std::string commandWord(const std::string& path) {
  std::string word;
  bool quote = false;
  for (const char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      throw ApplicationError(ExitStatus::failure,
                             "this program's path holds a control character, which a unit "
                             "cannot name: " +
                                 shown(path));
    }
    if (c == '%') word += '%';
    if (c == '$') word += '$';
    if (c == '\\' || c == '"') word += '\\';
    if (c == ' ' || c == '\'' || c == '"') quote = true;
    word += c;
  }
  return quote ? "\"" + word + "\"" : word;
}

// The unit with its ExecStart naming `program`.
std::string unitNaming(const std::string& unit, const fs::path& program) {
  std::istringstream lines(unit);
  std::string result;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("ExecStart=")) {
      line = "ExecStart=" + commandWord(program.string()) + " flush --watch";
    }
    result += line + "\n";
  }
  return result;
}

// $XDG_DATA_HOME/systemd/user/kestro-flush.service.
fs::path userUnitPath(const Application& application) {
  const std::optional<fs::path>& dataHome = application.places().directories().dataHome();
  if (!dataHome) {
    throw ApplicationError(ExitStatus::failure,
                           "no data home is known (set HOME or XDG_DATA_HOME), so the unit has "
                           "nowhere to go");
  }
  return *dataHome / "systemd" / "user" / kUnitName;
}

// Writes `text` to `path` whole or not at all: a new file beside it, flushed, renamed over it.
void writeUnit(const fs::path& path, const std::string& text) {
  files::createDirectories(path.parent_path(), S_IRWXU);
  const fs::path temporary = path.parent_path() / ("." + path.filename().string() + ".new");
  files::removeFileQuietly(temporary);
  {
    const FileDescriptor file =
        files::createNewFile(temporary, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
    files::writeAll(file.get(), text.data(), text.size(), temporary);
    files::syncFile(file.get(), temporary);
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  if (error) {
    files::removeFileQuietly(temporary);
    throw fs::filesystem_error("cannot put the unit in place", path, error);
  }
  files::syncDirectory(path.parent_path());
}

void requireSystemctl() {
  if (!programInPath("systemctl")) {
    throw ApplicationError(ExitStatus::failure,
                           "systemctl is not installed: kestro service needs systemd's user "
                           "manager (run kestro flush --watch some other way instead)");
  }
}

// Runs `systemctl --user ARGUMENTS`, its output ours and its errors passed on. Returns its exit
// status when it is one of `accepted`; throws ApplicationError saying what went wrong otherwise,
// and that no user manager runs when systemctl could not reach one.
int systemctl(const std::vector<std::string>& arguments, const std::vector<int>& accepted = {0}) {
  ProcessOptions options;
  options.arguments = {"systemctl", "--user"};
  options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
  options.searchPath = true;
  options.standardInput = ProcessInput::null();
  options.standardError = ProcessOutput::capture(64 * 1024);
  const ProcessResult result = runProcess(std::move(options));
  const std::string errors = result.standardError;
  const int status = result.status.shellStatus();
  if (std::find(accepted.begin(), accepted.end(), status) != accepted.end()) {
    if (!errors.empty()) std::fprintf(stderr, "%s", errors.c_str());
    return status;
  }
  std::string said = errors.substr(0, errors.find('\n'));
  const std::string command = "systemctl --user " + joined(arguments);
  if (said.find("Failed to connect to bus") != std::string::npos) {
    throw ApplicationError(ExitStatus::failure,
                           "no systemd user manager runs for this session (" + command + ": " +
                               shown(said) +
                               "); log in to a session that starts one, or run "
                               "kestro flush --watch some other way");
  }
  if (status == kUnitUnknown) {
    throw ApplicationError(ExitStatus::failure, std::string(kUnitName) +
                                                    " is not installed for you; run: kestro "
                                                    "service enable");
  }
  throw ApplicationError(ExitStatus::failure,
                         command + " failed (status " + std::to_string(status) + ")" +
                             (said.empty() ? std::string() : ": " + shown(said)));
}

}  // namespace

int enableService(Application& application) {
  requireSystemctl();
  const fs::path program = runningProgram();
  const std::string unit = unitNaming(unitBeside(program), program);
  const fs::path target = userUnitPath(application);
  std::error_code error;
  const bool existed = fs::exists(fs::symlink_status(target, error));
  if (existed &&
      (fs::is_symlink(fs::symlink_status(target, error)) || !isOurUnit(readFile(target)))) {
    throw ApplicationError(ExitStatus::failure,
                           target.string() +
                               " exists and was not written by kestro; it is left as it is "
                               "(remove it to let kestro service enable write its own)");
  }
  writeUnit(target, unit);
  try {
    systemctl({"daemon-reload"});
    systemctl({"enable", "--now", std::string(kUnitName)});
  } catch (...) {
    // Nothing half done: a unit that was not there before goes again.
    if (!existed) files::removeFileQuietly(target);
    throw;
  }
  std::printf("Enabled %s: kestro flush --watch runs now and whenever you log in (%s).\n",
              std::string(kUnitName).c_str(), shown(target.string()).c_str());
  return 0;
}

int disableService(Application& application) {
  requireSystemctl();
  systemctl({"disable", "--now", std::string(kUnitName)});
  const fs::path target = userUnitPath(application);
  std::error_code error;
  if (fs::is_regular_file(fs::symlink_status(target, error)) && isOurUnit(readFile(target))) {
    fs::remove(target);
    systemctl({"daemon-reload"});
  }
  std::printf("Disabled %s: the watcher is stopped and no longer starts when you log in.\n",
              std::string(kUnitName).c_str());
  return 0;
}

int showService(Application&) {
  requireSystemctl();
  // Running or not, the state is what was asked for.
  systemctl({"status", std::string(kUnitName)}, {0, kUnitNotRunning});
  return 0;
}

}  // namespace kestro::commands
