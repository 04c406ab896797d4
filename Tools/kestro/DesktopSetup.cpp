#include "Tools/kestro/DesktopSetup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Files/Files.h"
#include "KestroCore/Platform/Storage/UserDirectories.h"
#include "Tools/kestro/DesktopFiles.h"
#include "Tools/kestro/Output.h"
#include "Tools/kestro/SetupFiles.h"
#include "Tools/kestro/ThunarActions.h"

namespace kestro::commands {
namespace {

namespace fs = std::filesystem;
using namespace kestro::desktop;

constexpr std::string_view kProgramName = "kestro-share";

struct Homes {
  fs::path data;
  fs::path config;
};

Homes homes() {
  const UserDirectories directories = UserDirectories::fromEnvironment();
  if (!directories.dataHome() || !directories.configurationHome()) {
    throw ApplicationError(ExitStatus::failure,
                           "no home directory is known, so there is no place for the actions "
                           "(set HOME)");
  }
  return {*directories.dataHome(), *directories.configurationHome()};
}

fs::path thunarActionsPath(const Homes& homes) { return homes.config / "Thunar" / "uca.xml"; }

// The kestro-share beside this kestro, which the actions name by its absolute path: the desktop
// session's PATH need not hold ~/.local/bin.
fs::path shareProgram() {
  const fs::path program = programBesideThisKestro(kProgramName);
  const std::string& text = program.native();
  // A "%" would be read as a field code (%f, %U) by every file manager's format.
  const bool unwritable = std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '%';
  });
  if (!isValidUTF8(text) || unwritable) {
    throw ApplicationError(ExitStatus::failure,
                           "the path of kestro-share (" + shown(text) +
                               ") cannot be written into the file managers' files: they take "
                               "UTF-8 text without control characters or \"%\"");
  }
  return program;
}

// A word for a POSIX shell, and for GLib's and KDE's splitting of command lines, which follow
// the same rules: in single quotes, a single quote as '\''.
std::string shellQuoted(std::string_view text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A word of a desktop entry's Exec key: double-quoted, with ", `, $ and \ escaped.
std::string execQuoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A value as a key file stores it: a backslash is written twice.
std::string keyFileEscaped(std::string_view value) {
  std::string out;
  for (const char c : value) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out;
}

// Text as the content of an XML element holds it (quotes need no escape there).
std::string xmlEscaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

// `text` with the program named after `lead` ("Exec=") replaced by `program`, already quoted.
std::string withProgram(std::string_view text, std::string_view lead, const std::string& program) {
  const std::string needle = std::string(lead) + std::string(kProgramName) + " ";
  const std::size_t at = text.find(needle);
  if (at == std::string_view::npos) {
    throw std::logic_error("a built-in action does not name " + std::string(kProgramName));
  }
  std::string out(text);
  out.replace(at + lead.size(), kProgramName.size(), program);
  return out;
}

// One file of ours in the data home, with what it holds for this kestro-share.
struct OwnFile {
  std::string_view what;
  fs::path path;
  std::string contents;
  mode_t mode;
};

// Dolphin runs a service menu of the user's own only when it is executable.
std::vector<OwnFile> ownFiles(const Homes& homes, const fs::path& program) {
  const std::string path = program.native();
  return {
      {"Nautilus script", homes.data / "nautilus" / "scripts" / "Share with Kestro",
       withProgram(kNautilusScript, "exec ", shellQuoted(path)), 0755},
      {"Nemo action", homes.data / "nemo" / "actions" / "kestro-share.nemo_action",
       withProgram(kNemoAction, "Exec=", keyFileEscaped(shellQuoted(path))), 0644},
      {"Dolphin service menu", homes.data / "kio" / "servicemenus" / "kestro-share.desktop",
       withProgram(kDolphinServiceMenu, "Exec=", keyFileEscaped(execQuoted(path))), 0755},
  };
}

std::string thunarAction(const fs::path& program) {
  std::string_view action = kThunarAction;
  while (action.ends_with('\n')) action.remove_suffix(1);
  return withProgram(action, "<command>", xmlEscaped(shellQuoted(program.native())));
}

// Every file of ours carries kOwnMark.
bool isOwnFile(const std::string& contents) { return contents.find(kOwnMark) != std::string::npos; }

// The actions Thunar shows while the user has no file of their own: the first uca.xml in
// $XDG_CONFIG_DIRS (/etc/xdg when unset) that it can read. A user's file hides them, so a new
// one starts from them.
std::optional<std::string> systemThunarActions() {
  const char* variable = std::getenv("XDG_CONFIG_DIRS");
  const std::string list = variable != nullptr && *variable != '\0' ? variable : "/etc/xdg";
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t end = std::min(list.find(':', start), list.size());
    const fs::path directory = list.substr(start, end - start);
    start = end + 1;
    if (!directory.is_absolute()) continue;
    try {
      std::optional<std::string> contents = readFile(directory / "Thunar" / "uca.xml");
      if (!contents) continue;
      checkThunarActions(*contents);
      return contents;
    } catch (const std::exception&) {
      return std::nullopt;  // Thunar finds this one first and shows none
    }
  }
  return std::nullopt;
}

ApplicationError unreadableThunarActions(const fs::path& path, const ThunarActionsError& error) {
  return ApplicationError(ExitStatus::failure,
                          shown(path.native()) + " is not a list of Thunar actions (" +
                              shown(error.what()) +
                              "); it is left as it is, and nothing was changed");
}

// Where uca.xml is written: the file a symbolic link there names (kept in a dotfiles folder,
// say), whether or not it exists yet, so that the link stays a link.
fs::path writtenPath(fs::path path) {
  for (int links = 0; links < 40 && fs::is_symlink(path); ++links) {
    const fs::path target = fs::read_symlink(path);
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

}  // namespace

int installDesktopActions() {
  const Homes places = homes();
  const fs::path program = shareProgram();
  const std::vector<OwnFile> ours = ownFiles(places, program);

  // Everything is looked at before anything is written.
  std::vector<bool> inPlace;
  for (const OwnFile& file : ours) {
    const FoundFile found = lookAtFile(file.path, isOwnFile);
    if (found.kind == FoundFile::Kind::foreign) {
      throw ApplicationError(ExitStatus::failure,
                             shown(file.path.native()) +
                                 " is not Kestro's; nothing was changed: move it away and run "
                                 "kestro desktop install again");
    }
    inPlace.push_back(found.kind == FoundFile::Kind::ours && found.contents == file.contents &&
                      found.mode == file.mode);
  }
  const fs::path uca = thunarActionsPath(places);
  const std::optional<std::string> current = readFile(uca);
  const std::string base =
      current ? *current : systemThunarActions().value_or(std::string(kEmptyThunarActions));
  std::string updated;
  bool hadOurs = false;
  try {
    updated = withThunarAction(base, kThunarActionId, thunarAction(program));
    hadOurs = withoutThunarAction(base, kThunarActionId) != base;
  } catch (const ThunarActionsError& error) {
    throw unreadableThunarActions(uca, error);
  }

  const fs::path ucaTarget = writtenPath(uca);

  for (std::size_t i = 0; i < ours.size(); ++i) {
    const OwnFile& file = ours[i];
    if (inPlace[i]) {
      say("Already in place: " + shown(file.path.native()) + " (" + std::string(file.what) + ")");
      continue;
    }
    writeFileAtomically(file.path, file.contents, file.mode);
    say("Wrote " + shown(file.path.native()) + " (" + std::string(file.what) + ")");
  }
  if (current && *current == updated) {
    say("Already in place: " + shown(uca.native()) + " (Thunar custom action)");
  } else {
    struct stat status {};
    const mode_t mode =
        current && ::stat(uca.c_str(), &status) == 0 ? status.st_mode & 07777 : 0644;
    writeFileAtomically(ucaTarget, updated, mode);
    say(std::string(hadOurs ? "Updated" : "Added") + " \"Share with Kestro\" to " +
        shown(uca.native()) + " (Thunar custom action)");
  }
  say("Each runs " + shown(program.native()) +
      " on the selected files. A file manager already running may need a restart to show it; "
      "kestro desktop uninstall removes them.");
  return exitCode(ExitStatus::ok);
}

int uninstallDesktopActions() {
  const Homes places = homes();
  const std::vector<OwnFile> ours = ownFiles(places, fs::path(kProgramName));

  // A file that cannot be read stops it before anything is removed.
  const fs::path uca = thunarActionsPath(places);
  const std::optional<std::string> current = readFile(uca);
  std::optional<std::string> updated;
  if (current) {
    try {
      updated = withoutThunarAction(*current, kThunarActionId);
    } catch (const ThunarActionsError& error) {
      throw unreadableThunarActions(uca, error);
    }
  }
  std::vector<SetupFile> files;
  for (const OwnFile& file : ours) files.push_back({file.path, std::string(file.what)});
  bool removed = removeOurFiles(files, isOwnFile);
  if (updated && *updated != *current) {
    // A file that holds nothing but what Thunar shows without it was made for ours alone.
    const bool link = fs::is_symlink(uca);
    if (!link && (*updated == kEmptyThunarActions || updated == systemThunarActions())) {
      if (::unlink(uca.c_str()) != 0) files::throwError("cannot remove", uca, errno);
      say("Removed " + shown(uca.native()) + ": it held nothing but Kestro's action");
    } else {
      struct stat status {};
      const mode_t mode = ::stat(uca.c_str(), &status) == 0 ? status.st_mode & 07777 : 0644;
      writeFileAtomically(link ? writtenPath(uca) : uca, *updated, mode);
      say("Removed \"Share with Kestro\" from " + shown(uca.native()) +
          " (Thunar custom action); the other actions stay");
    }
    removed = true;
  }
  if (!removed) say("Nothing of Kestro's is set up in this account's file managers.");
  return exitCode(ExitStatus::ok);
}

}  // namespace kestro::commands
