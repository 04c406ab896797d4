#pragma once

// `kestro browser install|uninstall`: the native-messaging host manifests through which
// Chromium, Google Chrome and Firefox start kestro-browser-host (the program beside this
// kestro) for Kestro's browser extension, and how to load that extension.

#include <string>

namespace kestro::commands {

struct BrowserSetupArguments {
  std::string browser;  // "chromium", "chrome" or "firefox"; empty for all three
  std::string profile;  // a Chromium user-data directory, instead of the default one
};

// Writes org.kestro.share.json where each browser named reads it, saying what it wrote; running
// it again changes nothing. A file of the user's at that name stops it before anything is
// written.
int installBrowserHost(const BrowserSetupArguments& arguments);

// Removes the manifests install wrote for the browsers named, and only those.
int uninstallBrowserHost(const BrowserSetupArguments& arguments);

// How to load the extension in each browser, naming the folder installed beside this kestro.
std::string browserExtensionHelp();

}  // namespace kestro::commands
