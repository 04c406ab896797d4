#pragma once

// The browsers' native-messaging framing and the requests the extension sends through it.
//
// A message is a 4-byte length in the machine's byte order, then that many bytes of UTF-8 JSON
// holding one object. Requests are decoded into plain values here, without touching the disk, so
// that everything a hostile or broken peer can send is judged before any capture is made.
// Pure functions and values; any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kestro::browserhost {

// The host's name in the browsers' host manifests, and the extension that talks to it: its
// Firefox add-on id (the id Chromium derives from the extension's public key is in
// Tools/kestro-browser/extension-id.txt, which the build reads).
inline constexpr std::string_view kHostName = "org.kestro.share";
inline constexpr std::string_view kFirefoxExtensionId = "share@kestro.org";

// The longest request taken: a screenshot of a big screen as a PNG data URL fits.
inline constexpr std::size_t kMaximumRequestSize = std::size_t{4} << 20;
// The longest answer a browser takes.
inline constexpr std::size_t kMaximumAnswerSize = 1000000;
// The longest `id` echoed back; a longer one makes the request invalid.
inline constexpr std::size_t kMaximumIdSize = 256;

// Reads the next message from a source of bytes, one `read` call at a time.
class MessageReader {
 public:
  // Reads up to `size` bytes into `buffer`; returns how many, 0 at the end of input.
  using Read = std::size_t (*)(void* context, char* buffer, std::size_t size);

  struct Message {
    std::string bytes;
  };
  // The input ended cleanly, between two messages.
  struct EndOfInput {};
  // The input broke the framing: the reader cannot go on, and says why.
  struct Broken {
    std::string reason;
  };
  using Result = std::variant<Message, EndOfInput, Broken>;

  MessageReader(Read read, void* context) : read_(read), context_(context) {}

  // The next message. A declared length over kMaximumRequestSize is Broken before a byte of the
  // message is read or any room is made for it; an end of input inside the length or the
  // message is Broken too. A length of 0 is an (empty) message.
  Result next();

 private:
  bool readExactly(char* buffer, std::size_t size, std::size_t& got);

  Read read_;
  void* context_;
};

// The length prefix and `json` as one message.
std::string framed(std::string_view json);

enum class Trigger { button, shortcut, contextMenu };
enum class ShareContext { page, link, selection, image };

struct ShareRequest {
  Trigger trigger = Trigger::button;
  ShareContext context = ShareContext::page;
  std::string url;
  std::optional<std::string> title;
  std::optional<std::string> selectedText;
  std::optional<std::string> visibleText;
  std::optional<std::string> linkUrl;
  std::optional<std::string> srcUrl;
  bool incognito = false;
  // The decoded bytes of the screenshot's data URL, already known to be a PNG.
  std::optional<std::string> screenshotPNG;
};

struct StatusRequest {
  std::string url;
};

// A request that cannot be carried out as sent, and why, in words for the extension's log.
struct InvalidRequest {
  std::string message;
};

struct DecodedRequest {
  std::optional<std::string> id;  // echoed back when it could be read
  std::variant<ShareRequest, StatusRequest, InvalidRequest> body;
};

// Decodes one message's bytes: valid UTF-8, a JSON object, a known `type`, every field it needs
// with the right JSON kind (unknown extra fields are ignored). Never throws but std::bad_alloc.
DecodedRequest decodeRequest(std::string_view bytes);

// The bytes of a `data:image/png;base64,...` URL when it is one and they begin with the PNG
// signature; nothing otherwise. Padding and white space as base64 allows them.
std::optional<std::string> decodePNGDataURL(std::string_view url);

}  // namespace kestro::browserhost
