#include "Tools/kestro-browser-host/BrowserCapture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Outbox/CaptureOutboxState.h"
#include "KestroCore/OutboxStore/AssetStager.h"
#include "KestroCore/OutboxStore/OutboxStore.h"
#include "KestroCore/OutboxStore/SyncCache.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"
#include "KestroCore/Policies/CapturePrivacyPolicy.h"
#include "KestroCore/Policies/QuickCaptureContextPolicy.h"

namespace kestro::browserhost {
namespace {

namespace fs = std::filesystem;

// The screenshot's name in the capture's staging directory, before staging prefixes its id.
constexpr const char* kScreenshotName = "screenshot.png";
// How much of a failure's text goes into an answer: enough for a path and the system's words.
constexpr std::size_t kMaximumMessageSize = 2048;

nlohmann::json refusal(std::string_view outcome, std::string message) {
  if (message.size() > kMaximumMessageSize)
    message = repairedUTF8(message.substr(0, kMaximumMessageSize));
  return {{"ok", false}, {"outcome", outcome}, {"message", std::move(message)}};
}

nlohmann::json notSignedIn() { return refusal("notSignedIn", "not signed in: run kestro signin"); }

// Text as the capture keeps it: trimmed at the ends, nothing when blank.
std::optional<std::string> usable(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const std::string_view trimmed = trimmingWhitespaceAndNewlines(*text);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::optional<URL> parsedURL(const std::optional<std::string>& text) {
  const std::optional<std::string> trimmed = usable(text);
  return trimmed ? URL::fromString(*trimmed) : std::nullopt;
}

// The applications never to capture from, as `kestro capture` reads them.
std::set<std::string> excludedApplications(const UserDirectories& directories) {
  const std::optional<fs::path> directory = places::applicationSettingsDirectory(directories);
  if (!directory) return {};
  const UserDirectories own(*directory, directories.dataHome(),
                            directories.temporaryDirectoryPath());
  const std::optional<UserDefaults> suite =
      UserDefaults::suite(places::kApplicationSettingsSuiteName, own);
  if (!suite) return {};
  const std::optional<std::string> text = suite->string(places::kExcludedApplicationsKey);
  return text ? places::parseApplicationList(*text) : std::set<std::string>{};
}

// Writes the screenshot into the capture's own staging directory under a name that says it is
// unfinished, then gives it its name: whatever a kill leaves is known for what it is and pruned.
fs::path writeScreenshot(const std::string& bytes, const fs::path& directory) {
  files::createDirectories(directory, 0700);
  const fs::path unfinished = directory / AssetStager::unfinishedCopyName(UUID());
  {
    const FileDescriptor file = files::createNewFile(unfinished, S_IRUSR | S_IWUSR);
    files::writeAll(file.get(), bytes.data(), bytes.size(), unfinished);
  }
  const fs::path whole = directory / kScreenshotName;
  fs::rename(unfinished, whole);
  return whole;
}

// The address the capture is about: the link's or the image's for those, the page's otherwise.
// A web address is preferred, so a `javascript:` link or a `data:` image falls back to the page.
std::optional<URL> captureAddress(const ShareRequest& request, const URL& page) {
  std::optional<URL> contextual;
  if (request.context == ShareContext::link) contextual = parsedURL(request.linkUrl);
  if (request.context == ShareContext::image) contextual = parsedURL(request.srcUrl);
  if (auto web = QuickCaptureContextPolicy::webURL(contextual, std::nullopt)) return web;
  if (auto web = QuickCaptureContextPolicy::webURL(page, std::nullopt)) return web;
  return page;
}

// The state a status names: the outbox's own words, "sent" for a complete capture.
std::string stateName(CaptureOutboxState state) {
  if (state == CaptureOutboxState::complete) return "sent";
  return std::string(rawValue(state));
}

}  // namespace

BrowserIdentity BrowserIdentity::ofParentProcess() {
  BrowserIdentity identity;
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/" + std::to_string(::getppid()) + "/exe", error);
  std::string name = error ? std::string() : program.filename().native();
  // A program replaced while it runs is shown as "name (deleted)".
  if (const std::size_t deleted = name.find(" (deleted)"); deleted != std::string::npos) {
    name.erase(deleted);
  }
  if (name.empty() || !isValidUTF8(name)) return identity;
  identity.name = name;
  identity.applicationIds.push_back(name);
  if (name[0] >= 'a' && name[0] <= 'z') {
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
    identity.applicationIds.push_back(name);
  }
  return identity;
}

BrowserCapture::BrowserCapture(ShareEnvironment environment, BrowserIdentity browser)
    : settings_(std::move(environment)), browser_(std::move(browser)) {}

nlohmann::json BrowserCapture::answer(const DecodedRequest& request) const {
  try {
    if (const auto* invalid = std::get_if<InvalidRequest>(&request.body)) {
      return refusal("invalidRequest", invalid->message);
    }
    if (const auto* share = std::get_if<ShareRequest>(&request.body)) return this->share(*share);
    return status(std::get<StatusRequest>(request.body));
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& failure) {
    return refusal("failed", repairedUTF8(failure.what()));
  }
}

nlohmann::json BrowserCapture::share(const ShareRequest& request) const {
  // 1. What it is about: nothing is touched for a request that cannot be stored.
  const std::optional<URL> page = parsedURL(request.url);
  if (!page) return refusal("invalidRequest", "\"url\" is not an address");
  const std::optional<URL> address = captureAddress(request, *page);
  const std::optional<std::string> selectedText = usable(request.selectedText);

  // 2. May it be captured at all?
  if (request.incognito) {
    return refusal("refused", "refused: the tab is in a private or incognito window");
  }
  const CapturePrivacyPolicy privacy(excludedApplications(settings_.environment().directories));
  for (const std::string& id : browser_.applicationIds) {
    if (!privacy.mayCapture(id, std::nullopt)) {
      return refusal("refused",
                     "refused: " + id + " is excluded from capture in the application's settings");
    }
  }

  // 3. Who it is for.
  const std::optional<UUID> userId = settings_.signedInUser();
  if (!userId) return notSignedIn();

  // 4. The screenshot, staged straight into the capture's own directory; the directory goes
  // again if the capture does not make it into the outbox.
  const UUID clientCaptureId;
  const fs::path storage = settings_.storageDirectory();
  const fs::path directory =
      storage / places::kAttachmentsDirectoryName / clientCaptureId.uuidString();
  std::vector<StagedAsset> stagedAssets;
  try {
    if (request.screenshotPNG) {
      const fs::path file = writeScreenshot(*request.screenshotPNG, directory);
      stagedAssets.push_back(AssetStager::stageByMoving(URL::fileURL(file), URL::fileURL(directory),
                                                        "image/png", AssetRole::screenshot));
    }

    // 5. The envelope and the outbox.
    const CaptureMechanism mechanism = request.trigger == Trigger::contextMenu
                                           ? CaptureMechanism::shareMenu
                                           : CaptureMechanism::manual;
    CaptureOrigin origin{.platform = KestroPlatform::macos,
                         .mechanism = mechanism,
                         .deviceId = settings_.deviceIdentifier(),
                         .appVersion = settings_.applicationVersion(),
                         .sourceApplication = browser_.name,
                         .sourceBundleId = browser_.applicationIds.empty()
                                               ? std::nullopt
                                               : std::optional(browser_.applicationIds.front()),
                         .windowTitle = std::nullopt};
    const SourceKind kind = QuickCaptureContextPolicy::sourceKind(
        address, selectedText, request.screenshotPNG.has_value());
    const CaptureEnvelope envelope(clientCaptureId, settings_.environment().now(), kind,
                                   std::move(origin), address, usable(request.title), selectedText,
                                   usable(request.visibleText), std::nullopt, std::nullopt,
                                   std::nullopt, {},
                                   CapturePrivacy{request.screenshotPNG.has_value(), false, false});
    OutboxStore store(URL::fileURL(storage / places::kDatabaseFileName));
    store.enqueue(*userId, envelope, stagedAssets);
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    throw;
  }

  // 6. The revision that tells a watching flush; the capture is stored whatever happens to it.
  try {
    settings_.sharedSettingsStore().set(UUID().uuidString(), places::kSharedCaptureRevisionKey);
  } catch (const std::exception&) {
  }
  nlohmann::json stored = {{"ok", true},
                           {"outcome", "stored"},
                           {"captureId", clientCaptureId.uuidString()},
                           {"state", "queued"},
                           {"message", "stored on this device"}};
  if (address) stored["url"] = address->absoluteString();
  return stored;
}

nlohmann::json BrowserCapture::status(const StatusRequest& request) const {
  const std::optional<URL> url = parsedURL(request.url);
  if (!url) return refusal("invalidRequest", "\"url\" is not an address");
  const std::optional<UUID> userId = settings_.signedInUser();
  if (!userId) return notSignedIn();
  const URL database = URL::fileURL(settings_.storageDirectory() / places::kDatabaseFileName);

  nlohmann::json answer{{"ok", true}, {"onDevice", false}, {"inLibrary", false}};
  std::optional<OutboxRecord> newest;
  {
    OutboxStore store(database);
    newest = store.newestWithAddress(*userId, *url);
  }
  if (newest) {
    answer["onDevice"] = true;
    answer["captureId"] = newest->id().uuidString();
    answer["state"] = stateName(newest->state);
  }
  SyncCache cache(database);
  answer["inLibrary"] = cache.hasItemWithAddress(*userId, *url);
  return answer;
}

}  // namespace kestro::browserhost
