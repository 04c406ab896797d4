#include "KestroCore/Models/CaptureEnvelope.h"

#include <utility>

namespace kestro {

CaptureEnvelope::CaptureEnvelope(
    UUID clientCaptureId, Date capturedAt, SourceKind sourceKind, CaptureOrigin origin,
    std::optional<URL> url, std::optional<std::string> title,
    std::optional<std::string> selectedText, std::optional<std::string> visibleText,
    std::optional<std::string> ocrText, std::optional<std::string> annotation,
    std::optional<TaskIntent> taskIntent, std::vector<CaptureAsset> assets, CapturePrivacy privacy)
    : clientCaptureId(clientCaptureId),
      capturedAt(capturedAt),
      sourceKind(sourceKind),
      origin(std::move(origin)),
      url(std::move(url)),
      title(std::move(title)),
      selectedText(std::move(selectedText)),
      visibleText(std::move(visibleText)),
      ocrText(std::move(ocrText)),
      annotation(std::move(annotation)),
      taskIntent(std::move(taskIntent)),
      assets(std::move(assets)),
      privacy(privacy) {}

JSON JSONCoder<CaptureOrigin>::encode(const CaptureOrigin& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("platform", value.platform)
      .required("mechanism", value.mechanism)
      .required("deviceId", value.deviceId)
      .required("appVersion", value.appVersion)
      .optional("sourceApplication", value.sourceApplication)
      .optional("sourceBundleId", value.sourceBundleId)
      .optional("windowTitle", value.windowTitle);
  return std::move(object).finish();
}

CaptureOrigin JSONCoder<CaptureOrigin>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return CaptureOrigin{
      .platform = object.required<KestroPlatform>("platform"),
      .mechanism = object.required<CaptureMechanism>("mechanism"),
      .deviceId = object.required<UUID>("deviceId"),
      .appVersion = object.required<std::string>("appVersion"),
      .sourceApplication = object.optional<std::string>("sourceApplication"),
      .sourceBundleId = object.optional<std::string>("sourceBundleId"),
      .windowTitle = object.optional<std::string>("windowTitle"),
  };
}

JSON JSONCoder<CapturePrivacy>::encode(const CapturePrivacy& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("screenshotIncluded", value.screenshotIncluded)
      .required("redactionsApplied", value.redactionsApplied)
      .required("privateWindowDetected", value.privateWindowDetected);
  return std::move(object).finish();
}

CapturePrivacy JSONCoder<CapturePrivacy>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return CapturePrivacy{
      .screenshotIncluded = object.required<bool>("screenshotIncluded"),
      .redactionsApplied = object.required<bool>("redactionsApplied"),
      .privateWindowDetected = object.required<bool>("privateWindowDetected"),
  };
}

JSON JSONCoder<TaskIntent>::encode(const TaskIntent& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("requested", value.requested).optional("dueText", value.dueText);
  return std::move(object).finish();
}

TaskIntent JSONCoder<TaskIntent>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return TaskIntent{
      .requested = object.required<bool>("requested"),
      .dueText = object.optional<std::string>("dueText"),
  };
}

JSON JSONCoder<CaptureAsset>::encode(const CaptureAsset& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("clientAssetId", value.clientAssetId)
      .required("uploadId", value.uploadId)
      .required("filename", value.filename)
      .required("declaredMimeType", value.declaredMimeType)
      .required("byteCount", value.byteCount)
      .required("sha256", value.sha256)
      .required("role", value.role);
  return std::move(object).finish();
}

CaptureAsset JSONCoder<CaptureAsset>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return CaptureAsset{
      .clientAssetId = object.required<UUID>("clientAssetId"),
      .uploadId = object.required<UUID>("uploadId"),
      .filename = object.required<std::string>("filename"),
      .declaredMimeType = object.required<std::string>("declaredMimeType"),
      .byteCount = object.required<std::int64_t>("byteCount"),
      .sha256 = object.required<std::string>("sha256"),
      .role = object.required<AssetRole>("role"),
  };
}

JSON JSONCoder<CaptureEnvelope>::encode(const CaptureEnvelope& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("schemaVersion", value.schemaVersion())
      .required("clientCaptureId", value.clientCaptureId)
      .required("capturedAt", value.capturedAt)
      .required("sourceKind", value.sourceKind)
      .required("origin", value.origin)
      .optional("url", value.url)
      .optional("title", value.title)
      .optional("selectedText", value.selectedText)
      .optional("visibleText", value.visibleText)
      .optional("ocrText", value.ocrText)
      .optional("annotation", value.annotation)
      .optional("taskIntent", value.taskIntent)
      .required("assets", value.assets)
      .required("privacy", value.privacy);
  return std::move(object).finish();
}

CaptureEnvelope JSONCoder<CaptureEnvelope>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  // Braces evaluate the fields in order, so the error reported is the first field at fault.
  const auto schemaVersion = object.required<std::int64_t>("schemaVersion");
  CaptureEnvelope envelope{object.required<UUID>("clientCaptureId"),
                           object.required<Date>("capturedAt"),
                           object.required<SourceKind>("sourceKind"),
                           object.required<CaptureOrigin>("origin"),
                           object.optional<URL>("url"),
                           object.optional<std::string>("title"),
                           object.optional<std::string>("selectedText"),
                           object.optional<std::string>("visibleText"),
                           object.optional<std::string>("ocrText"),
                           object.optional<std::string>("annotation"),
                           object.optional<TaskIntent>("taskIntent"),
                           object.required<std::vector<CaptureAsset>>("assets"),
                           object.required<CapturePrivacy>("privacy")};
  envelope.schemaVersion_ = schemaVersion;
  return envelope;
}

}  // namespace kestro
