#pragma once

// What the browsers' host does with a decoded request: a share becomes one capture in the outbox
// of the signed-in user, as kestro-share stores one (same places, same store, the shared capture
// revision after it), and a status says where an address stands on this device and in the
// library the last `kestro sync` kept. No network, ever. Each call opens the outbox for itself,
// so a sign-in or a flush between two requests is seen.

#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/MacShareExtension/ExtensionSettings.h"
#include "Tools/kestro-browser-host/NativeMessaging.h"

namespace kestro::browserhost {

// The browser that runs the host, as the capture policies know applications.
struct BrowserIdentity {
  // The ids the exclusion list may name it by: its program's name ("firefox-esr", "chromium")
  // and that name as X11 gives a window's class ("Firefox-esr", "Chromium"). Empty when unknown.
  std::vector<std::string> applicationIds;
  // The name shown as the capture's source application; nothing when unknown.
  std::optional<std::string> name;

  // The program of the process that started this one: the browser, which runs its hosts
  // directly.
  static BrowserIdentity ofParentProcess();
};

class BrowserCapture {
 public:
  BrowserCapture(ShareEnvironment environment, BrowserIdentity browser);

  // The answer to one request (without its id), as a JSON object with "ok" and either the
  // outcome's fields or "outcome" and "message". Never throws but std::bad_alloc: a failure of
  // the disk or the database is the answer's "failed".
  nlohmann::json answer(const DecodedRequest& request) const;

 private:
  nlohmann::json share(const ShareRequest& request) const;
  nlohmann::json status(const StatusRequest& request) const;

  ExtensionSettings settings_;
  BrowserIdentity browser_;
};

}  // namespace kestro::browserhost
