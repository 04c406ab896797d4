#include "KestroCore/Platform/Keychain/FileKeychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Testing/TemporaryDirectory.h"

// The statuses shared with the other keychains are KeychainTests.cpp's; here, what a file adds:
// who may read it, how it is replaced, and what it refuses to read or write.

namespace kestro {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

std::string contentsOf(const fs::path& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

class FileKeychainTest : public ::testing::Test {
 protected:
  std::int32_t copyStatus() { return keychain_.copyMatching("mail", "ada").status; }

  testsupport::TemporaryDirectory root_{"kestro-file-keychain"};
  const fs::path directory_ = root_.path() / "config" / "kestro";
  const fs::path file_ = directory_ / "tokens.json";
  FileKeychain keychain_{file_};
};

TEST_F(FileKeychainTest, FileAndFolderAreTheUsersAloneWhateverTheUmask) {
  for (const mode_t mask : {mode_t{022}, mode_t{002}}) {
    SCOPED_TRACE(mask);
    fs::remove_all(root_.path() / "config");
    const mode_t previous = ::umask(mask);
    const std::int32_t status = keychain_.add("mail", "ada", "token");
    ::umask(previous);
    ASSERT_EQ(status, kKeychainStatusSuccess);
    EXPECT_EQ(modeOf(file_), 0600u);
    EXPECT_EQ(modeOf(directory_), 0700u);
  }
  // A folder left wider (by hand, or an older umask) is narrowed at the next change.
  fs::permissions(directory_, fs::perms(0755));
  ASSERT_EQ(keychain_.add("mail", "ada", "again"), kKeychainStatusSuccess);
  EXPECT_EQ(modeOf(directory_), 0700u);
}

TEST_F(FileKeychainTest, AChangeReplacesTheWholeFileAndTheLastDeletionRemovesIt) {
  ASSERT_EQ(keychain_.add("mail", "ada", "first"), kKeychainStatusSuccess);
  const std::string before = contentsOf(file_);
  // A reader that opened the file before a change reads the whole earlier file to its end: the
  // new one is written under another name and renamed over it, never written in place.
  std::ifstream reader(file_, std::ios::binary);
  ASSERT_EQ(keychain_.add("mail", "ada", "second"), kKeychainStatusSuccess);
  std::stringstream seen;
  seen << reader.rdbuf();
  EXPECT_EQ(seen.str(), before);
  EXPECT_EQ(keychain_.copyMatching("mail", "ada").data, "second");

  // What a crash during a change leaves beside the file, or a link planted there, is neither
  // read nor written through.
  const fs::path outside = root_.path() / "outside";
  std::ofstream(outside) << "theirs";
  fs::create_symlink(outside, directory_ / "tokens.json.new");
  ASSERT_EQ(keychain_.add("mail", "grace", "hers"), kKeychainStatusSuccess);
  EXPECT_EQ(contentsOf(outside), "theirs");
  EXPECT_FALSE(fs::exists(fs::symlink_status(directory_ / "tokens.json.new")));

  EXPECT_EQ(keychain_.deleteMatching("mail", "ada"), kKeychainStatusSuccess);
  EXPECT_EQ(keychain_.deleteMatching("mail", "grace"), kKeychainStatusSuccess);
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(FileKeychainTest, ALinkOrAnythingButARegularFileAtItsNameIsRefusedNotFollowed) {
  const fs::path outside = root_.path() / "outside.json";
  const std::string theirs = R"({"items": [{"service": "mail", "account": "ada", "value": "x"}]})";
  std::ofstream(outside) << theirs;
  fs::create_directories(directory_);
  fs::create_symlink(outside, file_);
  EXPECT_EQ(copyStatus(), kKeychainStatusInvalidKeychain);
  EXPECT_EQ(keychain_.add("mail", "ada", "mine"), kKeychainStatusInvalidKeychain);
  EXPECT_EQ(keychain_.deleteMatching("mail", "ada"), kKeychainStatusInvalidKeychain);
  EXPECT_EQ(contentsOf(outside), theirs);
  // Removing the file removes the link, never what it points to.
  EXPECT_EQ(keychain_.deleteAll(), kKeychainStatusSuccess);
  EXPECT_EQ(contentsOf(outside), theirs);

  // A FIFO is refused without waiting for a writer.
  ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
  EXPECT_EQ(copyStatus(), kKeychainStatusInvalidKeychain);

  // The folder as a link: nothing goes where it points.
  fs::remove_all(directory_);
  fs::create_directory_symlink(root_.path(), directory_);
  EXPECT_EQ(keychain_.add("mail", "ada", "mine"), kKeychainStatusInvalidKeychain);
  EXPECT_FALSE(fs::exists(root_.path() / "tokens.json"));
}

// Never "no item" (the user would be sent to a sign-in that fails the same way), and no change
// writes over it.
TEST_F(FileKeychainTest, ADamagedFileIsAnErrorAndStaysAsItIs) {
  ASSERT_EQ(keychain_.add("mail", "ada", "token"), kKeychainStatusSuccess);
  const std::string whole = contentsOf(file_);
  for (const std::string& damaged : {
           whole.substr(0, whole.size() / 2),
           std::string(),
           std::string(R"({"items": {"service": "mail"}})"),
           std::string(R"({"items": [{"service": "mail", "account": "ada"}]})"),
           std::string(R"({"items": [{"service": "mail", "account": "ada", "hex": "0g"}]})"),
       }) {
    SCOPED_TRACE(damaged);
    std::ofstream(file_, std::ios::trunc) << damaged;
    EXPECT_EQ(copyStatus(), kKeychainStatusDecode);
    EXPECT_EQ(keychain_.add("other", "ada", "new"), kKeychainStatusDecode);
    EXPECT_EQ(keychain_.deleteMatching("mail", "ada"), kKeychainStatusDecode);
    EXPECT_EQ(contentsOf(file_), damaged);
  }
}

// Each change reads the file and writes it anew: without the lock on the folder, changes made
// at once would drop each other's items.
TEST_F(FileKeychainTest, ChangesMadeAtOnceAreAllKept) {
  constexpr int kWriters = 4;
  constexpr int kItems = 10;
  std::vector<std::thread> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([writer, this] {
      FileKeychain own(file_);
      for (int item = 0; item < kItems; ++item) {
        const std::string account = std::to_string(writer * kItems + item);
        EXPECT_EQ(own.add("mail", account, account), kKeychainStatusSuccess);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  for (int item = 0; item < kWriters * kItems; ++item) {
    EXPECT_EQ(keychain_.copyMatching("mail", std::to_string(item)).data, std::to_string(item));
  }
}

}  // namespace
}  // namespace kestro
