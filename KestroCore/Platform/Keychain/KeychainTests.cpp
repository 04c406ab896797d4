#include "KestroCore/Platform/Keychain/Keychain.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"
#include "KestroCore/Platform/Keychain/SecretServiceKeychain.h"
#include "Testing/SecretServiceTestSupport.h"

namespace kestro {
namespace {

using namespace std::string_literals;

constexpr const char* kOutsideWrapper =
    "run this program under Testing/with-secret-service.sh (CTest does), never against your own "
    "keyring";

const KeychainCopyResult kNotFound{kKeychainStatusItemNotFound, std::nullopt};

KeychainCopyResult found(std::string data) { return {kKeychainStatusSuccess, std::move(data)}; }

// The in-memory keychain must answer as the Secret Service one does, so every case here runs on
// both.
template <class K>
class KeychainContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::is_same_v<K, SecretServiceKeychain>) {
      ASSERT_TRUE(testsupport::insideTestSecretService()) << kOutsideWrapper;
    }
  }
  K keychain_;
};

struct ImplementationName {
  template <class K>
  static std::string GetName(int) {
    return std::is_same_v<K, InMemoryKeychain> ? "InMemory" : "SecretService";
  }
};
using Implementations = ::testing::Types<InMemoryKeychain, SecretServiceKeychain>;
TYPED_TEST_SUITE(KeychainContractTest, Implementations, ImplementationName);

TYPED_TEST(KeychainContractTest, AddReplacesCopyFindsAndDeleteRemovesOneServiceAndAccount) {
  Keychain& keychain = this->keychain_;
  EXPECT_EQ(keychain.copyMatching("mail", "ada"), kNotFound);
  EXPECT_EQ(keychain.deleteMatching("mail", "ada"), kKeychainStatusItemNotFound);

  ASSERT_EQ(keychain.add("mail", "ada", "first"), kKeychainStatusSuccess);
  ASSERT_EQ(keychain.add("mail", "ada", "second"), kKeychainStatusSuccess);
  ASSERT_EQ(keychain.add("mail", "grace", "hers"), kKeychainStatusSuccess);
  ASSERT_EQ(keychain.add("chat", "ada", "other service"), kKeychainStatusSuccess);
  EXPECT_EQ(keychain.copyMatching("mail", "ada"), found("second"));

  EXPECT_EQ(keychain.deleteMatching("mail", "ada"), kKeychainStatusSuccess);
  EXPECT_EQ(keychain.copyMatching("mail", "ada"), kNotFound);
  EXPECT_EQ(keychain.deleteMatching("mail", "ada"), kKeychainStatusItemNotFound);
  EXPECT_EQ(keychain.copyMatching("mail", "grace"), found("hers"));
  EXPECT_EQ(keychain.copyMatching("chat", "ada"), found("other service"));
}

TYPED_TEST(KeychainContractTest, ValuesAreAnyBytesWhileServiceAndAccountMustBeText) {
  Keychain& keychain = this->keychain_;
  const std::string binary = "\x00\xff\xfe token \x80"s;
  ASSERT_EQ(keychain.add("Zürich ✓", "ключ", binary), kKeychainStatusSuccess);
  EXPECT_EQ(keychain.copyMatching("Zürich ✓", "ключ"), found(binary));
  ASSERT_EQ(keychain.add("empty", "ada", ""), kKeychainStatusSuccess);
  EXPECT_EQ(keychain.copyMatching("empty", "ada"), found(""));

  // A NUL would cut the name short on its way to the service, and D-Bus carries only UTF-8.
  for (const std::string& bad : {"mail\0x"s, "\xc3\x28"s, "\xed\xa0\x80"s}) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    EXPECT_EQ(keychain.add(bad, "ada", "v"), kKeychainStatusInvalidParameter);
    EXPECT_EQ(keychain.add("mail", bad, "v"), kKeychainStatusInvalidParameter);
    EXPECT_EQ(keychain.copyMatching(bad, "ada").status, kKeychainStatusInvalidParameter);
    EXPECT_EQ(keychain.deleteMatching("mail", bad), kKeychainStatusInvalidParameter);
  }
  EXPECT_EQ(keychain.copyMatching("mail", "ada"), kNotFound);
}

// A collection locked by the desktop (screen lock, `Lock` over D-Bus). The collection is
// unlocked again after each test, with the keyring's password.
class SecretServiceLockedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::insideTestSecretService()) << kOutsideWrapper;
    ASSERT_EQ(SecretServiceKeychain().add("mail", "ada", "kept"), kKeychainStatusSuccess);
    testsupport::lockDefaultCollection();
  }
  void TearDown() override {
    if (testsupport::insideTestSecretService() && testsupport::defaultCollectionLocked()) {
      testsupport::unlockDefaultCollection();
    }
  }

  // Every operation, on the item that exists and on one that does not, reports `status`; none
  // says "not found" or changes anything.
  static void expectEveryOperationFailsWith(Keychain& keychain, std::int32_t status) {
    for (const char* account : {"ada", "nobody"}) {
      SCOPED_TRACE(account);
      EXPECT_EQ(keychain.copyMatching("mail", account).status, status);
      EXPECT_EQ(keychain.add("mail", account, "new"), status);
      EXPECT_EQ(keychain.deleteMatching("mail", account), status);
    }
    EXPECT_TRUE(testsupport::defaultCollectionLocked());
    testsupport::unlockDefaultCollection();
    SecretServiceKeychain unlocked;
    EXPECT_EQ(unlocked.copyMatching("mail", "ada"), found("kept"));
    EXPECT_EQ(unlocked.copyMatching("mail", "nobody"), kNotFound);
  }
};

TEST_F(SecretServiceLockedTest, WithoutInteractionEveryOperationReportsLocked) {
  SecretServiceKeychain keychain(KeychainInteraction::notAllowed);
  expectEveryOperationFailsWith(keychain, kKeychainStatusLocked);
}

// The keychain asks the keyring to unlock. No prompter can start here (no display, and the
// private bus activates nothing), so the keyring reports the prompt dismissed at once, as it does
// when the user dismisses it.
TEST_F(SecretServiceLockedTest, ADismissedUnlockPromptIsReportedAsCanceled) {
  SecretServiceKeychain keychain(KeychainInteraction::allowed);
  expectEveryOperationFailsWith(keychain, kKeychainStatusUserCanceled);
}

// Each case runs in a fresh process (GLib keeps the first session bus connection for the life of
// the process), in which the bus address is taken away before anything connects.
TEST(SecretServiceWithoutBusDeathTest, EveryOperationReportsNotAvailable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* address : {static_cast<const char*>(nullptr), "unix:path=/nonexistent/bus"}) {
    SCOPED_TRACE(address == nullptr ? "no DBUS_SESSION_BUS_ADDRESS" : address);
    EXPECT_EXIT(
        {
          if (address == nullptr) {
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
          } else {
            setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
          }
          SecretServiceKeychain keychain;
          const int copy = keychain.copyMatching("mail", "ada").status;
          const int add = keychain.add("mail", "ada", "v");
          const int remove = keychain.deleteMatching("mail", "ada");
          std::fprintf(stderr, "copy %d add %d delete %d\n", copy, add, remove);
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "copy -25291 add -25291 delete -25291");
  }
}

}  // namespace
}  // namespace kestro
