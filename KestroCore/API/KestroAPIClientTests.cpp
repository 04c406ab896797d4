#include "KestroCore/API/KestroAPIClient.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "Testing/APITestSupport.h"
#include "Testing/HTTPTestServer.h"

// The exchange itself: URLs, headers, statuses and failures, over real HTTP on 127.0.0.1
// wherever a real server can produce the case.

namespace kestro {
namespace {

using namespace testsupport;

const UUID kItemId = uuid("6F9619FF-8B86-4011-B42D-00C04FC964FF");

class KestroAPIClientTest : public ::testing::Test {
 protected:
  KestroAPIClient client(HTTPHeaders defaults = {}) const {
    return KestroAPIClient(url(server_.baseURL()), session_, std::move(defaults));
  }

  HTTPTestServer server_;
  std::shared_ptr<URLSession> session_ = makeURLSession();
  const TempFile upload_{"bytes"};
};

TEST_F(KestroAPIClientTest, ClientHeadersReplaceDefaultsOfTheSameNameInAnyLetterCase) {
  server_.route("POST", "/v1/captures", answer(200, R"({
      "captureId": "A0A0A0A0-0000-4000-8000-000000000001",
      "itemId": "6F9619FF-8B86-4011-B42D-00C04FC964FF", "status": "queued", "replayed": false})"));
  server_.route("POST", "/v1/development/token", answer(200, R"({
      "token": "t", "tokenType": "bearer", "expiresIn": 3600,
      "userId": "A0A0A0A0-0000-4000-8000-000000000002"})"));
  const KestroAPIClient withDefaults = client(headers({{"accept", "text/plain"},
                                                       {"AUTHORIZATION", "Basic b2xk"},
                                                       {"content-type", "text/plain"},
                                                       {"idempotency-key", "stale"},
                                                       {"X-Client", "kestro-tests"}}));

  withDefaults.submit(noteCapture("t"), "secret");
  const ReceivedRequest submission = server_.requests().back();
  EXPECT_EQ(values(submission, "Accept"), Strings{"application/json"});
  EXPECT_EQ(values(submission, "Content-Type"), Strings{"application/json"});
  EXPECT_EQ(values(submission, "Authorization"), Strings{"Bearer secret"});
  EXPECT_EQ(values(submission, "Idempotency-Key"), Strings{"11111111-2222-4333-8444-55555555555A"});
  EXPECT_EQ(values(submission, "X-Client"), Strings{"kestro-tests"});

  // The sign-in sends no token of its own.
  withDefaults.developmentSession("ann@example.com");
  EXPECT_EQ(values(server_.requests().back(), "Authorization"), Strings{"Basic b2xk"});
  client().developmentSession("ann@example.com");
  EXPECT_EQ(values(server_.requests().back(), "Authorization"), Strings{});
}

TEST_F(KestroAPIClientTest, ErrorResponsesAreServerErrorsOnlyWithAnExactEnvelope) {
  const std::string error = R"({"error": {"code": "INTERNAL", "message": "m", "retryable": false)";
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      {500, error + R"(, "traceId": "tr-1", "details": {"field": ["title"]}}})",
       "INTERNAL final m tr-1"},
      {429,
       R"({"error": {"code": "RATE_LIMITED", "message": "m", "retryable": true, "traceId": "tr-1",)"
       R"( "details": {}}})",
       "RATE_LIMITED retryable m tr-1"},
      {502, "<html><body>Bad gateway</body></html>", "INVALID_RESPONSE final"},
      {500, error + R"(, "details": {}}})", "INVALID_RESPONSE final"},  // no trace id
  };
  const KestroAPIClient api = client();
  for (const auto& [status, body, expected] : cases) {
    const ScriptedResponse response =
        answer(status, body, body.starts_with("<") ? "text/html" : "application/json");
    server_.route("GET", "/v1/items", response);
    server_.route("DELETE", "/v1/account", response);
    EXPECT_EQ(outcome([&] { api.listItems("token"); }), expected);
    EXPECT_EQ(outcome([&] { api.deleteAccount("token"); }), expected);
  }
  // Success without a usable body fails only where a result is expected.
  server_.route("GET", "/v1/items", answer(200, "<html>ok</html>"));
  server_.route("DELETE", "/v1/account", answer(200, "<html>ok</html>"));
  EXPECT_EQ(outcome([&] { api.listItems("token"); }), "NETWORK_ERROR retryable");
  EXPECT_EQ(outcome([&] { api.deleteAccount("token"); }), "ok");
}

TEST_F(KestroAPIClientTest, UnfitRequestsAreRefusedBeforeAnyConnection) {
  const KestroAPIClient api = client();
  const std::string target = server_.baseURL() + "/upload";
  const auto upload = [&](const UploadPlan& plan) {
    return outcome([&] { api.upload(URL::fileURL(upload_.path), plan, "t"); });
  };
  EXPECT_EQ(outcome([&] { api.deleteAccount("token\nX-Injected: 1"); }), "INVALID_RESPONSE final");
  EXPECT_EQ(upload(uploadPlan(target, {{"X-Sig", "a\rb"}})), "INVALID_RESPONSE final");
  EXPECT_EQ(upload(uploadPlan("file:///etc/passwd", {})), "INVALID_RESPONSE final");
  EXPECT_THROW(api.submit(noteCapture("caf\xE9"), "token"), EncodingError);
  KestroAPIClient withoutSession = api;
  withoutSession.session = nullptr;
  EXPECT_THROW(withoutSession.listItems("token"), std::logic_error);
  EXPECT_EQ(server_.connectionsAccepted(), 0u);
}

// What a real server cannot produce: an answer that is not HTTP, and failures of the session
// of every kind.
class ScriptedSession final : public URLSession {
 public:
  explicit ScriptedSession(std::function<HTTPResponse()> answer) : answer_(std::move(answer)) {}

  HTTPResponse send(const HTTPRequest&) override { return answer_(); }
  HTTPResponse sendStreamingLines(const HTTPRequest&,
                                  const std::function<bool(const HTTPResponse&)>&,
                                  const std::function<bool(std::string_view)>&) override {
    return answer_();
  }

 private:
  std::function<HTTPResponse()> answer_;
};

TEST_F(KestroAPIClientTest, SessionOutcomesMapToOneErrorEach) {
  const auto throwing = [](auto error) {
    return std::function<HTTPResponse()>([error]() -> HTTPResponse { throw error; });
  };
  const std::vector<std::pair<std::function<HTTPResponse()>, std::string>> cases = {
      {[] { return HTTPResponse{.statusCode = std::nullopt, .headers = {}, .body = "{}"}; },
       "INVALID_RESPONSE final"},
      {throwing(URLSessionError(URLSessionError::Kind::invalidRequest, "bad header")),
       "INVALID_RESPONSE final"},
      {throwing(URLSessionError(URLSessionError::Kind::transport, "timed out")),
       "NETWORK_ERROR retryable"},
      {throwing(KestroAPIError::server("GONE", "m", false, "tr-9")), "GONE final m tr-9"},
  };
  for (const auto& [script, expected] : cases) {
    SCOPED_TRACE(expected);
    const KestroAPIClient api(url("http://127.0.0.1:9/"), std::make_shared<ScriptedSession>(script),
                              {});
    EXPECT_EQ(outcome([&] { api.listItems("token"); }), expected);
    EXPECT_EQ(outcome([&] {
                api.upload(URL::fileURL(upload_.path), uploadPlan("http://127.0.0.1:9/u", {}), "t");
              }),
              expected);
  }
}

}  // namespace
}  // namespace kestro
