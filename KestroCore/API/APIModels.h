#pragma once

// The records the server's /v1 interface exchanges with the client beyond the entity models:
// its error envelope, a capture's acceptance, upload plans and the development sign-in. Each
// reads and writes through the coding layer; the client only ever reads them.
//
// Decoding is all or nothing: a missing or null required key, a wrong JSON kind or a malformed
// UUID, URL or date throws DecodingError. Keys the client does not know are ignored. All types
// are plain aggregates: copy, compare and encode them from any thread.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Models/JSONValue.h"

namespace kestro {

// The body of every non-success response of the server. Every key of `Detail` is required: a
// body that lacks one is not the server speaking but something in between (a proxy, a load
// balancer), and the client treats it as an invalid response.
struct APIErrorEnvelope {
  struct Detail {
    std::string code;  // machine-readable, the server's own vocabulary
    std::string message;
    bool retryable;
    std::string traceId;
    std::map<std::string, JSONValue> details;  // may be empty, never missing

    bool operator==(const Detail&) const = default;
  };

  Detail error;

  bool operator==(const APIErrorEnvelope&) const = default;
};

// The server's answer to a capture submission.
struct CaptureAccepted {
  UUID captureId;
  UUID itemId;
  std::string status;  // the server's processing status, passed on unchanged
  std::optional<UUID> processingId;
  bool replayed;  // answered from an earlier acceptance of the same idempotency key

  bool operator==(const CaptureAccepted&) const = default;
};

// Where and how to send the bytes of one file. The URL is used as given, never resolved against
// the client's base URL: it may name another host entirely (object storage, say).
struct UploadPlan {
  URL url;
  std::string method;                          // unchanged, whatever the server names
  std::map<std::string, std::string> headers;  // put on the upload request as they are
  Date expiresAt;                              // informational: the client never checks the clock
  std::optional<bool> authenticated;           // send the user's bearer token only when true

  bool operator==(const UploadPlan&) const = default;
};

// A bearer token from the development sign-in. `tokenType` and `expiresIn` are the server's
// words and are not interpreted.
struct DevelopmentSession {
  std::string token;
  std::string tokenType;
  std::int64_t expiresIn;
  UUID userId;

  bool operator==(const DevelopmentSession&) const = default;
};

KESTRO_DECLARE_JSON_CODER(APIErrorEnvelope::Detail);
KESTRO_DECLARE_JSON_CODER(APIErrorEnvelope);
KESTRO_DECLARE_JSON_CODER(CaptureAccepted);
KESTRO_DECLARE_JSON_CODER(UploadPlan);
KESTRO_DECLARE_JSON_CODER(DevelopmentSession);

}  // namespace kestro
