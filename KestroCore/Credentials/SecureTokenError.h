#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <variant>

namespace kestro {

// The one error of the token store: a keychain call returned a status that the operation does
// not accept. It carries the raw status (see Platform/Keychain/Keychain.h for the ones the
// keychains give) and no message of its own. Values compare by case and payload, are plain, and
// may cross threads.
class SecureTokenError : public std::exception {
 public:
  struct UnexpectedStatus {
    std::int32_t status;
    bool operator==(const UnexpectedStatus&) const = default;
  };

  using Case = std::variant<UnexpectedStatus>;

  static SecureTokenError unexpectedStatus(std::int32_t status);

  const Case& value() const noexcept { return case_; }
  // The case's payload, or null when the error is of another case.
  template <class C>
  const C* as() const noexcept {
    return std::get_if<C>(&case_);
  }

  // "unexpected keychain status -25308": for logs and command lines, not for users.
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const SecureTokenError& other) const noexcept { return case_ == other.case_; }

 private:
  explicit SecureTokenError(Case value);

  Case case_;
  std::string description_;
};

}  // namespace kestro
