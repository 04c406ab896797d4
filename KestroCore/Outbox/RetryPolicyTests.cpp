#include "KestroCore/Outbox/RetryPolicy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace kestro {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kLargestAttempt = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kSmallestAttempt = std::numeric_limits<std::int64_t>::min();

TEST(RetryPolicyTest, BackoffIsCappedBeforeTheJitterFactor) {
  const RetryPolicy policy(2, 60);
  struct Case {
    std::int64_t attempt;
    double jitter;
    double expected;
  };
  const Case cases[] = {
      {0, 0.5, 2},
      {1, 0.5, 4},
      {4, 0.5, 32},
      {5, 0.5, 60},  // 64, capped
      {100, 0.5, 60},
      // Jitter is clamped to [0, 1]; the factor runs from 0.75 to 1.25.
      {0, 0, 1.5},
      {0, 1, 2.5},
      {0, 0.25, 1.75},
      {0, -3, 1.5},
      {0, -0.0, 1.5},
      {0, -kInfinity, 1.5},
      {0, 7, 2.5},
      {0, kInfinity, 2.5},
      // The factor applies after the cap, so a delay may pass the maximum.
      {5, 1, 75},
      {5, 0, 45},
      // A negative attempt counts as the first.
      {-4, 0.5, 2},
      {kSmallestAttempt, 0.5, 2},
      // 2^attempt is infinite: the maximum, still scaled.
      {5000, 0.5, 60},
      {5000, 1, 75},
      {kLargestAttempt, 0, 45},
      // A NaN jitter means no jitter rather than a NaN delay.
      {0, kNaN, 2},
      {5000, kNaN, 60},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(policy.delay(c.attempt, c.jitter), c.expected)
        << "attempt " << c.attempt << ", jitter " << c.jitter;
  }
}

TEST(RetryPolicyTest, ParametersAreTakenAsGiven) {
  // A zero base means "retry at once" for every attempt, even where 2^attempt is infinite.
  const RetryPolicy immediate(0, 60);
  EXPECT_EQ(immediate.delay(3, 0.5), 0);
  EXPECT_EQ(immediate.delay(5000, 1), 0);

  // A raw delay equal to the maximum is the maximum; no ceiling at all is the caller's choice.
  EXPECT_DOUBLE_EQ(RetryPolicy(2, 64).delay(5, 0.5), 64);
  EXPECT_DOUBLE_EQ(RetryPolicy(2, kInfinity).delay(10, 0.5), 2048);
  EXPECT_EQ(RetryPolicy(2, kInfinity).delay(5000, 0.5), kInfinity);

  // No validation: a negative parameter goes through the same arithmetic.
  EXPECT_DOUBLE_EQ(RetryPolicy(-2, 60).delay(1, 0.5), -4);
}

}  // namespace
}  // namespace kestro
