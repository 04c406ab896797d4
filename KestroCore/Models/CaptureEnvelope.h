#pragma once

// The capture: what the user saved, where it came from and which files belong to it. The share
// target builds it, the outbox keeps it inside each record, and the API client posts it. Its JSON
// form is the same in the outbox database and on the wire.
//
// All types here are plain values: copy, compare and encode them from any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"

namespace kestro {

// The client platform.
enum class KestroPlatform { macos, ios };

// What triggered the capture.
enum class CaptureMechanism {
  doubleCommand,
  tripleCommand,
  globalShortcut,
  shareExtension,
  shareMenu,
  dragDrop,
  manual,
};

// What a capture, or a server item, is.
enum class SourceKind { url, selectedText, screenContext, image, videoFile, pdf, file, note };

// The role of one uploaded file in a capture.
enum class AssetRole { primary, screenshot, thumbnail, attachment };

template <>
struct RawValues<KestroPlatform> {
  static constexpr std::string_view typeName = "KestroPlatform";
  static constexpr std::array cases{
      std::pair{KestroPlatform::macos, std::string_view{"macos"}},
      std::pair{KestroPlatform::ios, std::string_view{"ios"}},
  };
};

template <>
struct RawValues<CaptureMechanism> {
  static constexpr std::string_view typeName = "CaptureMechanism";
  static constexpr std::array cases{
      std::pair{CaptureMechanism::doubleCommand, std::string_view{"double_command"}},
      std::pair{CaptureMechanism::tripleCommand, std::string_view{"triple_command"}},
      std::pair{CaptureMechanism::globalShortcut, std::string_view{"global_shortcut"}},
      std::pair{CaptureMechanism::shareExtension, std::string_view{"share_extension"}},
      std::pair{CaptureMechanism::shareMenu, std::string_view{"share_menu"}},
      std::pair{CaptureMechanism::dragDrop, std::string_view{"drag_drop"}},
      std::pair{CaptureMechanism::manual, std::string_view{"manual"}},
  };
};

template <>
struct RawValues<SourceKind> {
  static constexpr std::string_view typeName = "SourceKind";
  static constexpr std::array cases{
      std::pair{SourceKind::url, std::string_view{"url"}},
      std::pair{SourceKind::selectedText, std::string_view{"selected_text"}},
      std::pair{SourceKind::screenContext, std::string_view{"screen_context"}},
      std::pair{SourceKind::image, std::string_view{"image"}},
      std::pair{SourceKind::videoFile, std::string_view{"video_file"}},
      std::pair{SourceKind::pdf, std::string_view{"pdf"}},
      std::pair{SourceKind::file, std::string_view{"file"}},
      std::pair{SourceKind::note, std::string_view{"note"}},
  };
};

template <>
struct RawValues<AssetRole> {
  static constexpr std::string_view typeName = "AssetRole";
  static constexpr std::array cases{
      std::pair{AssetRole::primary, std::string_view{"primary"}},
      std::pair{AssetRole::screenshot, std::string_view{"screenshot"}},
      std::pair{AssetRole::thumbnail, std::string_view{"thumbnail"}},
      std::pair{AssetRole::attachment, std::string_view{"attachment"}},
  };
};

// Where and how the capture was made.
struct CaptureOrigin {
  KestroPlatform platform;
  CaptureMechanism mechanism;
  UUID deviceId;                                 // stable identifier of this installation
  std::string appVersion;                        // version of the capturing application
  std::optional<std::string> sourceApplication;  // display name of the source application
  std::optional<std::string> sourceBundleId;     // its bundle identifier
  std::optional<std::string> windowTitle;        // title of the source window

  bool operator==(const CaptureOrigin&) const = default;
};

// Privacy facts about the capture; all three are always present.
struct CapturePrivacy {
  bool screenshotIncluded;
  bool redactionsApplied;
  bool privateWindowDetected;

  bool operator==(const CapturePrivacy&) const = default;
};

// The user's request to make a task of the capture.
struct TaskIntent {
  bool requested;
  std::optional<std::string> dueText;  // the due date as typed, unparsed

  bool operator==(const TaskIntent&) const = default;
};

// One file of the capture, already uploaded.
struct CaptureAsset {
  UUID clientAssetId;  // the staged asset's identifier
  UUID uploadId;       // the server's upload that carried the file
  std::string filename;
  std::string declaredMimeType;
  std::int64_t byteCount;
  std::string sha256;  // 64 lower-case hexadecimal digits
  AssetRole role;

  bool operator==(const CaptureAsset&) const = default;
};

// The capture. `schemaVersion` is fixed when the value is made: 1 for every envelope built here,
// and whatever the document said for a decoded one. Nothing checks that `assets` fits
// `sourceKind` or that any text is present; that is up to whoever builds the envelope.
class CaptureEnvelope {
 public:
  CaptureEnvelope(UUID clientCaptureId, Date capturedAt, SourceKind sourceKind,
                  CaptureOrigin origin, std::optional<URL> url, std::optional<std::string> title,
                  std::optional<std::string> selectedText, std::optional<std::string> visibleText,
                  std::optional<std::string> ocrText, std::optional<std::string> annotation,
                  std::optional<TaskIntent> taskIntent, std::vector<CaptureAsset> assets,
                  CapturePrivacy privacy);

  std::int64_t schemaVersion() const noexcept { return schemaVersion_; }

  UUID clientCaptureId;  // also the outbox record's identity and the submission's idempotency key
  Date capturedAt;
  SourceKind sourceKind;
  CaptureOrigin origin;
  std::optional<URL> url;
  std::optional<std::string> title;
  std::optional<std::string> selectedText;
  std::optional<std::string> visibleText;
  std::optional<std::string> ocrText;
  std::optional<std::string> annotation;
  std::optional<TaskIntent> taskIntent;
  std::vector<CaptureAsset> assets;
  CapturePrivacy privacy;

  bool operator==(const CaptureEnvelope&) const = default;

 private:
  friend struct JSONCoder<CaptureEnvelope>;
  std::int64_t schemaVersion_ = 1;
};

KESTRO_DECLARE_JSON_CODER(CaptureOrigin);
KESTRO_DECLARE_JSON_CODER(CapturePrivacy);
KESTRO_DECLARE_JSON_CODER(TaskIntent);
KESTRO_DECLARE_JSON_CODER(CaptureAsset);
KESTRO_DECLARE_JSON_CODER(CaptureEnvelope);

}  // namespace kestro
