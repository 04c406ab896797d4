// The browsers' native messages as kestro-browser-host reads them: the framing over a stream that
// arrives in pieces of any size, then each message's request. The first byte sets the size of
// the pieces; the rest is the stream.

#include <algorithm>
#include <cstring>

#include "Fuzz/FuzzSupport.h"
#include "Tools/kestro-browser-host/NativeMessaging.h"

namespace {

using namespace kestro::browserhost;

struct Stream {
  std::string_view bytes;
  std::size_t piece;

  static std::size_t read(void* context, char* buffer, std::size_t size) {
    auto& stream = *static_cast<Stream*>(context);
    const std::size_t n = std::min({size, stream.piece, stream.bytes.size()});
    std::memcpy(buffer, stream.bytes.data(), n);
    stream.bytes.remove_prefix(n);
    return n;
  }
};

void checkRequest(const DecodedRequest& request) {
  if (request.id && request.id->size() > kMaximumIdSize) {
    kestro::fuzz::fail("an id longer than echoed ids may be", *request.id);
  }
  if (const auto* invalid = std::get_if<InvalidRequest>(&request.body)) {
    if (invalid->message.empty()) kestro::fuzz::fail("an invalid request says nothing", "");
  }
  if (const auto* share = std::get_if<ShareRequest>(&request.body)) {
    if (share->screenshotPNG && !share->screenshotPNG->starts_with("\x89PNG\r\n\x1a\n")) {
      kestro::fuzz::fail("a screenshot taken that is no PNG", *share->screenshotPNG);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Stream stream{kestro::fuzz::text(data + 1, size - 1), std::size_t{data[0]} + 1};
  MessageReader reader(Stream::read, &stream);
  for (;;) {
    MessageReader::Result next = reader.next();
    const auto* message = std::get_if<MessageReader::Message>(&next);
    if (!message) break;
    if (message->bytes.size() > kMaximumRequestSize) {
      kestro::fuzz::fail("a message over the limit", "");
    }
    checkRequest(decodeRequest(message->bytes));
    // A message framed again reads back as itself.
    const std::string again = framed(message->bytes);
    Stream whole{again, again.size()};
    MessageReader echo(Stream::read, &whole);
    const MessageReader::Result read = echo.next();
    const auto* same = std::get_if<MessageReader::Message>(&read);
    if (!same || same->bytes != message->bytes) {
      kestro::fuzz::fail("a framed message reads back otherwise", message->bytes);
    }
  }
  return 0;
}
