// Record JSON, as the outbox reads it back from its database: the file may have been written by
// another version of the application or damaged on disk.

#include "Fuzz/FuzzSupport.h"
#include "KestroCore/Outbox/OutboxRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestro::fuzz::checkRoundTrip<kestro::OutboxRecord>(kestro::fuzz::text(data, size));
  return 0;
}
