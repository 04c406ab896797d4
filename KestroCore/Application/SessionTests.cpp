#include "KestroCore/Application/Session.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/Platform/Keychain/FileKeychain.h"
#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"
#include "Tools/DevServer/DevServer.h"

namespace kestro {
namespace {

using devserver::DevServer;

// A keychain that stores nothing: what a keyring refusing every write looks like.
class RefusingKeychain final : public Keychain {
 public:
  std::int32_t add(std::string_view, std::string_view, std::string_view) override {
    return kKeychainStatusLocked;
  }
  KeychainCopyResult copyMatching(std::string_view, std::string_view) override {
    return {kKeychainStatusLocked, std::nullopt};
  }
  std::int32_t deleteMatching(std::string_view, std::string_view) override {
    return kKeychainStatusLocked;
  }
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest()
      : keychain_(std::make_shared<InMemoryKeychain>()),
        session_(tree_.places(), SecureTokenStore(std::string(kTokenService), keychain_),
                 makeURLSession()) {}

  URL server(const DevServer& server) const { return Session::serverOrigin(server.baseURL()); }
  std::optional<std::string> tokenFor(const URL& server) const {
    return SecureTokenStore(std::string(kTokenService), keychain_).load(server.absoluteString());
  }
  // How requireSignedIn refuses; ok when it does not.
  ExitStatus notSignedIn() const {
    return testsupport::refusalOf([&] { session_.requireSignedIn(); }).status;
  }

  testsupport::TemporaryTree tree_;
  std::shared_ptr<InMemoryKeychain> keychain_;
  Session session_;
  DevServer first_;
  DevServer second_;
};

TEST_F(SessionTest, SigningInPutsEachPartWhereItBelongs) {
  EXPECT_EQ(notSignedIn(), ExitStatus::notSignedIn);
  const SignedInAccount account = session_.signIn(server(first_), "ada@example.com");

  EXPECT_EQ(tokenFor(server(first_)), account.token);
  EXPECT_EQ(tree_.places().sharedSettings().string(places::kCurrentUserIdKey),
            account.userId.uuidString());
  EXPECT_EQ(session_.settings(),
            (AccountSettings{server(first_), "ada@example.com", account.userId}));

  // Another server: its token replaces nothing of the first's but the first's token goes.
  const SignedInAccount moved = session_.signIn(server(second_), "ada@example.com");
  EXPECT_EQ(tokenFor(server(second_)), moved.token);
  EXPECT_FALSE(tokenFor(server(first_)));
  EXPECT_EQ(session_.requireSignedIn().server, server(second_));

  session_.signOut();
  EXPECT_FALSE(tokenFor(server(second_)));
  EXPECT_FALSE(tree_.places().sharedSettings().string(places::kCurrentUserIdKey));
  EXPECT_EQ(session_.settings(), (AccountSettings{server(second_), std::nullopt, std::nullopt}));
  EXPECT_EQ(notSignedIn(), ExitStatus::notSignedIn);
  EXPECT_NO_THROW(session_.signOut());  // nothing to do, and no error
}

TEST_F(SessionTest, ServersAreOriginsAndPlainHTTPCarriesTheTokenOnlyWithinThisMachine) {
  EXPECT_EQ(Session::serverOrigin(" HTTP://Example.COM:8080/some/path/?q=1 ").absoluteString(),
            "http://example.com:8080");
  for (const char* bad : {"", "example.com", "ftp://example.com", "http://"}) {
    EXPECT_EQ(testsupport::refusalOf([&] { Session::serverOrigin(bad); }).status, ExitStatus::usage)
        << bad;
  }
  for (const char* host : {"LocalHost", "127.255.3.4", "::1"}) {
    EXPECT_TRUE(Session::isLoopbackHost(host)) << host;
  }
  for (const char* host :
       {"127.0.0.1.example.com", "localhost.example.com", "127.1", "::ffff:7f00:1"}) {
    EXPECT_FALSE(Session::isLoopbackHost(host)) << host;
  }
  EXPECT_EQ(Session::serverOrigin("http://[::1]:8787/x").absoluteString(), "http://[::1]:8787");

  // Refused before anything is sent (the name does not even resolve), and nothing is stored.
  // What it says, and that the user's leave goes on to the exchange, kestro's own tests show.
  const URL remote = Session::serverOrigin("http://kestro.invalid:8787");
  EXPECT_EQ(testsupport::refusalOf([&] { session_.signIn(remote, "ada@example.com"); }).status,
            ExitStatus::usage);
  EXPECT_EQ(session_.settings(), AccountSettings{});
  // HTTPS goes on to the exchange (which fails here: no such host).
  EXPECT_THROW(session_.signIn(Session::serverOrigin("https://kestro.invalid"), "ada@example.com"),
               KestroAPIError);
}

TEST_F(SessionTest, AMissingTokenIsNotSignedInButAFailingKeyringIsAFailure) {
  session_.signIn(server(first_), "ada@example.com");
  SecureTokenStore(std::string(kTokenService), keychain_)
      .deleteToken(server(first_).absoluteString());
  EXPECT_EQ(notSignedIn(), ExitStatus::notSignedIn);

  const Session locked(
      tree_.places(),
      SecureTokenStore(std::string(kTokenService), std::make_shared<RefusingKeychain>()),
      makeURLSession());
  EXPECT_THROW(locked.requireSignedIn(), SecureTokenError);
  // A sign-in whose token cannot be kept leaves the earlier user in place for the share target.
  tree_.places().sharedSettings().set("E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
                                      places::kCurrentUserIdKey);
  EXPECT_THROW(locked.signIn(server(second_), "bob@example.com"), SecureTokenError);
  EXPECT_EQ(tree_.places().sharedSettings().string(places::kCurrentUserIdKey),
            "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(session_.settings().email, "ada@example.com");
}

// A keyring that refuses everything stands for a machine without one: with the token file, no
// operation asks it.
TEST_F(SessionTest, WithTheTokenFileEveryOperationFindsTheTokenThereAndNeverAsksTheKeyring) {
  const Session session(
      tree_.places(),
      SecureTokenStore(std::string(kTokenService), std::make_shared<RefusingKeychain>()),
      makeURLSession());
  const auto inFile = [&](const URL& server) {
    return FileKeychain(tree_.root() / "config" / "kestro" / "tokens.json")
        .copyMatching(kTokenService, Session::tokenAccount(server));
  };
  const SignedInAccount account =
      session.signIn(server(first_), "ada@example.com", false, TokenStorage::file);
  EXPECT_EQ(inFile(server(first_)).data, account.token);
  EXPECT_EQ(session.requireSignedIn().token, account.token);

  // Another server: the first one's token goes, from the file.
  const SignedInAccount moved =
      session.signIn(server(second_), "ada@example.com", false, TokenStorage::file);
  EXPECT_EQ(inFile(server(first_)).status, kKeychainStatusItemNotFound);
  EXPECT_EQ(session.requireSignedIn().token, moved.token);

  // A file that cannot be read is a failure naming it, never "not signed in".
  const std::filesystem::path file = session.tokenFile();
  std::filesystem::rename(file, tree_.root() / "elsewhere");
  std::filesystem::create_symlink(tree_.root() / "elsewhere", file);
  const testsupport::Refusal refusal = testsupport::refusalOf([&] { session.requireSignedIn(); });
  EXPECT_EQ(refusal.status, ExitStatus::failure);
  EXPECT_NE(refusal.message.find(file.string() + " (or its folder) is a symbolic link"),
            std::string::npos)
      << refusal.message;

  // Signing out removes the file (a link: the link alone), and the choice of it.
  session.signOut();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(file)));
  EXPECT_TRUE(std::filesystem::exists(tree_.root() / "elsewhere"));
  EXPECT_EQ(session.tokenStorage(), TokenStorage::keyring);
}

TEST_F(SessionTest, SigningInWithTheKeyringAgainRemovesTheTokenFileOnceTheKeyringHoldsTheToken) {
  session_.signIn(server(first_), "ada@example.com", false, TokenStorage::file);
  EXPECT_FALSE(tokenFor(server(first_)));

  // A keyring that cannot store the token: the sign-in fails, and the file still serves.
  const Session locked(
      tree_.places(),
      SecureTokenStore(std::string(kTokenService), std::make_shared<RefusingKeychain>()),
      makeURLSession());
  EXPECT_THROW(locked.signIn(server(second_), "bob@example.com"), SecureTokenError);
  EXPECT_EQ(session_.requireSignedIn().server, server(first_));

  const SignedInAccount back = session_.signIn(server(first_), "ada@example.com");
  EXPECT_EQ(tokenFor(server(first_)), back.token);
  EXPECT_EQ(session_.tokenStorage(), TokenStorage::keyring);
  EXPECT_FALSE(std::filesystem::exists(session_.tokenFile()));
}

}  // namespace
}  // namespace kestro
