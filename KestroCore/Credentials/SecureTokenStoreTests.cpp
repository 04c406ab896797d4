#include "KestroCore/Credentials/SecureTokenStore.h"

#include <gtest/gtest.h>

#include <functional>

#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"
#include "Testing/SecretServiceTestSupport.h"

namespace kestro {
namespace {

using testsupport::runCommand;

// The status that `operation` threw, or nothing when it did not throw.
std::optional<std::int32_t> thrownStatus(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const SecureTokenError& error) {
    return error.as<SecureTokenError::UnexpectedStatus>()->status;
  }
  return std::nullopt;
}

// ---- On the private Secret Service, through the store's default keychain

class SecureTokenStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::insideTestSecretService())
        << "run this program under Testing/with-secret-service.sh (CTest does), never against "
           "your own keyring";
  }
};

TEST_F(SecureTokenStoreTest, KeepsOneTokenPerServiceAndAccountWhereOtherProgramsSeeIt) {
  const SecureTokenStore mail("org.kestro.mail");
  const SecureTokenStore chat("org.kestro.chat");
  const auto tool = [](std::vector<std::string> arguments, std::string_view input = {}) {
    arguments.insert(arguments.begin(), "secret-tool");
    return runCommand(arguments, input);
  };
  const auto lookup = [&](const char* account) {
    return tool({"lookup", "service", "org.kestro.mail", "account", account}).output;
  };
  EXPECT_EQ(mail.load("ada"), std::nullopt);
  EXPECT_NO_THROW(mail.deleteToken("ada"));
  mail.save("a", "ada");
  mail.save("tökén ✓", "ada");
  chat.save("chat token", "ada");
  EXPECT_EQ(lookup("ada"), "tökén ✓");
  EXPECT_EQ(chat.load("ada"), "chat token");
  chat.deleteToken("ada");
  EXPECT_EQ(chat.load("ada"), std::nullopt);
  EXPECT_EQ(mail.load("ada"), "tökén ✓");

  // Written first by another program, without our schema name: the store loads it, and saving
  // replaces its value rather than adding a second item that a lookup might prefer.
  tool({"store", "--label=by secret-tool", "service", "org.kestro.mail", "account", "grace"},
       "from secret-tool");
  EXPECT_EQ(mail.load("grace"), "from secret-tool");
  mail.save("saved over it", "grace");
  const std::string items =
      tool({"search", "--all", "service", "org.kestro.mail", "account", "grace"}).output;
  EXPECT_EQ(items.find("[/"), items.rfind("[/")) << items;
  EXPECT_EQ(lookup("grace"), "saved over it");

  // Text that is not UTF-8 does not save, and leaves the earlier token.
  EXPECT_EQ(thrownStatus([&] { mail.save("\xff\xfe", "ada"); }), kKeychainStatusInvalidParameter);
  EXPECT_EQ(mail.load("ada"), "tökén ✓");
}

TEST_F(SecureTokenStoreTest, ALockedKeyringThrowsAndKeepsTheToken) {
  const SecureTokenStore store("org.kestro.locked");
  store.save("kept", "ada");
  testsupport::lockDefaultCollection();
  // Headless, the keyring reports its unlock prompt dismissed.
  EXPECT_EQ(thrownStatus([&] { store.load("ada"); }), kKeychainStatusUserCanceled);
  testsupport::unlockDefaultCollection();
  EXPECT_EQ(store.load("ada"), "kept");
}

// ---- How the store reads the keychain's statuses, with outcomes scripted on top of an
// in-memory keychain: a real keychain gives most of them only when something breaks.

class ScriptedKeychain final : public Keychain {
 public:
  std::optional<std::int32_t> addStatus;
  std::optional<KeychainCopyResult> copyResult;
  std::optional<std::int32_t> deleteStatus;
  std::int32_t add(std::string_view service, std::string_view account,
                   std::string_view data) override {
    return addStatus ? *addStatus : items_.add(service, account, data);
  }
  KeychainCopyResult copyMatching(std::string_view service, std::string_view account) override {
    return copyResult ? *copyResult : items_.copyMatching(service, account);
  }
  std::int32_t deleteMatching(std::string_view service, std::string_view account) override {
    return deleteStatus ? *deleteStatus : items_.deleteMatching(service, account);
  }

 private:
  InMemoryKeychain items_;
};

TEST(SecureTokenStoreStatusTest, OnlyNotFoundMeansNoTokenAndAFailedSaveKeepsTheEarlierOne) {
  const auto keychain = std::make_shared<ScriptedKeychain>();
  const SecureTokenStore store("org.kestro.scripted", keychain);
  store.save("earlier", "ada");
  keychain->addStatus = kKeychainStatusNotAvailable;
  EXPECT_EQ(thrownStatus([&] { store.save("later", "ada"); }), kKeychainStatusNotAvailable);
  EXPECT_EQ(store.load("ada"), "earlier");

  keychain->copyResult = KeychainCopyResult{kKeychainStatusItemNotFound, "ignored"};
  EXPECT_EQ(store.load("ada"), std::nullopt);
  keychain->copyResult = KeychainCopyResult{kKeychainStatusSuccess, std::nullopt};
  EXPECT_EQ(thrownStatus([&] { store.load("ada"); }), 0);
  keychain->deleteStatus = kKeychainStatusUserCanceled;
  EXPECT_EQ(thrownStatus([&] { store.deleteToken("ada"); }), kKeychainStatusUserCanceled);
}

}  // namespace
}  // namespace kestro
