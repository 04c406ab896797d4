#include "KestroCore/Outbox/OutboxRecord.h"

#include <utility>

namespace kestro {

JSON JSONCoder<StagedAsset>::encode(const StagedAsset& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("clientAssetId", value.clientAssetId)
      .required("localURL", value.localURL)
      .required("filename", value.filename)
      .required("mimeType", value.mimeType)
      .required("byteCount", value.byteCount)
      .required("sha256", value.sha256)
      .required("role", value.role)
      .optional("uploadId", value.uploadId);
  return std::move(object).finish();
}

StagedAsset JSONCoder<StagedAsset>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  // Designated initializers evaluate in order, so the error reported is the first field at fault.
  return StagedAsset{
      .clientAssetId = object.required<UUID>("clientAssetId"),
      .localURL = object.required<URL>("localURL"),
      .filename = object.required<std::string>("filename"),
      .mimeType = object.required<std::string>("mimeType"),
      .byteCount = object.required<std::int64_t>("byteCount"),
      .sha256 = object.required<std::string>("sha256"),
      .role = object.required<AssetRole>("role"),
      .uploadId = object.optional<UUID>("uploadId"),
  };
}

JSON JSONCoder<OutboxRecord>::encode(const OutboxRecord& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("userId", value.userId)
      .required("state", value.state)
      .optional("resumeState", value.resumeState)
      .required("capture", value.capture)
      .required("stagedAssets", value.stagedAssets)
      .required("attemptCount", value.attemptCount)
      .optional("nextRetryAt", value.nextRetryAt)
      .optional("lastErrorCode", value.lastErrorCode)
      .optional("serverCaptureId", value.serverCaptureId)
      .optional("serverItemId", value.serverItemId)
      .required("createdAt", value.createdAt)
      .required("updatedAt", value.updatedAt);
  return std::move(object).finish();
}

OutboxRecord JSONCoder<OutboxRecord>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return OutboxRecord{
      .userId = object.required<UUID>("userId"),
      .state = object.required<CaptureOutboxState>("state"),
      .resumeState = object.optional<CaptureOutboxState>("resumeState"),
      .capture = object.required<CaptureEnvelope>("capture"),
      .stagedAssets = object.required<std::vector<StagedAsset>>("stagedAssets"),
      .attemptCount = object.required<std::int64_t>("attemptCount"),
      .nextRetryAt = object.optional<Date>("nextRetryAt"),
      .lastErrorCode = object.optional<std::string>("lastErrorCode"),
      .serverCaptureId = object.optional<UUID>("serverCaptureId"),
      .serverItemId = object.optional<UUID>("serverItemId"),
      .createdAt = object.required<Date>("createdAt"),
      .updatedAt = object.required<Date>("updatedAt"),
  };
}

}  // namespace kestro
