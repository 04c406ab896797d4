#include "KestroCore/Foundation/SHA256.h"

#include <gtest/gtest.h>

#include <string>

namespace kestro {
namespace {

TEST(SHA256Test, KnownDigestsWholeOrInPieces) {
  // FIPS 180-2's examples.
  EXPECT_EQ(SHA256Digest::hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(SHA256Digest::hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  SHA256Digest pieces;
  for (char byte : message) pieces.update(std::string(1, byte));
  EXPECT_EQ(pieces.finishHex(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace kestro
