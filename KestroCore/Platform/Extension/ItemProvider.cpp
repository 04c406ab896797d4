#include "KestroCore/Platform/Extension/ItemProvider.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>

#include "KestroCore/Platform/UniformTypes/UTType.h"

namespace kestro {
namespace {

// Calls `completion` the first time only, so that a handler that delivers twice, or throws after
// delivering, cannot resume the loader a second time.
template <class Completion>
class OnceCompletion {
 public:
  explicit OnceCompletion(Completion completion) : completion_(std::move(completion)) {}

  template <class Value>
  void operator()(std::optional<Value> value, std::exception_ptr error) {
    if (called_.exchange(true)) return;
    completion_(std::move(value), std::move(error));
  }

 private:
  Completion completion_;
  std::atomic<bool> called_{false};
};

template <class Value, class Handler, class Completion>
void runLoad(const Handler& handler, Completion completion, const std::string& typeIdentifier) {
  // Shared with the completion handed out: a handler may keep it and call it after returning.
  const auto once = std::make_shared<OnceCompletion<Completion>>(std::move(completion));
  const Completion deliver = [once](std::optional<Value> value, std::exception_ptr error) {
    (*once)(std::move(value), std::move(error));
  };
  if (handler) {
    try {
      handler(deliver);
    } catch (...) {
      (*once)(std::optional<Value>(), std::current_exception());
    }
  }
  (*once)(std::optional<Value>(),
          std::make_exception_ptr(ItemProviderError(
              (handler ? "nothing was delivered for " : "no representation of type ") +
              typeIdentifier)));
}

}  // namespace

ItemProvider::~ItemProvider() {
  for (std::thread& thread : threads_) thread.join();
}

void ItemProvider::registerItem(std::string typeIdentifier, ItemLoadHandler handler) {
  registrations_.push_back({std::move(typeIdentifier), std::move(handler), nullptr});
}

void ItemProvider::registerFileRepresentation(std::string typeIdentifier, FileLoadHandler handler) {
  registrations_.push_back({std::move(typeIdentifier), nullptr, std::move(handler)});
}

std::vector<std::string> ItemProvider::registeredTypeIdentifiers() const {
  std::vector<std::string> identifiers;
  for (const Registration& registration : registrations_) {
    if (std::find(identifiers.begin(), identifiers.end(), registration.typeIdentifier) ==
        identifiers.end()) {
      identifiers.push_back(registration.typeIdentifier);
    }
  }
  return identifiers;
}

bool ItemProvider::hasItemConformingToTypeIdentifier(std::string_view typeIdentifier) const {
  const std::optional<UTType> wanted = UTType::fromIdentifier(typeIdentifier);
  return std::any_of(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
    if (r.typeIdentifier == typeIdentifier) return true;
    const std::optional<UTType> offered = UTType::fromIdentifier(r.typeIdentifier);
    return wanted && offered && offered->conforms(*wanted);
  });
}

template <class Handler>
Handler ItemProvider::find(std::string_view typeIdentifier, Handler Registration::*handler) const {
  for (const Registration& registration : registrations_) {
    if (registration.*handler && registration.typeIdentifier == typeIdentifier) {
      return registration.*handler;
    }
  }
  const std::optional<UTType> wanted = UTType::fromIdentifier(typeIdentifier);
  if (!wanted) return nullptr;
  std::vector<std::pair<const Registration*, UTType>> known;
  for (const Registration& registration : registrations_) {
    if (!(registration.*handler)) continue;
    if (auto offered = UTType::fromIdentifier(registration.typeIdentifier)) {
      known.emplace_back(&registration, std::move(*offered));
    }
  }
  for (const auto& [registration, offered] : known) {
    if (offered == *wanted) return registration->*handler;
  }
  for (const auto& [registration, offered] : known) {
    if (offered.conforms(*wanted)) return registration->*handler;
  }
  return nullptr;
}

void ItemProvider::start(std::function<void()> work) {
  const std::lock_guard lock(threadsMutex_);
  threads_.emplace_back(std::move(work));
}

void ItemProvider::loadItem(std::string_view typeIdentifier, ItemCompletion completion) {
  start([handler = find(typeIdentifier, &Registration::item), completion = std::move(completion),
         type = std::string(typeIdentifier)]() mutable {
    runLoad<Item>(handler, std::move(completion), type);
  });
}

void ItemProvider::loadFileRepresentation(std::string_view typeIdentifier,
                                          FileCompletion completion) {
  start([handler = find(typeIdentifier, &Registration::file), completion = std::move(completion),
         type = std::string(typeIdentifier)]() mutable {
    runLoad<URL>(handler, std::move(completion), type);
  });
}

}  // namespace kestro
