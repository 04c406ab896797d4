#pragma once

// `kestro service enable|disable|status`: the watcher (`kestro flush --watch`) as a systemd user
// service, kestro-flush.service, through `systemctl --user`.
//
// The unit is installed with the programs under <prefix>/lib/systemd/user/, naming the installed
// kestro. A user manager reads that folder only for the prefixes /usr and /usr/local, so
// `enable` does not rely on it: it writes a copy into $XDG_DATA_HOME/systemd/user/
// (~/.local/share/systemd/user/, which the user manager reads first), its ExecStart naming the
// kestro that runs it by absolute path, then reloads the manager and enables and starts the
// unit. `disable` stops and disables it and removes that copy. A file of that name there that
// is not such a copy is never replaced nor removed.

#include "Tools/kestro/Commands.h"

namespace kestro::commands {

int enableService(Application& application);
int disableService(Application& application);
int showService(Application& application);

}  // namespace kestro::commands
