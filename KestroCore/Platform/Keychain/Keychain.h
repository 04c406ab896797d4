#pragma once

// The keychain stand-in: generic-password items, one per (service, account), with the status
// codes callers act on. `Keychain` is the interface; `SecretServiceKeychain` keeps the items in
// the desktop's Secret Service, `InMemoryKeychain` in the process, `FileKeychain` in a file in
// clear.
//
// Statuses are signed 32-bit codes with the values the macOS Security framework gives the same
// outcomes, so a status reads the same whichever platform reported it. 0 is success; every
// failure is negative and named below. A status never comes with a half-done operation: an
// operation that fails has changed nothing it was asked to change, unless its comment says so.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestro {

inline constexpr std::int32_t kKeychainStatusSuccess = 0;
// No item matches the service and account (errSecItemNotFound).
inline constexpr std::int32_t kKeychainStatusItemNotFound = -25300;
// A service or account that the keychain cannot carry: not UTF-8, or holding a NUL byte
// (errSecParam).
inline constexpr std::int32_t kKeychainStatusInvalidParameter = -50;
// No Secret Service could be reached: no session bus, nobody owning the Secret Service's name
// on it, or the service left the bus during the call (errSecNotAvailable).
inline constexpr std::int32_t kKeychainStatusNotAvailable = -25291;
// The collection that holds (or would hold) the item is locked and was not unlocked: the
// keychain was told not to prompt, or the service left it locked after its prompt
// (errSecInteractionNotAllowed).
inline constexpr std::int32_t kKeychainStatusLocked = -25308;
// The user dismissed the service's prompt: to unlock a collection, or to create the default
// one where there is none. The service reports a prompt it could not show (no display, no
// prompter) as dismissed too, so a headless session gets this status for any locked collection
// (errSecUserCanceled).
inline constexpr std::int32_t kKeychainStatusUserCanceled = -128;
// Any other failure of libsecret or of the Secret Service (errSecInternalError).
inline constexpr std::int32_t kKeychainStatusServiceError = -26276;
// The file keychain's statuses. Its file, or the directory that holds it, is no regular file or
// directory of the user's own (a symbolic link, say), so it is neither read nor written
// (errSecInvalidKeychain).
inline constexpr std::int32_t kKeychainStatusInvalidKeychain = -25295;
// Its file holds something else than the keychain writes: damaged, or written by hand
// (errSecDecode).
inline constexpr std::int32_t kKeychainStatusDecode = -26275;
// The system refused to read or write it: permissions, a full disk (errSecIO).
inline constexpr std::int32_t kKeychainStatusIOError = -36;

// What `copyMatching` returns: the status and, on success, the item's value bytes. A keychain
// may report success without a value; callers must not assume one.
struct KeychainCopyResult {
  std::int32_t status = kKeychainStatusSuccess;
  std::optional<std::string> data{};
  bool operator==(const KeychainCopyResult&) const = default;
};

// Generic-password items addressed by service and account. Values are bytes (std::string used
// as a byte buffer). Implementations are safe to call from several threads at once; none throws
// for a keychain outcome (only std::bad_alloc may escape).
class Keychain {
 public:
  virtual ~Keychain() = default;

  // Stores `data` as the value for (service, account). An item already there keeps its place
  // and gets the new value in the same step, so a failed add leaves the earlier value as it was.
  // 0, or a failure status.
  virtual std::int32_t add(std::string_view service, std::string_view account,
                           std::string_view data) = 0;
  // The value of the item for (service, account): status 0 with the bytes, or
  // kKeychainStatusItemNotFound, or a failure status. Never "not found" when the keychain could
  // not be asked.
  virtual KeychainCopyResult copyMatching(std::string_view service, std::string_view account) = 0;
  // Removes every item for (service, account). 0, kKeychainStatusItemNotFound when there was
  // none, or a failure status.
  virtual std::int32_t deleteMatching(std::string_view service, std::string_view account) = 0;
};

// Whether `value` can be a service or account: well-formed UTF-8 without NUL, since the Secret
// Service carries attributes as D-Bus strings.
bool isValidKeychainAttribute(std::string_view value) noexcept;

}  // namespace kestro
