// The framing and the decoding of requests, without a process: every way a peer can break them.

#include "Tools/kestro-browser-host/NativeMessaging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace kestro::browserhost {
namespace {

// Bytes handed out a few at a time, as a pipe may, counting what was taken.
struct Source {
  std::string bytes;
  std::size_t taken = 0;
  std::size_t chunk = 3;

  static std::size_t read(void* context, char* buffer, std::size_t size) {
    auto& source = *static_cast<Source*>(context);
    const std::size_t n = std::min({size, source.chunk, source.bytes.size() - source.taken});
    std::memcpy(buffer, source.bytes.data() + source.taken, n);
    source.taken += n;
    return n;
  }
};

std::string lengthPrefix(std::uint32_t length) {
  std::string bytes(4, '\0');
  std::memcpy(bytes.data(), &length, 4);
  return bytes;
}

std::string messageOf(MessageReader::Result result) {
  const auto* message = std::get_if<MessageReader::Message>(&result);
  return message ? message->bytes : "<not a message>";
}

TEST(MessageReaderTest, ReadsMessagesInTurnUntilTheInputEndsBetweenThem) {
  Source source{framed(R"({"a":1})") + framed("") + framed("second")};
  MessageReader reader(Source::read, &source);
  EXPECT_EQ(messageOf(reader.next()), R"({"a":1})");
  EXPECT_EQ(messageOf(reader.next()), "");
  EXPECT_EQ(messageOf(reader.next()), "second");
  EXPECT_TRUE(std::holds_alternative<MessageReader::EndOfInput>(reader.next()));
}

TEST(MessageReaderTest, AnInputCutShortIsBrokenWhereverItEnds) {
  for (const std::string& input :
       {lengthPrefix(10).substr(0, 2), lengthPrefix(10), lengthPrefix(10) + "12345"}) {
    Source source{input};
    MessageReader reader(Source::read, &source);
    EXPECT_TRUE(std::holds_alternative<MessageReader::Broken>(reader.next())) << input.size();
  }
}

TEST(MessageReaderTest, ALengthOverTheLimitIsBrokenBeforeAnyOfItIsRead) {
  Source source{lengthPrefix(kMaximumRequestSize + 1) + std::string(64, 'x')};
  MessageReader reader(Source::read, &source);
  const MessageReader::Result result = reader.next();
  ASSERT_TRUE(std::holds_alternative<MessageReader::Broken>(result));
  EXPECT_NE(std::get<MessageReader::Broken>(result).reason.find("over the limit"),
            std::string::npos);
  EXPECT_EQ(source.taken, 4u);

  // The largest length allowed is read whole.
  Source largest{framed(std::string(kMaximumRequestSize, 'y'))};
  largest.chunk = 1 << 20;
  MessageReader whole(Source::read, &largest);
  EXPECT_EQ(messageOf(whole.next()).size(), kMaximumRequestSize);
}

std::string invalidMessage(const DecodedRequest& request) {
  const auto* invalid = std::get_if<InvalidRequest>(&request.body);
  return invalid ? invalid->message : "<valid>";
}

TEST(DecodeRequestTest, ReadsAShareWithEveryFieldAndIgnoresUnknownOnes) {
  const DecodedRequest request = decodeRequest(
      R"({"id":"7","type":"share","trigger":"contextMenu","context":"link","url":"https://a.example/",
          "title":"A","selectedText":"s","visibleText":"v","linkUrl":"https://b.example/",
          "incognito":false,"extra":{"deep":[1,2]},"screenshot":"data:image/png;base64,iVBORw0KGgo="})");
  EXPECT_EQ(request.id, "7");
  const auto* share = std::get_if<ShareRequest>(&request.body);
  ASSERT_NE(share, nullptr) << invalidMessage(request);
  EXPECT_EQ(share->trigger, Trigger::contextMenu);
  EXPECT_EQ(share->context, ShareContext::link);
  EXPECT_EQ(share->url, "https://a.example/");
  EXPECT_EQ(share->title, "A");
  EXPECT_EQ(share->selectedText, "s");
  EXPECT_EQ(share->visibleText, "v");
  EXPECT_EQ(share->linkUrl, "https://b.example/");
  EXPECT_EQ(share->screenshotPNG, std::string("\x89PNG\r\n\x1a\n"));

  const DecodedRequest status = decodeRequest(R"({"type":"status","url":"https://a.example/"})");
  EXPECT_EQ(status.id, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<StatusRequest>(status.body));
  EXPECT_EQ(std::get<StatusRequest>(status.body).url, "https://a.example/");
}

TEST(DecodeRequestTest, RefusesWhatIsNotAJSONObjectInUTF8) {
  EXPECT_EQ(invalidMessage(decodeRequest("")), "the message is not JSON");
  EXPECT_EQ(invalidMessage(decodeRequest("{\"type\":")), "the message is not JSON");
  EXPECT_EQ(invalidMessage(decodeRequest("{\"type\":\"status\",\"url\":\"\xff\"}")),
            "the message is not UTF-8");
  EXPECT_EQ(invalidMessage(decodeRequest(R"(["share"])")), "the message is not a JSON object");
  EXPECT_EQ(invalidMessage(decodeRequest(std::string(100000, '[') + std::string(100000, ']'))),
            "the message is not JSON");
}

TEST(DecodeRequestTest, NamesTheFieldThatIsMissingOrOfTheWrongKindAndKeepsTheId) {
  const std::string share =
      R"("id":"9","type":"share","trigger":"button","url":"https://a.example/")";
  const struct {
    std::string json;
    std::string says;
  } cases[] = {
      {R"({"id":"9","type":"share","context":"page","url":"https://a.example/"})", "\"trigger\""},
      {"{" + share + "}", "missing field \"context\""},
      {"{" + share + R"(,"context":"page","title":3})", "\"title\" must be a string"},
      {"{" + share + R"(,"context":"screen"})", "\"context\" must be one of"},
      {"{" + share + R"(,"context":"page","incognito":"yes"})", "\"incognito\""},
      {"{" + share + R"(,"context":"link"})", "\"linkUrl\""},
      {"{" + share + R"(,"context":"image"})", "\"srcUrl\""},
      {"{" + share + R"(,"context":"selection"})", "\"selectedText\""},
      {R"({"id":"9","type":"status"})", "missing field \"url\""},
      {R"({"id":"9","type":"delete","url":"https://a.example/"})", "unknown request type"},
      {R"({"id":"9","url":"https://a.example/"})", "missing field \"type\""},
  };
  for (const auto& [json, says] : cases) {
    const DecodedRequest request = decodeRequest(json);
    EXPECT_EQ(request.id, "9") << json;
    EXPECT_NE(invalidMessage(request).find(says), std::string::npos)
        << json << ": " << invalidMessage(request);
  }
}

TEST(DecodeRequestTest, AnIdThatCannotBeEchoedIsNoIdAtAll) {
  for (const std::string& id : {std::string("1"), std::string(kMaximumIdSize + 1, 'i')}) {
    const std::string json = id.size() == 1
                                 ? R"({"id":1,"type":"status","url":"x:y"})"
                                 : R"({"id":")" + id + R"(","type":"status","url":"x:y"})";
    const DecodedRequest request = decodeRequest(json);
    EXPECT_EQ(request.id, std::nullopt);
    EXPECT_NE(invalidMessage(request).find("\"id\""), std::string::npos);
  }
}

TEST(DecodePNGDataURLTest, TakesBase64OfAPNGAndNothingElse) {
  const std::string signature = "\x89PNG\r\n\x1a\n";
  EXPECT_EQ(decodePNGDataURL("data:image/png;base64,iVBORw0KGgo="), signature);
  EXPECT_EQ(decodePNGDataURL("data:image/png;base64,iVBORw0KGgo"), signature);
  EXPECT_EQ(decodePNGDataURL("data:image/png;base64,iVBORw0K\nGgoA"), signature + '\0');
  EXPECT_EQ(decodePNGDataURL("data:image/png;base64,iVBORw0KGgoAAA=="),
            signature + std::string(2, '\0'));
  // A JPEG, a PNG's bytes under another type, broken base64, and a PNG too short to be one.
  for (const char* url :
       {"data:image/jpeg;base64,/9j/4AAQSkZJRgABAQ==", "data:image/jpeg;base64,iVBORw0KGgo=",
        "data:image/png;base64,iVBORw0KGgo=A", "data:image/png;base64,iVBORw0KGg*=",
        "data:image/png;base64,iVBORw0KGgoA=", "data:image/png;base64,iVBORw0KGg=",
        "data:image/png;base64,iVBORw0KG", "data:image/png,%89PNG", "https://a.example/x.png"}) {
    EXPECT_EQ(decodePNGDataURL(url), std::nullopt) << url;
  }
}

}  // namespace
}  // namespace kestro::browserhost
