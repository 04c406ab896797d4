#include "KestroCore/Foundation/DynamicLibrary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace kestro {
namespace {

TEST(DynamicLibraryTest, ResolvesAFunctionOfTheLibraryOrOfItsDependenciesAndNamesWhatIsMissing) {
  // GIO depends on GLib: GLib's functions are found through GIO's handle.
  const DynamicLibrary gio("libgio-2.0.so.0");
  long (*length)(const char*, long) = nullptr;
  gio.resolve("g_utf8_strlen", length);
  ASSERT_NE(length, nullptr);
  EXPECT_EQ(length("h\xC3\xA9", -1), 2);

  try {
    DynamicLibrary library("libkestro-no-such-library.so.9");
    FAIL() << "loaded a library that does not exist";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::strstr(error.what(), "cannot load libkestro-no-such-library.so.9"), nullptr);
  }
  const DynamicLibrary library("libz.so.1");
  void (*missing)() = nullptr;
  try {
    library.resolve("kestro_no_such_function", missing);
    FAIL() << "resolved a function that does not exist";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "libz.so.1 has no kestro_no_such_function");
  }
}

}  // namespace
}  // namespace kestro
