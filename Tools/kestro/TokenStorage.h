#pragma once

// How `kestro` speaks of where the token is kept: the keyring, memory (--no-keyring), or the
// token file that `signin --insecure-storage` chose.

#include <string>

#include "KestroCore/Application/Session.h"

namespace kestro::commands {

class Application;

// Where `signin` keeps the token: the token file with --insecure-storage, else the keyring (or
// memory, with --no-keyring). Both flags at once are a usage error.
TokenStorage chosenTokenStorage(const Application& application, bool insecureStorage);

// "file", "memory" or "keyring", as `status --json` gives it.
std::string tokenStorageName(Application& application);

// What the user must know about the token file, as a sentence: it holds the token in clear.
std::string tokenFileWarning(const Session& session);

}  // namespace kestro::commands
