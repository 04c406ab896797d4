#include "KestroCore/API/KestroAPIClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KestroCore/API/KestroAPITestSupport.h"
#include "Testing/HTTPTestServer.h"

// Each endpoint's method, path, body and result, and the file upload, against the test server.

namespace kestro {
namespace {

using namespace apitest;
using testing::HTTPTestServer;
using testing::ReceivedRequest;

// Written in lower case on purpose: paths and keys must carry the canonical upper-case form.
const UUID kId = uuid("6f9619ff-8b86-4011-b42d-00c04fc964ff");
const std::string kIdText = "6F9619FF-8B86-4011-B42D-00C04FC964FF";
const UUID kDeviceId = uuid("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");

const std::string kItem = R"({"id": "6F9619FF-8B86-4011-B42D-00C04FC964FF", "kind": "url",
  "status": "ready", "title": "A page", "annotation": "", "metadata": {}, "relationships": [],
  "capturedAt": "2025-03-04T05:00:00Z", "createdAt": "2025-03-04T05:00:01Z",
  "updatedAt": "2025-03-04T05:00:02Z"})";
const std::string kTask = R"({"id": "A0A0A0A0-0000-4000-8000-000000000001", "title": "Call back",
  "status": "done", "creatorKind": "user",
  "createdAt": "2025-03-04T05:00:00Z", "updatedAt": "2025-03-04T05:00:00Z"})";
const std::string kAccepted = R"({"captureId": "A0A0A0A0-0000-4000-8000-000000000003",
  "itemId": "6F9619FF-8B86-4011-B42D-00C04FC964FF", "status": "queued", "replayed": true})";
const std::string kSession = R"({"token": "dev-token", "tokenType": "bearer", "expiresIn": 3600,
  "userId": "A0A0A0A0-0000-4000-8000-000000000002"})";

std::string searchResult(const std::string& excerpt) {
  return R"({"item": )" + kItem + R"(, "excerpt": ")" + excerpt +
         R"(", "score": 0.5, "scoreBreakdown": {"bm25": 0.5}})";
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
      {"POST", "/v1/development/token", kSession,
       [](auto& c) { c.developmentSession(" Ann@Example.COM "); },
       R"({"email":" Ann@Example.COM "})"},
      {"POST", "/v1/captures", kAccepted, [](auto& c) { c.submit(noteCapture("t"), "token"); },
       encodeJSONString(noteCapture("t"))},
      {"POST", "/v1/uploads/initiate",
       R"({"uploadId": "A0A0A0A0-0000-4000-8000-000000000004", "status": "pending",
           "upload": {"url": "https://files.example.com/u/1", "method": "PUT", "headers": {},
                      "expiresAt": "2025-03-04T06:00:00Z"}})",
       [](auto& c) { c.initiateUpload(kId, stagedAsset(), "token"); },
       R"({"byteCount":5000000000,"clientAssetId":"00000000-0000-4000-8000-00000000000A",)"
       R"("clientCaptureId":"6F9619FF-8B86-4011-B42D-00C04FC964FF",)"
       R"("declaredMimeType":"application/pdf","filename":"report \"final\".pdf",)"
       R"("sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"})"},
      {"POST", "/v1/uploads/" + kIdText + "/complete",
       R"({"uploadId": "6F9619FF-8B86-4011-B42D-00C04FC964FF", "status": "complete"})",
       [](auto& c) { c.completeUpload(kId, "token"); }, "{}"},
      {"GET", "/v1/items", R"({"items": []})", [](auto& c) { c.listItems("token"); }, ""},
      {"PATCH", "/v1/items/" + kIdText, R"({"item": )" + kItem + "}",
       [](auto& c) { c.updateItem(kId, "T", "A", std::nullopt, "token"); },
       R"({"annotation":"A","title":"T"})"},
      {"PATCH", "/v1/items/" + kIdText, R"({"item": )" + kItem + "}",
       [](auto& c) { c.updateItem(kId, "T", "A", "", "token"); },
       R"({"annotation":"A","content":"","title":"T"})"},
      {"DELETE", "/v1/items/" + kIdText, "", [](auto& c) { c.deleteItem(kId, "token"); }, ""},
      {"POST", "/v1/search", R"({"results": []})",
       [](auto& c) { c.search("cats & dogs", "token"); },
       R"({"includeSemantic":true,"limit":30,"query":"cats & dogs"})"},
      {"GET", "/v1/tasks", R"({"tasks": []})", [](auto& c) { c.listTasks("token"); }, ""},
      {"PATCH", "/v1/tasks/" + kIdText, R"({"task": )" + kTask + "}",
       [](auto& c) { c.updateTask(kId, "done", "token"); }, R"({"status":"done"})"},
      {"POST", "/v1/feedback", R"({"feedback": {"id": "A0A0A0A0-0000-4000-8000-000000000005"}})",
       [](auto& c) { c.submitFeedback("Nice\n", KestroPlatform::ios, kDeviceId, "1.2", "token"); },
       R"({"appVersion":"1.2","body":"Nice\n","deviceId":"AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE",)"
       R"("platform":"ios"})"},
      {"DELETE", "/v1/account", "", [](auto& c) { c.deleteAccount("token"); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path + " " + c.body);
    server_.route(c.method, c.path, answer(c.response.empty() ? 204 : 200, c.response));
    ASSERT_EQ(outcome([&] { c.call(client_); }), "ok");
    const ReceivedRequest received = server_.requests().back();
    EXPECT_EQ(received.method, c.method);
    EXPECT_EQ(received.path, c.path);
    EXPECT_EQ(received.body, c.body);
    EXPECT_EQ(values(received, "Content-Type"),
              c.body.empty() ? Strings{} : Strings{"application/json"});
    EXPECT_EQ(values(received, "Authorization"),
              c.path == "/v1/development/token" ? Strings{} : Strings{"Bearer token"});
    EXPECT_EQ(values(received, "X-Client"), Strings{"kestro-tests"});
  }
}

TEST_F(KestroAPIEndpointsTest, ResultsComeOutOfTheirResponseObjects) {
  server_.route("POST", "/v1/captures", answer(200, kAccepted));
  const CaptureAccepted accepted = client_.submit(noteCapture("t"), "token");
  EXPECT_EQ(accepted.processingId, std::nullopt);
  EXPECT_TRUE(accepted.replayed);

  server_.route("POST", "/v1/uploads/initiate", answer(200, R"({
      "uploadId": "a0a0a0a0-0000-4000-8000-000000000004", "status": "pending",
      "upload": {"url": "https://files.example.com/u/1?sig=x", "method": "POST",
                 "headers": {"x-amz-acl": "private"}, "expiresAt": "2025-03-04T05:06:07Z",
                 "authenticated": false}})"));
  const auto [uploadId, plan] = client_.initiateUpload(kId, stagedAsset(), "token");
  EXPECT_EQ(uploadId, uuid("A0A0A0A0-0000-4000-8000-000000000004"));
  EXPECT_EQ(plan, uploadPlan("https://files.example.com/u/1?sig=x", {{"x-amz-acl", "private"}},
                             false, "POST"));

  server_.route("POST", "/v1/search",
                answer(200, R"({"results": [)" + searchResult("second") + ", " +
                                searchResult("first") + "]}"));
  const std::vector<SearchResult> results = client_.search("q", "token");
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].excerpt, "second");
  EXPECT_EQ(results[1].item, decodeJSONString<KestroItem>(kItem));
}

TEST_F(KestroAPIEndpointsTest, SuccessBodiesThatDoNotDecodeAreTransportFailures) {
  struct Case {
    std::string method;
    std::string path;
    std::string body;
    std::function<void(const KestroAPIClient&)> call;
  };
  const auto submitCapture = [](auto& c) { c.submit(noteCapture("t"), "token"); };
  const auto feedback = [](auto& c) {
    c.submitFeedback("b", KestroPlatform::macos, kDeviceId, "1", "token");
  };
  const auto signIn = [](auto& c) { c.developmentSession("a@b"); };
  const std::string completion = "/v1/uploads/" + kIdText + "/complete";
  const std::vector<Case> cases = {
      {"POST", "/v1/captures", R"({"captureId": "A0A0A0A0-0000-4000-8000-000000000003",
          "itemId": "6F9619FF-8B86-4011-B42D-00C04FC964FF", "status": "queued"})",
       submitCapture},
      {"POST", "/v1/uploads/initiate",
       R"({"uploadId": "A0A0A0A0-0000-4000-8000-000000000004", "status": "pending",
           "upload": {"url": "/relative", "method": "PUT", "headers": {},
                      "expiresAt": "2025-03-04T06:00:00Z"}})",
       [](auto& c) { c.initiateUpload(kId, stagedAsset(), "token"); }},
      {"POST", completion, R"({"uploadId": "6F9619FF-8B86-4011-B42D-00C04FC964FF"})",
       [](auto& c) { c.completeUpload(kId, "token"); }},
      {"GET", "/v1/items", "{}", [](auto& c) { c.listItems("token"); }},
      {"POST", "/v1/feedback", "{}", feedback},
      {"POST", "/v1/feedback", R"({"feedback": {}})", feedback},
      {"POST", "/v1/feedback", R"({"feedback": {"id": "42"}})", feedback},
      {"POST", "/v1/development/token", R"({"token": "t", "tokenType": "bearer", "expiresIn": 1})",
       signIn},
      {"POST", "/v1/development/token",
       R"({"token": "t", "tokenType": "bearer", "expiresIn": 1, "userId": "user-42"})", signIn},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.body);
    server_.route(c.method, c.path, answer(200, c.body));
    EXPECT_EQ(outcome([&] { c.call(client_); }), "NETWORK_ERROR retryable");
  }
}

TEST_F(KestroAPIEndpointsTest, RepeatedSubmissionsCarryTheSameIdempotencyKey) {
  server_.route("POST", "/v1/captures", answer(200, kAccepted));
  client_.submit(noteCapture("first"), "token");
  client_.submit(noteCapture("first"), "other-token");
  const std::vector<ReceivedRequest> received = server_.requests();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(values(received[0], "Idempotency-Key"),
            Strings{"11111111-2222-4333-8444-55555555555A"});
  EXPECT_EQ(values(received[1], "Idempotency-Key"), values(received[0], "Idempotency-Key"));
}

class KestroAPIUploadTest : public KestroAPIEndpointsTest {
 protected:
  void SetUp() override {
    file_ = std::filesystem::temp_directory_path() / ("kestro-upload-" + UUID().uuidString());
    std::ofstream(file_, std::ios::binary) << std::string("%PDF\0\r\nbytes", 12);
  }
  void TearDown() override { std::filesystem::remove(file_); }

  std::string target(std::string_view host = "127.0.0.1") const {
    return "http://" + std::string(host) + ":" + std::to_string(server_.port()) + "/bucket/obj";
  }

  std::filesystem::path file_;
};

TEST_F(KestroAPIUploadTest, PlanDecidesHeadersAndBearerAndTheFileIsTheBody) {
  struct Case {
    std::string method;
    std::map<std::string, std::string> planHeaders;
    std::optional<bool> authenticated;
    Strings authorization;
    Strings contentType;
  };
  const std::vector<Case> cases = {
      {"PUT",
       {{"authorization", "Signature plan"}, {"Content-Type", "application/pdf"}},
       true,
       {"Bearer token"},
       {"application/pdf"}},
      {"PUT", {{"Authorization", "Signature plan"}}, std::nullopt, {"Signature plan"}, {}},
      {"POST", {{"X-Amz-Acl", "private"}}, false, {}, {}},
      {"POST", {}, true, {"Bearer token"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + std::to_string(c.planHeaders.size()));
    server_.route(c.method, "/bucket/obj", answer(201, "<ok/>", "text/xml"));
    client_.upload(URL::fileURL(file_),
                   uploadPlan(target(), c.planHeaders, c.authenticated, c.method), "token");
    const ReceivedRequest received = server_.requests().back();
    EXPECT_EQ(received.method, c.method);
    EXPECT_EQ(received.body, std::string("%PDF\0\r\nbytes", 12));
    EXPECT_EQ(values(received, "Authorization"), c.authorization);
    EXPECT_EQ(values(received, "Content-Type"), c.contentType);
    EXPECT_EQ(values(received, "Accept"), Strings{}) << "nothing may add an Accept of its own";
    EXPECT_EQ(values(received, "X-Client"), Strings{});  // defaults stay with our own server
    for (const auto& [name, value] : c.planHeaders) {
      if (name == "authorization" || name == "Authorization") continue;  // checked above
      EXPECT_EQ(values(received, name), Strings{value});
    }
  }
}

TEST_F(KestroAPIUploadTest, PlanForAnotherHostIsUsedUnchanged) {
  server_.route("PUT", "/bucket/obj", answer(200, ""));
  client_.upload(URL::fileURL(file_), uploadPlan(target("localhost") + "?sig=a%2Fb&x=1", {}, false),
                 "token");
  const ReceivedRequest received = server_.requests().back();
  EXPECT_EQ(received.path, "/bucket/obj");
  EXPECT_EQ(received.query, "sig=a%2Fb&x=1");
  EXPECT_EQ(values(received, "Host"), Strings{"localhost:" + std::to_string(server_.port())});
}

TEST_F(KestroAPIUploadTest, RefusalsAreInvalidResponsesAndUnreadableFilesTransportFailures) {
  const std::string envelope = R"({"error": {"code": "FORBIDDEN", "message": "m",
      "retryable": true, "traceId": "t", "details": {}}})";
  for (const int status : {403, 500}) {
    server_.route("PUT", "/bucket/obj", answer(status, envelope));
    EXPECT_EQ(outcome([&] { client_.upload(URL::fileURL(file_), uploadPlan(target(), {}), "t"); }),
              "INVALID_RESPONSE final");
  }

  const std::size_t connections = server_.connectionsAccepted();
  for (const URL& unreadable : {URL::fileURL(file_.string() + ".missing"),
                                URL::fileURL(file_.parent_path()), url(target())}) {
    SCOPED_TRACE(unreadable.absoluteString());
    EXPECT_EQ(outcome([&] { client_.upload(unreadable, uploadPlan(target(), {}), "t"); }),
              "NETWORK_ERROR retryable");
  }
  EXPECT_EQ(server_.connectionsAccepted(), connections);
}

}  // namespace
}  // namespace kestro
