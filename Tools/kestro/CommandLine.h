#pragma once

// What `kestro` does with command words before CLI11 parses them: `kestro help [COMMAND...]`,
// and a word that names no command (or an option the program does not have before any command),
// which CLI11 would only call "not expected".

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace kestro::commands {

// Looks at the command words of `arguments` (without the program's name). For `help` followed
// by command words, prints that command's help on standard output and returns 0. For a word
// that is no command where one is expected, or an unknown option before the first command,
// prints one line on standard error saying which, with the nearest command (or option) when
// one is near, and returns 2. Returns nothing when CLI11 should parse the line as usual.
std::optional<int> answerHelpOrUnknownCommand(CLI::App& app,
                                              const std::vector<std::string>& arguments);
}  // namespace kestro::commands
