#pragma once

// A capture the user makes from the application rather than through a share: a web address,
// some text or the clipboard, a note, a task, with the application and window it came from. It
// is checked against the privacy policy first, takes its kind and address from the quick capture
// context policy, and is enqueued as the share target enqueues (no network), after which the
// shared capture revision tells a running `kestro flush --watch` to send it.

#include <optional>
#include <string>

#include "KestroCore/Application/ApplicationPlaces.h"
#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/OutboxStore/OutboxStore.h"

namespace kestro {

struct QuickCaptureRequest {
  std::optional<std::string> url = std::nullopt;   // as typed; must parse as a URL
  std::optional<std::string> text = std::nullopt;  // selected or typed text
  std::optional<std::string> clipboardText =
      std::nullopt;  // what the clipboard held, when asked for
  std::optional<std::string> note = std::nullopt;
  bool task = false;                                          // make a task of it
  std::optional<std::string> taskDue = std::nullopt;          // when, in the user's words
  std::optional<std::string> applicationId = std::nullopt;    // the source application's id
  std::optional<std::string> applicationName = std::nullopt;  // its name for people, when known
  std::optional<std::string> windowTitle = std::nullopt;
  CaptureMechanism mechanism = CaptureMechanism::manual;
};

// Decides and enqueues one quick capture for the signed-in user at `now`, and returns its record.
//  1. Something to capture: an address, a text, clipboard text or a note (ApplicationError usage
//     otherwise); texts that are not UTF-8 are repaired, blank ones count as absent.
//  2. CapturePrivacyPolicy with the excluded applications of the application's settings: a
//     refusal is ApplicationError (failure) saying why, and nothing is stored.
//  3. The kind from QuickCaptureContextPolicy::sourceKind (the address, else the text or the
//     clipboard, no screenshot); the address from QuickCaptureContextPolicy::webURL, else the
//     address as typed (a mailto: link, say), so nothing the user gave is lost.
//  4. The signed-in user (ApplicationError notSignedIn otherwise), enqueue, then a fresh shared
//     capture revision (a failure to write it does not undo the capture).
// Throws what the store and the settings suites throw.
OutboxRecord quickCapture(const ApplicationPlaces& places, OutboxStore& store,
                          const QuickCaptureRequest& request, Date now);

// Writes a fresh shared capture revision: how the share target, `kestro capture` and `kestro
// outbox retry` tell a running `kestro flush --watch` that the outbox changed.
void publishOutboxChange(const ApplicationPlaces& places);

}  // namespace kestro
