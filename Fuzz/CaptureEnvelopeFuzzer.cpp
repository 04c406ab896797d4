// The capture envelope, as the outbox and the server exchange it.

#include "Fuzz/FuzzSupport.h"
#include "KestroCore/Models/CaptureEnvelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (const auto document = kestro::fuzz::parse(kestro::fuzz::text(data, size))) {
    kestro::fuzz::checkRoundTrip<kestro::CaptureEnvelope>(*document);
  }
  return 0;
}
