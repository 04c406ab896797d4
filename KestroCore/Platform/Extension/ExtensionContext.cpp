#include "KestroCore/Platform/Extension/ExtensionContext.h"

#include <stdexcept>
#include <utility>

namespace kestro {

ExtensionContext::ExtensionContext(std::vector<InputItem> inputItems)
    : inputItems_(std::move(inputItems)) {}

void ExtensionContext::completeRequest(std::vector<ExtensionItem> returningItems) {
  end(Outcome{std::move(returningItems), nullptr});
}

void ExtensionContext::cancelRequest(std::exception_ptr error) {
  if (!error) throw std::invalid_argument("ExtensionContext: a request is cancelled with an error");
  end(Outcome{{}, std::move(error)});
}

void ExtensionContext::end(Outcome outcome) {
  {
    const std::lock_guard lock(mutex_);
    if (outcome_) throw std::logic_error("ExtensionContext: the request has already ended");
    outcome_ = std::move(outcome);
  }
  ended_.notify_all();
}

std::optional<ExtensionContext::Outcome> ExtensionContext::outcome() const {
  const std::lock_guard lock(mutex_);
  return outcome_;
}

ExtensionContext::Outcome ExtensionContext::waitUntilRequestEnds() const {
  std::unique_lock lock(mutex_);
  ended_.wait(lock, [this] { return outcome_.has_value(); });
  return *outcome_;
}

}  // namespace kestro
