#include "Tools/kestro/TokenStorage.h"

#include "KestroCore/Application/ApplicationError.h"
#include "Tools/kestro/Commands.h"
#include "Tools/kestro/Output.h"

namespace kestro::commands {

TokenStorage chosenTokenStorage(const Application& application, bool insecureStorage) {
  if (!insecureStorage) return TokenStorage::keyring;
  if (application.options().noKeyring) {
    throw ApplicationError(ExitStatus::usage,
                           "--insecure-storage keeps the token in a file and --no-keyring keeps "
                           "it in memory: give one of them");
  }
  return TokenStorage::file;
}

std::string tokenStorageName(Application& application) {
  if (application.session().tokenStorage() == TokenStorage::file) return "file";
  return application.options().noKeyring ? "memory" : "keyring";
}

std::string tokenFileWarning(const Session& session) {
  return "the token is stored in clear in " + shown(session.tokenFile().string()) +
         ", readable by anyone who can read your files as you (kestro signin without "
         "--insecure-storage keeps it in the keyring)";
}

}  // namespace kestro::commands
