#include "KestroCore/Credentials/SecureTokenError.h"

#include <utility>

namespace kestro {

SecureTokenError::SecureTokenError(Case value)
    : case_(std::move(value)),
      description_("unexpected keychain status " +
                   std::to_string(std::get<UnexpectedStatus>(case_).status)) {}

SecureTokenError SecureTokenError::unexpectedStatus(std::int32_t status) {
  return SecureTokenError(UnexpectedStatus{status});
}

}  // namespace kestro
