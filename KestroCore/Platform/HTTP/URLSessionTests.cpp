#include "KestroCore/Platform/HTTP/URLSession.h"

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KestroCore/Platform/HTTP/internal/BodySource.h"
#include "KestroCore/Platform/HTTP/internal/CurlErrors.h"
#include "KestroCore/Platform/HTTP/internal/CurlHandles.h"
#include "KestroCore/Platform/HTTP/internal/Transfer.h"
#include "Testing/APITestSupport.h"
#include "Testing/HTTPTestServer.h"

namespace kestro {
namespace {

using namespace testsupport;

// Expects `call` to throw URLSessionError of `kind`; returns its description.
template <typename Call>
std::string failure(URLSessionError::Kind kind, Call&& call) {
  try {
    call();
  } catch (const URLSessionError& error) {
    EXPECT_EQ(error.kind(), kind) << error.what();
    return error.what();
  }
  ADD_FAILURE() << "no URLSessionError";
  return {};
}

bool mentions(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

class URLSessionTest : public ::testing::Test {
 protected:
  HTTPRequest request(const std::string& path, std::string method = "GET") const {
    return HTTPRequest{.url = url(server_.baseURL() + path), .method = std::move(method)};
  }
  HTTPRequest request(const std::string& path, std::string method,
                      decltype(HTTPRequest::body) body) const {
    HTTPRequest sent = request(path, std::move(method));
    sent.body = std::move(body);
    return sent;
  }

  HTTPTestServer server_;
  std::shared_ptr<URLSession> session_ = makeURLSession();
};

TEST_F(URLSessionTest, HeadersAndBodiesGoAsGivenAndResponsesComeBackWhole) {
  for (const char* method : {"GET", "POST", "PATCH", "DELETE"}) {
    server_.route(method, "/echo", [](const ReceivedRequest& received) {
      return ScriptedResponse{
          .status = 201, .headers = {{"X-Many", "a"}, {"X-Many", "b"}}, .body = received.body};
    });
  }
  auto withHeaders = request("/echo");
  withHeaders.headers.set("Accept", "application/json");
  withHeaders.headers.set("Content-Length", "999");  // the session frames the body itself
  session_->send(withHeaders);
  const ReceivedRequest got = server_.requests().back();
  EXPECT_EQ(values(got, "Accept"), Strings{"application/json"});
  EXPECT_EQ(values(got, "Content-Length"), Strings{});

  for (const char* method : {"GET", "POST", "PATCH", "DELETE"}) {
    SCOPED_TRACE(method);
    const std::string body = std::string("{\"from\":\"") + method + "\"}";
    HTTPResponse response = session_->send(request("/echo", method, body));
    EXPECT_EQ(response.statusCode, 201);
    EXPECT_EQ(response.body, body);
    EXPECT_EQ(response.headers.value("x-many"), "a, b");

    // Without a body: GET and DELETE send none; POST and PATCH send an empty one, and no
    // Content-Type or Accept is made up.
    session_->send(request("/echo", method));
    ReceivedRequest bare = server_.requests().back();
    const bool emptyBody = std::string(method) == "POST" || std::string(method) == "PATCH";
    EXPECT_EQ(values(bare, "Content-Length"), emptyBody ? Strings{"0"} : Strings{});
    EXPECT_EQ(values(bare, "Content-Type"), Strings{});
    EXPECT_EQ(values(bare, "Accept"), Strings{});
  }
}

// Nothing here can make the session trust a certificate of the tests', so the transfer is told
// that its request began on https while the bytes go over plain HTTP on 127.0.0.1: from the
// redirect on, it cannot tell the difference.
TEST_F(URLSessionTest, CredentialsNeverFollowARedirectFromHTTPSDownToHTTP) {
  server_.route("GET", "/landing", ScriptedResponse{.body = "landed"});
  server_.route(
      "GET", "/down",
      ScriptedResponse{.status = 302, .headers = {{"Location", server_.baseURL() + "/landing"}}});
  server_.route("GET", "/relative",
                ScriptedResponse{.status = 307, .headers = {{"Location", "/landing"}}});
  const std::string ftp = "ftp://127.0.0.1:" + std::to_string(server_.port()) + "/landing";
  const URLSessionConfiguration configuration;
  const auto exchange = [&](const std::string& path, bool carriesCredentials) {
    const HTTPRequest sent = request(path);
    http::TransferHandle handle(nullptr);
    http::Transfer transfer(configuration, std::chrono::seconds(60), std::nullopt, 1024, nullptr);
    http::BodySource body(sent);
    http::setOption(handle.easy(), CURLOPT_URL, sent.url.absoluteString().c_str());
    http::setOption(handle.easy(), CURLOPT_FOLLOWLOCATION, 1L);
    transfer.attach(handle.easy(), false, "https", carriesCredentials);
    return transfer.finish(handle.perform(50), body, handle.easy());
  };

  const std::string refusal =
      failure(URLSessionError::Kind::invalidRequest, [&] { exchange("/down", true); });
  EXPECT_TRUE(mentions(refusal, "from https to plain http")) << refusal;
  EXPECT_EQ(server_.requests().size(), 1u);  // the landing page never asked for

  // A relative location stays on https; without credentials a step down is the server's call.
  EXPECT_EQ(exchange("/relative", true).body, "landed");
  EXPECT_EQ(exchange("/down", false).body, "landed");

  // A redirect to another scheme is refused before it is followed, credentials or not.
  server_.route("GET", "/ftp", ScriptedResponse{.status = 302, .headers = {{"Location", ftp}}});
  failure(URLSessionError::Kind::invalidRequest, [&] { session_->send(request("/ftp")); });
}

// The token stays with the host it was given for, and one session serves many threads at once.
TEST_F(URLSessionTest, TheTokenStaysWithItsHostAndOneSessionServesManyThreads) {
  HTTPTestServer other;
  other.route("GET", "/landing", ScriptedResponse{.body = "other"});
  server_.route("GET", "/landing", ScriptedResponse{.body = "same"});
  server_.route("GET", "/same",
                ScriptedResponse{.status = 302, .headers = {{"Location", "/landing"}}});
  server_.route(
      "GET", "/other-port",
      ScriptedResponse{.status = 302, .headers = {{"Location", other.baseURL() + "/landing"}}});
  const auto withToken = [&](const std::string& path) {
    HTTPRequest sent = request(path);
    sent.headers.set("Authorization", "Bearer secret");
    return session_->send(sent).body;
  };
  EXPECT_EQ(withToken("/same"), "same");
  EXPECT_EQ(server_.requests().back().header("Authorization"), "Bearer secret");
  EXPECT_EQ(withToken("/other-port"), "other");
  EXPECT_FALSE(other.requests().back().header("Authorization"));

  server_.route("POST", "/json", [](const ReceivedRequest& received) {
    return ScriptedResponse{.body = received.body};
  });
  std::atomic<int> matched{0};
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&, thread] {
      for (int index = 0; index < 100; ++index) {
        const std::string body = std::to_string(thread) + ":" + std::to_string(index);
        matched += session_->send(request("/json", "POST", body)).body == body;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(matched, 400);
}

TEST_F(URLSessionTest, RedirectsRepeatOrChangeTheMethodAsHTTPRequires) {
  std::string contents(3 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7919 >> 5);
  const TempFile file(contents);
  for (const char* method : {"GET", "POST", "PUT", "PATCH", "DELETE"}) {
    server_.route(method, "/target", [](const ReceivedRequest& received) {
      return ScriptedResponse{.body = received.method + " " + std::to_string(received.body.size())};
    });
    for (int status : {302, 303, 307}) {
      server_.route(method, "/" + std::to_string(status),
                    ScriptedResponse{.status = status, .headers = {{"Location", "/target"}}});
    }
  }
  const auto send = [&](const std::string& path, const std::string& method, auto body) {
    return session_->send(request(path, method, std::move(body)));
  };
  // A streamed upload follows a 307 with the file read again from its start, framed by its size
  // alone.
  EXPECT_EQ(send("/307", "PUT", file.path).body, "PUT " + std::to_string(contents.size()));
  const ReceivedRequest received = server_.requests().back();
  EXPECT_TRUE(received.body == contents) << received.body.size() << " bytes arrived";
  EXPECT_EQ(received.header("Content-Length"), std::to_string(contents.size()));
  EXPECT_FALSE(received.header("Expect") || received.header("Content-Type"));
  // A POST becomes a GET after a 302, as clients do.
  EXPECT_EQ(send("/302", "POST", std::string("{}")).body, "GET 0");
  // A DELETE or PATCH is never repeated at the other resource; the 303 itself is the answer.
  server_.clearRecord();
  EXPECT_EQ(send("/303", "DELETE", std::monostate{}).statusCode, 303);
  EXPECT_EQ(send("/303", "PATCH", std::string("{}")).statusCode, 303);
  for (const auto& received : server_.requests()) EXPECT_NE(received.path, "/target");
}

TEST_F(URLSessionTest, TimeLimitsEndSilentOrTricklingExchangesButNotSteadyOnes) {
  // The steady stream pauses a fifth of the idle limit between chunks and lasts twice the limit.
  auto idle = makeURLSession({.idleTimeout = 500ms});
  server_.route("GET", "/silent", ScriptedResponse{.body = "started", .neverFinish = true});
  server_.route("GET", "/late", ScriptedResponse{.delay = 5s});
  server_.route("GET", "/steady",
                ScriptedResponse{.chunks = Strings(10, "a"), .chunkDelay = 100ms});
  EXPECT_TRUE(
      mentions(failure(URLSessionError::Kind::transport, [&] { idle->send(request("/silent")); }),
               "timed out"));
  EXPECT_EQ(idle->send(request("/steady")).body, std::string(10, 'a'));
  // The request's own interval counts when it is shorter.
  auto shortInterval = request("/late");
  shortInterval.timeoutInterval = 300ms;
  failure(URLSessionError::Kind::transport, [&] { session_->send(shortInterval); });

  // A byte and a newline every 20 ms for some 800 ms: never silent long enough for the idle
  // limit, but longer than the whole exchange may take.
  auto whole = makeURLSession({.exchangeTimeout = 300ms});
  const ScriptedResponse trickle{.chunks = Strings(40, "x\n"), .chunkDelay = 20ms};
  server_.route("GET", "/trickle", trickle);
  server_.route("PUT", "/trickle", trickle);
  EXPECT_TRUE(
      mentions(failure(URLSessionError::Kind::transport, [&] { whole->send(request("/trickle")); }),
               "longer than 300 ms"));
  // An upload from a file and a body read line by line keep only the idle limit.
  const TempFile file("some bytes");
  EXPECT_EQ(whole->send(request("/trickle", "PUT", file.path)).body.size(), 80u);
  std::size_t lines = 0;
  whole->sendStreamingLines(
      request("/trickle"), [](const HTTPResponse&) { return true; },
      [&](std::string_view) { return ++lines > 0; });
  EXPECT_EQ(lines, 40u);
}

TEST_F(URLSessionTest, TransportFailuresAndHeadersTooLargeSayWhatHappened) {
  const int port = HTTPTestServer().port();  // nothing listens there any more
  auto refused = failure(URLSessionError::Kind::transport, [&] {
    session_->send(HTTPRequest{.url = url("http://127.0.0.1:" + std::to_string(port) + "/")});
  });
  EXPECT_TRUE(mentions(refused, "Could not connect") && mentions(refused, "refused")) << refused;

  // Large but within the limit: a response like any other; past it, the server's fault.
  ScriptedResponse lines;
  for (int i = 0; i < 400; ++i)
    lines.headers.emplace_back("X-" + std::to_string(i), std::string(1000, 'b'));
  server_.route("GET", "/many-lines", lines);
  lines.headers.resize(150);
  server_.route("GET", "/large", lines);
  EXPECT_EQ(session_->send(request("/large")).statusCode, 200);
  const std::string description =
      failure(URLSessionError::Kind::transport, [&] { session_->send(request("/many-lines")); });
  EXPECT_TRUE(mentions(description, "The server answered, but") &&
              mentions(description, "response headers"))
      << description;
}

TEST_F(URLSessionTest, OversizeBodiesAndLinesEndTheExchange) {
  auto session = makeURLSession({.maximumBodyBytes = 1000, .maximumLineBytes = 100});
  server_.route("GET", "/fits", ScriptedResponse{.body = std::string(1000, 'x')});
  server_.route("GET", "/big", ScriptedResponse{.body = std::string(1001, 'x')});
  server_.route("GET", "/long-line",
                ScriptedResponse{.body = "short\n" + std::string(101, 'x') + "\n"});
  EXPECT_EQ(session->send(request("/fits")).body.size(), 1000u);
  EXPECT_TRUE(mentions(
      failure(URLSessionError::Kind::transport, [&] { session->send(request("/big")); }), "limit"));
  Strings lines;
  failure(URLSessionError::Kind::transport, [&] {
    session->sendStreamingLines(
        request("/long-line"), [](const HTTPResponse&) { return true; },
        [&](std::string_view line) {
          lines.emplace_back(line);
          return true;
        });
  });
  EXPECT_EQ(lines, Strings{"short"});
}

// How lines are split is LineSplitter's (LineSplitterTests.cpp); here, when they reach the
// caller.
TEST_F(URLSessionTest, LinesArriveAsTheyComeAndTheCallerMayStop) {
  server_.route(
      "POST", "/events",
      ScriptedResponse{
          .headers = {{"X-Stream", "1"}}, .chunks = {"a\r\nb\r", "\nlast"}, .chunkDelay = 10ms});
  server_.route(
      "POST", "/open",
      ScriptedResponse{
          .headers = {{"X-Stream", "1"}}, .body = "first\nsecond\n", .neverFinish = true});
  Strings lines;
  const auto stream = [&](const std::string& path, bool readOn, std::size_t stopAfter = 100) {
    lines.clear();
    return session_->sendStreamingLines(
        request(path, "POST"),
        [&](const HTTPResponse& head) {
          EXPECT_TRUE(lines.empty());
          EXPECT_EQ(head.headers.value("X-Stream"), "1");
          return readOn;
        },
        [&](std::string_view line) {
          lines.emplace_back(line);
          return lines.size() < stopAfter;
        });
  };
  EXPECT_EQ(stream("/events", true).body, "");
  EXPECT_EQ(lines, (Strings{"a", "b", "last"}));
  // A body that never ends: its lines arrive while it is open, and stopping ends it. Stopping at
  // the response reads no line; a callback's exception reaches the caller.
  stream("/open", true, 2);
  EXPECT_EQ(lines, (Strings{"first", "second"}));
  EXPECT_EQ(stream("/open", false).statusCode, 200);
  EXPECT_TRUE(lines.empty());
  EXPECT_THROW(session_->sendStreamingLines(
                   request("/open", "POST"), [](const HTTPResponse&) { return true; },
                   [](std::string_view) -> bool { throw std::logic_error("consumer failed"); }),
               std::logic_error);
}

}  // namespace
}  // namespace kestro
