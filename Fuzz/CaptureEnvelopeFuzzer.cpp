// The capture envelope, as the outbox and the server exchange it.

#include "Fuzz/FuzzSupport.h"
#include "KestroCore/Models/CaptureEnvelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestro::fuzz::checkRoundTrip<kestro::CaptureEnvelope>(kestro::fuzz::text(data, size));
  return 0;
}
