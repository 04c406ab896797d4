// Record JSON, as the outbox reads it back from its database: the file may have been written by
// another version of the application or damaged on disk.

#include "Fuzz/FuzzSupport.h"
#include "KestroCore/Outbox/OutboxRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (const auto document = kestro::fuzz::parse(kestro::fuzz::text(data, size))) {
    kestro::fuzz::checkRoundTrip<kestro::OutboxRecord>(*document);
  }
  return 0;
}
