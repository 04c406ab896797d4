#include "KestroCore/Credentials/SecureTokenError.h"

#include <string>
#include <utility>

namespace kestro {

SecureTokenError::SecureTokenError(Case value)
    : VariantError(std::move(value), [](const Case& status) {
        return "unexpected keychain status " +
               std::to_string(std::get<UnexpectedStatus>(status).status);
      }) {}

SecureTokenError SecureTokenError::unexpectedStatus(std::int32_t status) {
  return SecureTokenError(UnexpectedStatus{status});
}

}  // namespace kestro
