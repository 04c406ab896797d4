#pragma once

// `kestro desktop install|uninstall`: "Share with Kestro" in the file managers of this account
// (a Nautilus script, a Nemo action, a Dolphin service menu and a Thunar custom action), each
// running the kestro-share beside this kestro, by its absolute path, on the selected files.

namespace kestro::commands {

// Writes the actions into $XDG_DATA_HOME and adds ours to $XDG_CONFIG_HOME/Thunar/uca.xml,
// saying what it wrote; running it again changes nothing. A file of the user's at one of our
// names, or a uca.xml that cannot be read, stops it before anything is written.
int installDesktopActions();

// Removes what install wrote, and only that; the user's other Thunar actions stay as they are.
int uninstallDesktopActions();

}  // namespace kestro::commands
