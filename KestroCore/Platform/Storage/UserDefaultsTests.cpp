#include "KestroCore/Platform/Storage/UserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "Testing/TemporaryDirectory.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

class UserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = temporary_.path(); }

  UserDirectories directories() const {
    return UserDirectories(root_ / "config", root_ / "data", root_ / "tmp");
  }
  UserDefaults suite(const std::string& name = "group.test") const {
    return UserDefaults::suite(name, directories()).value();
  }
  std::string contents(const fs::path& path) const {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
  }

  testsupport::TemporaryDirectory temporary_{"kestro-defaults"};
  fs::path root_;
};

TEST_F(UserDefaultsTest, ValuesLiveInOneJSONFilePerSuiteAndAreReadAfresh) {
  const UserDefaults writer = suite();
  const UserDefaults reader = suite();
  EXPECT_EQ(reader.string("key"), std::nullopt);
  EXPECT_FALSE(fs::exists(root_ / "config"));  // reading creates nothing

  writer.set("one", "key");
  EXPECT_EQ(reader.string("key"), "one");
  writer.removeObject("key");
  EXPECT_EQ(reader.string("key"), std::nullopt);

  writer.set("value", "kept");
  EXPECT_EQ(writer.filePath(), root_ / "config" / "group.test.json");
  EXPECT_EQ(contents(*writer.filePath()), "{\n  \"kept\": \"value\"\n}\n");
  struct stat status;
  ASSERT_EQ(::stat(writer.filePath()->c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((root_ / "config").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0077, 0u);
  // Nothing but the suite, its lock and the directory is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "config"), fs::directory_iterator()), 2);
}

TEST_F(UserDefaultsTest, WhatTheFileHoldsIsKeptOrReportedButNeverLost) {
  fs::create_directories(root_ / "config");
  const fs::path file = root_ / "config" / "group.test.json";
  // Values of other kinds are no strings, and survive writes.
  std::ofstream(file) << R"({"count": 3, "flag": true, "name": "x", "nested": {"a": [1, 2]}})";
  EXPECT_EQ(suite().string("count"), std::nullopt);
  suite().set("y", "name");
  EXPECT_EQ(
      contents(file),
      "{\n  \"count\": 3,\n  \"flag\": true,\n  \"name\": \"y\",\n  \"nested\": {\n    \"a\": [\n"
      "      1,\n      2\n    ]\n  }\n}\n");

  for (const std::string damaged : {"{\"key\": \"val", "[\"not\", \"an\", \"object\"]"}) {
    SCOPED_TRACE(damaged);
    std::ofstream(file, std::ios::trunc) << damaged;
    EXPECT_THROW(suite().string("key"), UserDefaultsError);
    EXPECT_THROW(suite().set("value", "key"), UserDefaultsError);
    EXPECT_EQ(contents(file), damaged);
  }
  // An empty file is an empty suite, as one made by `touch`.
  std::ofstream(file, std::ios::trunc) << "";
  suite().set("value", "key");
  EXPECT_EQ(suite().string("key"), "value");
  // Text that JSON cannot carry is refused before anything is touched.
  EXPECT_THROW(suite().set("\xff", "key"), std::invalid_argument);
  EXPECT_EQ(suite().string("key"), "value");
}

TEST_F(UserDefaultsTest, TwoProcessesWritingAtOnceNeverLoseEachOthersKeysNorMakeTwoValues) {
  constexpr int kWrites = 150;
  const auto writeMany = [this](const std::string& prefix) {
    const UserDefaults defaults = suite();
    for (int i = 0; i < kWrites; ++i) {
      defaults.set(std::to_string(i), prefix + std::to_string(i));
      // Everyone keeps rewriting one shared key too, so the two really contend.
      defaults.set(prefix, "last-writer");
      // Of the two that find no value, one makes it and both get that one.
      const std::string device = defaults.stringOrSet(
          "device-" + std::to_string(i), [](const std::string& value) { return !value.empty(); },
          [&] { return prefix; });
      defaults.set(device, prefix + "saw-" + std::to_string(i));
    }
  };
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    writeMany("child-");  // an exception ends the child abnormally, which the parent sees
    ::_exit(0);
  }
  writeMany("parent-");
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const UserDefaults defaults = suite();
  for (int i = 0; i < kWrites; ++i) {
    EXPECT_EQ(defaults.string("child-" + std::to_string(i)), std::to_string(i));
    EXPECT_EQ(defaults.string("parent-" + std::to_string(i)), std::to_string(i));
    const auto device = defaults.string("device-" + std::to_string(i));
    EXPECT_EQ(defaults.string("child-saw-" + std::to_string(i)), device);
    EXPECT_EQ(defaults.string("parent-saw-" + std::to_string(i)), device);
  }
}

TEST_F(UserDefaultsTest, SuitesThatCannotBeOpenedFallBackToTheStandardOne) {
  // A name whose replacement file would be too long is refused; the longest one that fits is
  // written and read back.
  for (const std::string& name : std::vector<std::string>{"", "..", "a/b", std::string(210, 'a')}) {
    EXPECT_FALSE(UserDefaults::suite(name, directories())) << name;
  }
  const std::optional<UserDefaults> longest =
      UserDefaults::suite(std::string(209, 'a'), directories());
  ASSERT_TRUE(longest);
  longest->set("value", "key");
  EXPECT_EQ(longest->string("key"), "value");
  const UserDirectories homeless(std::nullopt, std::nullopt, "/tmp");
  EXPECT_FALSE(UserDefaults::suite("group.test", homeless));

  // The standard suite is the program's own, beside the others.
  const UserDefaults standard = UserDefaults::standard(directories());
  EXPECT_EQ(standard.filePath(),
            root_ / "config" / (std::string(program_invocation_short_name) + ".json"));

  // Without a configuration home it lives in memory, one for the whole process.
  UserDefaults::standard(homeless).set("remembered", "key");
  EXPECT_EQ(UserDefaults::standard(homeless).filePath(), std::nullopt);
  EXPECT_EQ(UserDefaults::standard(homeless).string("key"), "remembered");
}

}  // namespace
}  // namespace kestro
