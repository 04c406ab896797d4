#include "KestroCore/Application/Session.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>
#include <utility>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Keychain/FileKeychain.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

namespace fs = std::filesystem;

// The value of settingskeys::kTokenStorage for the token file.
constexpr std::string_view kFileStorage = "file";

// A failure of the token file in words: which file, and what to do about it.
ApplicationError tokenFileError(const fs::path& file, std::int32_t status) {
  const std::string name = "the token file " + file.string();
  const std::string again = "; remove it and sign in again";
  switch (status) {
    case kKeychainStatusDecode:
      return ApplicationError(ExitStatus::failure,
                              name + " is damaged: it is not what kestro writes" + again);
    case kKeychainStatusInvalidKeychain:
      return ApplicationError(ExitStatus::failure,
                              name +
                                  " (or its folder) is a symbolic link, not a regular file, or "
                                  "not yours, and kestro neither reads nor writes through it" +
                                  again);
    case kKeychainStatusIOError:
      return ApplicationError(ExitStatus::failure,
                              name +
                                  " cannot be read or written (see its permissions and the "
                                  "free space on its disk)");
    default:
      return ApplicationError(ExitStatus::failure,
                              name + " cannot be used (status " + std::to_string(status) + ")");
  }
}

// Runs `operation` on a token store; with the token file (`file`), its failures in the words
// above.
template <class Operation>
auto guarded(const std::optional<fs::path>& file, Operation operation) {
  if (!file) return operation();
  try {
    return operation();
  } catch (const SecureTokenError& error) {
    throw tokenFileError(*file, error.as<SecureTokenError::UnexpectedStatus>()->status);
  }
}

}  // namespace

Session::Session(ApplicationPlaces places, SecureTokenStore tokens,
                 std::shared_ptr<URLSession> http)
    : places_(std::move(places)), tokens_(std::move(tokens)), http_(std::move(http)) {}

URL Session::serverOrigin(std::string_view text) {
  const auto invalid = [&] {
    return ApplicationError(ExitStatus::usage, "not a server address: \"" + std::string(text) +
                                                   "\" (give http://host:port or https://host)");
  };
  const std::optional<URL> url = URL::fromString(trimmingWhitespaceAndNewlines(text));
  if (!url) throw invalid();
  const std::string scheme = asciiLowercased(url->scheme());
  const std::optional<std::string_view> host = url->host();
  if ((scheme != "http" && scheme != "https") || !host || host->empty()) throw invalid();
  // An IPv6 literal needs its brackets back, or its colons would read as the port's.
  const std::string hostText = host->find(':') != std::string_view::npos
                                   ? "[" + asciiLowercased(*host) + "]"
                                   : asciiLowercased(*host);
  std::string origin = scheme + "://" + hostText;
  if (const std::optional<int> port = url->port()) origin += ":" + std::to_string(*port);
  const std::optional<URL> result = URL::fromString(origin);
  if (!result) throw invalid();
  return *result;
}

std::string Session::tokenAccount(const URL& server) { return server.absoluteString(); }

bool Session::isLoopbackHost(std::string_view host) {
  if (equalsIgnoringASCIICase(host, "localhost")) return true;
  // inet_pton takes only the strict forms: "127.1" or "0x7f.0.0.1" are not addresses to it.
  const std::string text(host);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

SignedInAccount Session::signIn(const URL& server, const std::string& email, bool allowInsecureHTTP,
                                TokenStorage storage) const {
  if (trimmingWhitespaceAndNewlines(email).empty()) {
    throw ApplicationError(ExitStatus::usage, "give the account's e-mail address with --email");
  }
  const std::optional<std::string_view> host = server.host();
  if (!allowInsecureHTTP && !equalsIgnoringASCIICase(server.scheme(), "https") &&
      !(host && isLoopbackHost(*host))) {
    throw ApplicationError(
        ExitStatus::usage,
        "refusing to sign in to " + server.absoluteString() +
            " over plain HTTP: the token would cross the network unencrypted; use https://, "
            "or pass --allow-insecure-http if you trust every network on the way");
  }
  const AccountSettings before = settings();
  const TokenStorage beforeStorage = tokenStorage();
  const std::optional<fs::path> file =
      storage == TokenStorage::file ? std::optional(tokenFile()) : std::nullopt;
  const SecureTokenStore tokens = tokensIn(storage);
  const DevelopmentSession session = client(server).developmentSession(email);

  try {
    guarded(file, [&] { tokens.save(session.token, tokenAccount(server)); });
  } catch (const SecureTokenError& error) {
    if (error.as<SecureTokenError::UnexpectedStatus>()->status != kKeychainStatusNotAvailable) {
      throw;
    }
    // Still a failure, never a quiet move to the file; but the way round it is worth naming.
    throw ApplicationError(ExitStatus::failure,
                           "the keyring cannot be reached: no Secret Service (such as GNOME "
                           "Keyring) runs in this session; on a machine without one, kestro "
                           "signin --insecure-storage keeps the token in a file instead, in clear");
  }
  // A token kept elsewhere than this one is left alone: the token file never leads to the
  // keyring being asked, nor the other way round.
  if (before.server && *before.server != server && beforeStorage == storage) {
    try {
      tokens.deleteToken(tokenAccount(*before.server));
    } catch (const SecureTokenError&) {
      // The old server's token is stale, not secret to anyone new; the new sign-in stands.
    }
  }
  const UserDefaults own = places_.applicationSettings();
  own.set(server.absoluteString(), settingskeys::kServerURL);
  own.set(email, settingskeys::kAccountEmail);
  if (storage == TokenStorage::file) {
    own.set(kFileStorage, settingskeys::kTokenStorage);
  } else {
    own.removeObject(settingskeys::kTokenStorage);
  }
  // A conversation belongs to one account.
  own.removeObject(settingskeys::kConversationId);
  places_.sharedSettings().set(session.userId.uuidString(), places::kCurrentUserIdKey);
  if (storage == TokenStorage::keyring) {
    // Back to the keyring: no token stays in clear, whatever the settings said before.
    const fs::path oldFile = tokenFile();
    const std::int32_t status = FileKeychain(oldFile).deleteAll();
    if (status != kKeychainStatusSuccess && status != kKeychainStatusItemNotFound) {
      throw ApplicationError(ExitStatus::failure,
                             "signed in, with the token in the keyring, but the token file " +
                                 oldFile.string() + " could not be removed (status " +
                                 std::to_string(status) + "): remove it yourself");
    }
  }
  return SignedInAccount{server, email, session.userId, session.token};
}

void Session::signOut() const {
  const AccountSettings current = settings();
  // The share target's gate first: from here on nothing new is captured for this account.
  places_.sharedSettings().removeObject(places::kCurrentUserIdKey);
  const UserDefaults own = places_.applicationSettings();
  own.removeObject(settingskeys::kAccountEmail);
  own.removeObject(settingskeys::kConversationId);
  if (tokenStorage() == TokenStorage::file) {
    // The whole file: signed out, no token stays in clear, whichever server it was for.
    const fs::path file = tokenFile();
    const std::int32_t status = FileKeychain(file).deleteAll();
    if (status != kKeychainStatusSuccess && status != kKeychainStatusItemNotFound) {
      throw tokenFileError(file, status);
    }
    own.removeObject(settingskeys::kTokenStorage);
  } else if (current.server) {
    tokens_.deleteToken(tokenAccount(*current.server));
  }
}

TokenStorage Session::tokenStorage() const {
  return places_.applicationSettings().string(settingskeys::kTokenStorage) == kFileStorage
             ? TokenStorage::file
             : TokenStorage::keyring;
}

fs::path Session::tokenFile() const {
  const std::optional<fs::path> directory =
      places::applicationSettingsDirectory(places_.directories());
  if (!directory) {
    throw ApplicationError(ExitStatus::failure,
                           "no place for the token file: neither XDG_CONFIG_HOME nor HOME is set");
  }
  return *directory / kTokenFileName;
}

SecureTokenStore Session::tokensIn(TokenStorage storage) const {
  if (storage == TokenStorage::keyring) return tokens_;
  return SecureTokenStore(tokens_.service, std::make_shared<FileKeychain>(tokenFile()));
}

AccountSettings Session::settings() const {
  const UserDefaults own = places_.applicationSettings();
  AccountSettings result;
  if (const auto text = own.string(settingskeys::kServerURL)) {
    try {
      result.server = serverOrigin(*text);
    } catch (const ApplicationError&) {
      // A hand-edited address that is no longer usable counts as none.
    }
  }
  result.email = own.string(settingskeys::kAccountEmail);
  result.userId = places_.signedInUser();
  return result;
}

SignedInAccount Session::requireSignedIn() const {
  const AccountSettings current = settings();
  if (!current.userId) throw notSignedInError();
  if (!current.server) throw notSignedInError(" (no server address is stored)");
  const TokenStorage storage = tokenStorage();
  const std::optional<fs::path> file =
      storage == TokenStorage::file ? std::optional(tokenFile()) : std::nullopt;
  std::optional<std::string> token =
      guarded(file, [&] { return tokensIn(storage).load(tokenAccount(*current.server)); });
  if (!token) {
    throw notSignedInError(" (no token for " + current.server->absoluteString() + " in " +
                           (file ? "the token file " + file->string() : "the keyring") + ")");
  }
  return SignedInAccount{*current.server, current.email.value_or(""), *current.userId,
                         std::move(*token)};
}

KestroAPIClient Session::client(const URL& server) const {
  return KestroAPIClient(server, http_, HTTPHeaders{});
}

}  // namespace kestro
