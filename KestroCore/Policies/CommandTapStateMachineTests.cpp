#include "KestroCore/Policies/CommandTapStateMachine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace kestro {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum class Event { down, up, tap, otherKey, reset };

constexpr auto none = CommandTapAction::none;
constexpr auto capture = CommandTapAction::capture;
constexpr auto upgrade = CommandTapAction::upgradeToComposer;

struct Step {
  Event event;
  double at;
  CommandTapAction expected = none;

  CommandTapAction playOn(CommandTapStateMachine& machine) const {
    if (event == Event::down || event == Event::up) {
      return machine.commandChanged(event == Event::down, at);
    }
    if (event == Event::tap) return machine.recordCommandTap(at);
    if (event == Event::otherKey) machine.recordNonModifierKeyDown();
    if (event == Event::reset) machine.reset();
    return none;
  }
};

// Plays each timeline on a fresh machine (interval 0.4, press duration 0.3).
void playAll(const std::vector<std::pair<const char*, std::vector<Step>>>& timelines) {
  for (const auto& [scenario, steps] : timelines) {
    CommandTapStateMachine machine(0.4, 0.3);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(steps[i].playOn(machine), steps[i].expected) << scenario << ", step " << i;
    }
  }
}

using enum Event;

// One timeline per line: the steps read as the key events happen.
// clang-format off
TEST(CommandTapStateMachineTest, QuickTapsCaptureAndUpgradeAndOtherPressesBreakTheSequence) {
  playAll({
      {"triple tap, then a fourth starts over",
       {{down, 0.0}, {up, 0.1}, {down, 0.2}, {up, 0.3, capture}, {down, 0.4}, {up, 0.5, upgrade},
        {down, 0.6}, {up, 0.7}, {down, 0.8}, {up, 0.9, capture}}},
      {"a key typed while Command is up keeps the sequence",
       {{down, 0.0}, {up, 0.1}, {otherKey, 0.15}, {down, 0.2}, {up, 0.3, capture}}},
      {"taps stamped out of order still count",
       {{tap, 1.0}, {tap, 0.2, capture}, {tap, -5.0, upgrade}}},
      // Presses that are no taps break the sequence.
      {"held too long forgets the earlier tap",
       {{down, 0.0}, {up, 0.05}, {down, 0.06}, {up, 0.37}, {down, 0.38}, {up, 0.4},
        {down, 0.45}, {up, 0.5, capture}}},
      {"a shortcut is no tap and resets",
       {{down, 0.0}, {up, 0.1}, {down, 0.15}, {otherKey, 0.2}, {up, 0.25}, {down, 0.3}, {up, 0.35},
        {down, 0.4}, {up, 0.45, capture}}},
      {"a second press while held keeps the first press time",
       {{down, 0.0}, {down, 0.2}, {up, 0.35}, {down, 0.4}, {up, 0.45}}},
      {"reset forgets the tap and a held Command",
       {{down, 0.0}, {up, 0.1}, {down, 0.15}, {reset, 0.2}, {up, 0.25}, {down, 0.3}, {up, 0.35},
        {down, 0.4}, {up, 0.45, capture}}},
  });
}

TEST(CommandTapStateMachineTest, LimitsAreInclusiveAndNaNTimesNeverCount) {
  playAll({
      // 0.3 - 0.0 and 0.4 - 0.0 are exactly the limits in floating point.
      {"press exactly maximumPressDuration", {{down, 0.0}, {up, 0.3}, {tap, 0.5, capture}}},
      {"press just over", {{down, 0.0}, {up, std::nextafter(0.3, 1.0)}, {tap, 0.5}}},
      {"gap exactly maximumInterval", {{tap, 0.0}, {tap, 0.4, capture}}},
      {"gap just over", {{tap, 0.0}, {tap, std::nextafter(0.4, 1.0)}, {tap, 0.5, capture}}},
      {"pressed at NaN is no tap",
       {{down, kNaN}, {up, 0.1}, {down, 0.2}, {up, 0.3}, {down, 0.35}, {up, 0.4, capture}}},
      {"a tap at NaN starts a sequence nothing continues",
       {{tap, 0.1}, {tap, kNaN}, {tap, 0.2}, {tap, 0.3, capture}}},
  });
}
// clang-format on

}  // namespace
}  // namespace kestro
