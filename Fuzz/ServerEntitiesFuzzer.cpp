// The server's entities, each read from the same document: every decoder sees every shape.

#include "Fuzz/FuzzSupport.h"
#include "KestroCore/Models/JSONValue.h"
#include "KestroCore/Models/ServerModels.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestro;
  const std::string_view document = fuzz::text(data, size);
  fuzz::checkRoundTrip<KestroItem>(document);
  fuzz::checkRoundTrip<KestroItemRelationship>(document);
  fuzz::checkRoundTrip<KestroTask>(document);
  fuzz::checkRoundTrip<SearchResult>(document);
  fuzz::checkRoundTrip<KestroConversation>(document);
  fuzz::checkRoundTrip<KestroCitation>(document);
  fuzz::checkRoundTrip<KestroChatMessage>(document);
  fuzz::checkRoundTrip<KestroConversationDetail>(document);
  fuzz::checkRoundTrip<JSONValue>(document);
  return 0;
}
