// "Share with Kestro" in the file managers, end to end: the build installed into a temporary
// prefix (cmake --install), `kestro desktop install` run from there into a fresh XDG tree, the
// desktop's own tools (xdg-mime, gio, desktop-file-validate) asked about the result, and each
// action's command line expanded as its file manager expands it (each selected path quoted for
// %F, the line split without a shell: GLib's rules, which Nemo, Thunar and Dolphin follow) and
// run on awkward file names.

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/Process/Process.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string contentsOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

// Every regular file under `root` with its contents, by path.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[entry.path().native()] = contentsOf(entry.path());
  }
  return files;
}

// `line` split as a shell would split it, without running one.
std::vector<std::string> splitLikeAShell(const std::string& line) {
  gchar** argv = nullptr;
  GError* error = nullptr;
  std::vector<std::string> words;
  if (g_shell_parse_argv(line.c_str(), nullptr, &argv, &error)) {
    for (gchar** word = argv; *word != nullptr; ++word) words.emplace_back(*word);
  } else {
    ADD_FAILURE() << line << ": " << error->message;
    g_clear_error(&error);
  }
  g_strfreev(argv);
  return words;
}

// `command` with its field code (`code`, "%F" or "%U") replaced by `words`, space-separated.
std::string substituted(std::string command, const char* code, const std::string& words) {
  const std::size_t at = command.find(code);
  if (at != std::string::npos) command.replace(at, 2, words);
  return command;
}

// A command line as Thunar and Dolphin run it on `paths`: %F becomes each path quoted, then the
// line is split as a shell would split it.
std::vector<std::string> expanded(const std::string& command, const std::vector<fs::path>& paths) {
  std::string quoted;
  for (const fs::path& path : paths) {
    gchar* word = g_shell_quote(path.c_str());
    quoted += (quoted.empty() ? "" : " ") + std::string(word);
    g_free(word);
  }
  return splitLikeAShell(substituted(command, "%F", quoted));
}

// A command line as Nemo runs it on `paths`: each path (%F) or file URI (%U) goes in as it is,
// only wrapped in the character the action's Quote key names (none unless it names one), then
// the line is split as a shell would split it.
std::vector<std::string> nemoExpanded(const std::string& command, const std::string& quote,
                                      const std::vector<fs::path>& paths) {
  const std::string mark = quote == "double" ? "\"" : quote == "single" ? "'" : "";
  std::string pathWords, uriWords;
  for (const fs::path& path : paths) {
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    EXPECT_NE(uri, nullptr) << path;
    pathWords += (pathWords.empty() ? "" : " ") + mark + path.native() + mark;
    uriWords += (uriWords.empty() ? "" : " ") + mark + std::string(uri ? uri : "") + mark;
    g_free(uri);
  }
  return splitLikeAShell(substituted(substituted(command, "%F", pathWords), "%U", uriWords));
}

// A key of a key file (a desktop entry, a Nemo action) as GLib reads it, escapes undone.
std::string keyOf(const fs::path& file, const char* group, const char* key) {
  GKeyFile* keys = g_key_file_new();
  std::string value;
  if (g_key_file_load_from_file(keys, file.c_str(), G_KEY_FILE_NONE, nullptr)) {
    gchar* found = g_key_file_get_string(keys, group, key, nullptr);
    value = found != nullptr ? found : "";
    g_free(found);
  }
  g_key_file_free(keys);
  EXPECT_FALSE(value.empty()) << file << " [" << group << "] " << key;
  return value;
}

// The <command> of our Thunar action (the paths here hold nothing XML escapes).
std::string thunarCommand(const std::string& actions) {
  const std::size_t ours = actions.find("<unique-id>kestro-share-with-kestro</unique-id>");
  const std::size_t begin = actions.find("<command>", ours) + 9;
  return ours == std::string::npos ? "" : actions.substr(begin, actions.find("</", begin) - begin);
}

class DesktopSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* directory : {"home", "config", "config-dirs", "data", "files", "tmp"}) {
      fs::create_directories(root_ / directory);
    }
    ProcessOptions install;
    install.arguments = {KESTRO_CMAKE, "--install", KESTRO_BINARY_DIR, "--prefix", prefix()};
    install.standardOutput = ProcessOutput::capture();
    install.standardError = ProcessOutput::capture();
    const ProcessResult installed = runProcess(std::move(install));
    ASSERT_TRUE(installed.status.succeeded()) << installed.standardError;
  }

  fs::path prefix() const { return root_ / "prefix"; }
  fs::path data() const { return root_ / "data"; }
  fs::path config() const { return root_ / "config"; }
  fs::path thunarActions() const { return config() / "Thunar" / "uca.xml"; }
  // Every file in the user's home, configuration and data.
  std::map<std::string, std::string> userFiles() const {
    std::map<std::string, std::string> files = snapshot(config());
    files.merge(snapshot(data()));
    files.merge(snapshot(root_ / "home"));
    return files;
  }

  std::vector<std::string> environment(const std::string& path = "/usr/bin:/bin") const {
    return {"HOME=" + (root_ / "home").native(),
            "XDG_CONFIG_HOME=" + config().native(),
            "XDG_CONFIG_DIRS=" + (root_ / "config-dirs").native(),
            "XDG_DATA_HOME=" + data().native(),
            "XDG_DATA_DIRS=" + (prefix() / "share").native(),
            "TMPDIR=" + (root_ / "tmp").native(),
            "PATH=" + path,
            "TSAN_OPTIONS=suppressions=" KESTRO_TSAN_SUPPRESSIONS};
  }

  ProcessResult run(std::vector<std::string> arguments, const std::string& path = "/usr/bin:/bin",
                    const fs::path& workingDirectory = "/") const {
    ProcessOptions options;
    options.arguments = std::move(arguments);
    options.environment = environment(path);
    options.workingDirectory = workingDirectory;
    options.standardInput = ProcessInput::text("");
    options.standardOutput = ProcessOutput::capture();
    options.standardError = ProcessOutput::capture();
    return runProcess(std::move(options));
  }

  ProcessResult kestro(const std::string& command) const {
    return run({(prefix() / "bin" / "kestro").native(), "desktop", command});
  }

  // Every capture on this device, as `kestro outbox --json` gives them.
  json records() const {
    const ProcessResult listed =
        run({(prefix() / "bin" / "kestro").native(), "--no-keyring", "outbox", "--json"});
    EXPECT_EQ(listed.status.shellStatus(), 0) << listed.standardError;
    return json::parse(listed.standardOutput);
  }

  testsupport::TemporaryDirectory temporary_{"kestro-desktop-test"};
  fs::path root_ = temporary_.path();
};

TEST_F(DesktopSetupTest, InstalledFilesAreValidAndNoneOpensAType) {
  ASSERT_EQ(kestro("install").status.shellStatus(), 0);
  // One ordinary viewer, so that the queries are seen to read this tree at all. GIO passes
  // over an entry whose program is not in PATH: the prefix's bin/ is in it.
  write(data() / "applications" / "viewer.desktop",
        "[Desktop Entry]\nType=Application\nName=Viewer\nExec=true %f\nMimeType=image/png;\n");
  for (const fs::path& applications :
       {prefix() / "share" / "applications", data() / "applications"}) {
    ASSERT_EQ(run({"/usr/bin/update-desktop-database", applications}).status.shellStatus(), 0);
  }
  const std::string path = (prefix() / "bin").native() + ":/usr/bin:/bin";
  EXPECT_EQ(run({"/usr/bin/xdg-mime", "query", "default", "image/png"}, path).standardOutput,
            "viewer.desktop\n");
  EXPECT_NE(run({"/usr/bin/gio", "mime", "image/png"}, path).standardOutput.find("viewer.desktop"),
            std::string::npos);
  for (const char* type : {"image/png", "image/jpeg", "application/pdf", "text/plain", "video/mp4",
                           "text/html", "application/octet-stream", "inode/directory",
                           "x-scheme-handler/http", "x-scheme-handler/https"}) {
    SCOPED_TRACE(type);
    const ProcessResult query = run({"/usr/bin/xdg-mime", "query", "default", type}, path);
    const ProcessResult gio = run({"/usr/bin/gio", "mime", type}, path);
    EXPECT_EQ(query.standardOutput.find("kestro"), std::string::npos) << query.standardOutput;
    EXPECT_EQ(gio.standardOutput.find("kestro"), std::string::npos) << gio.standardOutput;
  }

  // A Dolphin service menu is no application: the validator takes "Service" for a type of
  // its own and wants MimeType and Actions on applications only, which is the point here.
  const std::vector<std::string> serviceOnly = {
      "error: key \"MimeType\" is present in group \"Desktop Entry\", but the type is "
      "\"Service\" while this key is only valid for type \"Application\"",
      "error: key \"Actions\" is present in group \"Desktop Entry\", but the type is "
      "\"Service\" while this key is only valid for type \"Application\""};
  std::vector<fs::path> entries;
  for (const fs::path& tree : {prefix() / "share", data()}) {
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
      if (entry.path().extension() == ".desktop" && entry.path().filename() != "viewer.desktop") {
        entries.push_back(entry.path());
      }
    }
  }
  ASSERT_EQ(entries.size(), 3u);  // the application entry, and a service menu in each tree
  for (const fs::path& entry : entries) {
    SCOPED_TRACE(entry);
    const bool serviceMenu = entry.parent_path().filename() == "servicemenus";
    EXPECT_EQ(serviceMenu, entry.parent_path().parent_path().filename() == "kio");
    const ProcessResult validated = run({"/usr/bin/desktop-file-validate", entry});
    std::string unexpected;
    std::istringstream lines(validated.standardOutput + validated.standardError);
    for (std::string line; std::getline(lines, line);) {
      const std::string said = line.substr(line.find(": ") + 2);
      if (!serviceMenu ||
          std::find(serviceOnly.begin(), serviceOnly.end(), said) == serviceOnly.end()) {
        unexpected += line + "\n";
      }
    }
    EXPECT_EQ(unexpected, "");
    // Dolphin runs a service menu outside the system's folders only when it is executable.
    if (serviceMenu) {
      EXPECT_NE(fs::status(entry).permissions() & fs::perms::owner_exec, fs::perms::none);
    }
  }
}

TEST_F(DesktopSetupTest, EveryActionSharesTheSelectedFilesAsTheyAre) {
  UserDefaults::suite("group.kestro.capture", UserDirectories(config(), data(), root_ / "tmp"))
      ->set(UUID().uuidString(), "tavlo.current-user-id");
  ASSERT_EQ(kestro("install").status.shellStatus(), 0);

  // Names a shell would split, unquote or expand, one that is not UTF-8, and one that reads
  // as an option.
  const fs::path folder = root_ / "files";
  const std::vector<std::string> names = {"two  words.txt",
                                          "it's.txt",
                                          "say \"hi\" \\ `now`.txt",
                                          "caf\xe9 latin-1.txt",
                                          "$(touch pwned) * $HOME;.txt",
                                          "--text"};
  std::vector<fs::path> paths;
  for (std::size_t i = 0; i < names.size(); ++i) {
    paths.push_back(folder / names[i]);
    write(paths.back(), "contents " + std::to_string(i));
  }

  // Each action's command line, from the per-user files (naming kestro-share by its path, so
  // PATH lacks it) and from those `make install` put in the prefix (naming it, found in PATH).
  struct Action {
    std::string name;
    std::vector<std::string> command;
    std::string path;
  };
  std::vector<Action> actions;
  const std::string bin = (prefix() / "bin").native();
  for (const auto& [share, path] : {std::pair(data(), std::string("/usr/bin:/bin")),
                                    std::pair(prefix() / "share", bin + ":/usr/bin:/bin")}) {
    std::vector<std::string> nautilus = {
        (share / (share == data() ? "nautilus/scripts" : "kestro/nautilus") / "Share with Kestro")
            .native()};
    nautilus.insert(nautilus.end(), names.begin(), names.end());  // relative, as Nautilus gives
    actions.push_back({"Nautilus script", nautilus, path});
    const fs::path nemo = share / "nemo/actions/kestro-share.nemo_action";
    actions.push_back({"Nemo action",
                       nemoExpanded(keyOf(nemo, "Nemo Action", "Exec"),
                                    keyOf(nemo, "Nemo Action", "Quote"), paths),
                       path});
    actions.push_back({"Dolphin service menu",
                       expanded(keyOf(share / "kio/servicemenus/kestro-share.desktop",
                                      "Desktop Action share", "Exec"),
                                paths),
                       path});
  }
  actions.push_back({"Thunar action", expanded(thunarCommand(contentsOf(thunarActions())), paths),
                     "/usr/bin:/bin"});
  for (std::size_t k = 0; k < actions.size(); ++k) {
    const Action& action = actions[k];
    SCOPED_TRACE(action.name);
    ASSERT_FALSE(action.command.empty());
    std::vector<std::string> command = action.command;
    if (command[0].find('/') == std::string::npos) command[0] = bin + "/" + command[0];
    const ProcessResult shared = run(command, action.path, folder);
    EXPECT_EQ(shared.status.shellStatus(), 0) << shared.standardError;
    EXPECT_EQ(shared.standardError, "");
    const json stored = records();
    ASSERT_EQ(stored.size(), k + 1);  // one capture per run, each with every file as it is
    for (const json& record : stored) {
      const json& assets = record["stagedAssets"];
      ASSERT_EQ(assets.size(), names.size());
      for (std::size_t i = 0; i < names.size(); ++i) {
        gchar* copy =
            g_filename_from_uri(assets[i].value("localURL", "").c_str(), nullptr, nullptr);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(contentsOf(copy), "contents " + std::to_string(i));
        g_free(copy);
        if (i != 3) {
          EXPECT_EQ(assets[i]["filename"], names[i]);  // not UTF-8: stored repaired
        }
      }
    }
  }
  for (const auto& entry : fs::recursive_directory_iterator(root_)) {
    EXPECT_NE(entry.path().filename(), "pwned") << "a name was run through a shell";
  }
}

TEST_F(DesktopSetupTest, UninstallTakesAwayWhatInstallWroteAndNothingElse) {
  // The user's own things beside ours, and a Thunar file of theirs.
  const std::string users =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action>\n"
      "\t<name>Open Terminal Here</name>\n\t<unique-id>1589463385581410-1</unique-id>\n"
      "\t<command>exo-open --working-directory %f --launch TerminalEmulator</command>\n"
      "</action>\n<!-- mine -->\n</actions>";
  write(thunarActions(), users);
  write(data() / "nautilus" / "scripts" / "Mine", "#!/bin/sh\n");
  write(data() / "nemo" / "actions" / "mine.nemo_action", "[Nemo Action]\n");
  const std::map<std::string, std::string> original = userFiles();

  const ProcessResult installed = kestro("install");
  ASSERT_EQ(installed.status.shellStatus(), 0) << installed.standardError;
  for (const char* said : {"Share with Kestro (Nautilus script)", "kestro-share.nemo_action (Nemo",
                           "kestro-share.desktop (Dolphin", "uca.xml (Thunar"}) {
    EXPECT_NE(installed.standardOutput.find(said), std::string::npos) << installed.standardOutput;
  }
  const std::string added = contentsOf(thunarActions());
  EXPECT_EQ(added.substr(0, users.rfind("</actions>")), users.substr(0, users.rfind("</actions>")));
  EXPECT_NE(added.find("<unique-id>kestro-share-with-kestro</unique-id>"), std::string::npos);
  const std::map<std::string, std::string> afterInstall = userFiles();
  const ProcessResult again = kestro("install");
  EXPECT_EQ(again.status.shellStatus(), 0);
  EXPECT_EQ(userFiles(), afterInstall);
  EXPECT_EQ(again.standardOutput.find("Wrote"), std::string::npos) << again.standardOutput;

  const ProcessResult removed = kestro("uninstall");
  EXPECT_EQ(removed.status.shellStatus(), 0) << removed.standardError;
  EXPECT_EQ(userFiles(), original);  // uca.xml byte for byte as it was, the user's files too
  const ProcessResult nothing = kestro("uninstall");
  EXPECT_EQ(nothing.status.shellStatus(), 0);
  EXPECT_NE(nothing.standardOutput.find("Nothing of Kestro's"), std::string::npos);

  // Without a file of the user's, Thunar shows the system's actions; ours joins them, and goes
  // with the file that held nothing else.
  fs::remove(thunarActions());
  write(root_ / "config-dirs" / "Thunar" / "uca.xml", users);
  ASSERT_EQ(kestro("install").status.shellStatus(), 0);
  EXPECT_EQ(contentsOf(thunarActions()), added);
  ASSERT_EQ(kestro("uninstall").status.shellStatus(), 0);
  EXPECT_FALSE(fs::exists(thunarActions()));

  // A uca.xml kept elsewhere through a symbolic link stays a link; the file it names is edited.
  write(root_ / "home" / "dotfiles" / "uca.xml", users);
  fs::create_symlink("../../home/dotfiles/uca.xml", thunarActions());
  ASSERT_EQ(kestro("install").status.shellStatus(), 0);
  EXPECT_EQ(contentsOf(root_ / "home" / "dotfiles" / "uca.xml"), added);
  ASSERT_EQ(kestro("uninstall").status.shellStatus(), 0);
  EXPECT_TRUE(fs::is_symlink(thunarActions()));
  EXPECT_EQ(contentsOf(root_ / "home" / "dotfiles" / "uca.xml"), users);
}

TEST_F(DesktopSetupTest, WhatItCannotEditSafelyStopsItBeforeAnythingChanges) {
  const fs::path ours = data() / "nemo" / "actions" / "kestro-share.nemo_action";
  const std::string malformed = "<actions>\n<action><name>half</name>\n</actions>\n";
  struct Case {
    std::string what;
    std::function<void()> arrange;
    std::string said;
  };
  const std::vector<Case> cases = {
      {"a malformed uca.xml", [&] { write(thunarActions(), malformed); }, "uca.xml is not a list"},
      {"a uca.xml that is not a file", [&] { fs::create_directories(thunarActions()); },
       "not a regular file"},
      {"a file of the user's at our name", [&] { write(ours, "[Nemo Action]\nExec=mine\n"); },
       "is not Kestro's"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(config());
    fs::remove_all(data());
    fs::create_directories(config());
    fs::create_directories(data());
    c.arrange();
    const std::map<std::string, std::string> before = userFiles();
    const ProcessResult installed = kestro("install");
    EXPECT_EQ(installed.status.shellStatus(), 1);
    EXPECT_NE(installed.standardError.find(c.said), std::string::npos) << installed.standardError;
    EXPECT_EQ(installed.standardOutput, "");
    EXPECT_EQ(userFiles(), before);
  }
  // Uninstall leaves a file of the user's at our name, and says so.
  const ProcessResult left = kestro("uninstall");
  EXPECT_EQ(left.status.shellStatus(), 0);
  EXPECT_NE(left.standardOutput.find("it is not Kestro's"), std::string::npos);
  EXPECT_TRUE(fs::exists(ours));
  write(thunarActions(), malformed);
  EXPECT_EQ(kestro("uninstall").status.shellStatus(), 1);
  EXPECT_EQ(contentsOf(thunarActions()), malformed);
  EXPECT_EQ(run({(prefix() / "bin" / "kestro").native(), "desktop"}).status.shellStatus(), 2);
}

}  // namespace
}  // namespace kestro
