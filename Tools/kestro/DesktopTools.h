#pragma once

// What `kestro` asks of the desktop around it: running the optional helper tools (wl-paste,
// xclip, xprop, xdotool) with a time limit, and what the terminal is like. The readings of their
// answers are in KestroCore/Application/DesktopContext.h.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Application/DesktopContext.h"

namespace kestro::desktop {

// Runs a program found in PATH with `arguments` (standard input from /dev/null, standard error
// discarded) and returns its standard output when it exits with status 0 within `timeout` and
// says at most `maximumBytes`; nothing otherwise (not installed, failed, too slow, too much).
std::optional<std::string> runTool(const std::vector<std::string>& arguments,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(3),
                                   std::size_t maximumBytes = 16u << 20);

// Whether a program of that name is in PATH and executable.
bool hasTool(const std::string& name);

// The clipboard's text through wl-paste (on Wayland) or xclip (on X11). Throws ApplicationError
// when neither can be used, naming the packages that would help.
std::string clipboardText();

// The active window through xprop, or its title through xdotool; empty when there is no X
// display or neither tool is installed.
WindowContext activeWindow();

// The terminal: whether standard output is one, its width, and whether colour is wanted there
// (a terminal, NO_COLOR unset or empty, TERM not "dumb").
bool standardOutputIsTerminal();
bool standardInputIsTerminal();
std::size_t terminalWidth();
bool colourWanted();

}  // namespace kestro::desktop
