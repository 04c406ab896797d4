#include "KestroCore/API/KestroAPIClient.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "Testing/APITestSupport.h"
#include "Testing/HTTPTestServer.h"

// Each endpoint's method, path, body and result, and the file upload, against the test server.

namespace kestro {
namespace {

using namespace testsupport;

// Written in lower case on purpose: paths and keys must carry the canonical upper-case form.
const UUID kId = uuid("6f9619ff-8b86-4011-b42d-00c04fc964ff");
const std::string kIdText = "6F9619FF-8B86-4011-B42D-00C04FC964FF";

std::string initiated(const std::string& planURL) {
  return R"({"uploadId": "a0a0a0a0-0000-4000-8000-000000000004", "status": "pending",
      "upload": {"url": ")" +
         planURL + R"(", "method": "POST", "headers": {"x-amz-acl": "private"},
                 "expiresAt": "2025-03-04T05:06:07Z", "authenticated": false}})";
}

StagedAsset stagedAsset() {
  return StagedAsset{.clientAssetId = uuid("00000000-0000-4000-8000-00000000000a"),
                     .localURL = URL::fileURL("/tmp/report.pdf"),
                     .filename = "report \"final\".pdf",
                     .mimeType = "application/pdf",
                     .byteCount = 5'000'000'000,
                     .sha256 = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
                     .role = AssetRole::primary};
}

const std::string kItem = R"({"id": "6F9619FF-8B86-4011-B42D-00C04FC964FF", "kind": "url",
  "status": "ready", "title": "A page", "annotation": "", "metadata": {}, "relationships": [],
  "capturedAt": "2025-03-04T05:00:00Z", "createdAt": "2025-03-04T05:00:01Z",
  "updatedAt": "2025-03-04T05:00:02Z"})";

class KestroAPIEndpointsTest : public ::testing::Test {
 protected:
  // Declared before the client, which takes the server's address.
  HTTPTestServer server_;
  KestroAPIClient client_{url(server_.baseURL()), makeURLSession(),
                          headers({{"X-Client", "kestro-tests"}})};
};

TEST_F(KestroAPIEndpointsTest, EachEndpointSendsItsMethodPathAndExactBody) {
  struct Case {
    std::string method;
    std::string path;
    std::string response;  // a valid 2xx body for the endpoint
    std::function<void(const KestroAPIClient&)> call;
    std::string body;  // exactly as the server must receive it
  };
  const std::vector<Case> cases = {
      {"POST", "/v1/uploads/initiate", initiated("https://files.example.com/u/1"),
       [](auto& c) { c.initiateUpload(kId, stagedAsset(), "token"); },
       R"({"byteCount":5000000000,"clientAssetId":"00000000-0000-4000-8000-00000000000A",)"
       R"("clientCaptureId":"6F9619FF-8B86-4011-B42D-00C04FC964FF",)"
       R"("declaredMimeType":"application/pdf","filename":"report \"final\".pdf",)"
       R"("sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"})"},
      // An edit leaves out the content it does not change, and clears it only when told.
      {"PATCH", "/v1/items/" + kIdText, R"({"item": )" + kItem + "}",
       [](auto& c) { c.updateItem(kId, "T", "A", std::nullopt, "token"); },
       R"({"annotation":"A","title":"T"})"},
      {"PATCH", "/v1/items/" + kIdText, R"({"item": )" + kItem + "}",
       [](auto& c) { c.updateItem(kId, "T", "A", "", "token"); },
       R"({"annotation":"A","content":"","title":"T"})"},
      {"GET", "/v1/conversations", R"({"conversations": []})",
       [](auto& c) { c.listConversations("token"); }, ""},
      // Status-only: no body and no "Content-Type", even for the POST.
      {"POST", "/v1/conversations/" + kIdText + "/cancel", "",
       [](auto& c) { c.cancelConversation(kId, "token"); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path + " " + c.body);
    server_.route(c.method, c.path, answer(200, c.response));
    ASSERT_EQ(outcome([&] { c.call(client_); }), "ok");
    // The route answers only this method and path.
    const ReceivedRequest received = server_.requests().back();
    EXPECT_EQ(received.body, c.body);
    EXPECT_EQ(values(received, "Content-Type"),
              c.body.empty() ? Strings{} : Strings{"application/json"});
    EXPECT_EQ(values(received, "Authorization"), Strings{"Bearer token"});
    EXPECT_EQ(values(received, "X-Client"), Strings{"kestro-tests"});
    EXPECT_EQ(received.query, c.method == "GET" ? "limit=100" : "");
  }
}

TEST_F(KestroAPIEndpointsTest, UploadPlansAreReadAndUndecodableSuccessesAreTransportFailures) {
  server_.route("POST", "/v1/uploads/initiate",
                answer(200, initiated("https://files.example.com/u/1?sig=x")));
  EXPECT_EQ(
      client_.initiateUpload(kId, stagedAsset(), "token").second,
      uploadPlan("https://files.example.com/u/1?sig=x", {{"x-amz-acl", "private"}}, false, "POST"));

  // A success body that does not decode is a transport failure.
  server_.route("POST", "/v1/uploads/initiate", answer(200, initiated("/relative")));
  EXPECT_EQ(outcome([&] { client_.initiateUpload(kId, stagedAsset(), "token"); }),
            "NETWORK_ERROR retryable");
}

class KestroAPIUploadTest : public KestroAPIEndpointsTest {
 protected:
  std::string target(std::string_view host = "127.0.0.1") const {
    return "http://" + std::string(host) + ":" + std::to_string(server_.port()) + "/bucket/obj";
  }

  const std::string contents_{"%PDF\0\r\nbytes", 12};
  const TempFile file_{contents_};
};

TEST_F(KestroAPIUploadTest, PlanDecidesHeadersAndBearerAndTheFileIsTheBody) {
  // Method, plan headers, whether the bearer goes along, and the Authorization and
  // Content-Type that must arrive.
  const std::vector<std::tuple<std::string, std::map<std::string, std::string>, std::optional<bool>,
                               Strings, Strings>>
      cases = {
          {"PUT",
           {{"authorization", "Signature plan"}, {"Content-Type", "application/pdf"}},
           true,
           {"Bearer token"},
           {"application/pdf"}},
          {"PUT", {{"Authorization", "Signature plan"}}, std::nullopt, {"Signature plan"}, {}},
          {"POST", {{"X-Amz-Acl", "private"}}, false, {}, {}},
      };
  for (const auto& [method, planHeaders, authenticated, authorization, contentType] : cases) {
    SCOPED_TRACE(method + " " + std::to_string(planHeaders.size()));
    server_.route(method, "/bucket/obj", answer(201, "<ok/>", "text/xml"));
    client_.upload(URL::fileURL(file_.path),
                   uploadPlan(target(), planHeaders, authenticated, method), "token");
    const ReceivedRequest received = server_.requests().back();
    EXPECT_EQ(received.method, method);
    EXPECT_EQ(received.body, contents_);
    EXPECT_EQ(values(received, "Authorization"), authorization);
    EXPECT_EQ(values(received, "Content-Type"), contentType);
    EXPECT_EQ(values(received, "Accept"), Strings{});
    EXPECT_EQ(values(received, "X-Client"), Strings{});  // defaults stay with our own server
    if (planHeaders.contains("X-Amz-Acl")) {
      EXPECT_EQ(values(received, "X-Amz-Acl"), Strings{"private"});
    }
  }

  // A plan for another host is used unchanged.
  server_.route("PUT", "/bucket/obj", answer(200, ""));
  client_.upload(URL::fileURL(file_.path),
                 uploadPlan(target("localhost") + "?sig=a%2Fb&x=1", {}, false), "token");
  const ReceivedRequest received = server_.requests().back();
  EXPECT_EQ(received.path, "/bucket/obj");
  EXPECT_EQ(received.query, "sig=a%2Fb&x=1");
}

TEST_F(KestroAPIUploadTest, TheBearerGoesOnlyToTheServersOwnOriginOrOverHTTPS) {
  HTTPTestServer other;
  other.route("PUT", "/bucket/obj", answer(200, ""));
  server_.route("PUT", "/bucket/obj", answer(200, ""));
  const std::string elsewhere = other.baseURL() + "/bucket/obj";  // another port: another origin
  const auto upload = [&](const std::string& target, std::optional<bool> authenticated) {
    return outcome([&] {
      client_.upload(URL::fileURL(file_.path), uploadPlan(target, {}, authenticated), "token");
    });
  };

  // Plain HTTP to another origin: refused as the server's mistake, and nothing reaches either.
  const std::size_t connections = server_.connectionsAccepted();
  EXPECT_EQ(upload(elsewhere, true), "INVALID_RESPONSE final");
  EXPECT_EQ(server_.connectionsAccepted(), connections);
  EXPECT_EQ(other.connectionsAccepted(), 0u);

  // Without the token the same plans go as they are; the API server's own origin, in any
  // letter case, takes the token too.
  EXPECT_EQ(upload(elsewhere, std::nullopt), "ok");
  EXPECT_EQ(values(other.requests().back(), "Authorization"), Strings{});
  EXPECT_EQ(upload("HTTP://127.0.0.1:" + std::to_string(server_.port()) + "/bucket/obj", true),
            "ok");
  EXPECT_EQ(values(server_.requests().back(), "Authorization"), Strings{"Bearer token"});

  // HTTPS elsewhere is allowed by the rule; here it fails in the TLS handshake, as a transport
  // failure, since the other server speaks plain HTTP.
  const std::size_t before = other.connectionsAccepted();
  EXPECT_EQ(upload("https://127.0.0.1:" + std::to_string(other.port()) + "/bucket/obj", true),
            "NETWORK_ERROR retryable");
  EXPECT_GT(other.connectionsAccepted(), before);
}

TEST_F(KestroAPIUploadTest, RefusalsAreInvalidResponsesAndUnreadableFilesTransportFailures) {
  const std::string envelope = R"({"error": {"code": "FORBIDDEN", "message": "m",
      "retryable": true, "traceId": "t", "details": {}}})";
  server_.route("PUT", "/bucket/obj", answer(403, envelope));
  EXPECT_EQ(
      outcome([&] { client_.upload(URL::fileURL(file_.path), uploadPlan(target(), {}), "t"); }),
      "INVALID_RESPONSE final");

  const std::size_t connections = server_.connectionsAccepted();
  for (const URL& unreadable : {URL::fileURL(file_.path.string() + ".missing"), url(target())}) {
    SCOPED_TRACE(unreadable.absoluteString());
    EXPECT_EQ(outcome([&] { client_.upload(unreadable, uploadPlan(target(), {}), "t"); }),
              "NETWORK_ERROR retryable");
  }
  EXPECT_EQ(server_.connectionsAccepted(), connections);
}

TEST_F(KestroAPIUploadTest, FalseFromTheProgressCallbackCancelsTheUpload) {
  server_.route("PUT", "/bucket/obj", answer(200, ""));
  const TempFile file(std::string(3 * 1024 * 1024 + 7, 'x'));
  EXPECT_EQ(outcome([&] {
              client_.upload(URL::fileURL(file.path), uploadPlan(target(), {}), "t",
                             [](std::uint64_t, std::uint64_t) { return false; });
            }),
            "NETWORK_ERROR retryable");
  EXPECT_TRUE(server_.requests().empty());  // nothing arrived whole
}

}  // namespace
}  // namespace kestro
