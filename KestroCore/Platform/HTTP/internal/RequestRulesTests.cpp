#include "KestroCore/Platform/HTTP/internal/RequestRules.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

// What the session refuses to send, decided without any socket.

namespace kestro::http {
namespace {

HTTPRequest request(const std::string& text, std::string method = "GET") {
  return HTTPRequest{.url = *URL::fromString(text), .method = std::move(method)};
}

bool refused(const HTTPRequest& sent) {
  try {
    checkRequest(sent);
    return false;
  } catch (const URLSessionError& error) {
    EXPECT_EQ(error.kind(), URLSessionError::Kind::invalidRequest);
    return true;
  }
}

TEST(RequestRulesTest, OnlyHTTPRequestsWithWellFormedHeadersMaySend) {
  EXPECT_FALSE(refused(request("HTTPS://example.com/ok", "PATCH")));
  for (const char* text : {"file:///etc/passwd", "ftp://example.com/", "http:/no-host"}) {
    EXPECT_TRUE(refused(request(text))) << text;
  }
  for (const char* method : {"", "GET /x HTTP/1.1\r\n"}) {
    EXPECT_TRUE(refused(request("http://example.com/", method))) << method;
  }

  const std::vector<std::pair<std::string, std::string>> badHeaders = {
      {"X-Split", "a\nInjected: yes"},
      {"X-Split", std::string("a\0b", 3)},
      {"", "empty name"},
      {"X-A:B", "colon"}};
  for (const auto& [name, value] : badHeaders) {
    auto sent = request("http://example.com/");
    sent.headers.set(name, value);
    EXPECT_TRUE(refused(sent)) << name;
  }
  // A tab and bytes beyond ASCII are fine in a value.
  auto fine = request("http://example.com/");
  fine.headers.set("X-Fine", "a\tcaf\xC3\xA9");
  EXPECT_FALSE(refused(fine));

  auto headWithBody = request("http://example.com/", "HEAD");
  headWithBody.body = std::string("x");
  EXPECT_TRUE(refused(headWithBody));
}

TEST(RequestRulesTest, RedirectSchemesAreJudgedAsHTTPDoes) {
  EXPECT_EQ(locationScheme("HTTPS://example.com/"), "HTTPS");
  // Relative references keep the current scheme.
  for (const char* relative : {"//example.com/x", "1http://x"})
    EXPECT_FALSE(locationScheme(relative));

  // Credentials never step down from https to http; every other move keeps or gains TLS.
  EXPECT_FALSE(mayFollowWithCredentials("HTTPS", "HtTp://example.com/"));
  EXPECT_TRUE(mayFollowWithCredentials("https", "//elsewhere.example/x"));  // stays https
  EXPECT_TRUE(mayFollowWithCredentials("http", "http://example.com/"));
}

}  // namespace
}  // namespace kestro::http
