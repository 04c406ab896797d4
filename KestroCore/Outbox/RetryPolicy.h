#pragma once

#include <cstdint>

namespace kestro {

// How long a failed outbox record waits before its next attempt: exponential backoff from
// `baseDelay`, capped at `maximumDelay`, then scaled by a jitter factor between 0.75 and 1.25.
// The cap comes before the jitter, so a delay may exceed `maximumDelay` by up to a quarter.
// A plain value; the owner of the processor picks both parameters and nothing validates them
// (a negative or NaN parameter gives whatever the arithmetic gives).
struct RetryPolicy {
  RetryPolicy(double baseDelay, double maximumDelay) noexcept
      : baseDelay(baseDelay), maximumDelay(maximumDelay) {}

  double baseDelay;     // seconds; the delay of attempt 0
  double maximumDelay;  // seconds; the ceiling applied before the jitter factor

  // The wait in seconds before attempt `attempt` (0 for the first retry):
  // min(baseDelay × 2^attempt, maximumDelay) × (0.75 + 0.5 × jitter). A negative attempt counts
  // as 0; jitter is clamped to [0, 1], and a NaN jitter counts as 0.5 (no jitter at all), so a
  // broken random source cannot turn the delay into NaN. An attempt so large that 2^attempt is
  // infinite gives the capped delay.
  double delay(std::int64_t attempt, double jitter) const noexcept;

  bool operator==(const RetryPolicy&) const = default;
};

}  // namespace kestro
