#include "KestroCore/Models/KestroAPIError.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

TEST(KestroAPIErrorTest, CodeAndRetryableFollowTheCase) {
  const struct {
    KestroAPIError error;
    const char* code;
    bool retryable;
  } cases[] = {
      // The server's own code and flag win, even when the code looks like one of ours.
      {KestroAPIError::server("NETWORK_ERROR", "m", false, "t"), "NETWORK_ERROR", false},
      {KestroAPIError::server("RATE_LIMITED", "slow down", true, "t-1"), "RATE_LIMITED", true},
      {KestroAPIError::transport("Connection refused"), "NETWORK_ERROR", true},
      {KestroAPIError::localFile("No supported share item"), "LOCAL_FILE_ERROR", false},
      {KestroAPIError::invalidResponse(), "INVALID_RESPONSE", false},
  };
  for (const auto& [error, code, retryable] : cases) {
    EXPECT_EQ(error.code(), code);
    EXPECT_EQ(error.retryable(), retryable) << code;
  }
}

}  // namespace
}  // namespace kestro
