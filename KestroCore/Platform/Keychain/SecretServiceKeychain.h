#pragma once

#include "KestroCore/Platform/Keychain/Keychain.h"

namespace kestro {

// Whether the keychain may have the Secret Service show its unlock prompt when an item or the
// collection to store in is locked.
enum class KeychainInteraction {
  allowed,     // prompt, as desktop programs do; a dismissed prompt is kKeychainStatusUserCanceled
  notAllowed,  // never prompt; a locked collection is kKeychainStatusLocked at once
};

// The keychain on the desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC), through
// libsecret on the session bus.
//
// Items carry the attributes "service" and "account" and the schema name "org.kestro.Token"
// (libsecret's "xdg:schema" attribute). Lookups match on service and account alone, whatever
// the schema, so an item stored by another program with those two attributes (`secret-tool
// store --label=... service S account A`, say) is found, replaced and deleted like our own, and
// ours are found by `secret-tool lookup service S account A`. New items go into the default
// collection, labelled "<service> (<account>)"; an item that exists already gets its new value
// in place, in whatever collection it lives.
//
// Every call connects to the service anew and keeps nothing, so the object holds no state but
// its interaction setting and may be shared by threads. A call waits for the service's replies
// (libsecret's D-Bus timeout, 25 seconds each) and, when it prompts, for the user's answer for
// at most five minutes; it prints nothing.
//
// What it does not guarantee: the Secret Service decides who may read the items and where they
// are kept; an item that several programs share may be changed by them between two calls.
class SecretServiceKeychain final : public Keychain {
 public:
  explicit SecretServiceKeychain(KeychainInteraction interaction = KeychainInteraction::allowed)
      : interaction_(interaction) {}

  // Replaces the value of every item for (service, account); without one, creates one in the
  // default collection (creating that collection, with the service's prompt, if there is none).
  // Locked items or a locked collection are unlocked first, as the interaction setting allows.
  std::int32_t add(std::string_view service, std::string_view account,
                   std::string_view data) override;
  // Locked items are unlocked first, as the interaction setting allows: a locked item is never
  // reported as missing.
  KeychainCopyResult copyMatching(std::string_view service, std::string_view account) override;
  // Locked items are unlocked first, as the interaction setting allows. Should deleting fail
  // part way through several matching items, those already deleted stay deleted.
  std::int32_t deleteMatching(std::string_view service, std::string_view account) override;

 private:
  KeychainInteraction interaction_;
};

}  // namespace kestro
