#include "Tools/DevServer/DevServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "KestroCore/API/KestroAPIClient.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Sync/SyncReducer.h"

// The dev server's contract where the client and the outbox processor rely on it, through the
// real KestroAPIClient over 127.0.0.1.

namespace kestro::devserver {
namespace {

using namespace std::chrono_literals;

const char* const kHelloDigest = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";

URL url(const std::string& text) { return *URL::fromString(text); }

// "ok", or the error's code and retryability.
std::string outcome(const std::function<void()>& operation) {
  try {
    operation();
    return "ok";
  } catch (const KestroAPIError& error) {
    return error.code() + (error.retryable() ? " retryable" : " final");
  }
}

CaptureEnvelope capture(std::optional<std::string> title, std::optional<std::string> link = {},
                        std::optional<std::string> text = {}, std::optional<TaskIntent> task = {}) {
  return CaptureEnvelope(
      UUID(), Date{1741064767s}, link ? SourceKind::url : SourceKind::note,
      CaptureOrigin{KestroPlatform::macos, CaptureMechanism::manual, UUID(), "1.0", {}, {}, {}},
      link ? URL::fromString(*link) : std::nullopt, std::move(title), std::move(text), {}, {}, {},
      std::move(task), {}, CapturePrivacy{false, false, false});
}

StagedAsset staged(const std::filesystem::path& file, std::int64_t byteCount, std::string sha256) {
  return StagedAsset{.clientAssetId = UUID(),
                     .localURL = URL::fileURL(file),
                     .filename = "notes.txt",
                     .mimeType = "text/plain",
                     .byteCount = byteCount,
                     .sha256 = std::move(sha256),
                     .role = AssetRole::primary};
}

class DevServerTest : public ::testing::Test {
 protected:
  DevServerTest() { token_ = client_.developmentSession("ann@example.com").token; }
  ~DevServerTest() override { std::filesystem::remove_all(scratch_); }

  // A request the client would not make: to the admin routes, without any Authorization, or
  // with a body of the test's own (sent as JSON).
  HTTPResponse raw(const std::string& method, const std::string& path, std::string body = {},
                   const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    HTTPRequest request{.url = url(server_.baseURL() + path), .method = method};
    if (!body.empty()) {
      request.body = std::move(body);
      request.headers.set("Content-Type", "application/json");
    }
    for (const auto& [name, value] : headers) request.headers.set(name, value);
    return session_->send(request);
  }

  JSON stats() { return parseJSON(server_.statsJSON()); }

  std::filesystem::path file(const std::string& contents) {
    std::filesystem::create_directories(scratch_);
    const auto path = scratch_ / UUID().uuidString();
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  DevServer server_;
  std::shared_ptr<URLSession> session_ = makeURLSession();
  KestroAPIClient client_{url(server_.baseURL()), session_, {}};
  std::string token_;
  const std::filesystem::path scratch_ =
      std::filesystem::temp_directory_path() / ("kestro-devserver-test-" + UUID().uuidString());
};

TEST_F(DevServerTest, SignInGivesOneUserPerAddressAndOtherRoutesNeedItsToken) {
  const DevelopmentSession ann = client_.developmentSession("ann@example.com");
  EXPECT_EQ(client_.developmentSession("  ANN@Example.com\n").userId, ann.userId);
  EXPECT_EQ(ann.token, token_);
  EXPECT_NE(client_.developmentSession("bob@example.com").userId, ann.userId);

  EXPECT_EQ(outcome([&] { client_.listItems("not-a-token"); }), "UNAUTHORIZED final");
  EXPECT_EQ(outcome([&] { client_.deleteAccount(""); }), "UNAUTHORIZED final");
  // Without any Authorization header: the envelope, with a fresh trace each time.
  std::set<std::string> traces;
  for (const char* path : {"/v1/items", "/v1/sync/changes?cursor=0&limit=200", "/v1/nowhere"}) {
    const HTTPResponse response = raw("GET", path);
    EXPECT_EQ(response.statusCode, 401) << path;
    const auto envelope = decodeJSONString<APIErrorEnvelope>(response.body);
    EXPECT_EQ(envelope.error.code, "UNAUTHORIZED");
    EXPECT_FALSE(envelope.error.retryable);
    traces.insert(envelope.error.traceId);
  }
  EXPECT_EQ(traces.size(), 3u);

  // Account deletion revokes the token; the address keeps its user id.
  client_.submit(capture("kept?"), token_);
  client_.deleteAccount(token_);
  EXPECT_EQ(outcome([&] { client_.listItems(token_); }), "UNAUTHORIZED final");
  const DevelopmentSession again = client_.developmentSession("ann@example.com");
  EXPECT_EQ(again.userId, ann.userId);
  EXPECT_NE(again.token, token_);
  EXPECT_TRUE(client_.listItems(again.token).empty());
}

TEST_F(DevServerTest, CapturesAreIdempotentByKeyAndBecomeItemsAndTasks) {
  const CaptureEnvelope note =
      capture({}, {}, "\n  Buy owl food\nand more", TaskIntent{true, "Friday"});
  const CaptureAccepted first = client_.submit(note, token_);
  const CaptureAccepted repeat = client_.submit(note, token_);
  EXPECT_FALSE(first.replayed);
  EXPECT_TRUE(repeat.replayed);
  EXPECT_EQ(repeat.captureId, first.captureId);
  EXPECT_EQ(repeat.itemId, first.itemId);

  const std::vector<KestroItem> items = client_.listItems(token_);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].id, first.itemId);
  EXPECT_EQ(items[0].title, "Buy owl food");
  const std::vector<KestroTask> tasks = client_.listTasks(token_);
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].sourceItemId, first.itemId);
  EXPECT_EQ(tasks[0].dueText, "Friday");

  const JSON counts = stats()["captures"][note.clientCaptureId.uuidString()];
  EXPECT_EQ(counts["accepted"], 1);
  EXPECT_EQ(counts["replays"], 1);

  // Titles come from the capture's title, else its link, else its text.
  client_.submit(capture("  Own title "), token_);
  client_.submit(capture({}, "https://example.com/owls/barn?x=1"), token_);
  std::vector<std::string> titles;
  for (const KestroItem& item : client_.listItems(token_)) titles.push_back(item.title);
  EXPECT_EQ(titles,
            (std::vector<std::string>{"Buy owl food", "Own title", "example.com/owls/barn"}));
}

// The status line of a request written by hand to the server: what no well-behaved client sends.
std::string rawStatusLine(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[512];
    for (ssize_t n;
         answer.find("\r\n") == std::string::npos && (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      answer.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return answer.substr(0, answer.find("\r\n"));
}

// What a web page open in the browser can do to a server on 127.0.0.1: post a form or plain
// text to it from its own site, or rename it with DNS rebinding and then talk to it as its own.
TEST_F(DevServerTest, AdminRoutesAndTheSignInRefuseWhatAnotherSiteCanSend) {
  const std::string fault = R"({"route": "GET /v1/items", "status": 500})";
  const std::string email = R"({"email": "eve@example.com"})";
  // A body that a browser posts cross-site without asking first is not taken, not even as JSON.
  for (const char* type : {"text/plain", "application/x-www-form-urlencoded", ""}) {
    SCOPED_TRACE(type);
    const std::vector<std::pair<std::string, std::string>> header{{"Content-Type", type}};
    EXPECT_EQ(raw("POST", "/admin/faults", fault, header).statusCode, 415);
    EXPECT_EQ(raw("POST", "/admin/reply", R"({"deltas": 1})", header).statusCode, 415);
    const HTTPResponse signIn = raw("POST", "/v1/development/token", email, header);
    EXPECT_EQ(signIn.statusCode, 415);
    EXPECT_EQ(decodeJSONString<APIErrorEnvelope>(signIn.body).error.code, "UNSUPPORTED_MEDIA_TYPE");
  }
  EXPECT_EQ(parseJSON(raw("GET", "/admin/faults").body), JSON::array());
  EXPECT_EQ(raw("POST", "/admin/reply", R"({"deltas": 1})",
                {{"Content-Type", "Application/JSON; charset=utf-8"}})
                .statusCode,
            200);

  // A name other than the address it listens on is refused on every route, even with JSON.
  for (const std::string& host :
       std::vector<std::string>{"rebound.example:" + std::to_string(server_.port()),
                                "localhost.rebound.example", "127.0.0.1.rebound.example:80"}) {
    SCOPED_TRACE(host);
    const std::vector<std::pair<std::string, std::string>> header{{"Host", host}};
    EXPECT_EQ(raw("GET", "/admin/stats", {}, header).statusCode, 421);
    EXPECT_EQ(raw("POST", "/admin/faults", fault, header).statusCode, 421);
    EXPECT_EQ(raw("POST", "/v1/development/token", email, header).statusCode, 421);
    EXPECT_EQ(raw("GET", "/v1/items", {}, {{"Host", host}, {"Authorization", "Bearer " + token_}})
                  .statusCode,
              421);
  }
  // Without a Host header, or with two, the request names no address at all.
  EXPECT_EQ(rawStatusLine(server_.port(), "GET /admin/stats HTTP/1.0\r\n\r\n"),
            "HTTP/1.1 421 Misdirected Request");
  EXPECT_EQ(rawStatusLine(server_.port(),
                          "GET /admin/stats HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: rebound.example"
                          "\r\nConnection: close\r\n\r\n"),
            "HTTP/1.1 421 Misdirected Request");
  EXPECT_EQ(parseJSON(raw("GET", "/admin/faults").body), JSON::array());

  // The upload plan of a request that named `host`.
  const auto planURL = [&](const std::string& host) -> std::string {
    const HTTPResponse initiated = raw(
        "POST", "/v1/uploads/initiate",
        R"({"clientCaptureId": ")" + UUID().uuidString() + R"(", "clientAssetId": ")" +
            UUID().uuidString() + R"(", "filename": "a.txt", "declaredMimeType": "text/plain", )" +
            R"("byteCount": 5, "sha256": ")" + kHelloDigest + "\"}",
        {{"Host", host}, {"Authorization", "Bearer " + token_}});
    EXPECT_EQ(initiated.statusCode, 201) << initiated.body;
    return initiated.statusCode == 201 ? parseJSON(initiated.body).at("upload").at("url") : "";
  };
  // Its own address through another port (a relay in front of it) is still itself; the plan
  // then names the address it listens on, whatever the Host header said.
  EXPECT_TRUE(planURL("127.0.0.1:9").starts_with(server_.baseURL() + "/v1/uploads/"));
  // localhost is this machine's own name for the loopback address it listens on: accepted, and
  // the plan keeps that name, so that a client signed in through it sends its token there.
  const std::string localhost = "localhost:" + std::to_string(server_.port());
  EXPECT_EQ(raw("GET", "/admin/stats", {}, {{"Host", localhost}}).statusCode, 200);
  EXPECT_TRUE(planURL(localhost).starts_with("http://" + localhost + "/v1/uploads/"));
}

TEST_F(DevServerTest, UploadsAreCheckedAgainstTheirInitiationAndSubmissionsNeedThemCompleted) {
  const auto source = file("hello");
  const UUID captureId;

  // Intact: received, completed, and named by a capture that becomes an item titled after it.
  const auto [uploadId, plan] =
      client_.initiateUpload(captureId, staged(source, 5, kHelloDigest), token_);
  EXPECT_EQ(plan.url.absoluteString(),
            server_.baseURL() + "/v1/uploads/" + uploadId.uuidString() + "/content");
  EXPECT_EQ(plan.authenticated, true);
  client_.upload(URL::fileURL(source), plan, token_);
  std::ifstream stored(server_.storageDirectory() / "uploads" / uploadId.uuidString());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stored), {}), "hello");
  client_.completeUpload(uploadId, token_);
  CaptureEnvelope withFile = capture({});
  withFile.assets.push_back(CaptureAsset{UUID(), uploadId, "notes.txt", "text/plain", 5,
                                         kHelloDigest, AssetRole::primary});
  EXPECT_EQ(client_.listItems(token_).size(), 0u);
  client_.submit(withFile, token_);
  EXPECT_EQ(client_.listItems(token_).at(0).title, "notes.txt");

  // Bytes that differ in count or digest are refused with 422 and never completed.
  for (const auto& [byteCount, digest] :
       {std::pair<std::int64_t, std::string>{5, std::string(64, 'a')},
        std::pair<std::int64_t, std::string>{6, kHelloDigest}}) {
    SCOPED_TRACE(byteCount);
    // Plain variables: clang 14 cannot capture structured bindings in a lambda.
    const auto refused =
        client_.initiateUpload(captureId, staged(source, byteCount, digest), token_);
    const UUID& refusedId = refused.first;
    const UploadPlan& refusedPlan = refused.second;
    EXPECT_EQ(outcome([&] { client_.upload(URL::fileURL(source), refusedPlan, token_); }),
              "INVALID_RESPONSE final");  // the client reads no envelope from an upload target
    HTTPRequest put{
        .url = refusedPlan.url, .method = "PUT", .headers = {}, .body = std::string("hello")};
    put.headers.set("Authorization", "Bearer " + token_);
    const HTTPResponse response = session_->send(put);
    EXPECT_EQ(response.statusCode, 422);
    EXPECT_EQ(decodeJSONString<APIErrorEnvelope>(response.body).error.code, "UPLOAD_MISMATCH");
    EXPECT_EQ(outcome([&] { client_.completeUpload(refusedId, token_); }),
              "UPLOAD_NOT_RECEIVED final");

    CaptureEnvelope naming = capture({});
    naming.assets.push_back(CaptureAsset{UUID(), refusedId, "notes.txt", "text/plain", byteCount,
                                         digest, AssetRole::primary});
    EXPECT_EQ(outcome([&] { client_.submit(naming, token_); }), "UPLOAD_NOT_COMPLETED final");
  }
  EXPECT_EQ(client_.listItems(token_).size(), 1u);
  const JSON uploads = stats()["uploads"];
  EXPECT_EQ(uploads["initiated"], 3);
  EXPECT_EQ(uploads["received"], 1);
  EXPECT_EQ(uploads["rejected"], 4);
  EXPECT_EQ(uploads["completed"], 1);

  // Only the owner may send the bytes.
  const std::string other = client_.developmentSession("bob@example.com").token;
  const UploadPlan otherPlan =
      client_.initiateUpload(captureId, staged(source, 5, kHelloDigest), token_).second;
  EXPECT_EQ(outcome([&] { client_.upload(URL::fileURL(source), otherPlan, other); }),
            "INVALID_RESPONSE final");
}

TEST_F(DevServerTest, SyncPagesHoldAtMost200ChangesWithIncreasingCursors) {
  for (int i = 0; i < 250; ++i) client_.submit(capture("item " + std::to_string(i)), token_);
  const std::string other = client_.developmentSession("bob@example.com").token;
  client_.submit(capture("not Ann's"), other);

  SyncSnapshot snapshot{0, {}};
  std::int64_t lastSequence = 0;
  std::vector<std::size_t> pageSizes;
  for (int page = 0; page < 5; ++page) {
    const SyncPage next = client_.sync(snapshot.cursor, token_);
    for (const SyncChange& change : next.changes) {
      EXPECT_GT(change.sequence, lastSequence);
      lastSequence = change.sequence;
    }
    EXPECT_GE(next.cursor, snapshot.cursor);
    pageSizes.push_back(next.changes.size());
    snapshot = SyncReducer::apply(next, snapshot);
    if (!next.hasMore) break;
  }
  EXPECT_EQ(pageSizes, (std::vector<std::size_t>{200, 50}));
  EXPECT_EQ(snapshot.entities.size(), 250u);
  EXPECT_EQ(snapshot.cursor, lastSequence);

  // Edits and deletions follow in order.
  const std::vector<KestroItem> items = client_.listItems(token_);
  client_.updateItem(items[0].id, "renamed", "", std::nullopt, token_);
  client_.deleteItem(items[1].id, token_);
  const SyncPage changes = client_.sync(snapshot.cursor, token_);
  ASSERT_EQ(changes.changes.size(), 2u);
  EXPECT_EQ(changes.changes[0].operation, "upsert");
  EXPECT_EQ(changes.changes[1].operation, "delete");
  snapshot = SyncReducer::apply(changes, snapshot);
  EXPECT_EQ(snapshot.entities.size(), 249u);
  EXPECT_EQ(
      *snapshot.entities.at("item:" + items[0].id.uuidString()).ifObject()->at("title").ifString(),
      "renamed");
}

TEST_F(DevServerTest, ItemsTasksAndSearchAnswerForTheirOwnerOnly) {
  for (int i = 0; i < 35; ++i) client_.submit(capture("Kestro Notes " + std::to_string(i)), token_);
  client_.submit(capture({}, {}, "about KESTRO notes, in the text"), token_);
  client_.submit(capture("Unrelated", {}, {}, TaskIntent{true, {}}), token_);

  const std::vector<SearchResult> results = client_.search("kestro NOTES", token_);
  ASSERT_EQ(results.size(), 30u);
  EXPECT_EQ(results.front().item.title, "Kestro Notes 0");
  EXPECT_TRUE(
      client_.search("unrelated", client_.developmentSession("bob@example.com").token).empty());

  const KestroTask task = client_.listTasks(token_).at(0);
  const KestroTask done = client_.updateTask(task.id, "done", token_);
  EXPECT_EQ(done.status, "done");
  EXPECT_TRUE(done.completedAt);
  EXPECT_EQ(outcome([&] { client_.updateTask(UUID(), "done", token_); }), "NOT_FOUND final");
  client_.submitFeedback("Nice", KestroPlatform::macos, UUID(), "1.0", token_);
  EXPECT_EQ(stats()["feedback"], 1);
}

TEST_F(DevServerTest, FaultsComeFromTheAdminRouteInOrderAndRunOut) {
  const HTTPResponse added = raw("POST", "/admin/faults", R"([
      {"route": "POST /v1/captures", "status": 503, "code": "UNAVAILABLE", "count": 2},
      {"route": "GET /v1/items", "action": "html"},
      {"route": "/v1/tasks", "action": "reset"},
      {"route": "GET /v1/conversations", "action": "delay", "delayMs": 50}])");
  ASSERT_EQ(added.statusCode, 201) << added.body;
  EXPECT_EQ(
      raw("POST", "/admin/faults", R"({"route": "/v1/items", "action": "explode"})").statusCode,
      400);

  const CaptureEnvelope note = capture("retried");
  EXPECT_EQ(outcome([&] { client_.submit(note, token_); }), "UNAVAILABLE retryable");
  EXPECT_EQ(outcome([&] { client_.submit(note, token_); }), "UNAVAILABLE retryable");
  EXPECT_EQ(outcome([&] { client_.submit(note, token_); }), "ok");
  EXPECT_EQ(outcome([&] { client_.listItems(token_); }), "INVALID_RESPONSE final");
  EXPECT_EQ(outcome([&] { client_.listTasks(token_); }), "NETWORK_ERROR retryable");
  EXPECT_EQ(outcome([&] { client_.listConversations(token_); }), "ok");
  EXPECT_EQ(parseJSON(raw("GET", "/admin/faults").body), JSON::array());
  EXPECT_EQ(outcome([&] { client_.listItems(token_); }), "ok");
  EXPECT_EQ(stats()["faultsApplied"], 5);
  EXPECT_EQ(stats()["captures"][note.clientCaptureId.uuidString()]["accepted"], 1);

  // A stall holds the request until the client gives up.
  server_.addFault(FaultRule::fromJSON(R"({"route": "*", "action": "stall"})"));
  const KestroAPIClient impatient(url(server_.baseURL()), makeURLSession({.idleTimeout = 300ms}),
                                  {});
  EXPECT_EQ(outcome([&] { impatient.listItems(token_); }), "NETWORK_ERROR retryable");
}

TEST_F(DevServerTest, ConversationsBelongToTheirOwnerAndNameOnlyTheirItems) {
  const UUID item = client_.submit(capture("Owls"), token_).itemId;
  EXPECT_EQ(outcome([&] { client_.createConversation("x", {UUID()}, token_); }),
            "VALIDATION_ERROR final");
  const KestroConversation conversation = client_.createConversation("About owls", {item}, token_);
  EXPECT_EQ(client_.listConversations(token_), std::vector<KestroConversation>{conversation});
  EXPECT_EQ(client_.conversation(conversation.id, token_).conversation, conversation);
  const std::string other = client_.developmentSession("bob@example.com").token;
  EXPECT_TRUE(client_.listConversations(other).empty());
  EXPECT_EQ(outcome([&] { client_.conversation(conversation.id, other); }), "NOT_FOUND final");
  client_.cancelConversation(conversation.id, token_);
  client_.deleteConversation(conversation.id, token_);
  EXPECT_EQ(outcome([&] { client_.conversation(conversation.id, token_); }), "NOT_FOUND final");
}

TEST_F(DevServerTest, EveryMalformedBodyGetsAnErrorEnvelopeOnEveryRouteThatReadsJSON) {
  const std::string someId = UUID().uuidString();
  struct Route {
    const char* method;
    std::string path;
  };
  const std::vector<Route> routes{
      {"POST", "/v1/development/token"},
      {"POST", "/v1/captures"},
      {"POST", "/v1/uploads/initiate"},
      {"PATCH", "/v1/items/" + someId},
      {"PATCH", "/v1/tasks/" + someId},
      {"POST", "/v1/search"},
      {"POST", "/v1/feedback"},
      {"POST", "/v1/conversations"},
      {"POST", "/v1/conversations/" + someId + "/messages"},
      {"POST", "/admin/faults"},
      {"POST", "/admin/reply"},
  };
  const std::vector<std::pair<const char*, std::string>> bodies{
      {"bytes that are not UTF-8", "\xff\xfe\x80"},
      {"a string that is not UTF-8", "{\"query\": \"caf\xc3\", \"email\": \"\xe9@x\"}"},
      {"a key that is not UTF-8", "{\"\xc0\xaf\": 1}"},
      {"JSON cut short", "{\"query\": \"owls"},
      {"not an object", "[\"owls\"]"},
      {"nested beyond reason", std::string(5000, '[')},
  };
  for (const Route& route : routes) {
    for (const auto& [what, body] : bodies) {
      SCOPED_TRACE(std::string(route.method) + " " + route.path + ": " + what);
      const HTTPResponse response =
          raw(route.method, route.path, body,
              {{"Authorization", "Bearer " + token_}, {"Idempotency-Key", UUID().uuidString()}});
      EXPECT_EQ(response.statusCode.value_or(0) / 100, 4);
      APIErrorEnvelope envelope{};
      EXPECT_NO_THROW(envelope = decodeJSONString<APIErrorEnvelope>(response.body))
          << response.body;
      EXPECT_FALSE(envelope.error.code.empty());
      EXPECT_FALSE(envelope.error.retryable);
    }
  }
  // Nothing of it was taken for a request that did something.
  EXPECT_TRUE(client_.listItems(token_).empty());
  EXPECT_EQ(parseJSON(raw("GET", "/admin/faults").body), JSON::array());
  EXPECT_EQ(stats()["feedback"], 0);
}

}  // namespace
}  // namespace kestro::devserver
