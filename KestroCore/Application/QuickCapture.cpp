#include "KestroCore/Application/QuickCapture.h"

#include <exception>
#include <utility>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"
#include "KestroCore/Policies/CapturePrivacyPolicy.h"
#include "KestroCore/Policies/QuickCaptureContextPolicy.h"

namespace kestro {
namespace {

// Repaired to UTF-8 and trimmed at the ends; nothing when blank.
std::optional<std::string> usable(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const std::string repaired = repairedUTF8(*text);
  const std::string_view trimmed = trimmingWhitespaceAndNewlines(repaired);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

}  // namespace

void publishOutboxChange(const ApplicationPlaces& places) {
  places.sharedSettings().set(UUID().uuidString(), places::kSharedCaptureRevisionKey);
}

OutboxRecord quickCapture(const ApplicationPlaces& places, OutboxStore& store,
                          const QuickCaptureRequest& request, Date now) {
  // 1. What there is.
  std::optional<URL> typedURL;
  if (const auto url = usable(request.url)) {
    typedURL = URL::fromString(*url);
    if (!typedURL) {
      throw ApplicationError(ExitStatus::usage, "not a web address: \"" + *url + "\"");
    }
  }
  const std::optional<std::string> text = usable(request.text);
  const std::optional<std::string> clipboard = usable(request.clipboardText);
  const std::optional<std::string> note = usable(request.note);
  if (!typedURL && !text && !clipboard && !note) {
    throw ApplicationError(ExitStatus::usage,
                           "nothing to capture: give --url, --text, --clipboard or --note");
  }
  const std::optional<std::string> applicationId = usable(request.applicationId);
  const std::optional<std::string> windowTitle = usable(request.windowTitle);

  // 2. May it be captured at all?
  const CapturePrivacyPolicy privacy(places.excludedApplications());
  if (!privacy.mayCapture(applicationId, windowTitle)) {
    if (applicationId && privacy.excludedBundleIdentifiers.contains(*applicationId)) {
      throw ApplicationError(ExitStatus::failure,
                             "not captured: " + *applicationId +
                                 " is excluded from capture in the application's settings");
    }
    throw ApplicationError(ExitStatus::failure,
                           "not captured: the window looks private (a private or incognito "
                           "browsing window, or a password prompt)");
  }

  // 3. Its kind and address.
  const std::optional<std::string> contextText = text ? text : clipboard;
  const SourceKind kind = QuickCaptureContextPolicy::sourceKind(typedURL, contextText, false);
  std::optional<URL> address = QuickCaptureContextPolicy::webURL(typedURL, clipboard);
  if (!address) address = typedURL;

  // 4. The user, the record, the revision.
  const std::optional<UUID> userId = places.signedInUser();
  if (!userId) throw notSignedInError();
  CaptureOrigin origin{.platform = KestroPlatform::macos,
                       .mechanism = request.mechanism,
                       .deviceId = places.deviceIdentifier(),
                       .appVersion = places.applicationVersion(),
                       .sourceApplication = usable(request.applicationName)
                                                ? usable(request.applicationName)
                                                : applicationId,
                       .sourceBundleId = applicationId,
                       .windowTitle = windowTitle};
  std::optional<TaskIntent> task;
  if (request.task) task = TaskIntent{true, usable(request.taskDue)};
  const CaptureEnvelope envelope(UUID(), now, kind, std::move(origin), std::move(address),
                                 std::nullopt, contextText, std::nullopt, std::nullopt, note,
                                 std::move(task), {}, CapturePrivacy{false, false, false});
  OutboxRecord record = store.enqueue(*userId, envelope, {});
  try {
    publishOutboxChange(places);
  } catch (const std::exception&) {
    // The capture is stored; a watching flush finds it at its next look all the same.
  }
  return record;
}

}  // namespace kestro
