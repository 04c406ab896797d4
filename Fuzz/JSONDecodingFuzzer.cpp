// The two readers of the coding layer against each other: decodeJSONString, which reads text
// with the fast document reader, and the JSON library's tree read by parseJSON and decoded by
// decodeJSON. For any text they must agree on the value, written back as JSON, or on the error,
// its path and its words.

#include <string>

#include "Fuzz/FuzzSupport.h"
#include "KestroCore/Models/CaptureEnvelope.h"
#include "KestroCore/Models/JSONValue.h"
#include "KestroCore/Models/ServerModels.h"
#include "KestroCore/Outbox/OutboxRecord.h"
#include "KestroCore/Sync/SyncReducer.h"

namespace kestro::fuzz {
namespace {

template <class Read>
std::string outcome(Read read) {
  try {
    return "value " + encodeJSONString(read());
  } catch (const DecodingError& error) {
    return "error at \"" + error.codingPath() + "\": " + error.reason();
  }
}

template <class T>
void compareReaders(std::string_view text) {
  const std::string fast = outcome([&] { return decodeJSONString<T>(text); });
  const std::string tree = outcome([&] { return decodeJSON<T>(parseJSON(text)); });
  if (fast != tree) fail("the readers disagree", "document reader: " + fast + "\ntree: " + tree);
}

}  // namespace
}  // namespace kestro::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestro;
  const std::string_view document = fuzz::text(data, size);
  fuzz::compareReaders<JSONValue>(document);
  fuzz::compareReaders<KestroItem>(document);
  fuzz::compareReaders<SyncPage>(document);
  fuzz::compareReaders<OutboxRecord>(document);
  fuzz::compareReaders<CaptureEnvelope>(document);
  fuzz::compareReaders<std::map<std::string, std::int64_t>>(document);
  return 0;
}
