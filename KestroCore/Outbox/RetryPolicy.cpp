#include "KestroCore/Outbox/RetryPolicy.h"

#include <cmath>

namespace kestro {

double RetryPolicy::delay(std::int64_t attempt, double jitter) const noexcept {
  // NaN fails every comparison, so without this it would pass the clamps and poison the result.
  if (std::isnan(jitter)) jitter = 0.5;
  if (jitter <= 0) jitter = 0;
  if (jitter > 1) jitter = 1;
  if (attempt < 0) attempt = 0;

  // Beyond attempt 1023 the power is infinite. A zero base must still give zero: 0 × ∞ is NaN,
  // which the cap below would turn into maximumDelay.
  const double raw =
      baseDelay == 0 ? baseDelay : baseDelay * std::exp2(static_cast<double>(attempt));
  const double capped = raw < maximumDelay ? raw : maximumDelay;
  return (0.75 + 0.5 * jitter) * capped;
}

}  // namespace kestro
