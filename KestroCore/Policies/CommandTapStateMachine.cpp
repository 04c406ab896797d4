#include "KestroCore/Policies/CommandTapStateMachine.h"

namespace kestro {

// Every limit test below is written as the plain comparison that must hold for the event to
// count, so a NaN (in a time or in a limit) fails it: a NaN never counts as a tap nor continues
// a sequence. Negating the opposite test instead would let NaN through.

CommandTapAction CommandTapStateMachine::commandChanged(bool isDown, double at) noexcept {
  if (isDown) {
    if (commandIsDown_) return CommandTapAction::none;  // key repeat, or a lost release
    commandIsDown_ = true;
    commandWasUsedInShortcut_ = false;
    commandDownAt_ = at;
    return CommandTapAction::none;
  }

  if (!commandIsDown_) return CommandTapAction::none;
  commandIsDown_ = false;
  const std::optional<double> downAt = commandDownAt_;
  commandDownAt_.reset();

  if (!commandWasUsedInShortcut_ && downAt) {
    const double held = at - *downAt;
    // A negative duration means the caller's clock went backwards; that press proves nothing.
    if (held >= 0 && held <= maximumPressDuration) return recordCommandTap(at);
  }
  resetSequence();
  commandWasUsedInShortcut_ = false;
  return CommandTapAction::none;
}

CommandTapAction CommandTapStateMachine::recordCommandTap(double at) noexcept {
  if (lastTap_ && at - *lastTap_ <= maximumInterval) {
    ++count_;
    lastTap_ = at;
    if (count_ == 2) return CommandTapAction::capture;
    if (count_ == 3) {
      resetSequence();
      return CommandTapAction::upgradeToComposer;
    }
    return CommandTapAction::none;  // unreachable while count_ stays within 0...2
  }
  count_ = 1;
  lastTap_ = at;
  return CommandTapAction::none;
}

void CommandTapStateMachine::recordNonModifierKeyDown() noexcept {
  // A key typed while Command is up belongs to no shortcut, so a sequence in progress survives.
  if (!commandIsDown_) return;
  commandWasUsedInShortcut_ = true;
  resetSequence();
}

void CommandTapStateMachine::reset() noexcept {
  commandIsDown_ = false;
  commandWasUsedInShortcut_ = false;
  commandDownAt_.reset();
  resetSequence();
}

void CommandTapStateMachine::resetSequence() noexcept {
  count_ = 0;
  lastTap_.reset();
}

}  // namespace kestro
