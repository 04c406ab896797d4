#include "KestroCore/API/APIModels.h"

#include <utility>

// Decoders build each record with designated initialisers, which evaluate in field order: when
// several keys are wrong the error names the first of them, the same one every time.

namespace kestro {

JSON JSONCoder<APIErrorEnvelope::Detail>::encode(const APIErrorEnvelope::Detail& value,
                                                 const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("code", value.code)
      .required("message", value.message)
      .required("retryable", value.retryable)
      .required("traceId", value.traceId)
      .required("details", value.details);
  return std::move(object).finish();
}

APIErrorEnvelope::Detail JSONCoder<APIErrorEnvelope::Detail>::decode(const JSONSource& json,
                                                                     const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return APIErrorEnvelope::Detail{
      .code = object.required<std::string>("code"),
      .message = object.required<std::string>("message"),
      .retryable = object.required<bool>("retryable"),
      .traceId = object.required<std::string>("traceId"),
      .details = object.required<std::map<std::string, JSONValue>>("details"),
  };
}

JSON JSONCoder<APIErrorEnvelope>::encode(const APIErrorEnvelope& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("error", value.error);
  return std::move(object).finish();
}

APIErrorEnvelope JSONCoder<APIErrorEnvelope>::decode(const JSONSource& json,
                                                     const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return APIErrorEnvelope{.error = object.required<APIErrorEnvelope::Detail>("error")};
}

JSON JSONCoder<CaptureAccepted>::encode(const CaptureAccepted& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("captureId", value.captureId)
      .required("itemId", value.itemId)
      .required("status", value.status)
      .optional("processingId", value.processingId)
      .required("replayed", value.replayed);
  return std::move(object).finish();
}

CaptureAccepted JSONCoder<CaptureAccepted>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return CaptureAccepted{
      .captureId = object.required<UUID>("captureId"),
      .itemId = object.required<UUID>("itemId"),
      .status = object.required<std::string>("status"),
      .processingId = object.optional<UUID>("processingId"),
      .replayed = object.required<bool>("replayed"),
  };
}

JSON JSONCoder<UploadPlan>::encode(const UploadPlan& value, const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("url", value.url)
      .required("method", value.method)
      .required("headers", value.headers)
      .required("expiresAt", value.expiresAt)
      .optional("authenticated", value.authenticated);
  return std::move(object).finish();
}

UploadPlan JSONCoder<UploadPlan>::decode(const JSONSource& json, const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return UploadPlan{
      .url = object.required<URL>("url"),
      .method = object.required<std::string>("method"),
      .headers = object.required<std::map<std::string, std::string>>("headers"),
      .expiresAt = object.required<Date>("expiresAt"),
      .authenticated = object.optional<bool>("authenticated"),
  };
}

JSON JSONCoder<DevelopmentSession>::encode(const DevelopmentSession& value,
                                           const CodingPath& path) {
  ObjectEncoder object(path);
  object.required("token", value.token)
      .required("tokenType", value.tokenType)
      .required("expiresIn", value.expiresIn)
      .required("userId", value.userId);
  return std::move(object).finish();
}

DevelopmentSession JSONCoder<DevelopmentSession>::decode(const JSONSource& json,
                                                         const CodingPath& path) {
  const ObjectDecoder object(json, path);
  return DevelopmentSession{
      .token = object.required<std::string>("token"),
      .tokenType = object.required<std::string>("tokenType"),
      .expiresIn = object.required<std::int64_t>("expiresIn"),
      .userId = object.required<UUID>("userId"),
  };
}

}  // namespace kestro
