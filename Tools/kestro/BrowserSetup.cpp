#include "Tools/kestro/BrowserSetup.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <vector>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Files/Files.h"
#include "KestroCore/Platform/Storage/UserDirectories.h"
#include "Tools/kestro/Output.h"
#include "Tools/kestro/SetupFiles.h"

namespace kestro::commands {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHostName = "org.kestro.share";
constexpr std::string_view kHostProgram = "kestro-browser-host";
constexpr std::string_view kFirefoxExtensionId = "share@kestro.org";
// The Chromium id that the extension's fixed key gives (Tools/kestro-browser/extension-id.txt).
constexpr std::string_view kChromiumExtensionId = KESTRO_BROWSER_EXTENSION_ID;
// Where `make install` puts the extension, from the folder kestro is installed in.
constexpr std::string_view kExtensionFromProgram = KESTRO_BROWSER_EXTENSION_FROM_BIN;
constexpr mode_t kManifestMode = 0644;

enum class Kind { chromium, firefox };

// One browser's folder of native-messaging host manifests.
struct Target {
  std::string what;
  Kind kind;
  fs::path manifest;
};

fs::path homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  const passwd* entry = ::getpwuid(::getuid());
  if (entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/') {
    return entry->pw_dir;
  }
  throw ApplicationError(ExitStatus::failure,
                         "no home directory is known, so there is no place for the browsers' "
                         "manifests (set HOME)");
}

fs::path configurationHome() {
  const std::optional<fs::path> home = UserDirectories::fromEnvironment().configurationHome();
  return home ? *home : homeDirectory() / ".config";
}

std::vector<Target> targets(const BrowserSetupArguments& arguments) {
  const fs::path name = std::string(kHostName) + ".json";
  const std::string& browser = arguments.browser;
  if (!arguments.profile.empty()) {
    if (browser == "firefox") {
      throw ApplicationError(ExitStatus::usage,
                             "--profile names a Chromium user-data directory: it does not go "
                             "with --browser firefox");
    }
    const fs::path profile = fs::absolute(arguments.profile);
    std::error_code error;
    if (!fs::is_directory(profile, error)) {
      throw ApplicationError(ExitStatus::failure,
                             shown(profile.native()) +
                                 " is not a directory: --profile takes a Chromium user-data "
                                 "directory (the folder holding \"Local State\", such as "
                                 "~/.config/chromium)");
    }
    return {{"Chromium profile", Kind::chromium, profile / "NativeMessagingHosts" / name}};
  }
  std::vector<Target> all;
  if (browser.empty() || browser == "chromium") {
    all.push_back({"Chromium", Kind::chromium,
                   configurationHome() / "chromium" / "NativeMessagingHosts" / name});
  }
  if (browser.empty() || browser == "chrome") {
    all.push_back({"Google Chrome", Kind::chromium,
                   configurationHome() / "google-chrome" / "NativeMessagingHosts" / name});
  }
  if (browser.empty() || browser == "firefox") {
    all.push_back(
        {"Firefox", Kind::firefox, homeDirectory() / ".mozilla" / "native-messaging-hosts" / name});
  }
  return all;
}

std::string manifest(Kind kind, const fs::path& host) {
  nlohmann::ordered_json document = {
      {"name", kHostName},
      {"description", "Kestro: stores what you share from the browser on this device"},
      {"path", host.native()},
      {"type", "stdio"},
  };
  if (kind == Kind::chromium) {
    document["allowed_origins"] = nlohmann::ordered_json::array(
        {"chrome-extension://" + std::string(kChromiumExtensionId) + "/"});
  } else {
    document["allowed_extensions"] = nlohmann::ordered_json::array({kFirefoxExtensionId});
  }
  return document.dump(2) + "\n";
}

// A manifest of ours: the host of our name, started through a program of our name (from
// whichever prefix).
bool isOurs(const std::string& contents) {
  const nlohmann::json document = nlohmann::json::parse(contents, nullptr, false);
  if (!document.is_object()) return false;
  const auto name = document.find("name");
  const auto path = document.find("path");
  return name != document.end() && *name == kHostName && path != document.end() &&
         path->is_string() && fs::path(path->get<std::string>()).filename() == kHostProgram;
}

fs::path hostProgram() {
  const fs::path program = programBesideThisKestro(kHostProgram);
  if (!isValidUTF8(program.native())) {
    throw ApplicationError(ExitStatus::failure,
                           "the path of kestro-browser-host (" + shown(program.native()) +
                               ") cannot be written into the browsers' manifests: they take "
                               "UTF-8 text");
  }
  return program;
}

// The extension's folder as `make install` puts it beside this kestro; for a kestro run from its
// build tree, the source tree's. Nothing when neither is there.
std::optional<fs::path> extensionFolder(fs::path& expected) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  expected = error ? fs::path("<prefix>/share/kestro/browser-extension")
                   : (self.parent_path() / kExtensionFromProgram).lexically_normal();
  for (const fs::path& folder : {expected, fs::path(KESTRO_BROWSER_EXTENSION_SOURCE)}) {
    std::error_code missing;
    if (fs::is_regular_file(folder / "manifest.json", missing)) return folder;
  }
  return std::nullopt;
}

}  // namespace

std::string browserExtensionHelp() {
  fs::path expected;
  const std::optional<fs::path> folder = extensionFolder(expected);
  const std::string where =
      folder ? shown(folder->native())
             : shown(expected.native()) + " (not there yet: make install puts it there)";
  return "The extension is in " + where +
         ". To load it:\n"
         "  Chromium, Chrome: open chrome://extensions, turn on Developer mode, choose \"Load "
         "unpacked\" and pick that folder.\n"
         "  Firefox: open about:debugging, \"This Firefox\", choose \"Load Temporary Add-on\" "
         "and pick manifest.json in that folder (it stays until Firefox quits).\n";
}

int installBrowserHost(const BrowserSetupArguments& arguments) {
  const std::vector<Target> all = targets(arguments);
  const fs::path host = hostProgram();

  // Everything is looked at before anything is written.
  std::vector<FoundFile> found;
  for (const Target& target : all) {
    found.push_back(lookAtFile(target.manifest, isOurs));
    if (found.back().kind == FoundFile::Kind::foreign) {
      throw ApplicationError(ExitStatus::failure,
                             shown(target.manifest.native()) +
                                 " is not Kestro's; nothing was changed: move it away and run "
                                 "kestro browser install again");
    }
  }
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Target& target = all[i];
    const std::string contents = manifest(target.kind, host);
    const std::string path = shown(target.manifest.native());
    if (found[i].kind == FoundFile::Kind::ours && found[i].contents == contents &&
        found[i].mode == kManifestMode) {
      say("Already in place: " + path + " (" + target.what + ")");
      continue;
    }
    writeFileAtomically(target.manifest, contents, kManifestMode);
    say(std::string(found[i].kind == FoundFile::Kind::ours ? "Updated " : "Wrote ") + path + " (" +
        target.what + ")");
  }
  say("Each lets Kestro's extension start " + shown(host.native()) +
      "; kestro browser uninstall removes them.");
  std::fputs(browserExtensionHelp().c_str(), stdout);
  return exitCode(ExitStatus::ok);
}

int uninstallBrowserHost(const BrowserSetupArguments& arguments) {
  std::vector<SetupFile> files;
  for (Target& target : targets(arguments)) {
    files.push_back({std::move(target.manifest), std::move(target.what)});
  }
  const bool removed = removeOurFiles(files, isOurs);
  if (!removed) say("Nothing of Kestro's is set up for these browsers.");
  return exitCode(ExitStatus::ok);
}

}  // namespace kestro::commands
