#pragma once

// The exit statuses of Kestro's programs, `kestro` and `kestro-share`: one table for both, so
// that a script reads a status the same way whichever of them it ran, and the text of that
// table as both programs' --help print it.

#include <string>
#include <string_view>

namespace kestro {

enum class ExitStatus : int {
  ok = 0,                 // done; the capture is stored
  failure = 1,            // the operation failed; the message says why
  usage = 2,              // the command line was wrong, or a named file cannot be shared
  notSignedIn = 3,        // nobody is signed in, or the server no longer accepts the sign-in
  serverUnreachable = 4,  // no connection to the server, or it stopped answering (kestro only)
  nothingToCapture = 5,   // nothing shared can be captured (kestro-share only)
};

constexpr int exitCode(ExitStatus status) noexcept { return static_cast<int>(status); }

// The command that signs in on this machine, as every message asking for a sign-in names it.
inline constexpr std::string_view kSignInCommand = "kestro signin --server URL --email ADDRESS";

// The table of ExitStatus as both programs' --help print it, from "Exit status:" to its last
// line (no line break after it).
inline std::string exitStatusTable() {
  return "Exit status:\n"
         "  0  done; for kestro-share, the capture is stored in the outbox\n"
         "  1  failed; the reason is printed on standard error\n"
         "  2  the command line was wrong; for kestro-share also a named file that cannot be "
         "shared\n"
         "     (missing, unreadable, not a regular file)\n"
         "  3  nobody is signed in, or the server no longer accepts the sign-in\n"
         "     (run: " +
         std::string(kSignInCommand) +
         ")\n"
         "  4  the server cannot be reached (kestro only, and never for flush: captures stay on "
         "this\n"
         "     device)\n"
         "  5  nothing shared can be captured (kestro-share: \"No supported share item\")";
}

}  // namespace kestro
