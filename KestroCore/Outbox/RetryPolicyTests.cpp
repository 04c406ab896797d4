#include "KestroCore/Outbox/RetryPolicy.h"

#include <gtest/gtest.h>

#include <limits>

namespace kestro {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(RetryPolicyTest, BackoffIsCappedBeforeTheJitterFactor) {
  const RetryPolicy policy(2, 60);
  // clang-format off
  const struct {
    std::int64_t attempt;
    double jitter, expected;
  } cases[] = {
      {0, 0.5, 2}, {4, 0.5, 32}, {5, 0.5, 60},  // 64, capped
      // Jitter is clamped to [0, 1]; the factor runs from 0.75 to 1.25. NaN means no jitter.
      {0, 0.25, 1.75}, {0, -kInfinity, 1.5}, {0, 7, 2.5}, {0, kNaN, 2},
      // The factor applies after the cap, so a delay may pass the maximum.
      {5, 1, 75}, {5, 0, 45},
      // A negative attempt counts as the first; where 2^attempt is infinite, the maximum.
      {std::numeric_limits<std::int64_t>::min(), 0.5, 2}, {5000, 0.5, 60},
      {std::numeric_limits<std::int64_t>::max(), 0, 45},
  };
  // clang-format on
  for (const auto& [attempt, jitter, expected] : cases) {
    EXPECT_DOUBLE_EQ(policy.delay(attempt, jitter), expected)
        << "attempt " << attempt << ", jitter " << jitter;
  }
}

TEST(RetryPolicyTest, ParametersAreTakenAsGiven) {
  // A zero base means "retry at once" for every attempt, even where 2^attempt is infinite.
  EXPECT_EQ(RetryPolicy(0, 60).delay(3, 0.5), 0);
  EXPECT_EQ(RetryPolicy(0, 60).delay(5000, 1), 0);
  // A raw delay equal to the maximum is the maximum; no ceiling at all is the caller's choice.
  EXPECT_DOUBLE_EQ(RetryPolicy(2, 64).delay(5, 0.5), 64);
  EXPECT_DOUBLE_EQ(RetryPolicy(2, kInfinity).delay(10, 0.5), 2048);
  EXPECT_EQ(RetryPolicy(2, kInfinity).delay(5000, 0.5), kInfinity);
}

}  // namespace
}  // namespace kestro
