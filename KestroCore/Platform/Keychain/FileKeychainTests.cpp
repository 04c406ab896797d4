#include "KestroCore/Platform/Keychain/FileKeychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
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

const KeychainCopyResult kNotFound{kKeychainStatusItemNotFound, std::nullopt};

KeychainCopyResult found(std::string data) { return {kKeychainStatusSuccess, std::move(data)}; }

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

ino_t inodeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_ino;
}

std::string contentsOf(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}

void write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class FileKeychainTest : public ::testing::Test {
 protected:
  testsupport::TemporaryDirectory root_{"kestro-file-keychain"};
  const fs::path directory_ = root_.path() / "config" / "kestro";
  const fs::path file_ = directory_ / "tokens.json";
  FileKeychain keychain_{file_};
};

// The umask narrows what a program asks for; it never decides here.
TEST_F(FileKeychainTest, FileAndFolderAreTheUsersAloneWhateverTheUmask) {
  for (const mode_t mask : {mode_t{022}, mode_t{002}}) {
    SCOPED_TRACE(mask);
    fs::remove_all(root_.path() / "config");
    const mode_t previous = ::umask(mask);
    const std::int32_t first = keychain_.add("org.kestro.Kestro", "http://127.0.0.1:8787", "a");
    const std::int32_t second = keychain_.add("org.kestro.Kestro", "http://127.0.0.1:8787", "b");
    ::umask(previous);
    ASSERT_EQ(first, kKeychainStatusSuccess);
    ASSERT_EQ(second, kKeychainStatusSuccess);
    EXPECT_EQ(modeOf(file_), 0600u);
    EXPECT_EQ(modeOf(directory_), 0700u);
  }

  // A folder left wider by earlier settings loses its group and other bits at the next change.
  fs::permissions(directory_, fs::perms(0755));
  ASSERT_EQ(keychain_.add("org.kestro.Kestro", "http://127.0.0.1:8787", "c"),
            kKeychainStatusSuccess);
  EXPECT_EQ(modeOf(directory_), 0700u);

  // What the README promises to anyone who opens it: the value in clear, by service and account;
  // bytes that are not text in hexadecimal.
  ASSERT_EQ(keychain_.add("org.kestro.Kestro", "binary", std::string("\x00\xff", 2)),
            kKeychainStatusSuccess);
  const nlohmann::json document = nlohmann::json::parse(contentsOf(file_));
  EXPECT_EQ(document["items"], nlohmann::json::parse(R"([
              {"service": "org.kestro.Kestro", "account": "binary", "hex": "00ff"},
              {"service": "org.kestro.Kestro", "account": "http://127.0.0.1:8787", "value": "c"}
            ])"));
}

TEST_F(FileKeychainTest, AChangeReplacesTheWholeFileAndTheLastDeletionRemovesIt) {
  ASSERT_EQ(keychain_.add("mail", "ada", "first"), kKeychainStatusSuccess);
  const std::string before = contentsOf(file_);
  const ino_t inode = inodeOf(file_);
  // A reader that opened the file before a change keeps reading the whole earlier file: the new
  // one is written under another name and renamed over it, never written in place.
  std::ifstream reader(file_, std::ios::binary);
  ASSERT_EQ(keychain_.add("mail", "ada", "second"), kKeychainStatusSuccess);
  std::stringstream seen;
  seen << reader.rdbuf();
  EXPECT_EQ(seen.str(), before);
  EXPECT_NE(inodeOf(file_), inode);
  EXPECT_EQ(keychain_.copyMatching("mail", "ada"), found("second"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(directory_ / "tokens.json.new")));

  // What a crash during a change leaves beside the file (or what someone plants there, a link
  // to a file of theirs) is neither read nor written through.
  const fs::path outside = root_.path() / "outside";
  write(outside, "theirs");
  fs::create_symlink(outside, directory_ / "tokens.json.new");
  EXPECT_EQ(keychain_.copyMatching("mail", "ada"), found("second"));
  ASSERT_EQ(keychain_.add("mail", "grace", "hers"), kKeychainStatusSuccess);
  EXPECT_EQ(contentsOf(outside), "theirs");
  EXPECT_FALSE(fs::exists(fs::symlink_status(directory_ / "tokens.json.new")));

  EXPECT_EQ(keychain_.deleteMatching("mail", "ada"), kKeychainStatusSuccess);
  EXPECT_TRUE(fs::exists(file_));
  EXPECT_EQ(keychain_.deleteMatching("mail", "grace"), kKeychainStatusSuccess);
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_EQ(keychain_.copyMatching("mail", "grace"), kNotFound);
  EXPECT_EQ(keychain_.deleteAll(), kKeychainStatusItemNotFound);
}

TEST_F(FileKeychainTest, ALinkOrAnythingButARegularFileAtItsNameIsRefusedNotFollowed) {
  const fs::path outside = root_.path() / "outside.json";
  const std::string theirs =
      R"({"items": [{"service": "mail", "account": "ada", "value": "planted"}]})";
  write(outside, theirs);
  fs::create_directories(directory_);
  fs::create_symlink(outside, file_);
  EXPECT_EQ(keychain_.copyMatching("mail", "ada").status, kKeychainStatusInvalidKeychain);
  EXPECT_EQ(keychain_.copyMatching("mail", "nobody").status, kKeychainStatusInvalidKeychain);
  EXPECT_EQ(keychain_.add("mail", "ada", "mine"), kKeychainStatusInvalidKeychain);
  EXPECT_EQ(keychain_.deleteMatching("mail", "ada"), kKeychainStatusInvalidKeychain);
  EXPECT_EQ(contentsOf(outside), theirs);
  EXPECT_TRUE(fs::is_symlink(file_));
  // Removing the file removes the link, never what it points to.
  EXPECT_EQ(keychain_.deleteAll(), kKeychainStatusSuccess);
  EXPECT_FALSE(fs::exists(fs::symlink_status(file_)));
  EXPECT_EQ(contentsOf(outside), theirs);

  // A FIFO is refused without waiting for a writer, a directory like any other non-file.
  ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
  EXPECT_EQ(keychain_.copyMatching("mail", "ada").status, kKeychainStatusInvalidKeychain);
  fs::remove(file_);
  fs::create_directory(file_);
  EXPECT_EQ(keychain_.add("mail", "ada", "mine"), kKeychainStatusInvalidKeychain);
  EXPECT_EQ(keychain_.deleteAll(), kKeychainStatusInvalidKeychain);

  // The folder itself as a link: nothing goes where it points.
  const fs::path elsewhere = root_.path() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::remove_all(directory_);
  fs::create_directory_symlink(elsewhere, directory_);
  EXPECT_EQ(keychain_.add("mail", "ada", "mine"), kKeychainStatusInvalidKeychain);
  EXPECT_EQ(keychain_.copyMatching("mail", "ada").status, kKeychainStatusInvalidKeychain);
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

// A file cut short, edited by hand or written by something else is an error for every
// operation, never "no item" (a user would be told to sign in when the file needs repair), and
// no change writes over it.
TEST_F(FileKeychainTest, ADamagedFileIsAnErrorAndStaysAsItIs) {
  ASSERT_EQ(keychain_.add("mail", "ada", "token"), kKeychainStatusSuccess);
  const std::string whole = contentsOf(file_);
  for (const std::string& damaged : {
           whole.substr(0, whole.size() / 2),
           std::string(),
           std::string("token"),
           std::string(R"(["mail", "ada", "token"])"),
           std::string(R"({"items": {"service": "mail"}})"),
           std::string(R"({"items": [{"service": "mail", "account": "ada"}]})"),
           std::string(R"({"items": [{"service": "mail", "account": "ada", "value": 7}]})"),
           std::string(R"({"items": [{"service": "mail", "account": "ada", "hex": "0g"}]})"),
           std::string(R"({"items": [{"service": "mail", "account": "ada", "hex": "abc"}]})"),
           std::string(R"({"items": [{"service": "mail", "account": "ada", "value": "a",
                                      "hex": "61"}]})"),
           std::string(R"({"items": [{"service": "mail", "account": "ada", "value": "a"},
                                     {"service": "mail", "account": "ada", "value": "b"}]})"),
           std::string("{\"items\": [{\"service\": \"mail\", \"account\": \"ada\", \"value\": "
                       "\"\xff\"}]}"),
       }) {
    SCOPED_TRACE(damaged);
    write(file_, damaged);
    EXPECT_EQ(keychain_.copyMatching("mail", "ada"),
              (KeychainCopyResult{kKeychainStatusDecode, std::nullopt}));
    EXPECT_EQ(keychain_.copyMatching("mail", "nobody").status, kKeychainStatusDecode);
    EXPECT_EQ(keychain_.add("mail", "ada", "new"), kKeychainStatusDecode);
    EXPECT_EQ(keychain_.deleteMatching("mail", "ada"), kKeychainStatusDecode);
    EXPECT_EQ(contentsOf(file_), damaged);
  }
  // The way out: the whole file goes, and a new one can be written.
  EXPECT_EQ(keychain_.deleteAll(), kKeychainStatusSuccess);
  EXPECT_EQ(keychain_.add("mail", "ada", "new"), kKeychainStatusSuccess);
  EXPECT_EQ(keychain_.copyMatching("mail", "ada"), found("new"));
}

// Each change reads the file and writes it anew: without the lock, two at once would each drop
// the other's item.
TEST_F(FileKeychainTest, ChangesMadeAtOnceAreAllKept) {
  constexpr int kWriters = 4;
  constexpr int kItems = 15;
  std::vector<std::thread> writers;
  std::vector<int> failures(kWriters, 0);
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&failures, writer, this] {
      FileKeychain own(file_);
      for (int item = 0; item < kItems; ++item) {
        const std::string account = std::to_string(writer) + "-" + std::to_string(item);
        if (own.add("mail", account, account) != kKeychainStatusSuccess) ++failures[writer];
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(failures, std::vector<int>(kWriters, 0));
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int item = 0; item < kItems; ++item) {
      const std::string account = std::to_string(writer) + "-" + std::to_string(item);
      EXPECT_EQ(keychain_.copyMatching("mail", account), found(account));
    }
  }
}

}  // namespace
}  // namespace kestro
