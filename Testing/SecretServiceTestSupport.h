#pragma once

// Helpers for tests that run against the private Secret Service of
// Testing/with-secret-service.sh. Not installed.

#include <string>
#include <string_view>
#include <vector>

namespace kestro::testsupport {

// Whether this process runs inside Testing/with-secret-service.sh. Tests that store items check
// it first, so that running them by hand never writes into the user's own keyring.
bool insideTestSecretService();

struct CommandResult {
  int exitStatus = -1;  // the program's exit status; -1 when it did not exit normally
  std::string output;   // what it wrote to its standard output
};

// Runs `arguments` (the program is looked up in PATH) with `input` on its standard input, and
// waits for it. Throws std::system_error (a std::runtime_error) when it cannot be started.
CommandResult runCommand(const std::vector<std::string>& arguments, std::string_view input = {});

// Locks the service's default collection (the keyring's login collection), as the desktop does
// when the screen locks. Throws std::runtime_error when the service refuses.
void lockDefaultCollection();

// Unlocks it again with the keyring's password, without a prompt, through GNOME Keyring's own
// interface for that. Throws std::runtime_error when that fails.
void unlockDefaultCollection();

// Whether the default collection is locked now.
bool defaultCollectionLocked();

}  // namespace kestro::testsupport
