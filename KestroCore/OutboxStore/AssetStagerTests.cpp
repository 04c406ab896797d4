#include "KestroCore/OutboxStore/AssetStager.h"
#include "Testing/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <tuple>

namespace kestro {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMebibyte = 0x100000;
constexpr const char* kEmptyDigest =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// The digest as the system's own tool computes it, for a path without quotes.
std::string sha256sum(const fs::path& path) {
  FILE* pipe = ::popen(("sha256sum < '" + path.native() + "'").c_str(), "r");
  char digest[64] = {};
  const std::size_t read = pipe ? std::fread(digest, 1, 64, pipe) : 0;
  if (pipe) ::pclose(pipe);
  return std::string(digest, read);
}

unsigned permissions(const fs::path& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

class AssetStagerTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(root_ / "sources"); }

  // A file whose bytes differ from one position to the next, so a dropped or repeated chunk
  // changes the digest.
  fs::path source(const std::string& name, std::size_t size) const {
    const fs::path path = root_ / "sources" / name;
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u;
    for (char& byte : bytes) {
      state ^= state << 13, state ^= state >> 17, state ^= state << 5;
      byte = static_cast<char>(state);
    }
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  StagedAsset stage(const fs::path& path, const fs::path& directory) const {
    return AssetStager::stage(URL::fileURL(path), URL::fileURL(directory), "application/pdf",
                              AssetRole::attachment);
  }

  testsupport::TemporaryDirectory temporary_{"kestro-stager"};
  const fs::path root_ = temporary_.path();
};

TEST_F(AssetStagerTest, CopyMatchesSourceAndSha256sumAcrossChunkBoundariesInPrivateDirectories) {
  const fs::path staging = root_ / "group" / "staging";
  for (const std::size_t size : {std::size_t{0}, kMebibyte, 3 * kMebibyte + 17}) {
    SCOPED_TRACE(size);
    const fs::path original = source("report " + std::to_string(size) + ".pdf", size);
    const StagedAsset asset = stage(original, staging);

    const fs::path copy = *asset.localURL.filePath();
    EXPECT_EQ(copy.parent_path(), staging);
    EXPECT_EQ(copy.filename().string().substr(36), "-" + original.filename().string());
    EXPECT_EQ(asset.filename, original.filename().string());
    EXPECT_EQ(asset.byteCount, static_cast<std::int64_t>(size));
    EXPECT_EQ(readFile(copy), readFile(original));
    EXPECT_EQ(asset.sha256, size == 0 ? kEmptyDigest : sha256sum(copy));
    EXPECT_EQ(permissions(copy), 0600u);
    // The same source again is a copy of its own, beside the first.
    const StagedAsset again = stage(original, staging);
    EXPECT_NE(again.localURL, asset.localURL);
    EXPECT_TRUE(fs::exists(copy));
  }
  // The directories it creates are the user's alone; one that exists keeps its mode.
  EXPECT_EQ(permissions(root_ / "group"), 0700u);
  EXPECT_EQ(permissions(staging), 0700u);
  ::chmod(staging.c_str(), 0755);
  stage(source("b.txt", 1), staging);
  EXPECT_EQ(permissions(staging), 0755u);
}

TEST_F(AssetStagerTest, StagingByMovingTakesTheFileItselfAndLeavesNoSourceEvenOnFailure) {
  const fs::path original = source("stdin.png", 3 * kMebibyte + 5);
  struct stat before, after;
  ASSERT_EQ(::stat(original.c_str(), &before), 0);
  const StagedAsset asset = AssetStager::stageByMoving(
      URL::fileURL(original), URL::fileURL(root_ / "staging"), "image/png", AssetRole::primary);
  const fs::path staged = *asset.localURL.filePath();
  ASSERT_EQ(::stat(staged.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_FALSE(fs::exists(original));
  EXPECT_EQ(asset.sha256, sha256sum(staged));

  // Where no staging directory can be made, the file, which nobody else would remove, goes.
  const fs::path orphan = source("orphan.png", 10);
  std::ofstream(root_ / "blocker") << "a file where a directory should be";
  EXPECT_THROW(
      AssetStager::stageByMoving(URL::fileURL(orphan), URL::fileURL(root_ / "blocker" / "x"),
                                 "image/png", AssetRole::primary),
      fs::filesystem_error);
  EXPECT_FALSE(fs::exists(orphan));
}

TEST_F(AssetStagerTest, NamesKeepTheirBytesOnDiskWithinItsLimitAndReachJSONRepaired) {
  const fs::path staging = root_ / "staging";
  const std::string invalid = "a\xFF_b.txt";
  StagedAsset asset = stage(source(invalid, 100), staging);
  EXPECT_EQ(asset.filename, "a\xEF\xBF\xBD_b.txt");
  EXPECT_TRUE(asset.localURL.filePath()->native().ends_with("-" + invalid));
  EXPECT_EQ(decodeJSONString<StagedAsset>(encodeJSONString(asset)), asset);

  // 72 three-byte characters and an extension: 220 bytes, which fit alone but not after the
  // 37-byte prefix. The copy's name is cut between characters; the file name stays whole.
  std::string longName;
  for (int i = 0; i < 72; ++i) longName += "\xE6\x97\xA5";
  asset = stage(source(longName + ".pdf", 10), staging);
  EXPECT_EQ(asset.filename, longName + ".pdf");
  const std::string copyName = asset.localURL.filePath()->filename().string();
  EXPECT_LE(copyName.size(), 255u);
  EXPECT_TRUE(copyName.ends_with("\xE6\x97\xA5.pdf"));

  // An escaped slash in the source URL cannot move the copy out of the directory.
  fs::create_directory(root_ / "sources" / "sub");
  source("sub/file.txt", 3);
  asset = AssetStager::stage(
      *URL::fromString(URL::fileURL(root_).absoluteString() + "/sources/sub%2Ffile.txt"),
      URL::fileURL(staging), "text/plain", AssetRole::primary);
  EXPECT_EQ(std::tuple(asset.localURL.filePath()->parent_path(), asset.filename),
            std::tuple(staging, "file.txt"));
}

TEST_F(AssetStagerTest, FailuresRaiseTheSystemsErrorAndLeaveNoPartialCopy) {
  const fs::path staging = root_ / "staging";
  const auto expectError = [&](const fs::path& path, std::errc expected) {
    try {
      stage(path, staging);
      ADD_FAILURE() << path << " staged";
    } catch (const fs::filesystem_error& error) {
      EXPECT_EQ(error.code(), expected) << error.what();
    }
  };
  // The directory is created before the copy fails, and stays.
  expectError(root_ / "sources" / "missing.pdf", std::errc::no_such_file_or_directory);
  EXPECT_TRUE(fs::is_directory(staging));

  // A FIFO would block a plain open until some writer came along.
  ASSERT_EQ(::mkfifo((root_ / "pipe").c_str(), 0600), 0);
  expectError(root_ / "pipe", std::errc::not_supported);
  // Reading this file fails at once with EIO, after the copy has been created.
  expectError("/proc/self/mem", std::errc::io_error);
  EXPECT_TRUE(fs::is_empty(staging));

  EXPECT_THROW(AssetStager::stage(*URL::fromString("https://example.com/a.pdf"),
                                  URL::fileURL(root_ / "elsewhere"), "", AssetRole::primary),
               std::invalid_argument);
  EXPECT_FALSE(fs::exists(root_ / "elsewhere"));
}

TEST_F(AssetStagerTest, ACopyCutShortByACrashNeverPassesForAStagedFile) {
  // A process killed by the kernel in the middle of writing, as a crash would leave it: the
  // file-size limit stops the copy after one mebibyte with a signal no handler catches.
  const fs::path original = source("movie.mp4", 3 * kMebibyte);
  const fs::path staging = root_ / "staging";
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const rlimit noCore{0, 0};
    const rlimit fileSize{kMebibyte, kMebibyte};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::setrlimit(RLIMIT_FSIZE, &fileSize);
    try {
      stage(original, staging);
    } catch (...) {
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;

  // What is left is named as unfinished; nothing has a staged copy's name.
  ASSERT_EQ(std::distance(fs::directory_iterator(staging), fs::directory_iterator()), 1);
  const std::string name = fs::directory_iterator(staging)->path().filename().string();
  EXPECT_TRUE(name.starts_with(".") && name.ends_with(".partial")) << name;
}

}  // namespace
}  // namespace kestro
