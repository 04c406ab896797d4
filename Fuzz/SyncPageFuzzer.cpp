// A page of the server's change feed, and its fold into a snapshot.

#include "Fuzz/FuzzSupport.h"
#include "KestroCore/Sync/SyncReducer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view document = kestro::fuzz::text(data, size);
  kestro::fuzz::checkRoundTrip<kestro::SyncPage>(document);
  try {
    const auto page = kestro::decodeJSONString<kestro::SyncPage>(document);
    // Whatever the server sends, folding it cannot fail.
    kestro::SyncReducer::apply(page, kestro::SyncSnapshot{0, {}});
  } catch (const kestro::DecodingError&) {
  }
  return 0;
}
