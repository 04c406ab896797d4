#pragma once

#include <optional>

namespace kestro {

// The decision after a Command key event. Equality and std::hash come with the enumeration.
enum class CommandTapAction { none, capture, upgradeToComposer };

// Turns Command key changes, other key presses and their times into capture requests: two quick
// taps of Command alone ask for a capture, a third asks to open that capture in the composer.
// It reads no clock; the caller stamps every event, in one unit of its choice for the times and
// both limits. A plain value with no locking: one owner feeds it from one thread, in time order.
//
// Between calls the sequence holds 0, 1 or 2 counted taps, and a time of the last tap exactly
// when it holds at least one. A time or gap that is not a number never counts: the press is no
// tap, or the tap starts a new sequence.
class CommandTapStateMachine {
 public:
  // `maximumInterval`: the longest gap between the ends of two taps that still continues a
  // sequence. `maximumPressDuration`: the longest time Command may be held for a tap.
  CommandTapStateMachine(double maximumInterval, double maximumPressDuration) noexcept
      : maximumInterval(maximumInterval), maximumPressDuration(maximumPressDuration) {}

  double maximumInterval;
  double maximumPressDuration;

  // Command went down (`isDown`) or up at time `at`. A release that ends a short press of
  // Command alone is a tap (see `recordCommandTap`); any other release breaks the sequence.
  // Repeating the current state (down while down, up while up) changes nothing.
  CommandTapAction commandChanged(bool isDown, double at) noexcept;

  // Counts a tap ending at `at`: `capture` for the second tap within `maximumInterval` of the
  // previous one, `upgradeToComposer` for the third (which ends the sequence), `none` otherwise.
  // A tap stamped earlier than the previous one continues the sequence.
  CommandTapAction recordCommandTap(double at) noexcept;

  // A key other than a modifier went down. While Command is held, this makes the press a
  // shortcut and breaks the sequence; otherwise it changes nothing.
  void recordNonModifierKeyDown() noexcept;

  // Forgets everything except the two limits.
  void reset() noexcept;

  // Compares the limits and the whole state. A machine holding a time that is not a number is
  // equal to no machine, itself included.
  bool operator==(const CommandTapStateMachine&) const = default;

 private:
  void resetSequence() noexcept;

  std::optional<double> lastTap_;
  int count_ = 0;
  bool commandIsDown_ = false;
  bool commandWasUsedInShortcut_ = false;
  std::optional<double> commandDownAt_;
};

}  // namespace kestro
