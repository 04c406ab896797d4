#pragma once

// The signed-in account: development sign-in against a server, where each part of it is kept, and
// what a command needs to talk to the server on the user's behalf.
//
// Where things go:
//   the bearer token   the token store (the Secret Service), service kTokenService, account =
//                      the server's origin ("https://kestro.example.com", "http://127.0.0.1:8787"),
//                      so tokens for two servers never replace each other; or, when the user
//                      signed in asking for it, the token file (a FileKeychain, in clear) in the
//                      application's settings directory, by the same service and account
//   where the token is the application's own settings, "kestro.token-storage": "file" for the
//                      token file, absent for the token store
//   the user id        the shared settings suite, "tavlo.current-user-id": the key the share
//                      target reads, so sharing works once it is there
//   server and e-mail  the application's own settings ("kestro.server-url",
//                      "kestro.account-email")
//
// Threads: a Session is a small value over its places, token store and HTTP session; operations
// on copies may run at once, but a sign-in racing a sign-out leaves either outcome.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "KestroCore/API/KestroAPIClient.h"
#include "KestroCore/Application/ApplicationPlaces.h"
#include "KestroCore/Credentials/SecureTokenStore.h"
#include "KestroCore/Foundation/URL.h"
#include "KestroCore/Foundation/UUID.h"
#include "KestroCore/Platform/HTTP/URLSession.h"

namespace kestro {

// The token store's service for the application's bearer tokens.
inline constexpr std::string_view kTokenService = "org.kestro.Kestro";

// The token file, in the application's settings directory (<configuration home>/kestro/).
inline constexpr std::string_view kTokenFileName = "tokens.json";

namespace settingskeys {
// Where the token is kept: "file" for the token file; absent for the token store.
inline constexpr std::string_view kTokenStorage = "kestro.token-storage";
}  // namespace settingskeys

// Where a sign-in keeps the token.
enum class TokenStorage {
  keyring,  // the token store the session was made with (the Secret Service, as a rule)
  file,     // the token file, readable by anyone who can read the user's files
};

// What the settings say about the account, without asking the keyring.
struct AccountSettings {
  std::optional<URL> server;
  std::optional<std::string> email;
  std::optional<UUID> userId;  // from the shared suite

  bool operator==(const AccountSettings&) const = default;
};

// Everything a command needs to act for the signed-in user.
struct SignedInAccount {
  URL server;
  std::string email;  // may be empty when the settings lost it; informational only
  UUID userId;
  std::string token;
};

class Session {
 public:
  Session(ApplicationPlaces places, SecureTokenStore tokens, std::shared_ptr<URLSession> http);

  // The server's origin (scheme, host and port, without path or trailing slash), the form the
  // client needs and the token's account. Throws ApplicationError (usage) for text that is not
  // an http or https URL with a host.
  static URL serverOrigin(std::string_view text);
  static std::string tokenAccount(const URL& server);

  // Whether `host` (as a URL gives it, without brackets) names this machine: "localhost", an
  // IPv4 address in 127.0.0.0/8, or ::1. Only these are safe for plain HTTP, since nothing
  // sent to them leaves the machine; a name that merely resolves to one is not trusted.
  static bool isLoopbackHost(std::string_view host);

  // Asks `server` for a development session for `email`, then stores the token (where `storage`
  // says), the server, the e-mail and where the token is, and last the user id (so the share
  // target never sees a user whose token is not stored yet). Signing in anew replaces the
  // earlier account, and the earlier server's token is removed when it was kept where this one
  // goes. With the token store, the token file goes too: the earlier tokens leave the clear
  // file, and a failure to remove it throws ApplicationError (failure) once the sign-in is
  // complete. The token file is only ever written when `storage` asks for it: a token store
  // that cannot be asked is an error, never a reason to use the file. A plain-HTTP server off
  // this machine is refused (ApplicationError, usage) before anything is sent, unless
  // `allowInsecureHTTP`: the e-mail and the token would cross the network readable by anyone on
  // the way. Throws KestroAPIError for the exchange, SecureTokenError (token store) or
  // ApplicationError (token file; or no Secret Service at all, naming the token file as the way
  // round) when the token cannot be stored (nothing else is changed then), ApplicationError for
  // an empty e-mail.
  SignedInAccount signIn(const URL& server, const std::string& email,
                         bool allowInsecureHTTP = false,
                         TokenStorage storage = TokenStorage::keyring) const;

  // Removes the token and the user id (the share target then refuses new shares), and the
  // e-mail; the server address stays as a default for the next sign-in. With the token file,
  // the file goes whole. Signing out when nobody is signed in does nothing. Throws
  // SecureTokenError (or ApplicationError for the token file) when the token cannot be
  // removed; the user id is removed first all the same.
  void signOut() const;

  // Where the token of the account signed in is kept, as its sign-in recorded it; never asks
  // the keyring.
  TokenStorage tokenStorage() const;
  // <configuration home>/kestro/tokens.json. Throws ApplicationError when no configuration home
  // is known.
  std::filesystem::path tokenFile() const;

  // The settings' view of the account; never asks the keyring.
  AccountSettings settings() const;

  // The signed-in account with its token, from where its sign-in put it. Throws
  // ApplicationError (notSignedIn) when the user id, the server or the token is missing, and
  // SecureTokenError when the keyring cannot answer, or ApplicationError (failure) when the
  // token file cannot be read (damaged, a link, unreadable): never "not signed in" then.
  SignedInAccount requireSignedIn() const;

  // A client of `server` on this session's HTTP session, with no default headers.
  KestroAPIClient client(const URL& server) const;

  const ApplicationPlaces& places() const noexcept { return places_; }
  const std::shared_ptr<URLSession>& http() const noexcept { return http_; }

 private:
  // The store of `storage`.
  SecureTokenStore tokensIn(TokenStorage storage) const;

  ApplicationPlaces places_;
  SecureTokenStore tokens_;
  std::shared_ptr<URLSession> http_;
};

}  // namespace kestro
