#pragma once

// Reading the desktop's answers about the user's context: the active window of an X11 (or
// XWayland) session as `xprop` and `xdotool` report it. Only the reading is here; running the
// tools is the program's business. Pure functions; any thread.

#include <optional>
#include <string>
#include <string_view>

namespace kestro {

// The window a quick capture comes from.
struct WindowContext {
  // The application's id: the class part of WM_CLASS ("firefox", "org.gnome.Nautilus"), which
  // is what the exclusion list in the application's settings names.
  std::optional<std::string> applicationId;
  std::optional<std::string> title;  // _NET_WM_NAME, else WM_NAME

  bool operator==(const WindowContext&) const = default;
};

// The active window's id from `xprop -root _NET_ACTIVE_WINDOW`
// ("_NET_ACTIVE_WINDOW(WINDOW): window id # 0x3a00007" gives "0x3a00007"); nothing when no window
// is active (id 0) or the output says something else.
std::optional<std::string> activeWindowFromXprop(std::string_view output);

// The window's class and title from `xprop -id <id> WM_CLASS _NET_WM_NAME WM_NAME`, whose string
// values are quoted with backslash escapes. Properties the window lacks stay absent.
WindowContext windowContextFromXprop(std::string_view output);

// The first line of a tool's output without its line ending (`xdotool getwindowname`, say);
// nothing when it is blank.
std::optional<std::string> firstLineOf(std::string_view output);

}  // namespace kestro
