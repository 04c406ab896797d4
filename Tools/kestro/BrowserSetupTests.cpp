// The browsers' native-messaging host manifests, end to end: the build installed into a
// temporary prefix (cmake --install), `kestro browser install|uninstall` run from there into a
// fresh home, and the manifests read back as the browsers read them. With them, the extension's
// own manifest, and its Chromium id recomputed from its key.

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "KestroCore/Foundation/SHA256.h"
#include "KestroCore/Platform/Process/Process.h"
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

// A `name=value` line of extension-id.txt.
std::string extensionIdFile(const std::string& name) {
  std::ifstream in(fs::path(KESTRO_BROWSER_SOURCE_DIR) / "extension-id.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(name + "=")) return line.substr(name.size() + 1);
  }
  ADD_FAILURE() << "extension-id.txt has no " << name;
  return "";
}

class BrowserSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "home");
    ProcessOptions install;
    install.arguments = {KESTRO_CMAKE, "--install", KESTRO_BINARY_DIR, "--prefix", prefix()};
    install.standardOutput = ProcessOutput::capture();
    install.standardError = ProcessOutput::capture();
    const ProcessResult installed = runProcess(std::move(install));
    ASSERT_TRUE(installed.status.succeeded()) << installed.standardError;
    // The manifests only name the host; a build without it gets a stand-in to name.
    if (!fs::exists(host())) {
      write(host(), "#!/bin/sh\nexit 1\n");
      fs::permissions(host(), fs::perms::owner_all);
    }
  }

  fs::path prefix() const { return root_ / "prefix"; }
  fs::path host() const { return prefix() / "bin" / "kestro-browser-host"; }
  fs::path config() const { return root_ / "home" / "config"; }
  fs::path chromium() const {
    return config() / "chromium" / "NativeMessagingHosts" / "org.kestro.share.json";
  }
  fs::path chrome() const {
    return config() / "google-chrome" / "NativeMessagingHosts" / "org.kestro.share.json";
  }
  fs::path firefox() const {
    return root_ / "home" / ".mozilla" / "native-messaging-hosts" / "org.kestro.share.json";
  }

  // Every file under the home, with its contents.
  std::map<std::string, std::string> homeFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root_ / "home")) {
      if (entry.is_regular_file()) files[entry.path().native()] = contentsOf(entry.path());
    }
    return files;
  }

  ProcessResult kestro(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {(prefix() / "bin" / "kestro").native(), "browser"});
    ProcessOptions options;
    options.arguments = std::move(arguments);
    options.environment = {"HOME=" + (root_ / "home").native(),
                           "XDG_CONFIG_HOME=" + config().native(), "PATH=/usr/bin:/bin",
                           "TSAN_OPTIONS=suppressions=" KESTRO_TSAN_SUPPRESSIONS};
    options.standardInput = ProcessInput::null();
    options.standardOutput = ProcessOutput::capture();
    options.standardError = ProcessOutput::capture();
    return runProcess(std::move(options));
  }

  testsupport::TemporaryDirectory temporary_{"kestro-browser-test"};
  fs::path root_ = temporary_.path();
};

TEST_F(BrowserSetupTest, InstallWritesEachBrowsersManifestAndUninstallRemovesOnlyThem) {
  const fs::path mine = firefox().parent_path() / "other.host.json";
  write(mine, "{\"name\": \"other.host\"}");

  const ProcessResult installed = kestro({"install"});
  ASSERT_EQ(installed.status.shellStatus(), 0) << installed.standardError;
  const std::string origin = "chrome-extension://" + extensionIdFile("id") + "/";
  for (const fs::path& path : {chromium(), chrome(), firefox()}) {
    SCOPED_TRACE(path);
    EXPECT_NE(installed.standardOutput.find("Wrote " + path.native()), std::string::npos);
    const json manifest = json::parse(contentsOf(path));
    EXPECT_EQ(manifest["name"], "org.kestro.share");
    EXPECT_EQ(manifest["type"], "stdio");
    EXPECT_EQ(manifest["path"], fs::canonical(host()).native());
    if (path == firefox()) {
      EXPECT_EQ(manifest["allowed_extensions"], json::array({"share@kestro.org"}));
      EXPECT_FALSE(manifest.contains("allowed_origins"));
    } else {
      EXPECT_EQ(manifest["allowed_origins"], json::array({origin}));
      EXPECT_FALSE(manifest.contains("allowed_extensions"));
    }
    EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0644));
  }
  // It names the installed extension (make install put it there).
  const fs::path extension = prefix() / "share" / "kestro" / "browser-extension";
  EXPECT_NE(installed.standardOutput.find("The extension is in " + extension.native() + "."),
            std::string::npos)
      << installed.standardOutput;

  const std::map<std::string, std::string> afterInstall = homeFiles();
  const ProcessResult again = kestro({"install"});
  EXPECT_EQ(again.status.shellStatus(), 0);
  EXPECT_EQ(again.standardOutput.find("Wrote"), std::string::npos) << again.standardOutput;
  EXPECT_EQ(homeFiles(), afterInstall);

  // A manifest of ours naming another prefix's host is brought up to date.
  write(chrome(), "{\"name\": \"org.kestro.share\", \"path\": \"/old/bin/kestro-browser-host\"}");
  const ProcessResult updated = kestro({"install", "--browser", "chrome"});
  EXPECT_NE(updated.standardOutput.find("Updated " + chrome().native()), std::string::npos);
  EXPECT_EQ(homeFiles(), afterInstall);

  const ProcessResult removed = kestro({"uninstall"});
  EXPECT_EQ(removed.status.shellStatus(), 0) << removed.standardError;
  EXPECT_EQ(homeFiles(), (std::map<std::string, std::string>{{mine.native(), contentsOf(mine)}}));
  const ProcessResult nothing = kestro({"uninstall"});
  EXPECT_EQ(nothing.status.shellStatus(), 0);
  EXPECT_NE(nothing.standardOutput.find("Nothing of Kestro's"), std::string::npos);
}

TEST_F(BrowserSetupTest, OneBrowserOrOneProfile) {
  ASSERT_EQ(kestro({"install", "--browser", "firefox"}).status.shellStatus(), 0);
  EXPECT_EQ(homeFiles().size(), 1u);
  EXPECT_TRUE(fs::exists(firefox()));
  ASSERT_EQ(kestro({"uninstall", "--browser", "firefox"}).status.shellStatus(), 0);

  const fs::path profile = root_ / "home" / "profiles" / "work";
  fs::create_directories(profile);
  ASSERT_EQ(kestro({"install", "--profile", profile.native()}).status.shellStatus(), 0);
  const fs::path ours = profile / "NativeMessagingHosts" / "org.kestro.share.json";
  EXPECT_TRUE(json::parse(contentsOf(ours)).contains("allowed_origins"));
  EXPECT_EQ(homeFiles().size(), 1u);
  ASSERT_EQ(kestro({"uninstall", "--profile", profile.native()}).status.shellStatus(), 0);
  EXPECT_TRUE(homeFiles().empty());

  // Wrong lines, each refused before anything is written.
  for (const auto& [line, status] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{"install", "--browser", "opera"}, 2},
           {{"install", "--browser", "firefox", "--profile", profile.native()}, 2},
           {{"install", "--profile", (root_ / "missing").native()}, 1},
           {{}, 2}}) {
    const ProcessResult result = kestro(line);
    EXPECT_EQ(result.status.shellStatus(), status) << ::testing::PrintToString(line);
    EXPECT_NE(result.standardError, "");
    EXPECT_TRUE(homeFiles().empty());
  }
}

TEST_F(BrowserSetupTest, WhatIsNotOursStopsInstallBeforeAnythingIsWritten) {
  // Another program's manifest at our name.
  const std::string theirs = "{\"name\": \"org.kestro.share\", \"path\": \"/opt/theirs/host\"}";
  write(chrome(), theirs);
  const ProcessResult installed = kestro({"install"});
  EXPECT_EQ(installed.status.shellStatus(), 1);
  EXPECT_NE(installed.standardError.find("is not Kestro's"), std::string::npos);
  EXPECT_EQ(homeFiles(), (std::map<std::string, std::string>{{chrome().native(), theirs}}));
  const ProcessResult left = kestro({"uninstall"});
  EXPECT_EQ(left.status.shellStatus(), 0);
  EXPECT_NE(left.standardOutput.find("Left " + chrome().native()), std::string::npos);
  EXPECT_EQ(contentsOf(chrome()), theirs);

  // No host beside this kestro: nothing to name.
  fs::remove(chrome());
  fs::remove(host());
  const ProcessResult alone = kestro({"install"});
  EXPECT_EQ(alone.status.shellStatus(), 1);
  EXPECT_NE(alone.standardError.find("there is no kestro-browser-host beside this kestro"),
            std::string::npos)
      << alone.standardError;
  EXPECT_TRUE(homeFiles().empty());
}

TEST(BrowserExtensionTest, ManifestServesBothBrowsersAndItsKeyGivesTheRecordedId) {
  const fs::path folder = fs::path(KESTRO_BROWSER_SOURCE_DIR) / "extension";
  const json manifest = json::parse(contentsOf(folder / "manifest.json"));
  EXPECT_EQ(manifest["manifest_version"], 3);
  for (const char* key : {"name", "version", "description"}) {
    EXPECT_TRUE(manifest[key].is_string()) << key;
  }
  const json& background = manifest["background"];
  EXPECT_TRUE(fs::exists(folder / background["service_worker"].get<std::string>()));
  EXPECT_EQ(background["scripts"], json::array({background["service_worker"]}));
  const json& gecko = manifest["browser_specific_settings"]["gecko"];
  EXPECT_EQ(gecko["id"], "share@kestro.org");
  // Firefox takes `scripts` beside `service_worker` from 121 on; before, it refuses the add-on.
  EXPECT_GE(std::stoi(gecko["strict_min_version"].get<std::string>()), 121);
  for (const char* permission :
       {"nativeMessaging", "contextMenus", "activeTab", "tabs", "scripting", "storage"}) {
    EXPECT_NE(std::find(manifest["permissions"].begin(), manifest["permissions"].end(), permission),
              manifest["permissions"].end())
        << permission;
  }
  EXPECT_TRUE(manifest["commands"].contains("share-page"));
  for (const auto& [size, icon] : manifest["action"]["default_icon"].items()) {
    EXPECT_EQ(contentsOf(folder / icon.get<std::string>()).substr(1, 3), "PNG") << size;
  }

  // Chromium's id: the SHA-256 of the key's DER, its first 32 hex digits as the letters a-p.
  const std::string key = manifest["key"];
  EXPECT_EQ(key, extensionIdFile("key"));
  gsize length = 0;
  guchar* der = g_base64_decode(key.c_str(), &length);
  const std::string hex = SHA256Digest::hex(std::string(reinterpret_cast<char*>(der), length));
  g_free(der);
  ASSERT_GT(length, 200u);  // an RSA public key, not an empty or cut string
  std::string id;
  for (const char digit : hex.substr(0, 32)) {
    id += static_cast<char>('a' + (digit <= '9' ? digit - '0' : digit - 'a' + 10));
  }
  EXPECT_EQ(id, extensionIdFile("id"));
}

}  // namespace
}  // namespace kestro
