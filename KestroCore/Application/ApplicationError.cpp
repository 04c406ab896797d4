#include "KestroCore/Application/ApplicationError.h"

#include <filesystem>
#include <string_view>
#include <system_error>

#include "KestroCore/Application/OutboxFlush.h"
#include "KestroCore/Credentials/SecureTokenError.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Models/KestroAPIError.h"
#include "KestroCore/Outbox/OutboxError.h"
#include "KestroCore/Platform/Keychain/Keychain.h"
#include "KestroCore/Platform/Storage/UserDefaults.h"

namespace kestro {
namespace {

// Transport failures that are not the network's: the client raises these for answers it could
// not read and for upload files it could not open (KestroAPIClient.cpp words them so), and the
// HTTP session for answers it refused, such as headers past its size limit (Transfer.cpp).
constexpr std::string_view kUnreadableAnswerPrefixes[] = {
    "the server's response could not be read",
    "cannot upload ",
    "cannot read the file ",
    "The server answered, but ",
};

// Messages carry the server's words: nothing in them may command the terminal.
std::string oneLine(std::string_view text) {
  std::string line = printableLine(text);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string keyringMessage(std::int32_t status) {
  switch (status) {
    case kKeychainStatusNotAvailable:
      return "the keyring cannot be reached: no Secret Service (such as GNOME Keyring) runs in "
             "this session";
    case kKeychainStatusLocked:
      return "the keyring is locked; unlock it and try again";
    case kKeychainStatusUserCanceled:
      return "the keyring stayed locked: its unlock prompt was dismissed or could not be shown";
    default:
      return "the keyring refused the request (status " + std::to_string(status) + ")";
  }
}

std::string serverMessage(const KestroAPIError::Server& server) {
  std::string line = "the server refused: " + server.message + " (" + server.code;
  if (!server.traceId.empty()) line += ", trace " + server.traceId;
  return line + ")";
}

// The token was refused: expired, revoked, or issued by a server that has since forgotten it.
// Only a new sign-in helps, as when nobody is signed in.
std::string signInRefusedMessage(const KestroAPIError::Server& server) {
  std::string line = "the server no longer accepts this sign-in (" + server.code;
  if (!server.traceId.empty()) line += ", trace " + server.traceId;
  return line + "); sign in again: " + std::string(kSignInCommand);
}

}  // namespace

ApplicationError notSignedInError(std::string_view detail) {
  return ApplicationError(ExitStatus::notSignedIn, "not signed in" + std::string(detail) +
                                                       "; run: " + std::string(kSignInCommand));
}

bool isServerUnreachable(const std::exception& error) noexcept {
  const auto* api = dynamic_cast<const KestroAPIError*>(&error);
  if (!api) return false;
  const auto* transport = api->as<KestroAPIError::Transport>();
  if (!transport) return false;
  for (const std::string_view prefix : kUnreadableAnswerPrefixes) {
    if (std::string_view(transport->description).starts_with(prefix)) return false;
  }
  return true;
}

ErrorReport reportError(const std::exception_ptr& error) {
  const auto failure = [](std::string message) {
    return ErrorReport{ExitStatus::failure, oneLine(message)};
  };
  try {
    std::rethrow_exception(error);
  } catch (const ApplicationError& e) {
    return ErrorReport{e.status(), oneLine(e.what())};
  } catch (const KestroAPIError& e) {
    if (const auto* server = e.as<KestroAPIError::Server>()) {
      if (server->code == kUnauthorizedCode) {
        return ErrorReport{ExitStatus::notSignedIn, oneLine(signInRefusedMessage(*server))};
      }
      return failure(serverMessage(*server));
    }
    if (const auto* transport = e.as<KestroAPIError::Transport>()) {
      if (isServerUnreachable(e)) {
        return ErrorReport{ExitStatus::serverUnreachable,
                           oneLine("cannot reach the server: " + transport->description)};
      }
      return failure(transport->description);
    }
    if (const auto* local = e.as<KestroAPIError::LocalFile>()) return failure(local->message);
    return failure(
        "the server's answer was not one of its own (a proxy or another program "
        "answered, or the request could not be formed)");
  } catch (const SecureTokenError& e) {
    return failure(keyringMessage(e.as<SecureTokenError::UnexpectedStatus>()->status));
  } catch (const OutboxError& e) {
    return failure(std::string("the outbox database: ") + e.what());
  } catch (const UserDefaultsError& e) {
    return failure(std::string("a settings file is damaged: ") + e.what());
  } catch (const DecodingError& e) {
    return failure(std::string("stored data could not be read: ") + e.what());
  } catch (const std::filesystem::filesystem_error& e) {
    return failure(e.what());
  } catch (const std::exception& e) {
    return failure(e.what());
  } catch (...) {
    return failure("an unknown error occurred");
  }
}

}  // namespace kestro
