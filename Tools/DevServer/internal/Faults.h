#pragma once

// The armed fault rules and how a request takes one. Guarded by a mutex of its own.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Tools/DevServer/DevServer.h"

namespace kestro::devserver {

class FaultBook {
 public:
  void add(FaultRule rule);
  void clear();
  // The first armed rule that matches the request, with one use taken from it.
  std::optional<FaultRule> take(const std::string& method, const std::string& path,
                                const std::string& route);
  // The rules still armed, as a JSON array in the form they are given in.
  std::string listJSON() const;

 private:
  mutable std::mutex mutex_;
  std::vector<FaultRule> rules_;
};

}  // namespace kestro::devserver
