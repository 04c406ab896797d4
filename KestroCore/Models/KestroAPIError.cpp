#include "KestroCore/Models/KestroAPIError.h"

#include <utility>

namespace kestro {
namespace {

const std::string kNetworkError = "NETWORK_ERROR";
const std::string kLocalFileError = "LOCAL_FILE_ERROR";
const std::string kInvalidResponse = "INVALID_RESPONSE";

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

std::string describe(const KestroAPIError::Case& value) {
  return std::visit(
      Overloaded{
          [](const KestroAPIError::Server& e) {
            return e.code + ": " + e.message + " (trace " + e.traceId + ")";
          },
          [](const KestroAPIError::Transport& e) { return kNetworkError + ": " + e.description; },
          [](const KestroAPIError::LocalFile& e) { return kLocalFileError + ": " + e.message; },
          [](const KestroAPIError::InvalidResponse&) { return kInvalidResponse; },
      },
      value);
}

}  // namespace

KestroAPIError::KestroAPIError(Case value) : VariantError(std::move(value), describe) {}

KestroAPIError KestroAPIError::server(std::string code, std::string message, bool retryable,
                                      std::string traceId) {
  return KestroAPIError(Server{std::move(code), std::move(message), retryable, std::move(traceId)});
}

KestroAPIError KestroAPIError::transport(std::string description) {
  return KestroAPIError(Transport{std::move(description)});
}

KestroAPIError KestroAPIError::localFile(std::string message) {
  return KestroAPIError(LocalFile{std::move(message)});
}

KestroAPIError KestroAPIError::invalidResponse() { return KestroAPIError(InvalidResponse{}); }

const std::string& KestroAPIError::code() const noexcept {
  return std::visit(
      Overloaded{
          [](const Server& e) -> const std::string& { return e.code; },
          [](const Transport&) -> const std::string& { return kNetworkError; },
          [](const LocalFile&) -> const std::string& { return kLocalFileError; },
          [](const InvalidResponse&) -> const std::string& { return kInvalidResponse; },
      },
      value());
}

bool KestroAPIError::retryable() const noexcept {
  if (const auto* server = as<Server>()) return server->retryable;
  return is<Transport>();
}

}  // namespace kestro
