#include "KestroCore/Platform/Keychain/Keychain.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "KestroCore/Platform/Keychain/FileKeychain.h"
#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"
#include "KestroCore/Platform/Keychain/SecretServiceKeychain.h"
#include "Testing/SecretServiceTestSupport.h"
#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

using namespace std::string_literals;

constexpr const char* kOutsideWrapper = "run under Testing/with-secret-service.sh, as CTest does";

const KeychainCopyResult kNotFound{kKeychainStatusItemNotFound, std::nullopt};

KeychainCopyResult found(std::string data) { return {kKeychainStatusSuccess, std::move(data)}; }

// A keychain to test, with what it needs: the file keychain a directory of its own.
template <class K>
struct Made {
  K keychain;
};
template <>
struct Made<FileKeychain> {
  testsupport::TemporaryDirectory directory{"kestro-keychain"};
  FileKeychain keychain{directory.path() / "kestro" / "tokens.json"};
};

// The in-memory and file keychains must answer as the Secret Service one does, so every case
// here runs on all three.
template <class K>
class KeychainContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::is_same_v<K, SecretServiceKeychain>) {
      ASSERT_TRUE(testsupport::insideTestSecretService()) << kOutsideWrapper;
    }
  }
  Made<K> made_;
};

using Implementations = ::testing::Types<InMemoryKeychain, FileKeychain, SecretServiceKeychain>;
TYPED_TEST_SUITE(KeychainContractTest, Implementations);

TYPED_TEST(KeychainContractTest, AddReplacesCopyFindsAndDeleteRemovesOneServiceAndAccount) {
  Keychain& keychain = this->made_.keychain;
  EXPECT_EQ(keychain.copyMatching("mail", "ada"), kNotFound);

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
  Keychain& keychain = this->made_.keychain;
  const std::string binary = "\x00\xff\xfe token \x80"s;
  ASSERT_EQ(keychain.add("Zürich ✓", "ключ", binary), kKeychainStatusSuccess);
  EXPECT_EQ(keychain.copyMatching("Zürich ✓", "ключ"), found(binary));
  ASSERT_EQ(keychain.add("empty", "ada", ""), kKeychainStatusSuccess);
  EXPECT_EQ(keychain.copyMatching("empty", "ada"), found(""));

  // A NUL would cut the name short on its way to the service, and D-Bus carries only UTF-8.
  for (const std::string& bad : {"mail\0x"s, "\xc3\x28"s}) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    EXPECT_EQ(keychain.add(bad, "ada", "v"), kKeychainStatusInvalidParameter);
    EXPECT_EQ(keychain.copyMatching("mail", bad).status, kKeychainStatusInvalidParameter);
    EXPECT_EQ(keychain.deleteMatching(bad, "ada"), kKeychainStatusInvalidParameter);
  }
  EXPECT_EQ(keychain.copyMatching("mail", "ada"), kNotFound);
}

// A collection locked by the desktop (screen lock, `Lock` over D-Bus). Without interaction the
// keychain reports it locked. With interaction it asks the keyring to unlock; no prompter can
// start here (no display, and the private bus activates nothing), so the keyring reports the
// prompt dismissed at once, as it does when the user dismisses it.
TEST(SecretServiceLockedTest, EveryOperationFailsWithoutChangingAnything) {
  ASSERT_TRUE(testsupport::insideTestSecretService()) << kOutsideWrapper;
  ASSERT_EQ(SecretServiceKeychain().add("mail", "ada", "kept"), kKeychainStatusSuccess);
  for (const auto& [interaction, status] :
       {std::pair{KeychainInteraction::notAllowed, kKeychainStatusLocked},
        std::pair{KeychainInteraction::allowed, kKeychainStatusUserCanceled}}) {
    SCOPED_TRACE(status);
    testsupport::lockDefaultCollection();
    SecretServiceKeychain keychain(interaction);
    // Not even on an item that does not exist does it say "not found".
    EXPECT_EQ(keychain.copyMatching("mail", "ada").status, status);
    EXPECT_EQ(keychain.add("mail", "ada", "new"), status);
    EXPECT_EQ(keychain.deleteMatching("mail", "nobody"), status);
    EXPECT_TRUE(testsupport::defaultCollectionLocked());
    testsupport::unlockDefaultCollection();
    EXPECT_EQ(SecretServiceKeychain().copyMatching("mail", "ada"), found("kept"));
    EXPECT_EQ(SecretServiceKeychain().copyMatching("mail", "nobody"), kNotFound);
  }
}

// A fresh process (GLib keeps the first session bus connection for the life of the process),
// in which the bus address is taken away before anything connects.
TEST(SecretServiceWithoutBusDeathTest, EveryOperationReportsNotAvailable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        SecretServiceKeychain keychain;
        std::fprintf(stderr, "copy %d add %d delete %d\n",
                     keychain.copyMatching("mail", "ada").status, keychain.add("mail", "ada", "v"),
                     keychain.deleteMatching("mail", "ada"));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "copy -25291 add -25291 delete -25291");
}

}  // namespace
}  // namespace kestro
